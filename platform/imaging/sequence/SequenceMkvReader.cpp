// Matroska recordings read back through FFmpeg's libraries: the frames'
// places found once at open (from the Cues, or by reading the packets of a
// file that has none), any frame decoded from the keyframe at or before it,
// and each handed out in the camera format the recording kept.
#include "platform/imaging/sequence/SequenceReaderParts.h"

#include "platform/camera/camtext.h"
#include "platform/imaging/convert/PixelRows.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace imaging {

namespace {

std::string AvError(int err)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

int Cores()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(1, CPU_COUNT(&set));
    return 1;
}

// Where one frame is: its time in the stream's units, and whether it can be
// decoded alone.
struct Place {
    int64_t pts;
    bool key;
};

// Whether the Matroska file at path is whole: its Segment's size known (a
// recording killed leaves it unknown) and within the file (a cut file's
// reaches past its end), or written as a stream (to a pipe), which never
// learns its size: its Info then has neither a Duration nor the room
// FFmpeg keeps for one in a file it would have gone back to finish. Read
// from the file's first bytes, as FFmpeg does not say.
bool SegmentWhole(const std::string& path, uint64_t fileSize)
{
    uint8_t head[4096] = {};
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    const size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    size_t at = 0;
    // An EBML variable-length number: its length from the first byte's
    // leading zeros; *unknown when every value bit is set.
    auto vint = [&](bool keepMarker, uint64_t* value, bool* unknown) {
        if (at >= n || head[at] == 0)
            return false;
        int len = 1;
        while (!(head[at] & (0x80 >> (len - 1))))
            ++len;
        if (at + size_t(len) > n)
            return false;
        uint64_t v = keepMarker ? head[at] : head[at] & (0xFF >> len);
        bool ones = (head[at] | (0xFF << (8 - len))) == 0xFF;
        for (int i = 1; i < len; ++i) {
            v = v << 8 | head[at + size_t(i)];
            ones = ones && head[at + size_t(i)] == 0xFF;
        }
        at += size_t(len);
        *value = v;
        if (unknown)
            *unknown = ones;
        return true;
    };
    uint64_t id = 0, size = 0;
    bool unknown = false;
    if (!vint(true, &id, nullptr) || id != 0x1A45DFA3 || !vint(false, &size, &unknown) || unknown ||
        size > n - at)
        return false;
    at += size_t(size);
    if (!vint(true, &id, nullptr) || id != 0x18538067 || !vint(false, &size, &unknown))
        return false;
    if (!unknown)
        return size <= fileSize - at;
    // The Segment's first elements, up to its Info.
    constexpr uint64_t kInfo = 0x1549A966, kDuration = 0x4489, kVoid = 0xEC, kCluster = 0x1F43B675;
    while (vint(true, &id, nullptr) && id != kCluster && vint(false, &size, &unknown) && !unknown &&
           size <= n - at) {
        if (id != kInfo) {
            at += size_t(size);
            continue;
        }
        const size_t end = at + size_t(size);
        while (at < end && vint(true, &id, nullptr) && vint(false, &size, &unknown) && !unknown &&
               size <= end - std::min(end, at)) {
            if (id == kDuration || id == kVoid)
                return false;
            at += size_t(size);
        }
        return at == end;
    }
    return false;
}

// The blocks of one track of a Matroska file, found by walking its
// elements and reading only each block's few header bytes: a file of any
// size is gone through at a seek a frame, where FFmpeg's own reading takes
// in every byte. What it cannot follow it leaves to FFmpeg (false).
class BlockWalk {
public:
    struct Block {
        int64_t time;      // in the Segment's timestamp units
        int64_t cluster;   // where its Cluster starts
        bool key;
    };

    BlockWalk(const std::string& path, uint64_t fileSize) : file_(std::fopen(path.c_str(), "rb")), size_(fileSize) {}
    ~BlockWalk()
    {
        if (file_)
            std::fclose(file_);
    }

    // The blocks of the first video track in file order; *cut: the file
    // ends inside one.
    bool Walk(std::vector<Block>* blocks, bool* cut)
    {
        uint64_t track = 0;
        uint64_t id = 0, size = 0;
        bool unknown = false;
        if (!file_ || !Element(&id, &size, &unknown) || id != 0x1A45DFA3 || unknown || !Skip(size))
            return false;
        if (!Element(&id, &size, &unknown) || id != 0x18538067)
            return false;
        const uint64_t end = unknown ? size_ : std::min<uint64_t>(size_, at_ + size);
        *cut = !unknown && at_ + size > size_;
        while (at_ < end) {
            const uint64_t start = at_;
            if (!Element(&id, &size, &unknown))
                return *cut = true;  // a header cut off
            if (id == 0x1654AE6B && !unknown && at_ + size <= size_) {
                if (!Tracks(at_ + size, &track))
                    return false;
                continue;
            }
            if (id == 0x1F43B675) {
                if (track == 0)
                    return false;  // blocks before the tracks say what they are
                if (!Cluster(start, unknown ? end : std::min<uint64_t>(end, at_ + size), unknown, track, blocks, cut))
                    return false;
                continue;
            }
            if (unknown)
                return false;  // only a Cluster may leave its size open
            if (at_ + size > size_) {
                *cut = true;
                break;
            }
            Skip(size);
        }
        return true;
    }

private:
    // An element's ID and size at the current place.
    bool Element(uint64_t* id, uint64_t* size, bool* unknown)
    {
        bool ignored;
        return Number(true, id, &ignored) && Number(false, size, unknown);
    }
    bool Number(bool keepMarker, uint64_t* value, bool* unknown)
    {
        uint8_t first;
        if (!Read(&first, 1) || first == 0)
            return false;
        int len = 1;
        while (!(first & (0x80 >> (len - 1))))
            ++len;
        uint8_t rest[7];
        if (len > 1 && !Read(rest, size_t(len - 1)))
            return false;
        uint64_t v = keepMarker ? first : first & (0xFF >> len);
        bool ones = (first | (0xFF << (8 - len))) == 0xFF;
        for (int i = 0; i < len - 1; ++i) {
            v = v << 8 | rest[i];
            ones = ones && rest[i] == 0xFF;
        }
        *value = v;
        *unknown = ones;
        return true;
    }
    bool Read(uint8_t* to, size_t n)
    {
        if (at_ + n > size_ || std::fread(to, 1, n, file_) != n)
            return false;
        at_ += n;
        return true;
    }
    bool Skip(uint64_t n)
    {
        if (at_ + n > size_ || fseeko(file_, off_t(at_ + n), SEEK_SET) != 0)
            return false;
        at_ += n;
        return true;
    }
    // The number of the first video track among the TrackEntries up to end.
    bool Tracks(uint64_t end, uint64_t* track)
    {
        while (at_ < end) {
            uint64_t id = 0, size = 0;
            bool unknown = false;
            if (!Element(&id, &size, &unknown) || unknown || at_ + size > end)
                return false;
            const uint64_t entryEnd = at_ + size;
            uint64_t number = 0, type = 0;
            while (id == 0xAE && at_ < entryEnd) {  // a TrackEntry: its TrackNumber and TrackType
                uint64_t field = 0, length = 0;
                if (!Element(&field, &length, &unknown) || unknown || at_ + length > entryEnd)
                    return false;
                if ((field == 0xD7 || field == 0x83) && length <= 8) {
                    uint8_t b[8];
                    uint64_t v = 0;
                    if (!Read(b, size_t(length)))
                        return false;
                    for (uint64_t i = 0; i < length; ++i)
                        v = v << 8 | b[i];
                    (field == 0xD7 ? number : type) = v;
                } else if (!Skip(length)) {
                    return false;
                }
            }
            if (type == 1 && *track == 0)
                *track = number;
            if (!Skip(entryEnd - at_))
                return false;
        }
        return true;
    }

    // Top-level IDs: where a Cluster of open size ends.
    static bool TopLevel(uint64_t id)
    {
        return id == 0x1F43B675 || id == 0x1C53BB6B || id == 0x1254C367 || id == 0x114D9B74 ||
               id == 0x1549A966 || id == 0x1654AE6B || id == 0x1043A770 || id == 0x1941A469;
    }
    bool Cluster(uint64_t start, uint64_t end, bool open, uint64_t track, std::vector<Block>* blocks, bool* cut)
    {
        int64_t time = 0;
        while (at_ < end) {
            const uint64_t here = at_;
            uint64_t id = 0, size = 0;
            bool unknown = false;
            if (!Element(&id, &size, &unknown)) {
                *cut = true;
                at_ = end;
                return true;
            }
            if (open && TopLevel(id)) {
                at_ = here;  // the next element of the Segment
                return fseeko(file_, off_t(at_), SEEK_SET) == 0;
            }
            if (unknown)
                return false;
            if (at_ + size > size_) {
                *cut = true;  // the block the file ends in is not a frame
                at_ = end;
                return true;
            }
            const uint64_t next = at_ + size;
            if (id == 0xE7) {  // the Cluster's timestamp
                uint8_t b[8];
                if (size > 8 || !Read(b, size_t(size)))
                    return false;
                time = 0;
                for (uint64_t i = 0; i < size; ++i)
                    time = time << 8 | b[i];
            } else if (id == 0xA3 || id == 0xA0) {  // SimpleBlock, BlockGroup
                if (!BlockAt(id == 0xA0, next, start, time, track, blocks))
                    return false;
            }
            if (!Skip(next - at_))
                return false;
        }
        return true;
    }
    // A SimpleBlock's header, or a BlockGroup's Block (a keyframe unless it
    // refers to another).
    bool BlockAt(bool group, uint64_t end, uint64_t cluster, int64_t time, uint64_t track, std::vector<Block>* blocks)
    {
        if (!group)
            return Header(track, cluster, time, false, blocks);
        const size_t mine = blocks->size();
        bool key = true, found = false;
        while (at_ < end) {
            uint64_t id = 0, size = 0;
            bool unknown = false;
            if (!Element(&id, &size, &unknown) || unknown || at_ + size > end)
                return false;
            const uint64_t next = at_ + size;
            if (id == 0xFB) {
                key = false;
            } else if (id == 0xA1 && !found) {
                found = true;
                if (!Header(track, cluster, time, true, blocks))
                    return false;
            }
            if (!Skip(next - at_))
                return false;
        }
        if (!key && blocks->size() > mine)
            (*blocks)[mine].key = false;
        return true;
    }
    bool Header(uint64_t track, uint64_t cluster, int64_t time, bool group, std::vector<Block>* blocks)
    {
        uint64_t number = 0;
        bool unknown = false;
        uint8_t b[3];
        if (!Number(false, &number, &unknown) || !Read(b, 3))
            return false;
        if (number == track) {
            const int16_t relative = int16_t(uint16_t(b[0] << 8 | b[1]));
            blocks->push_back({time + relative, int64_t(cluster), group || (b[2] & 0x80) != 0});
        }
        return true;
    }

    FILE* file_;
    uint64_t size_;
    uint64_t at_ = 0;
};

// How decoded samples become the frame handed out.
enum class Output { Copy, Planes, Gbrp, Yuv422p, YuvToBgr };

// A mosaic's row from the picture's row that keeps its even columns in the
// first half and its odd ones in the second, as the writer split it.
template <class T>
void JoinRow(const T* in, T* out, uint32_t w)
{
    const T* odd = in + w / 2;
    for (uint32_t i = 0; i < w / 2; ++i) {
        out[2 * i] = in[i];
        out[2 * i + 1] = odd[i];
    }
}

class MkvReader final : public ReaderBase {
public:
    ~MkvReader() override { Release(); }
    bool Open(const std::string& path) override;
    void ReadInOrder() override;
    uint64_t FrameCount() const override { return places_.size(); }
    bool Read(uint64_t index, ReadFrame* frame) override;

private:
    bool FindPlaces();
    bool PlacesFromCues();
    bool ScanPackets();
    bool PlacesFromBlocks();
    bool Found(bool cut);
    bool OpenDecoder();
    bool ChooseOutput(const AVFrame* picture);
    bool DecodeUntil(uint64_t index);
    bool Fill(const AVFrame* picture, uint64_t index, ReadFrame* frame);
    void Release();

    std::string path_;
    std::string bayerPattern_;  // the mosaic's filter ("RGGB") where a tag says it
    bool planes_ = false;       // the mosaic is kept as its four colour planes (BAYER_LAYOUT=planes)
    uint64_t fileSize_ = 0;
    AVFormatContext* demuxer_ = nullptr;
    AVCodecContext* decoder_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* picture_ = nullptr;
    int stream_ = -1;
    std::vector<Place> places_;  // in presentation order
    // The frame the decoder gives next without a seek (places_.size(): none).
    uint64_t next_ = 0;
    bool draining_ = false;  // the end of the file was sent to the decoder
    bool whole_ = false;     // the file ends where its Segment says, or was written as a stream
    bool inOrder_ = false;   // frames are read once each, in order: decoded a frame a thread
    Output output_ = Output::Copy;
    int pixFmt_ = AV_PIX_FMT_NONE;
    uint64_t rowBytes_ = 0;
    FramePool pool_;
};

void MkvReader::Release()
{
    av_frame_free(&picture_);
    av_packet_free(&packet_);
    avcodec_free_context(&decoder_);
    avformat_close_input(&demuxer_);
}

bool MkvReader::Open(const std::string& path)
{
    av_log_set_level(AV_LOG_FATAL);
    Release();
    path_ = path;
    places_.clear();
    stream_ = -1;
    pixFmt_ = AV_PIX_FMT_NONE;
    shape_ = SequenceShape();
    bayerPattern_.clear();
    planes_ = false;
    draining_ = false;
    info_ = SequenceInfo();
    info_.format = SequenceFormat::Mkv;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return Fail(std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return Fail("a Matroska recording is a regular file");
    fileSize_ = uint64_t(st.st_size);
    if (fileSize_ == 0)
        return Fail("the file is empty");
    const AVInputFormat* matroska = av_find_input_format("matroska");
    int err = avformat_open_input(&demuxer_, path.c_str(), matroska, nullptr);
    if (err < 0)
        return Fail("not a Matroska recording, or its header is damaged (" + AvError(err) + ")");
    for (unsigned i = 0; i < demuxer_->nb_streams && stream_ < 0; ++i)
        if (demuxer_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            stream_ = int(i);
    if (stream_ < 0)
        return Fail("the file holds no video");
    for (unsigned i = 0; i < demuxer_->nb_streams; ++i)
        demuxer_->streams[i]->discard = int(i) == stream_ ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    const AVCodecParameters* par = demuxer_->streams[stream_]->codecpar;
    info_.codec = avcodec_get_name(par->codec_id);
    std::string why;
    if (!ReadableSize(uint64_t(std::max(par->width, 0)), uint64_t(std::max(par->height, 0)), &why))
        return Fail(why);
    if (const AVDictionaryEntry* tag = av_dict_get(demuxer_->streams[stream_]->metadata, "PIXEL_FORMAT", nullptr, 0))
        info_.recordedFormat = tag->value;
    if (const AVDictionaryEntry* tag = av_dict_get(demuxer_->streams[stream_]->metadata, "BAYER_PATTERN", nullptr, 0))
        bayerPattern_ = tag->value;
    // A layout not known here would hand out its samples in the wrong places: refused.
    if (const AVDictionaryEntry* tag = av_dict_get(demuxer_->streams[stream_]->metadata, "BAYER_LAYOUT", nullptr, 0)) {
        planes_ = std::strcmp(tag->value, "planes") == 0;
        if (!planes_ && std::strcmp(tag->value, "mosaic") != 0)
            return Fail("its tag BAYER_LAYOUT is " + cam::Echoed(tag->value, true) +
                        ", a layout Tarvik does not know: it reads mosaic or planes");
    }
    packet_ = av_packet_alloc();
    picture_ = av_frame_alloc();
    if (!packet_ || !picture_)
        return Fail(std::strerror(ENOMEM));
    whole_ = SegmentWhole(path, fileSize_);
    if (!OpenDecoder() || !FindPlaces())
        return false;
    if (places_.empty())
        return Fail(info_.complete ? "the file holds no frames" : "the file ends before its first whole frame");
    // The first frame tells the samples' layout; a file whose frames cannot
    // be decoded or shown is refused here rather than frame by frame.
    ReadFrame first;
    if (!Read(0, &first))
        return false;
    return true;
}

bool MkvReader::OpenDecoder()
{
    const AVCodecParameters* par = demuxer_->streams[stream_]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (par->codec_id == AV_CODEC_ID_NONE)
        return Fail("its video track names no codec FFmpeg knows");
    if (!codec)
        return Fail("this FFmpeg cannot decode " + info_.codec);
    decoder_ = avcodec_alloc_context3(codec);
    if (!decoder_)
        return Fail(std::strerror(ENOMEM));
    int err = avcodec_parameters_to_context(decoder_, par);
    if (err < 0)
        return Fail(AvError(err));
    // Slices only: frame threads hold frames back, and a step must give its
    // frame at once. Read in order, a frame a thread keeps every thread busy
    // where a file of few slices (MagicYUV's small frames: one) leaves all
    // but one idle.
    decoder_->thread_count = Cores();
    decoder_->thread_type = inOrder_ ? FF_THREAD_FRAME | FF_THREAD_SLICE : FF_THREAD_SLICE;
    err = avcodec_open2(decoder_, codec, nullptr);
    if (err < 0)
        return Fail("cannot decode its " + info_.codec + " video: " + AvError(err));
    return true;
}

bool MkvReader::FindPlaces()
{
    if (whole_ && PlacesFromCues())
        return true;
    places_.clear();
    if (PlacesFromBlocks())
        return true;
    places_.clear();
    return ScanPackets();
}

// Frames from a walk over the file's blocks (a file without Cues, or with
// keyframes apart); FFmpeg is told where each keyframe's Cluster starts, so
// that a seek lands there rather than reading the file through to it.
bool MkvReader::PlacesFromBlocks()
{
    AVStream* st = demuxer_->streams[stream_];
    BlockWalk walk(path_, fileSize_);
    std::vector<BlockWalk::Block> blocks;
    bool cut = false;
    if (!walk.Walk(&blocks, &cut) || blocks.empty())
        return false;
    for (const BlockWalk::Block& b : blocks) {
        places_.push_back({b.time, b.key});
        if (b.key)
            av_add_index_entry(st, b.cluster, b.time, 0, 0, AVINDEX_KEYFRAME);
    }
    return Found(cut);
}

// Our recordings have a keyframe a frame, each in its own cluster, and the
// Cues list them all: the frames are the Cues' entries, checked by the
// packet that follows the first (it must be the second entry) and by
// reading on from the last entry to the end, where nothing may follow but
// that frame.
bool MkvReader::PlacesFromCues()
{
    AVStream* st = demuxer_->streams[stream_];
    // The demuxer reads the Cues at its first seek.
    av_seek_frame(demuxer_, stream_, 0, AVSEEK_FLAG_BACKWARD);
    const int n = avformat_index_get_entries_count(st);
    if (n <= 0)
        return false;
    for (int i = 0; i < n; ++i) {
        const AVIndexEntry* e = avformat_index_get_entry(st, i);
        if (!(e->flags & AVINDEX_KEYFRAME))
            return false;
        places_.push_back({e->timestamp, true});
    }
    auto packetsFrom = [&](int64_t pts, int want, std::vector<int64_t>* seen) {
        if (av_seek_frame(demuxer_, stream_, pts, AVSEEK_FLAG_BACKWARD) < 0)
            return false;
        while (int(seen->size()) < want) {
            const int err = av_read_frame(demuxer_, packet_);
            if (err < 0)
                return err == AVERROR_EOF;
            if (packet_->stream_index == stream_)
                seen->push_back(packet_->pts);
            av_packet_unref(packet_);
        }
        return true;
    };
    std::vector<int64_t> seen;
    if (!packetsFrom(places_.front().pts, 2, &seen) || seen.empty() || seen[0] != places_.front().pts)
        return false;
    if (places_.size() > 1 && (seen.size() < 2 || seen[1] != places_[1].pts))
        return false;
    seen.clear();
    if (!packetsFrom(places_.back().pts, 2, &seen) || seen.size() != 1 || seen[0] != places_.back().pts)
        return false;
    next_ = places_.size();
    return true;
}

// A file without Cues (a recording killed or cut short) or with keyframes
// apart: every packet read once, none decoded. Of a cut file the last
// packet may be only part of its frame: it is left out.
bool MkvReader::ScanPackets()
{
    if (av_seek_frame(demuxer_, stream_, INT64_MIN, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY) < 0 &&
        avformat_seek_file(demuxer_, -1, INT64_MIN, 0, INT64_MAX, AVSEEK_FLAG_BYTE) < 0) {
        // A fresh open reads from the first cluster.
        avformat_close_input(&demuxer_);
        const AVInputFormat* matroska = av_find_input_format("matroska");
        if (avformat_open_input(&demuxer_, path_.c_str(), matroska, nullptr) < 0)
            return Fail("cannot read its frames from the start");
    }
    bool cut = false;
    int64_t lastPts = AV_NOPTS_VALUE;
    for (;;) {
        const int err = av_read_frame(demuxer_, packet_);
        if (err == AVERROR_EOF)
            break;
        if (err < 0) {
            cut = true;
            break;
        }
        if (packet_->stream_index == stream_) {
            const int64_t pts = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
            if (packet_->pos >= 0 && uint64_t(packet_->pos) + uint64_t(packet_->size) > fileSize_)
                cut = true;
            else if (pts == AV_NOPTS_VALUE || pts == lastPts)
                ;  // a frame no time tells apart cannot be found again
            else
                places_.push_back({pts, (packet_->flags & AV_PKT_FLAG_KEY) != 0});
            lastPts = pts;
        }
        av_packet_unref(packet_);
    }
    av_packet_unref(packet_);
    return Found(cut);
}

// What a walk or a scan found, put in time order: frames decoded ahead of
// others (B-frames) are shown in time order, a frame no time tells apart
// from the one before cannot be found again, those before the first
// keyframe cannot be decoded.
bool MkvReader::Found(bool cut)
{
    std::stable_sort(places_.begin(), places_.end(), [](const Place& a, const Place& b) { return a.pts < b.pts; });
    places_.erase(std::unique(places_.begin(), places_.end(),
                              [](const Place& a, const Place& b) { return a.pts == b.pts; }),
                  places_.end());
    if (!places_.empty() && !places_.front().key) {
        // Frames before the first keyframe cannot be decoded.
        auto key = std::find_if(places_.begin(), places_.end(), [](const Place& p) { return p.key; });
        const size_t dropped = size_t(key - places_.begin());
        places_.erase(places_.begin(), key);
        info_.note = std::to_string(dropped) + " frames before the first keyframe cannot be decoded";
    }
    info_.complete = whole_ && !cut;
    if (!info_.complete) {
        const std::string ends = "the file ends early (a recording cut or killed): its " +
                                 std::to_string(places_.size()) + " whole frames are read";
        info_.note = info_.note.empty() ? ends : ends + "; " + info_.note;
    }
    next_ = places_.size();
    return true;
}

bool MkvReader::ChooseOutput(const AVFrame* picture)
{
    const auto fmt = AVPixelFormat(picture->format);
    const cam::PixelFormat* tagged = cam::FindPixelFormat(info_.recordedFormat.c_str());
    const cam::PixelFormat* unpacked = UnpackedFormat(tagged);
    const char* name = av_get_pix_fmt_name(fmt);
    const std::string what = info_.codec + " video in " + (name ? name : "an unknown layout");
    auto grey = [&](int bits) {
        if (unpacked && (unpacked->sampling == cam::Sampling::Mono || unpacked->sampling == cam::Sampling::Bayer) &&
            (unpacked->bits > 8) == (bits > 8))
            return unpacked;
        const std::string depth = bits <= 8 ? "8" : bits <= 10 ? "10" : bits <= 12 ? "12" : bits <= 14 ? "14" : "16";
        // A mosaic the pixel format is not named for, only its filter.
        const std::string mosaic = "Bayer" + bayerPattern_.substr(0, 2) + depth;
        if (bayerPattern_.size() == 4)
            if (const cam::PixelFormat* f = cam::FindPixelFormat(mosaic.c_str()))
                return f;
        return cam::FindPixelFormat(("Mono" + depth).c_str());
    };
    output_ = Output::Copy;
    switch (fmt) {
    case AV_PIX_FMT_GRAY8: shape_.format = grey(8); break;
    case AV_PIX_FMT_GRAY10LE: shape_.format = grey(10); break;
    case AV_PIX_FMT_GRAY12LE: shape_.format = grey(12); break;
    case AV_PIX_FMT_GRAY14LE: shape_.format = grey(14); break;
    case AV_PIX_FMT_GRAY16LE: shape_.format = grey(16); break;
    case AV_PIX_FMT_BGR0:
    case AV_PIX_FMT_BGRA: shape_.format = cam::FindPixelFormat("BGRa8"); break;
    case AV_PIX_FMT_BGR24: shape_.format = cam::FindPixelFormat("BGR8"); break;
    case AV_PIX_FMT_RGB24: shape_.format = cam::FindPixelFormat("RGB8"); break;
    case AV_PIX_FMT_GBRP:
        output_ = Output::Gbrp;
        shape_.format = cam::FindPixelFormat("BGR8");
        break;
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
        if (tagged && tagged->sampling == cam::Sampling::Yuv422) {
            output_ = Output::Yuv422p;
            shape_.format = tagged;
            break;
        }
        [[fallthrough]];
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
        // Not a camera's layout: shown as colour, by BT.601.
        output_ = Output::YuvToBgr;
        shape_.format = cam::FindPixelFormat("BGR8");
        info_.note += std::string(info_.note.empty() ? "" : "; ") + what + " is read as BGR8 colour";
        break;
    default: return Fail("cannot show " + what + ": grey, BGR, GBR planes and YUV are read");
    }
    if (planes_) {
        if (output_ != Output::Copy || shape_.format->sampling == cam::Sampling::Colour || picture->width % 2 ||
            picture->height % 2)
            return Fail("its tag BAYER_LAYOUT says planes, but its frames are " + std::to_string(picture->width) +
                        " x " + std::to_string(picture->height) + " " + what +
                        ": the planes of a mosaic are grey, of an even width and height");
        // A stream that says it is no mosaic would have its picture scrambled.
        if (tagged && tagged->sampling != cam::Sampling::Bayer)
            return Fail("its tag BAYER_LAYOUT says planes, but its tag PIXEL_FORMAT says " + info_.recordedFormat +
                        ", no Bayer mosaic: the planes of a mosaic are read only as that mosaic");
        output_ = Output::Planes;
    }
    if (pixFmt_ != AV_PIX_FMT_NONE && pixFmt_ != fmt)
        return Fail("its frames change layout from " + std::string(av_get_pix_fmt_name(AVPixelFormat(pixFmt_))) +
                    " to " + (name ? name : "?"));
    if (shape_.width && (shape_.width != uint32_t(picture->width) || shape_.height != uint32_t(picture->height)))
        return Fail("its frames change size");
    pixFmt_ = fmt;
    shape_.width = uint32_t(picture->width);
    shape_.height = uint32_t(picture->height);
    rowBytes_ = cam::RowBytes(*shape_.format, shape_.width);
    return true;
}

// Decodes until the decoder gives frame index; the decoder is at next_.
bool MkvReader::DecodeUntil(uint64_t index)
{
    const int64_t want = places_[index].pts;
    for (;;) {
        int err = avcodec_receive_frame(decoder_, picture_);
        if (err == 0) {
            const int64_t pts = picture_->pts != AV_NOPTS_VALUE ? picture_->pts : picture_->best_effort_timestamp;
            if (pts == want)
                return true;
            av_frame_unref(picture_);
            if (pts > want)
                return Fail("frame " + std::to_string(index) +
                            " is not where the file's index puts it (the file is damaged there)");
            continue;
        }
        if (err == AVERROR_EOF)
            return Fail("frame " + std::to_string(index) + " is missing from the file");
        if (err != AVERROR(EAGAIN))
            return Fail("frame " + std::to_string(index) + " is damaged: " + AvError(err));
        err = av_read_frame(demuxer_, packet_);
        if (err == AVERROR_EOF || (err < 0 && !draining_)) {
            draining_ = true;
            avcodec_send_packet(decoder_, nullptr);
            continue;
        }
        if (err < 0)
            return Fail("cannot read frame " + std::to_string(index) + ": " + AvError(err));
        if (packet_->stream_index != stream_) {
            av_packet_unref(packet_);
            continue;
        }
        err = avcodec_send_packet(decoder_, packet_);
        av_packet_unref(packet_);
        if (err < 0 && err != AVERROR(EAGAIN))
            return Fail("frame " + std::to_string(index) + " is damaged: " + AvError(err));
    }
}

void MkvReader::ReadInOrder()
{
    if (inOrder_ || !decoder_)
        return;
    inOrder_ = true;
    avcodec_free_context(&decoder_);
    // A decoder that takes no frame threads is opened as it was.
    if (!OpenDecoder()) {
        inOrder_ = false;
        OpenDecoder();
    }
    next_ = places_.size();
    draining_ = false;
}

bool MkvReader::Read(uint64_t index, ReadFrame* frame)
{
    if (!decoder_)
        return Fail("cannot decode its " + info_.codec + " video");
    if (index >= places_.size())
        return Fail("no frame " + std::to_string(index) + ": the recording has " + std::to_string(places_.size()));
    if (index != next_ || draining_) {
        uint64_t key = index;
        while (key > 0 && !places_[key].key)
            --key;
        const int err = av_seek_frame(demuxer_, stream_, places_[key].pts, AVSEEK_FLAG_BACKWARD);
        if (err < 0) {
            next_ = places_.size();
            return Fail("cannot go to frame " + std::to_string(index) + ": " + AvError(err));
        }
        avcodec_flush_buffers(decoder_);
        draining_ = false;
    }
    // After a failure the decoder's place is not known: the next read seeks.
    next_ = places_.size();
    if (!DecodeUntil(index))
        return false;
    const bool filled = (pixFmt_ != AV_PIX_FMT_NONE || ChooseOutput(picture_)) && Fill(picture_, index, frame);
    av_frame_unref(picture_);
    if (filled)
        next_ = index + 1;
    return filled;
}

bool MkvReader::Fill(const AVFrame* picture, uint64_t index, ReadFrame* frame)
{
    if (picture->format != pixFmt_ || uint32_t(picture->width) != shape_.width ||
        uint32_t(picture->height) != shape_.height)
        return Fail("frame " + std::to_string(index) + " differs in size or layout from the first");
    auto buffer = pool_.Take(rowBytes_ * shape_.height);
    if (!buffer)
        return Fail("no memory for frame " + std::to_string(index));
    const uint32_t w = shape_.width;
    std::vector<uint8_t> yuyv;
    if (output_ == Output::YuvToBgr)
        yuyv.resize(size_t(w) * 2 + 4);
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(AVPixelFormat(picture->format));
    for (uint32_t y = 0; y < shape_.height; ++y) {
        uint8_t* out = buffer->data() + y * rowBytes_;
        const uint8_t* p0 = picture->data[0] + ptrdiff_t(y) * picture->linesize[0];
        switch (output_) {
        case Output::Copy: std::memcpy(out, p0, size_t(rowBytes_)); break;
        case Output::Planes: {
            const uint8_t* in = picture->data[0] + ptrdiff_t(BayerPlanesRow(y, shape_.height)) * picture->linesize[0];
            if (rowBytes_ == w)
                JoinRow(in, out, w);
            else
                JoinRow(reinterpret_cast<const uint16_t*>(in), reinterpret_cast<uint16_t*>(out), w);
            break;
        }
        case Output::Gbrp: {
            const uint8_t* b = picture->data[1] + ptrdiff_t(y) * picture->linesize[1];
            const uint8_t* r = picture->data[2] + ptrdiff_t(y) * picture->linesize[2];
            for (uint32_t x = 0; x < w; ++x, out += 3) {
                out[0] = b[x];
                out[1] = p0[x];
                out[2] = r[x];
            }
            break;
        }
        case Output::Yuv422p:
        case Output::YuvToBgr: {
            const int cy = int(y >> desc->log2_chroma_h);
            const uint8_t* u = picture->data[1] + ptrdiff_t(cy) * picture->linesize[1];
            const uint8_t* v = picture->data[2] + ptrdiff_t(cy) * picture->linesize[2];
            const bool uyvy = output_ == Output::Yuv422p && shape_.format->order[0] == 'U';
            uint8_t* pairs = output_ == Output::Yuv422p ? out : yuyv.data();
            for (uint32_t x = 0; x < w; x += 2) {
                const uint32_t c = (x >> desc->log2_chroma_w);
                uint8_t* o = pairs + 2 * size_t(x);
                o[uyvy ? 1 : 0] = p0[x];
                o[uyvy ? 0 : 1] = u[c];
                if (x + 1 < w) {
                    o[uyvy ? 3 : 2] = p0[x + 1];
                    o[uyvy ? 2 : 3] = v[c];
                }
            }
            if (output_ == Output::YuvToBgr) {
                const bool limited = picture->color_range != AVCOL_RANGE_JPEG;
                YuvToBgr(yuyv.data(), out, w, false, limited);
            }
            break;
        }
        }
    }
    const AVRational tb = demuxer_->streams[stream_]->time_base;
    HandOut(buffer, index, av_rescale_q(places_[index].pts, tb, AVRational{1, 1000000000}), frame);
    return true;
}

}  // namespace

std::unique_ptr<SequenceReader> MakeMkvReader() { return std::make_unique<MkvReader>(); }

}  // namespace imaging
