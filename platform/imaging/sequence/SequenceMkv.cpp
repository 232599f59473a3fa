// Recordings in Matroska: every frame coded losslessly (FFV1, MagicYUV or
// FFVHuff) through FFmpeg's libraries, each frame its own keyframe, the file written through our own descriptor so that every write
// is checked and the file always ends on a whole frame.
#include "SequenceFile.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

namespace imaging {

namespace {

constexpr AVRational kNanoseconds{1, 1000000000};
constexpr int kIoBufferBytes = 1 << 20;
// The slice counts FFV1 takes and how its encoder lays each out, columns x
// rows of slices; more slices than threads keeps every thread busy to the end
// of a frame.
struct SliceLayout {
    int count, columns, rows;
};
constexpr SliceLayout kSliceLayouts[] = {{4, 2, 2},  {6, 3, 2},  {9, 3, 3},  {12, 4, 3}, {16, 4, 4},
                                         {24, 6, 4}, {30, 6, 5}, {36, 6, 6}, {42, 7, 6}};
// Context model 0 (small): measured 15 % faster than 1 on noisy 1292 x 964
// grey frames, both lossless, its files 0.5 % larger.
constexpr int kContextModel = 0;
// How long a FIFO's reader is waited for.
constexpr auto kFifoReaderWait = std::chrono::seconds(10);

int Cores()
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return std::max(1, CPU_COUNT(&set));
    return std::max(1L, sysconf(_SC_NPROCESSORS_ONLN));
}

std::string AvError(int err)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof text);
    return text;
}

// The codecs --record-codec offers. The fast ones are intra-only and
// threaded a frame per thread (FFV1 a slice per thread); measured on 18 noisy
// 5472 x 3648 grey frames with FFmpeg's command line, 2 threads, on this
// 2-core machine: FFV1 2.2 s a frame, MagicYUV 0.34 s (1.06 x FFV1's size),
// FFVHuff 0.29 s (1.23 x).
struct CodecInfo {
    const char* name;
    AVCodecID id;
    bool wide;  // keeps samples of more than 8 bits
};
constexpr CodecInfo kCodecs[] = {
    {"ffv1", AV_CODEC_ID_FFV1, true},
    {"magicyuv", AV_CODEC_ID_MAGICYUV, false},
    {"ffvhuff", AV_CODEC_ID_FFVHUFF, true},
};
// The data rate up to which FFV1, whose files are the smallest, is the
// default: about what it encodes on the 2 cores measured above (20 MB
// frames, 2.2 s each, i.e. 9 MB/s), with room for a busy machine.
constexpr double kFfv1BytesPerSecond = 8e6;

const CodecInfo* FindCodec(const std::string& name)
{
    for (const CodecInfo& c : kCodecs)
        if (name == c.name)
            return &c;
    return name.empty() ? &kCodecs[0] : nullptr;
}

std::string CodecNames()
{
    std::string names;
    for (const CodecInfo& c : kCodecs)
        names += (names.empty() ? "" : ", ") + std::string(c.name);
    return names;
}

// A row of w samples, sample(x) each, into out; split: a mosaic's row, its
// even columns into the first half and its odd ones into the second (w even).
// One pass over the row as it is copied in: at 8 bits some 4 times a plain
// copy's time, still a small part of the fastest codec's.
template <class T, class Sample>
void PutRow(T* out, uint32_t w, bool split, Sample sample)
{
    if (!split) {
        for (uint32_t x = 0; x < w; ++x)
            out[x] = sample(x);
        return;
    }
    T* odd = out + w / 2;
    for (uint32_t i = 0; i < w / 2; ++i) {
        out[i] = sample(2 * i);
        odd[i] = sample(2 * i + 1);
    }
}

// Where the samples of one row go.
enum class Layout { Gray8, Gray16, Bgr0, Gbrp, Yuv422p };

Layout LayoutOf(const cam::PixelFormat& f, const CodecInfo& codec)
{
    switch (f.sampling) {
    case cam::Sampling::Mono:
    case cam::Sampling::Bayer:
        return f.bits > 8 ? Layout::Gray16 : Layout::Gray8;
    case cam::Sampling::Colour:
        // The fast codecs take colour as planes only.
        return codec.id == AV_CODEC_ID_FFV1 ? Layout::Bgr0 : Layout::Gbrp;
    case cam::Sampling::Yuv422:
        break;
    }
    return Layout::Yuv422p;
}

AVPixelFormat AvFormatOf(Layout layout)
{
    switch (layout) {
    case Layout::Gray8:
        return AV_PIX_FMT_GRAY8;
    case Layout::Gray16:
        return AV_PIX_FMT_GRAY16LE;
    case Layout::Bgr0:
        return AV_PIX_FMT_BGR0;
    case Layout::Gbrp:
        return AV_PIX_FMT_GBRP;
    case Layout::Yuv422p:
        break;
    }
    return AV_PIX_FMT_YUV422P;
}

// The slice counts to try, best first: the fewest that give every thread
// one, then fewer, the most first, then one. FFV1 (version 3) writes where a
// slice starts and ends in whole slices as (pixel + 1) x slices / size, which
// is right only while a slice spans more than one row and one column: a
// thinner one is written in the wrong place and readers drop it (it decodes
// black, nothing said). So no count that would make one is tried; none at
// all for a frame one pixel high or wide.
std::vector<int> SliceCounts(uint32_t width, uint32_t height, int threads)
{
    std::vector<int> fit, counts;
    for (const SliceLayout& l : kSliceLayouts)
        if (uint32_t(l.columns) < width && uint32_t(l.rows) < height)
            fit.push_back(l.count);
    for (int n : fit)
        if (n >= threads)
            counts.push_back(n);
    for (auto n = fit.rbegin(); n != fit.rend(); ++n)
        if (*n < threads)
            counts.push_back(*n);
    if (width > 1 && height > 1)
        counts.push_back(1);
    return counts;
}

// The encoder of id (named name in messages) when it can take frames of
// shape's size; null with *why when FFmpeg has none or the size is past
// FFmpeg's own limit, said as what it takes rather than as its EINVAL.
const AVCodec* EncoderFor(AVCodecID id, const std::string& name, const SequenceShape& shape, std::string* why)
{
    const AVCodec* encoder = avcodec_find_encoder(id);
    if (!encoder) {
        *why = "this FFmpeg has no " + name + " encoder";
        return nullptr;
    }
    if (av_image_check_size(shape.width, shape.height, 0, nullptr) < 0) {
        *why = name + " cannot keep frames of " + std::to_string(shape.width) + " x " + std::to_string(shape.height) +
               " pixels: FFmpeg takes at most (width + 128) x (height + 128) = " + std::to_string(INT_MAX / 8 - 1);
        return nullptr;
    }
    return encoder;
}

// A context of encoder for frames of shape in layout, set as every codec
// here is: the size, the samples' layout, nanosecond times, every frame a
// keyframe (decodable alone, one damaged frame spoils no other; for FFV1,
// measured on 18 noisy 20 MP frames, 0.01 % larger than its default of one
// in 12, the time within the machine's noise), how the samples turn into
// colour (so that readers do not guess: a full-range picture taken as
// limited is up to 19 levels off) and the header where the container wants
// it. Null, with *why, without memory.
AVCodecContext* NewContext(const AVCodec* encoder, const SequenceShape& shape, Layout layout, int threads,
                           int threadType, bool globalHeader, std::string* why)
{
    AVCodecContext* codec = avcodec_alloc_context3(encoder);
    if (!codec) {
        *why = std::strerror(ENOMEM);
        return nullptr;
    }
    codec->width = int(shape.width);
    codec->height = int(shape.height);
    codec->pix_fmt = AvFormatOf(layout);
    codec->time_base = kNanoseconds;
    codec->gop_size = 1;
    codec->thread_count = threads;
    codec->thread_type = threadType;
    if (layout == Layout::Yuv422p && shape.format->matrix != cam::Matrix::None) {
        codec->color_range = shape.format->matrix == cam::Matrix::FullRange601 ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        codec->colorspace = AVCOL_SPC_SMPTE170M;
    }
    if (globalHeader)
        codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return codec;
}

// An FFV1 encoder for frames of shape, open; null with *why when it takes
// none.
AVCodecContext* OpenFfv1(const SequenceShape& shape, int threads, bool globalHeader, std::string* why)
{
    const AVCodec* ffv1 = EncoderFor(AV_CODEC_ID_FFV1, "FFV1", shape, why);
    if (!ffv1)
        return nullptr;
    const std::string size = std::to_string(shape.width) + " x " + std::to_string(shape.height);
    const Layout layout = LayoutOf(*shape.format, kCodecs[0]);
    // Version 3, sliced and with a CRC a slice; where no count of slices
    // would be placed right (a frame one pixel high or wide, or two rows of
    // a wide frame, which the encoder splits into two rows of slices
    // whatever it is asked), version 1: one slice, no positions to get wrong,
    // no CRCs, one thread.
    std::vector<std::pair<int, int>> tries;  // level, slices
    for (int slices : SliceCounts(shape.width, shape.height, threads))
        tries.emplace_back(3, slices);
    tries.emplace_back(1, 1);
    int err = AVERROR(EINVAL);
    for (const auto& [level, slices] : tries) {
        AVCodecContext* codec = NewContext(ffv1, shape, layout, threads, FF_THREAD_SLICE, globalHeader, why);
        if (!codec)
            return nullptr;
        codec->level = level;
        codec->slices = slices;
        // Asked of version 1, CRCs would make it version 3.
        if (level >= 3)
            av_opt_set_int(codec->priv_data, "slicecrc", 1, 0);
        av_opt_set_int(codec->priv_data, "context", kContextModel, 0);
        err = avcodec_open2(codec, ffv1, nullptr);
        if (err >= 0)
            return codec;
        avcodec_free_context(&codec);
    }
    *why = "FFV1 cannot keep frames of " + size + " pixels: " + AvError(err);
    return nullptr;
}

// FFmpeg 5.1's MagicYUV reader says every YUV picture is limited range
// whatever the file's track says: full-range samples come back exact but
// are shown up to 19 levels off.
bool FullRangeLost(const CodecInfo& info, const cam::PixelFormat& f)
{
    return info.id == AV_CODEC_ID_MAGICYUV && f.sampling == cam::Sampling::Yuv422 &&
           f.matrix == cam::Matrix::FullRange601;
}

// The encoder of codec for frames of shape, open; null with *why when it
// takes none.
AVCodecContext* OpenCodec(const CodecInfo& info, const SequenceShape& shape, int threads, bool globalHeader,
                            std::string* why)
{
    if (info.id == AV_CODEC_ID_FFV1)
        return OpenFfv1(shape, threads, globalHeader, why);
    const Layout layout = LayoutOf(*shape.format, info);
    if (layout == Layout::Gray16 && !info.wide) {
        *why = std::string(info.name) + " keeps 8-bit samples only: " + shape.format->name +
               " goes to ffvhuff or ffv1";
        return nullptr;
    }
    if (FullRangeLost(info, *shape.format)) {
        *why = std::string(info.name) + " files are read as limited-range YUV: " + shape.format->name +
               " (full range) goes to ffvhuff or ffv1";
        return nullptr;
    }
    const AVCodec* encoder = EncoderFor(info.id, info.name, shape, why);
    if (!encoder)
        return nullptr;
    const std::string size = std::to_string(shape.width) + " x " + std::to_string(shape.height);
    // A frame a thread: they have no slices of their own to share out.
    AVCodecContext* codec = NewContext(encoder, shape, layout, threads, FF_THREAD_FRAME, globalHeader, why);
    if (!codec)
        return nullptr;
    const int err = avcodec_open2(codec, encoder, nullptr);
    if (err >= 0)
        return codec;
    avcodec_free_context(&codec);
    *why = std::string(info.name) + " cannot keep frames of " + size + " pixels in " + shape.format->name + ": " +
           AvError(err);
    // FFVHuff halves the chroma rows by whole pairs: an odd width is refused.
    if (layout == Layout::Yuv422p && shape.width % 2)
        *why = std::string(info.name) + " keeps YUV 4:2:2 frames of an even width only: " + size + " pixels in " +
               shape.format->name + " go to ffv1";
    return nullptr;
}

class MkvWriter : public SequenceWriter {
public:
    explicit MkvWriter(const SequenceOptions& options)
        : threads_(options.threads > 0 ? options.threads : Cores()),
          codecName_(options.codec),
          planesAsked_(options.bayerPlanes)
    {
    }
    ~MkvWriter() override
    {
        if (fd_ >= 0)
            Close();
    }

    bool Open(const std::string& path, const SequenceShape& shape, bool overwrite) override;
    bool Write(const SequenceFrame& frame) override;
    bool Close() override;
    const std::string& Error() const override { return error_; }
    uint64_t BytesWritten() const override { return end_; }
    uint64_t FramesHeld() const override { return taken_ > kept_ ? taken_ - kept_ : 0; }

private:
    static int WritePacket(void* opaque, uint8_t* data, int size);
    static int64_t Seek(void* opaque, int64_t offset, int whence);
    bool WriteAll(const uint8_t* data, size_t size);
    bool Fail(const std::string& why);
    bool FailErrno(int err) { return Fail(std::strerror(err)); }
    bool OpenFile(const std::string& path, bool overwrite);
    bool OpenEncoder();
    bool OpenMuxer();
    bool Drain();
    bool EndCluster();
    void Fill(const SequenceFrame& frame);
    void FillRow(const uint8_t* src, uint32_t y);
    uint32_t PictureRow(uint32_t y) const { return planes_ ? BayerPlanesRow(y, shape_.height) : y; }
    int64_t PtsOf(const SequenceFrame& frame);
    void Release();

    int threads_;
    std::string codecName_;
    bool planesAsked_ = false;
    bool planes_ = false;  // this recording's mosaic is kept as its four colour planes
    const CodecInfo* info_ = &kCodecs[0];
    int fd_ = -1;
    bool seekable_ = false;
    bool created_ = false;  // by Open, rather than replaced
    bool failed_ = false;
    bool trailerDue_ = false;
    std::string error_;
    SequenceShape shape_;
    Layout layout_ = Layout::Gray8;
    uint64_t rowBytes_ = 0;
    std::vector<uint8_t> row_;  // a row the camera filled only in part, zero-padded

    AVCodecContext* codec_ = nullptr;
    AVFormatContext* muxer_ = nullptr;
    AVIOContext* io_ = nullptr;
    AVStream* stream_ = nullptr;
    std::vector<AVFrame*> pictures_;
    AVFrame* picture_ = nullptr;  // the one being filled
    uint64_t frames_ = 0;
    AVPacket* packet_ = nullptr;

    int64_t position_ = 0;  // of the descriptor, as the muxer sees it
    uint64_t end_ = 0;      // bytes in the file
    uint64_t wholeEnd_ = 0; // where the last whole frame ends
    bool useCameraClock_ = false;
    uint64_t firstTime_ = 0;
    int64_t lastPts_ = -1;      // ns
    int64_t lastMuxedPts_ = -1; // in the stream's time base
    uint64_t taken_ = 0, muxed_ = 0, kept_ = 0;  // frames Write took, given to the muxer, whole in the file
};

bool MkvWriter::Fail(const std::string& why)
{
    if (error_.empty())
        error_ = why;
    failed_ = true;
    return false;
}

// A reader that went away must fail the write (EPIPE), not end the program:
// SIGPIPE is held back on this thread while writing and taken if it came.
bool MkvWriter::WriteAll(const uint8_t* data, size_t size)
{
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const bool guard = !seekable_ && pthread_sigmask(SIG_BLOCK, &pipe, &old) == 0;
    sigset_t pending;
    sigemptyset(&pending);
    const bool pipeWasPending = guard && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    int err = 0;
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            err = n < 0 ? errno : ENOSPC;
            break;
        }
        data += n;
        size -= size_t(n);
        position_ += n;
        end_ = std::max(end_, uint64_t(position_));
    }
    if (guard) {
        if (err == EPIPE && !pipeWasPending) {
            const timespec now{};
            sigtimedwait(&pipe, nullptr, &now);
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    return err == 0 || FailErrno(err);
}

// The first failure stays: nothing is written after it, so that the muxer's
// later attempts (its trailer, its going back to fill in sizes) cannot leave
// a header pointing at what is not there.
int MkvWriter::WritePacket(void* opaque, uint8_t* data, int size)
{
    auto* self = static_cast<MkvWriter*>(opaque);
    if (self->failed_)
        return AVERROR(EIO);
    return self->WriteAll(data, size_t(size)) ? size : AVERROR(EIO);
}

int64_t MkvWriter::Seek(void* opaque, int64_t offset, int whence)
{
    auto* self = static_cast<MkvWriter*>(opaque);
    if (whence & AVSEEK_SIZE)
        return int64_t(self->end_);
    const off_t at = lseek(self->fd_, off_t(offset), whence & ~AVSEEK_FORCE);
    if (at < 0) {
        const int err = errno;
        self->FailErrno(err);
        return AVERROR(err);
    }
    self->position_ = at;
    return at;
}

bool MkvWriter::OpenFile(const std::string& path, bool overwrite)
{
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        if (S_ISDIR(st.st_mode))
            return FailErrno(EISDIR);
        // A FIFO is streamed into, never replaced. A device is not a place
        // to keep a recording (one into /dev/null would say it kept frames).
        if (!S_ISFIFO(st.st_mode))
            return Fail("a recording goes to a regular file, or is streamed into a FIFO");
        // A FIFO no program reads would hold a plain open, signals and all:
        // the reader is waited for a while, then the recording gives up.
        const auto giveUp = std::chrono::steady_clock::now() + kFifoReaderWait;
        while ((fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)) < 0 && errno == ENXIO &&
               std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (fd_ < 0)
            return errno == ENXIO ? Fail("no program read from the FIFO within 10 s: start the reader first")
                                  : FailErrno(errno);
        const int flags = fcntl(fd_, F_GETFL);
        if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0)
            return FailErrno(errno);
        seekable_ = false;
        return true;
    }
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (overwrite ? O_TRUNC : O_EXCL), 0666);
    if (fd_ < 0)
        return FailErrno(errno);
    seekable_ = true;
    created_ = !exists;
    return true;
}

bool MkvWriter::OpenEncoder()
{
    std::string why;
    codec_ = OpenCodec(*info_, shape_, threads_, muxer_->oformat->flags & AVFMT_GLOBALHEADER, &why);
    return codec_ || Fail(why);
}

bool MkvWriter::OpenMuxer()
{
    stream_ = avformat_new_stream(muxer_, nullptr);
    if (!stream_)
        return FailErrno(ENOMEM);
    int err = avcodec_parameters_from_context(stream_->codecpar, codec_);
    if (err < 0)
        return Fail(AvError(err));
    stream_->time_base = kNanoseconds;
    // Grey pictures do not say what their samples were: the camera's name
    // for them, and a mosaic's filter pattern, for whoever demosaics later.
    av_dict_set(&stream_->metadata, "PIXEL_FORMAT", shape_.format->name, 0);
    if (shape_.format->sampling == cam::Sampling::Bayer) {
        const char pattern[5] = {cam::BayerColour(*shape_.format, 0, 0), cam::BayerColour(*shape_.format, 1, 0),
                                 cam::BayerColour(*shape_.format, 0, 1), cam::BayerColour(*shape_.format, 1, 1), 0};
        av_dict_set(&stream_->metadata, "BAYER_PATTERN", pattern, 0);
        av_dict_set(&stream_->metadata, "BAYER_LAYOUT", planes_ ? "planes" : "mosaic", 0);
    }

    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
    io_ = buffer ? avio_alloc_context(buffer, kIoBufferBytes, 1, this, nullptr, WritePacket,
                                      seekable_ ? Seek : nullptr)
                 : nullptr;
    if (!io_) {
        av_free(buffer);
        return FailErrno(ENOMEM);
    }
    // Without seeking Matroska is streamed: no index, sizes left open.
    io_->seekable = seekable_ ? AVIO_SEEKABLE_NORMAL : 0;
    muxer_->pb = io_;
    err = avformat_write_header(muxer_, nullptr);
    if (err < 0)
        return Fail(failed_ ? error_ : AvError(err));
    trailerDue_ = true;
    avio_flush(io_);
    if (failed_)
        return false;
    wholeEnd_ = end_;
    return true;
}

bool MkvWriter::Open(const std::string& path, const SequenceShape& shape, bool overwrite)
{
    if (fd_ >= 0 || !shape.format || shape.width == 0 || shape.height == 0)
        return Fail(std::strerror(EINVAL));
    error_.clear();
    failed_ = false;
    if (!(info_ = FindCodec(codecName_))) {
        info_ = &kCodecs[0];
        return Fail("unknown codec '" + codecName_ + "': " + CodecNames());
    }
    shape_ = shape;
    layout_ = LayoutOf(*shape.format, *info_);
    planes_ = planesAsked_ && MkvBayerPlanesNote(shape).empty();
    rowBytes_ = cam::RowBytes(*shape.format, shape.width);
    row_.assign(size_t(rowBytes_), 0);
    position_ = 0;
    end_ = wholeEnd_ = 0;
    lastPts_ = lastMuxedPts_ = -1;
    frames_ = 0;
    taken_ = muxed_ = kept_ = 0;
    created_ = false;
    if (!OpenFile(path, overwrite))
        return false;
    int err = avformat_alloc_output_context2(&muxer_, nullptr, "matroska", nullptr);
    if (err < 0) {
        Fail(AvError(err));
    } else if (OpenEncoder()) {
        packet_ = av_packet_alloc();
        // The encoder holds each frame it is given until it is done with it:
        // one (FFV1), or one a thread while the others are coded.
        pictures_.assign(info_->id == AV_CODEC_ID_FFV1 ? 2 : size_t(threads_) + 2, nullptr);
        for (AVFrame*& picture : pictures_) {
            picture = av_frame_alloc();
            if (!picture || !packet_) {
                FailErrno(ENOMEM);
                break;
            }
            picture->format = codec_->pix_fmt;
            picture->width = codec_->width;
            picture->height = codec_->height;
            if ((err = av_frame_get_buffer(picture, 0)) < 0) {
                Fail(AvError(err));
                break;
            }
        }
        if (!failed_)
            OpenMuxer();
    }
    if (!failed_)
        return true;
    const std::string why = error_;
    Close();
    if (created_)
        unlink(path.c_str());  // nothing of a recording is in it
    error_ = why;
    return false;
}

void MkvWriter::FillRow(const uint8_t* src, uint32_t y)
{
    const cam::PixelFormat& f = *shape_.format;
    const uint32_t w = shape_.width;
    uint8_t* const* planes = picture_->data;
    const int* pitch = picture_->linesize;
    switch (layout_) {
    case Layout::Gray8:
        if (planes_)
            PutRow(planes[0] + ptrdiff_t(PictureRow(y)) * pitch[0], w, true, [src](uint32_t x) { return src[x]; });
        else
            std::memcpy(planes[0] + ptrdiff_t(y) * pitch[0], src, w);
        break;
    case Layout::Gray16: {
        auto* out = reinterpret_cast<uint16_t*>(planes[0] + ptrdiff_t(PictureRow(y)) * pitch[0]);
        if (f.packing == cam::Packing::Word) {
            const uint16_t mask = uint16_t((1u << f.bits) - 1);
            PutRow(out, w, planes_,
                   [src, mask](uint32_t x) { return uint16_t((src[2 * x] | src[2 * x + 1] << 8) & mask); });
        } else {
            PutRow(out, w, planes_, [src, &f](uint32_t x) { return uint16_t(cam::ReadSample(f, src, x)); });
        }
        break;
    }
    case Layout::Bgr0: {
        const int step = f.bitsPerPixel / 8;
        const int r = int(std::strchr(f.order, 'R') - f.order), g = int(std::strchr(f.order, 'G') - f.order),
                  b = int(std::strchr(f.order, 'B') - f.order);
        uint8_t* out = planes[0] + ptrdiff_t(y) * pitch[0];
        for (uint32_t x = 0; x < w; ++x, src += step, out += 4) {
            out[0] = src[b];
            out[1] = src[g];
            out[2] = src[r];
            out[3] = 0;
        }
        break;
    }
    case Layout::Gbrp: {
        const int step = f.bitsPerPixel / 8;
        const int r = int(std::strchr(f.order, 'R') - f.order), g = int(std::strchr(f.order, 'G') - f.order),
                  b = int(std::strchr(f.order, 'B') - f.order);
        uint8_t* outG = planes[0] + ptrdiff_t(y) * pitch[0];
        uint8_t* outB = planes[1] + ptrdiff_t(y) * pitch[1];
        uint8_t* outR = planes[2] + ptrdiff_t(y) * pitch[2];
        for (uint32_t x = 0; x < w; ++x, src += step) {
            outG[x] = src[g];
            outB[x] = src[b];
            outR[x] = src[r];
        }
        break;
    }
    case Layout::Yuv422p: {
        const bool yFirst = f.order[0] == 'Y';
        uint8_t* luma = planes[0] + ptrdiff_t(y) * pitch[0];
        uint8_t* u = planes[1] + ptrdiff_t(y) * pitch[1];
        uint8_t* v = planes[2] + ptrdiff_t(y) * pitch[2];
        for (uint32_t x = 0; x < w; x += 2, src += 4) {
            // A last odd pixel has its Y and U only: it takes the V of the
            // pair before it (none in a frame one pixel wide), as the
            // picture shows it, so that readers give it the same colour.
            luma[x] = src[yFirst ? 0 : 1];
            u[x / 2] = src[yFirst ? 1 : 0];
            if (x + 1 < w) {
                luma[x + 1] = src[yFirst ? 2 : 3];
                v[x / 2] = src[yFirst ? 3 : 2];
            } else {
                v[x / 2] = x >= 2 ? src[(yFirst ? 3 : 2) - 4] : 128;
            }
        }
        break;
    }
    }
}

void MkvWriter::Fill(const SequenceFrame& frame)
{
    for (uint32_t y = 0; y < shape_.height; ++y) {
        const uint64_t start = y * rowBytes_;
        if (start + rowBytes_ <= frame.size) {
            FillRow(frame.data + start, y);
            continue;
        }
        // What the camera did not fill is black.
        std::fill(row_.begin(), row_.end(), 0);
        if (start < frame.size)
            std::memcpy(row_.data(), frame.data + start, size_t(frame.size - start));
        FillRow(row_.data(), y);
    }
}

// The camera's clock where it has one, else the host's reception time; each
// frame after the one before it, whatever the clock did.
int64_t MkvWriter::PtsOf(const SequenceFrame& frame)
{
    if (lastPts_ < 0) {
        useCameraClock_ = frame.timestamp != 0;
        firstTime_ = useCameraClock_ ? frame.timestamp : frame.receiveTime;
    }
    const uint64_t t = useCameraClock_ ? frame.timestamp : frame.receiveTime;
    const int64_t pts = t >= firstTime_ ? int64_t(t - firstTime_) : -1;
    lastPts_ = std::max(pts, lastPts_ + 1);
    return lastPts_;
}

bool MkvWriter::Drain()
{
    for (;;) {
        int err = avcodec_receive_packet(codec_, packet_);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return true;
        if (err < 0)
            return Fail(AvError(err));
        av_packet_rescale_ts(packet_, codec_->time_base, stream_->time_base);
        // Matroska keeps milliseconds: frames closer than that still follow
        // one another.
        if (packet_->pts <= lastMuxedPts_)
            packet_->pts = lastMuxedPts_ + 1;
        packet_->dts = packet_->pts;
        lastMuxedPts_ = packet_->pts;
        packet_->stream_index = stream_->index;
        err = av_write_frame(muxer_, packet_);
        av_packet_unref(packet_);
        if (err < 0)
            return Fail(failed_ ? error_ : AvError(err));
        ++muxed_;
    }
}

// The muxer's cluster ends and goes to the file: what was muxed is whole there.
bool MkvWriter::EndCluster()
{
    const int err = av_write_frame(muxer_, nullptr);
    if (err < 0)
        return Fail(failed_ ? error_ : AvError(err));
    avio_flush(io_);
    if (failed_)
        return false;
    wholeEnd_ = end_;
    kept_ = muxed_;
    return true;
}

bool MkvWriter::Write(const SequenceFrame& frame)
{
    if (fd_ < 0)
        return Fail(std::strerror(EBADF));
    if (failed_)
        return false;
    // The encoder keeps a reference to a frame until it is done with it:
    // longer than the caller's bytes are ours, so they are copied, into our
    // pictures in turn.
    picture_ = pictures_[frames_++ % pictures_.size()];
    int err = av_frame_make_writable(picture_);
    if (err < 0)
        return Fail(AvError(err));
    Fill(frame);
    picture_->pts = PtsOf(frame);
    err = avcodec_send_frame(codec_, picture_);
    if (err < 0)
        return Fail(AvError(err));
    if (!Drain())
        return false;
    // Each frame's cluster ends with it and goes to the file at once: the
    // file always ends on a whole frame.
    if (!EndCluster())
        return false;
    ++taken_;
    return true;
}

bool MkvWriter::Close()
{
    if (fd_ < 0)
        return Fail(std::strerror(EBADF));
    // Frames still with the encoder's threads, in a cluster of their own
    // (an index the disk has no room for costs none of them), then the index.
    if (trailerDue_ && !failed_ && avcodec_send_frame(codec_, nullptr) >= 0 && Drain() && EndCluster()) {
        const int err = av_write_trailer(muxer_);
        if (err < 0)
            Fail(failed_ ? error_ : AvError(err));
        else
            avio_flush(io_);
    }
    trailerDue_ = false;
    // After a failure the file ends with the last whole frame: part of the
    // next one, or of the index, would only confuse a reader.
    if (failed_ && seekable_ && ftruncate(fd_, off_t(wholeEnd_)) == 0)
        end_ = wholeEnd_;
    if (seekable_ && fdatasync(fd_) != 0)
        FailErrno(errno);
    if (::close(fd_) != 0)
        FailErrno(errno);
    fd_ = -1;
    Release();
    return !failed_;
}

void MkvWriter::Release()
{
    av_packet_free(&packet_);
    for (AVFrame*& picture : pictures_)
        av_frame_free(&picture);
    pictures_.clear();
    picture_ = nullptr;
    avcodec_free_context(&codec_);
    if (muxer_)
        muxer_->pb = nullptr;
    avformat_free_context(muxer_);
    muxer_ = nullptr;
    stream_ = nullptr;
    if (io_)
        av_freep(&io_->buffer);
    avio_context_free(&io_);
}

}  // namespace
}  // namespace imaging

// FFmpeg 5.1's encoders take a worst-case packet buffer once per encoder
// (FFV1: 148 bytes a pixel, capped near 2 GB; FFVHuff: 4 a pixel per
// thread) through this function, which zeroes it: every page of it resident
// for the whole recording, 2.2 GB for a 20 MP frame, while a coded frame
// fills a few percent of it. Defined here it takes the place of FFmpeg's own
// (its callers are in libavcodec, it in libavutil): large buffers come from
// calloc, whose fresh pages are zero without being touched, so only what an
// encoder writes becomes resident. Small ones go to FFmpeg as before.
extern "C" void av_fast_mallocz(void* ptr, unsigned int* size, size_t minSize)
{
    // From here glibc maps every block afresh (its mmap threshold grows to
    // 32 MB at most), so calloc has nothing to clear.
    constexpr size_t kFreshPagesBytes = size_t(32) << 20;
    void* block = nullptr;
    std::memcpy(&block, ptr, sizeof block);
    if (minSize <= *size)
        return;
    // As FFmpeg grows it: a little more than asked, fewer reallocations.
    minSize = std::max(minSize + minSize / 16 + 32, minSize);
    av_freep(ptr);
    if (minSize > UINT_MAX)
        block = nullptr;  // *size cannot say it; FFmpeg's own refuses too
    else
        block = minSize >= kFreshPagesBytes ? std::calloc(1, minSize) : av_mallocz(minSize);
    std::memcpy(ptr, &block, sizeof block);
    *size = block ? unsigned(minSize) : 0;
}

namespace imaging {

bool MkvTakes(const SequenceShape& shape, std::string* why) { return MkvTakes(shape, std::string(), why); }

bool MkvTakes(const SequenceShape& shape, const std::string& codecName, std::string* why)
{
    // The encoder the writer would open, opened and let go: what it refuses
    // is said before a recording begins, not as a failed write.
    av_log_set_level(AV_LOG_FATAL);
    std::string reason;
    const CodecInfo* info = FindCodec(codecName);
    if (!info) {
        if (why)
            *why = "unknown codec '" + codecName + "': " + CodecNames();
        return false;
    }
    AVCodecContext* codec = OpenCodec(*info, shape, Cores(), true, &reason);
    const bool takes = codec != nullptr;
    avcodec_free_context(&codec);
    if (why)
        *why = reason;
    return takes;
}

std::string MkvBayerPlanesNote(const SequenceShape& shape)
{
    if (!shape.format || shape.format->sampling != cam::Sampling::Bayer)
        return std::string(shape.format ? shape.format->name : "this pixel format") +
               " is no Bayer mosaic: it has no colour planes to keep apart, it is recorded as it is";
    if (shape.width % 2 || shape.height % 2)
        return "frames of " + std::to_string(shape.width) + " x " + std::to_string(shape.height) +
               " pixels are recorded as the mosaic: its four colour planes need an even width and height";
    return std::string();
}

const std::vector<std::string>& MkvCodecs()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (const CodecInfo& c : kCodecs)
            n.push_back(c.name);
        return n;
    }();
    return names;
}

std::string DefaultMkvCodec(const SequenceShape& shape, double framesPerSecond)
{
    // A frame no codec takes is refused in FFV1's words, as before there was a choice.
    if (!shape.format || av_image_check_size(shape.width, shape.height, 0, nullptr) < 0)
        return kCodecs[0].name;
    // Samples as the encoder takes them: a byte, or two past 8 bits.
    const double bytesPerSample = shape.format->bits > 8 ? 2 : 1;
    const double samplesPerPixel = shape.format->sampling == cam::Sampling::Colour   ? 3
                                   : shape.format->sampling == cam::Sampling::Yuv422 ? 2
                                                                                     : 1;
    const double rate = double(shape.width) * shape.height * samplesPerPixel * bytesPerSample * framesPerSecond;
    if (rate <= kFfv1BytesPerSecond)
        return kCodecs[0].name;
    const std::string fast =
        shape.format->bits > 8 || FullRangeLost(kCodecs[1], *shape.format) ? "ffvhuff" : "magicyuv";
    // A size the fast codec refuses (full-range YUV of an odd width) still records, slower.
    return MkvTakes(shape, fast, nullptr) ? fast : kCodecs[0].name;
}

std::unique_ptr<SequenceWriter> MakeMkvWriter(const SequenceOptions& options)
{
    // FFmpeg's own remarks would land among the program's lines: what goes
    // wrong is told through Error().
    av_log_set_level(AV_LOG_FATAL);
    return std::make_unique<MkvWriter>(options);
}

}  // namespace imaging
