// --play: its options, what they ask for, and the commands that keep a frame
// or a range of a recording without a window.
#pragma once

#include "app/Options.h"
#include "app/grab/GrabCommand.h"
#include "app/record/RecordCommand.h"

#include <QCommandLineOption>
#include <QList>

#include <cstdint>
#include <optional>
#include <string>

// What --play asks for. Without --record or --grab the window opens with
// the recording.
struct PlayCommand {
    std::string path;                 // the recording: NAME.mkv, NAME.tif(f) or DIR/
    uint64_t first = 0;               // --range A-B, both included
    std::optional<uint64_t> last;     // none: to the recording's end
    std::optional<uint64_t> frame;    // --frame N
    bool exportRange = false;         // --record: the range into a new recording (RecordCommand has its path)
    bool saveFrame = false;           // --grab: frame N into a picture file (GrabCommand has its path)
};

struct PlayOptionTable {
    QCommandLineOption play;
    QCommandLineOption range;
    QCommandLineOption frame;

    PlayOptionTable();
    QList<QCommandLineOption> Options() const;
};

// Without --play: --range or --frame given anyway.
Usage PlayOnlyOptionGiven(const ParsedOptions& options, const PlayOptionTable& table);
// --range's text: "A-B" (A <= B) or "A-" (to the end), indexes from 0.
Usage ReadRange(const QString& text, uint64_t* first, std::optional<uint64_t>* last);
// With --play (and without --check, whose recording check reads it apart),
// once the options it does not go with are refused: the recording, the
// range or frame, and whether --record or --grab keeps it.
Usage ReadPlayOptions(const ParsedOptions& options, const PlayOptionTable& table, PlayCommand* play);

// The help's section on reviewing a recording.
extern const char kPlayHelp[];

// Opens the recording and writes the range (--record) or the frame (--grab)
// from it; progress on stderr when it is a terminal, a closing line always.
// Returns the exit status.
int KeepFromRecording(const PlayCommand& play, const RecordCommand& record, const GrabCommand& grab);
