// Dialog templates and icon resources as data. The data itself lives in res/;
// this layer builds windows from it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ui {

// Window styles the builder understands.
enum Style : uint32_t {
    kStyleCaption = 1u << 0,       // title bar with the caption
    kStyleSystemMenu = 1u << 1,    // window menu and close button
    kStyleMinimizeBox = 1u << 2,   // minimise button (shown only with a system menu)
    kStyleModalFrame = 1u << 3,
    kStyleTabStop = 1u << 4,       // the control takes focus with Tab
    kStyleBlackFrame = 1u << 5,    // static control drawn as a 1-pixel black frame
    kStyleAppWindow = 1u << 6,     // shown in the task bar
};

enum class ControlKind { PushButton, Static };

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* caption;  // UTF-8; '&' marks the mnemonic of the next character
    int x, y, width, height;  // dialog units
    uint32_t styles;
};

struct DialogTemplate {
    int id;
    const char* caption;
    double fontPointSize;  // of the platform's default UI font
    int width, height;     // client area, dialog units
    uint32_t styles;
    const ControlTemplate* controls;
    size_t controlCount;
};

// Keys every desktop knows for a command; the platform gives each its binding.
enum class StandardKey { None, Save, Copy };

// A command: a context-menu entry with an optional keyboard shortcut.
struct MenuItem {
    int id;
    const char* text;  // UTF-8
    StandardKey key;
    const char* keys = nullptr;  // a shortcut of its own ("Ctrl+L") where no standard key fits
    bool checkable = false;      // shown with a check mark when on
};

struct MenuTemplate {
    int id;
    const MenuItem* items;
    size_t itemCount;
};

struct IconImage {
    int size;          // pixels, square
    const char* path;  // in the program's embedded resources
};

struct IconResource {
    int id;
    const IconImage* images;
    size_t imageCount;
};

// Provided by the resource data linked into the program; null when unknown.
const DialogTemplate* FindDialogTemplate(int id);
const IconResource* FindIconResource(int id);
const MenuTemplate* FindMenuTemplate(int id);

}  // namespace ui
