// The opened recording: the reader's frames joined with the CSV the recorder
// wrote beside them, read strictly but forgivingly (a killed or hand-edited
// CSV still opens the frames), the marks, and the status line's words.
#include "Recording.h"

#include "app/record/Recorder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <fstream>

namespace {

constexpr char kCsvHeader[] = "index,frame_id,camera_timestamp_ns,receive_time_ns,width,height,pixel_format,written";
// No line the recorder writes comes near this; a longer one is garbage and
// is skipped rather than held in memory.
constexpr size_t kMaxCsvLine = 512;
// Lines kept for an export between two frames: a camera that skipped a
// million ids would otherwise hold a line for each in memory.
constexpr uint64_t kMaxGapLines = 4096;
// A recording's rate when nothing says it: Step still moves by seconds.
constexpr double kAssumedRate = 25;

// Reads a line of at most kMaxCsvLine characters; longer ones are read to
// their end and reported as too long. False at the end of the file.
enum class LineRead { Line, TooLong, Cut, End };
LineRead ReadLine(std::istream& in, std::string* line)
{
    line->clear();
    bool tooLong = false;
    for (;;) {
        const int c = in.get();
        if (c == EOF)
            return line->empty() && !tooLong ? LineRead::End : LineRead::Cut;
        if (c == '\n') {
            // A CSV saved again by a Windows editor ends its lines in CRLF.
            if (!line->empty() && line->back() == '\r')
                line->pop_back();
            return tooLong ? LineRead::TooLong : LineRead::Line;
        }
        if (line->size() < kMaxCsvLine)
            line->push_back(char(c));
        else
            tooLong = true;
    }
}

// A decimal number of up to 20 digits that fits 64 bits.
bool Number(const std::string& text, uint64_t* value)
{
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (v > (UINT64_MAX - uint64_t(c - '0')) / 10)
            return false;
        v = v * 10 + uint64_t(c - '0');
    }
    *value = v;
    return true;
}

bool OptionalNumber(const std::string& text, std::optional<uint64_t>* value)
{
    uint64_t v = 0;
    if (text.empty())
        return true;
    if (!Number(text, &v))
        return false;
    *value = v;
    return true;
}

std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> fields;
    for (size_t at = 0;;) {
        const size_t comma = line.find(',', at);
        fields.push_back(line.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos || fields.size() > 8)
            return fields;
        at = comma + 1;
    }
}

// One CSV line made sense of; why not, in words.
struct CsvEntry {
    std::optional<uint64_t> index, frameId, cameraTime, receiveTime;
    std::string written;
};

std::string ParseLine(const std::string& line, CsvEntry* e)
{
    const std::vector<std::string> f = Fields(line);
    if (f.size() != 8)
        return "it has " + std::string(f.size() > 8 ? "more than 8" : std::to_string(f.size())) +
               " fields, not the header's 8";
    static const char* const kWritten[] = {"yes", "incomplete", "dropped", "skipped", "failed", "refused"};
    if (std::find(std::begin(kWritten), std::end(kWritten), f[7]) == std::end(kWritten))
        return "written is '" + f[7].substr(0, 20) + "', not yes, incomplete, dropped, skipped, failed or refused";
    e->written = f[7];
    const char* names[] = {"index", "frame_id", "camera_timestamp_ns", "receive_time_ns"};
    std::optional<uint64_t>* values[] = {&e->index, &e->frameId, &e->cameraTime, &e->receiveTime};
    for (int i = 0; i < 4; ++i)
        if (!OptionalNumber(f[size_t(i)], values[i]))
            return std::string(names[i]) + " '" + f[size_t(i)].substr(0, 24) + "' is not a whole number";
    std::optional<uint64_t> size;
    for (int i = 4; i < 6; ++i)
        if (!OptionalNumber(f[size_t(i)], &size) || size.value_or(0) > UINT32_MAX)
            return std::string(i == 4 ? "width" : "height") + " '" + f[size_t(i)].substr(0, 24) +
                   "' is not a size from 0 to 4294967295";
    if (f[6].size() > 64 || f[6].find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") !=
                                std::string::npos)
        return "pixel_format '" + f[6].substr(0, 24) + "' is not a pixel format's name";
    const bool kept = e->written == "yes" || e->written == "incomplete";
    if (kept != e->index.has_value())
        return kept ? "a frame written without an index" : "a frame not written with an index";
    if (e->written == "skipped" && !e->frameId)
        return "a skipped id without its frame_id";
    return "";
}

std::string Plural(uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

bool Recording::Open(const std::string& path, std::string* error)
{
    path_ = path;
    frames_.clear();
    csvLines_.clear();
    marks_.clear();
    warnings_.clear();
    totals_ = {};
    times_ = TimeSource::None;
    median_.reset();
    reader_ = imaging::OpenSequence(path, error);
    if (!reader_)
        return false;
    const imaging::SequenceInfo& info = reader_->Info();
    // The reader's note says why where it has one.
    if (!info.complete && info.note.empty())
        warnings_.push_back("the file ends early (a recording cut short or killed): the " +
                            Plural(reader_->FrameCount(), "whole frame", "whole frames") + " before its end are read");
    if (!info.note.empty())
        warnings_.push_back(info.note);
    frames_.resize(reader_->FrameCount());
    for (uint64_t i = 0; i < frames_.size(); ++i)
        frames_[i].index = i;
    imaging::SequenceFormat format{};
    imaging::SequenceFormatOf(path, &format);
    csvPath_ = Recorder::CsvPath(path, format);
    ReadCsv();
    FindMarks();
    return true;
}

void Recording::ReadCsv()
{
    // Looked at before it is opened: opening a pipe by that name would wait
    // for a writer.
    struct stat st {};
    const bool file = stat(csvPath_.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    std::ifstream in;
    if (file)
        in.open(csvPath_, std::ios::binary);
    if (!file || !in) {
        warnings_.push_back("no CSV (" + csvPath_ + "): frame ids, times and what was lost are not known");
        csvPath_.clear();
        return;
    }
    std::string line;
    const LineRead head = ReadLine(in, &line);
    // Spreadsheets save a UTF-8 CSV with a byte order mark before the header.
    if (line.rfind("\xEF\xBB\xBF", 0) == 0)
        line.erase(0, 3);
    if (head == LineRead::End || line != kCsvHeader) {
        warnings_.push_back(csvPath_ + (head == LineRead::End ? " is empty" : " does not start with the header " +
                                        std::string(kCsvHeader)) + ": it is not used");
        csvPath_.clear();
        totals_.unusable = true;
        return;
    }
    csvLines_.resize(frames_.size());
    uint64_t lineNo = 1, bad = 0, listed = 0, beyond = 0;
    std::string firstBad;
    std::optional<uint64_t> lastIndex;
    uint64_t skipped = 0, dropped = 0, refused = 0;
    std::string gap;  // the lines without an index since the last frame, for an export
    uint64_t gapLines = 0;
    auto fault = [&](const std::string& why) {
        if (bad++ == 0)
            firstBad = "line " + std::to_string(lineNo) + ": " + why;
    };
    for (LineRead r; (r = ReadLine(in, &line)) != LineRead::End;) {
        ++lineNo;
        if (r == LineRead::Cut) {
            warnings_.push_back("the CSV ends mid-line (a recording killed or cut short): its last line is not used");
            break;
        }
        if (r == LineRead::TooLong) {
            fault("longer than " + std::to_string(kMaxCsvLine) + " characters");
            continue;
        }
        CsvEntry e;
        if (const std::string why = ParseLine(line, &e); !why.empty()) {
            fault(why);
            continue;
        }
        if (!e.index) {
            uint64_t& count = e.written == "skipped" ? skipped : e.written == "refused" ? refused : dropped;
            ++count;
            ++(e.written == "skipped"  ? totals_.skipped
               : e.written == "refused" ? totals_.refused
               : e.written == "failed"  ? totals_.failed
                                        : totals_.dropped);
            if (gapLines++ < kMaxGapLines)
                gap += line + "\n";
            continue;
        }
        ++listed;
        if (*e.index >= frames_.size()) {
            ++beyond;
            continue;
        }
        if (lastIndex && *e.index <= *lastIndex) {
            fault("index " + std::to_string(*e.index) + " comes after index " + std::to_string(*lastIndex));
            continue;
        }
        lastIndex = e.index;
        RecordedFrame& f = frames_[*e.index];
        f.listed = true;
        f.frameId = e.frameId.value_or(0);
        f.cameraTime = e.cameraTime;
        f.receiveTime = e.receiveTime;
        f.incomplete = e.written == "incomplete";
        totals_.incomplete += f.incomplete;
        f.skippedBefore = skipped;
        f.droppedBefore = dropped;
        f.refusedBefore = refused;
        csvLines_[*e.index] = gap + line.substr(line.find(',')) + "\n";
        skipped = dropped = refused = 0;
        gap.clear();
        gapLines = 0;
    }
    totals_.listed = listed;
    totals_.trailing = skipped + dropped + refused;
    if (listed != frames_.size()) {
        std::string said = "the CSV lists " + Plural(listed, "frame", "frames") + ", the file holds " +
                           std::to_string(frames_.size());
        if (listed > frames_.size())
            said += ": a recording cut short";
        else
            said += ": " + Plural(frames_.size() - listed, "frame has", "frames have") + " no line";
        warnings_.push_back(said);
    } else if (beyond) {
        warnings_.push_back("the CSV lists " + Plural(beyond, "index", "indexes") + " beyond the file's " +
                            std::to_string(frames_.size()) + " frames");
    }
    if (bad)
        warnings_.push_back(Plural(bad, "line", "lines") + " of the CSV could not be used (" + firstBad + ")");
    totals_.badLines = bad;
}

std::optional<uint64_t> Recording::Interval(uint64_t index) const
{
    if (index + 1 >= frames_.size())
        return std::nullopt;
    const RecordedFrame &a = frames_[index], &b = frames_[index + 1];
    if (times_ == TimeSource::Camera && a.cameraTime && b.cameraTime && *b.cameraTime >= *a.cameraTime)
        return *b.cameraTime - *a.cameraTime;
    if (times_ != TimeSource::None && a.receiveTime && b.receiveTime && *b.receiveTime >= *a.receiveTime &&
        (times_ == TimeSource::Receive || !a.cameraTime || !b.cameraTime))
        return *b.receiveTime - *a.receiveTime;
    return std::nullopt;
}

void Recording::FindMarks()
{
    uint64_t camera = 0, receive = 0;
    for (const RecordedFrame& f : frames_) {
        camera += f.cameraTime.has_value();
        receive += f.receiveTime.has_value();
    }
    times_ = camera >= 2 ? TimeSource::Camera : receive >= 2 ? TimeSource::Receive : TimeSource::None;
    std::vector<uint64_t> intervals;
    for (uint64_t i = 0; i + 1 < frames_.size(); ++i)
        if (const std::optional<uint64_t> ns = Interval(i))
            intervals.push_back(*ns);
    if (!intervals.empty()) {
        std::nth_element(intervals.begin(), intervals.begin() + ptrdiff_t(intervals.size() / 2), intervals.end());
        median_ = intervals[intervals.size() / 2];
    }
    for (const RecordedFrame& f : frames_) {
        if (f.skippedBefore)
            marks_.push_back({Mark::Skipped, f.index});
        if (f.droppedBefore)
            marks_.push_back({Mark::Dropped, f.index});
        if (f.refusedBefore)
            marks_.push_back({Mark::Refused, f.index});
        if (f.incomplete)
            marks_.push_back({Mark::Incomplete, f.index});
        // A long interval is marked at the frame that came late.
        if (f.index > 0 && median_)
            if (const std::optional<uint64_t> ns = Interval(f.index - 1); ns && double(*ns) > 1.5 * double(*median_))
                marks_.push_back({Mark::LongInterval, f.index});
    }
}

uint64_t Recording::FrameCount() const { return frames_.size(); }

const RecordedFrame& Recording::Frame(uint64_t index) const
{
    static const RecordedFrame kNone;
    return index < frames_.size() ? frames_[index] : kNone;
}

std::optional<uint64_t> Recording::NextMark(uint64_t index, bool forward) const
{
    if (forward) {
        const auto it = std::upper_bound(marks_.begin(), marks_.end(), index,
                                         [](uint64_t i, const Mark& m) { return i < m.index; });
        return it == marks_.end() ? std::nullopt : std::optional<uint64_t>(it->index);
    }
    const auto it = std::lower_bound(marks_.begin(), marks_.end(), index,
                                     [](const Mark& m, uint64_t i) { return m.index < i; });
    return it == marks_.begin() ? std::nullopt : std::optional<uint64_t>(std::prev(it)->index);
}

uint64_t Recording::Step(uint64_t index, double seconds) const
{
    if (frames_.empty())
        return 0;
    index = std::min<uint64_t>(index, frames_.size() - 1);
    const double target = std::abs(seconds) * 1e9;
    const double unknown = median_ ? double(*median_) : 1e9 / kAssumedRate;
    double passed = 0;
    if (seconds > 0)
        while (index + 1 < frames_.size() && passed < target)
            passed += double(Interval(index++).value_or(uint64_t(unknown)));
    else if (seconds < 0)
        while (index > 0 && passed < target)
            passed += double(Interval(--index).value_or(uint64_t(unknown)));
    return index;
}

std::string Recording::StatusText(uint64_t index) const
{
    char text[96];
    std::snprintf(text, sizeof text, "frame %" PRIu64 " of %" PRIu64, index, uint64_t(frames_.size()));
    std::string s = text;
    if (index >= frames_.size())
        return s;
    const RecordedFrame& f = frames_[index];
    if (!f.listed)
        return s + (csvPath_.empty() ? "" : " · no CSV line");
    s += " · id " + std::to_string(f.frameId);
    if (f.cameraTime) {
        std::snprintf(text, sizeof text, " · camera %.6f s", double(*f.cameraTime) / 1e9);
        s += text;
    }
    if (index > 0)
        if (const std::optional<uint64_t> ns = Interval(index - 1)) {
            std::snprintf(text, sizeof text, " · +%.1f ms", double(*ns) / 1e6);
            s += text;
        }
    if (f.receiveTime) {
        const time_t seconds = time_t(*f.receiveTime / 1000000000);
        struct tm local {};
        localtime_r(&seconds, &local);
        char clock[32];
        std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
        std::snprintf(text, sizeof text, " · received %s.%03u", clock, unsigned(*f.receiveTime / 1000000 % 1000));
        s += text;
    }
    std::string said = f.incomplete ? "incomplete" : "";
    auto before = [&](uint64_t n, const char* one, const char* many) {
        if (n)
            said += (said.empty() ? "" : "; ") + Plural(n, one, many) + " before";
    };
    before(f.skippedBefore, "id skipped", "ids skipped");
    before(f.droppedBefore, "frame dropped", "frames dropped");
    before(f.refusedBefore, "frame refused", "frames refused");
    return said.empty() ? s : s + " · " + said;
}

std::string Recording::CsvLines(uint64_t first, uint64_t last) const
{
    std::string text;
    for (uint64_t i = first; i <= last && i < csvLines_.size(); ++i) {
        const std::string& l = csvLines_[i];
        if (l.empty())
            continue;
        // The frame's own line is the last, after the lines of what was
        // lost before it (the range's first frame's too: it came after them).
        const size_t own = l.size() >= 2 ? l.rfind('\n', l.size() - 2) : std::string::npos;
        if (own != std::string::npos)
            text += l.substr(0, own + 1);
        text += std::to_string(i - first) + l.substr(own == std::string::npos ? 0 : own + 1);
    }
    return text.empty() ? text : std::string(kCsvHeader) + "\n" + text;
}
