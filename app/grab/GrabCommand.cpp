// --grab's options and the command that grabs one frame to a file over the
// same camera sequences as the window.
#include "GrabCommand.h"

#include "app/Failures.h"
#include "platform/camera/camtext.h"
#include "platform/imaging/files/OutputFile.h"

#include <cstdio>

GrabOptionTable::GrabOptionTable()
    : grab("grab", "Without a window: open the camera, grab one frame, release the "
          "camera and write the frame at full resolution to FILE, in the "
          "format its extension names (" +
          QString::fromStdString(imaging::PictureFileExtensions()) +
          "); - writes PNG to standard output.", "FILE"),
      timeout("timeout", "With --grab: wait this many seconds for the frame, from 0.1 to 3600 "
          "(default 5), e.g. for a camera waiting for a trigger on an input line.",
          "S")
{
}

Usage ReadGrabTimeout(const ParsedOptions& options, const GrabOptionTable& table, GrabCommand* grab)
{
    if (!options.IsSet(table.timeout))
        return std::nullopt;
    if (!options.IsSet(table.grab))
        return std::string("--timeout goes with --grab");
    double seconds = 0;
    if (!NumberIn(options.Value(table.timeout), 0.1, 3600, &seconds))
        return ("--timeout needs seconds from 0.1 to 3600, got '" + options.Value(table.timeout) + "'").toStdString();
    grab->timeoutMs = uint32_t(seconds * 1000 + 0.5);
    return std::nullopt;
}

Usage ReadGrabFile(const ParsedOptions& options, const GrabOptionTable& table, GrabCommand* grab)
{
    grab->file = options.RawValue(table.grab);
    if (imaging::PictureFormatOf(grab->file).empty())
        return ("--grab needs a file name ending in " + QString::fromStdString(imaging::PictureFileExtensions()) +
                ", or -")
            .toStdString();
    return std::nullopt;
}

int GrabToFile(const OpenOptions& open, const GrabCommand& grab)
{
    Outcome outcome = OpenCamera(open);
    if (!outcome.Failed()) {
        GrabOptions options;
        options.timeoutMs = grab.timeoutMs;
        options.waitingForTrigger = [](const std::string& source) {
            std::fprintf(stderr, "tarvik: %s\n", TriggerWaitLine(source).c_str());
        };
        outcome = GrabFrame(options);
    }
    const imaging::Picture picture = CapturedPicture();  // kept past the release
    // Said before the release, which can take seconds on a camera that is gone.
    ReportFailure(outcome);
    ReleaseCamera();
    if (outcome.Failed())
        return ExitStatusFor(outcome);
    const std::string error = imaging::SavePicture(picture, grab.file);
    if (!error.empty()) {
        const std::string where =
            imaging::OutputFile::IsStandardOutput(grab.file) ? "standard output" : cam::Quoted(grab.file);
        std::fprintf(stderr, "tarvik: cannot write %s: %s\n", where.c_str(), error.c_str());
        return kExitNotWritten;
    }
    return kExitSuccess;
}
