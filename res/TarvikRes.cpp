// The program's resources as data: the main dialog's template, the picture
// area's commands and the icon set.
#include "resource.h"

#include "platform/ui/DialogTemplate.h"

#include <iterator>

namespace {

using namespace ui;

const ControlTemplate kMainControls[] = {
    // id                   kind                 caption               x    y    w    h   styles
    {IDC_INIT_GRAB_START, ControlKind::PushButton, "Init& GrapStart", 17, 29, 85, 14, kStyleTabStop},
    {IDC_GRAB_STOP_RELEASE, ControlKind::PushButton, "GrapStop & Release", 17, 64, 85, 14, kStyleTabStop},
    {IDC_GRAB_ONCE, ControlKind::PushButton, "GrapOnce", 17, 95, 85, 14, kStyleTabStop},
    {IDC_PICTURE, ControlKind::Static, nullptr, 123, 7, 303, 197, kStyleBlackFrame},
};

// No system menu, so the title bar shows no buttons at all.
const DialogTemplate kDialogs[] = {
    {IDD_TARVIK_DIALOG, "Tarvik", 9.0, 441, 245,
     kStyleCaption | kStyleMinimizeBox | kStyleModalFrame | kStyleAppWindow, kMainControls,
     std::size(kMainControls)},
};

// What the picture area offers: in its context menu and as shortcuts.
const MenuItem kPictureCommands[] = {
    {ID_PICTURE_SAVE, "Save picture as…", StandardKey::Save},
    {ID_PICTURE_COPY, "Copy picture", StandardKey::Copy},
    {ID_PICTURE_LIVE, "Live view", StandardKey::None, "Ctrl+L", true},
    {ID_CAMERA_SETTINGS, "Camera settings…", StandardKey::None, "Ctrl+E"},
    {ID_PICTURE_RECORD, "Record…", StandardKey::None, "Ctrl+R", true},
    {ID_PICTURE_TRIGGER, "Trigger", StandardKey::None, "Ctrl+T"},
    {ID_PICTURE_INSPECT, "Inspect…", StandardKey::None, "Ctrl+I"},
    {ID_PICTURE_OPEN_RECORDING, "Open recording…", StandardKey::None, "Ctrl+O"},
};

const MenuTemplate kMenus[] = {
    {IDR_PICTURE_MENU, kPictureCommands, std::size(kPictureCommands)},
};

const IconImage kMainIcon[] = {
    {16, ":/icons/tarvik-16.png"},  {24, ":/icons/tarvik-24.png"},   {32, ":/icons/tarvik-32.png"},
    {48, ":/icons/tarvik-48.png"},  {256, ":/icons/tarvik-256.png"},
};

const IconResource kIcons[] = {
    {IDR_MAINFRAME, kMainIcon, std::size(kMainIcon)},
};

}  // namespace

namespace ui {

const DialogTemplate* FindDialogTemplate(int id)
{
    for (const DialogTemplate& d : kDialogs)
        if (d.id == id)
            return &d;
    return nullptr;
}

const MenuTemplate* FindMenuTemplate(int id)
{
    for (const MenuTemplate& m : kMenus)
        if (m.id == id)
            return &m;
    return nullptr;
}

const IconResource* FindIconResource(int id)
{
    for (const IconResource& i : kIcons)
        if (i.id == id)
            return &i;
    return nullptr;
}

}  // namespace ui
