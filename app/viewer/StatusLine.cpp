// The viewer's status line, made of the tooltip's own wording (the picture's
// state, live view's and a trigger's lines, the recording's) so that the two
// never tell the same thing in different words.
#include "StatusLine.h"

#include "app/CameraSequences.h"

#include <cstdio>
#include <vector>

namespace {

// "1:02:03" of seconds; minutes and seconds always two digits.
std::string Elapsed(double seconds)
{
    const long long whole = seconds > 0 ? (long long)seconds : 0;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    return text;
}

// The last part of a path, a folder's with its '/'.
std::string FileName(std::string path)
{
    const bool folder = path.size() > 1 && path.back() == '/';
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash + 1 < path.size())
        path.erase(0, slash + 1);
    return folder ? path + "/" : path;
}

}  // namespace

std::string StatusLine(const StatusFacts& f)
{
    std::string first = PictureStatus(f.cameraId, f.cameraName, f.width, f.height, f.pixelFormat,
                                      f.frameShown ? &f.frameId : nullptr, f.frameTime, {});
    std::vector<std::string> second;
    if (f.live && !f.cameraId.empty()) {
        first += ", " + LiveLine(f.counts, f.rates);
        if (std::string waiting = TriggerLine(f.trigger, f.counts); !waiting.empty()) {
            if (f.trigger.source == kSoftwareTrigger)
                waiting += " (Ctrl+T sends one)";
            second.push_back(waiting);
        }
        // Without a complete frame the picture stays black or half black:
        // that is the camera's doing, and the line says so.
        if (f.counts.received > 0 && f.counts.incomplete == f.counts.received)
            second.push_back("only incomplete frames come (" + std::to_string(f.counts.incomplete) + " so far)" +
                             (f.counts.incompleteShown ? ": what did not arrive is black" : ""));
    }
    if (f.recording)
        second.push_back("REC " + FileName(f.recordPath) + " " + Elapsed(f.record.seconds) + ", " +
                         Recorder::RecordLine(f.record));
    if (!f.lastFailure.empty())
        second.push_back(f.lastFailure);
    std::string text = first;
    for (size_t i = 0; i < second.size(); ++i)
        text += (i ? ", " : "\n") + second[i];
    return text;
}
