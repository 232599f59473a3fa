// Where the window sends a picture: the save dialog and the clipboard.
#pragma once

#include "platform/imaging/files/PictureFile.h"

#include <optional>
#include <string>

class QWidget;

namespace ui {

class Dialog;

struct SaveTarget {
    std::string path;
    std::string format;
};
// Asks where to save, offering suggestedName in the folder used last while
// the program runs (at first the user's Pictures folder). The format follows
// the name's extension, else the chosen filter. Nothing when the user cancels.
std::optional<SaveTarget> AskWhereToSave(Dialog& parent, const std::string& suggestedName);
std::optional<SaveTarget> AskWhereToSave(QWidget* parent, const std::string& suggestedName);

// Asks where to record, offering suggestedName (a .mkv name) in the folder
// used last: a Matroska file, a multi-page TIFF or a folder of a file per
// frame (the path then ends in '/'). It does not ask whether to replace a
// file: a recording replaces its sidecars too, and the question names them
// all (AskYesNo). Nothing when the user cancels.
struct RecordTarget {
    std::string path;
};
std::optional<RecordTarget> AskWhereToRecord(Dialog& parent, const std::string& suggestedName);
std::optional<RecordTarget> AskWhereToRecord(QWidget* parent, const std::string& suggestedName);

// Asks for a recording to open, in the folder used last: a .mkv, .tif or
// .tiff file, or a folder's frames.csv, which stands for the folder (the
// path then ends in '/'). Nothing when the user cancels.
std::optional<std::string> AskWhichRecording(QWidget* parent);

// Asks question, titled title, with the answers Yes and No; true for Yes.
// No is the default, and what closing the box answers.
bool AskYesNo(Dialog& parent, const std::string& title, const std::string& question);

// Puts picture on the clipboard, where other programs can paste it (as
// image/png, among others).
void CopyToClipboard(const imaging::Picture& picture);

}  // namespace ui
