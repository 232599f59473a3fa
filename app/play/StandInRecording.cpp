// Stands in for the opened recording until it is part of this build (the
// build takes app/play/Recording.cpp instead once it is there): the reader,
// and the CSV's lines by index, enough to keep a range or a frame; no marks,
// no status text.
#include "Recording.h"

#include "app/record/Recorder.h"

#include <sys/stat.h>

#include <cmath>
#include <fstream>

namespace {

// A CSV far larger than any recording's is not read into memory.
constexpr uint64_t kMaxCsvBytes = uint64_t(1) << 30;

bool ParseNumber(const std::string& text, uint64_t* value)
{
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::stoull(text);
    return true;
}

}  // namespace

bool Recording::Open(const std::string& path, std::string* error)
{
    path_ = path;
    reader_ = imaging::OpenSequence(path, error);
    if (!reader_)
        return false;
    frames_.assign(reader_->FrameCount(), RecordedFrame{});
    csvLines_.assign(reader_->FrameCount(), std::string());
    for (uint64_t i = 0; i < frames_.size(); ++i)
        frames_[i].index = i;
    imaging::SequenceFormat format{};
    imaging::SequenceFormatOf(path, &format);
    csvPath_ = Recorder::CsvPath(path, format);
    struct stat st {};
    if (stat(csvPath_.c_str(), &st) != 0 || uint64_t(st.st_size) > kMaxCsvBytes) {
        warnings_.push_back("no CSV beside " + path + ": frame ids and times are not known");
        return true;
    }
    std::ifstream in(csvPath_);
    std::string line, before;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        for (size_t at = 0;;) {
            const size_t comma = line.find(',', at);
            fields.push_back(line.substr(at, comma - at));
            if (comma == std::string::npos)
                break;
            at = comma + 1;
        }
        uint64_t index = 0;
        if (fields.size() != 8 || !ParseNumber(fields[0], &index) || index >= frames_.size()) {
            before += line + "\n";  // a line of the gap before the next frame
            continue;
        }
        RecordedFrame& f = frames_[index];
        f.listed = true;
        uint64_t n = 0;
        if (ParseNumber(fields[1], &n))
            f.frameId = n;
        if (ParseNumber(fields[2], &n))
            f.cameraTime = n;
        if (ParseNumber(fields[3], &n))
            f.receiveTime = n;
        f.incomplete = fields[7] == "incomplete";
        csvLines_[index] = before + line.substr(line.find(',')) + "\n";
        before.clear();
    }
    return true;
}

uint64_t Recording::FrameCount() const { return frames_.size(); }

const RecordedFrame& Recording::Frame(uint64_t index) const { return frames_.at(index); }

std::string Recording::CsvLines(uint64_t first, uint64_t last) const
{
    std::string text;
    for (uint64_t i = first; i <= last && i < csvLines_.size(); ++i) {
        const std::string& l = csvLines_[i];
        if (l.empty())
            continue;
        // The gap's lines before it, then its own with its new index.
        const size_t own = l.rfind('\n', l.size() - 2);
        text += (own == std::string::npos ? "" : l.substr(0, own + 1)) + std::to_string(i - first) +
                l.substr(own == std::string::npos ? 0 : own + 1);
    }
    return text.empty() ? text
                        : "index,frame_id,camera_timestamp_ns,receive_time_ns,width,height,pixel_format,written\n" +
                              text;
}

// What the viewer's playback asks of an opened recording, plainly: no
// marks, the pace from the camera's timestamps where the CSV has them.
std::optional<uint64_t> Recording::NextMark(uint64_t, bool) const { return std::nullopt; }

std::optional<uint64_t> Recording::Interval(uint64_t index) const
{
    if (index + 1 >= frames_.size() || !frames_[index].cameraTime || !frames_[index + 1].cameraTime ||
        *frames_[index + 1].cameraTime < *frames_[index].cameraTime)
        return std::nullopt;
    return *frames_[index + 1].cameraTime - *frames_[index].cameraTime;
}

uint64_t Recording::Step(uint64_t index, double seconds) const
{
    if (frames_.empty())
        return 0;
    // Untimed frames count as 40 ms each.
    double left = std::abs(seconds) * 1e9;
    while (left > 0 && (seconds > 0 ? index + 1 < frames_.size() : index > 0)) {
        const std::optional<uint64_t> step = Interval(seconds > 0 ? index : index - 1);
        left -= step ? double(*step) : 40e6;
        index = seconds > 0 ? index + 1 : index - 1;
    }
    return index;
}

std::string Recording::StatusText(uint64_t index) const
{
    std::string text = "frame " + std::to_string(index) + " of " + std::to_string(frames_.size());
    if (index < frames_.size() && frames_[index].listed)
        text += " · id " + std::to_string(frames_[index].frameId) + (frames_[index].incomplete ? " · incomplete" : "");
    return text;
}
