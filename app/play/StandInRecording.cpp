// Stands in for the opened recording until it is part of this build (the
// build takes app/play/Recording.cpp instead once it is there): every
// recording is refused with a message that says so.
#include "Recording.h"

bool Recording::Open(const std::string& path, std::string* error)
{
    path_ = path;
    *error = "cannot read \"" + path + "\": reading recordings back is not in this build yet";
    return false;
}

uint64_t Recording::FrameCount() const { return 0; }

const RecordedFrame& Recording::Frame(uint64_t) const
{
    static const RecordedFrame none;
    return none;
}

std::string Recording::CsvLines(uint64_t, uint64_t) const { return {}; }

// What the viewer's playback asks of an opened recording; never reached, as
// Open refuses every recording.
std::optional<uint64_t> Recording::NextMark(uint64_t, bool) const { return std::nullopt; }
std::optional<uint64_t> Recording::Interval(uint64_t) const { return std::nullopt; }
uint64_t Recording::Step(uint64_t index, double) const { return index; }
std::string Recording::StatusText(uint64_t) const { return {}; }
