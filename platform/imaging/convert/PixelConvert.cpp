// The conversions, one per way a format samples colour, chosen from one
// table; the formats themselves are cam::FindPixelFormat's.
#include "PixelConvert.h"

#include "platform/imaging/display/DisplayImage.h"
#include "platform/imaging/files/PictureData.h"
#include "PixelRows.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <string_view>
#include <thread>
#include <vector>

namespace imaging {
namespace {

using cam::PixelFormat;

// The rows of the frame its data holds whole.
uint64_t WholeRows(const Frame& frame, const PixelFormat& format)
{
    const uint64_t rowBytes = cam::RowBytes(format, frame.width);
    if (!frame.data || rowBytes == 0)
        return 0;
    return std::min<uint64_t>(frame.height, frame.size / rowBytes);
}

const uint8_t* SourceRow(const Frame& frame, const PixelFormat& format, uint64_t y)
{
    return frame.data + y * cam::RowBytes(format, frame.width);
}

// The last three rows made from a frame's rows by fill, on demand: a
// demosaic reads each row three times. Without fill, the frame's own rows.
template <class T>
class RowRing {
public:
    using Fill = void (*)(const Frame&, const PixelFormat&, uint64_t y, T* out);
    RowRing(const Frame& frame, const PixelFormat& format, Fill fill)
        : frame_(frame), format_(format), fill_(fill)
    {
        if (fill)
            for (auto& r : ring_)
                r.resize(frame.width);
    }
    const T* Row(uint64_t y)
    {
        if (!fill_)
            return reinterpret_cast<const T*>(SourceRow(frame_, format_, y));
        std::vector<T>& r = ring_[y % 3];
        if (held_[y % 3] != y) {
            fill_(frame_, format_, y, r.data());
            held_[y % 3] = y;
        }
        return r.data();
    }

private:
    const Frame& frame_;
    const PixelFormat& format_;
    Fill fill_;
    std::vector<T> ring_[3];
    uint64_t held_[3] = {UINT64_MAX, UINT64_MAX, UINT64_MAX};
};

void TopEight(const Frame& frame, const PixelFormat& format, uint64_t y, uint8_t* out)
{
    TopEightBits(format, SourceRow(frame, format, y), out, frame.width);
}

// A deep frame's samples, shifted up to fill 16 bits.
void Samples16(const Frame& frame, const PixelFormat& format, uint64_t y, uint16_t* out)
{
    const uint8_t* src = SourceRow(frame, format, y);
    for (uint32_t x = 0; x < frame.width; ++x)
        out[x] = uint16_t(cam::ReadSample(format, src, x) << (16 - format.bits));
}

RowRing<uint8_t> EightBitRows(const Frame& frame, const PixelFormat& format)
{
    return RowRing<uint8_t>(frame, format, format.packing == cam::Packing::Byte ? nullptr : TopEight);
}

// Images larger than this are written past the caches: they could not stay
// in them anyway, and memory written that way need not be read first.
constexpr uint64_t kStreamAbove = 16u << 20;

bool Streamed(const Frame& frame) { return uint64_t(frame.width) * 3 * frame.height > kStreamAbove; }

void MonoRows(const Frame& frame, const PixelFormat& format, uint64_t, uint64_t first, uint64_t last,
              uint8_t* top, ptrdiff_t pitch)
{
    RowRing<uint8_t> grey = EightBitRows(frame, format);
    for (uint64_t y = first; y < last; ++y)
        ExpandGreyToBgr(grey.Row(y), top + ptrdiff_t(y) * pitch, frame.width, Streamed(frame));
}

void BayerRows(const Frame& frame, const PixelFormat& format, uint64_t rows, uint64_t first, uint64_t last,
               uint8_t* top, ptrdiff_t pitch)
{
    RowRing<uint8_t> mosaic = EightBitRows(frame, format);
    for (uint64_t y = first; y < last; ++y) {
        const uint8_t* below = y + 1 < rows ? mosaic.Row(y + 1) : nullptr;
        const uint8_t* above = y > 0 ? mosaic.Row(y - 1) : nullptr;
        DemosaicRow(above, mosaic.Row(y), below, top + ptrdiff_t(y) * pitch, frame.width,
                    format.order, y, Streamed(frame));
    }
}

void ColourRows(const Frame& frame, const PixelFormat& format, uint64_t, uint64_t first, uint64_t last,
                uint8_t* top, ptrdiff_t pitch)
{
    const std::string_view order = format.order;
    for (uint64_t y = first; y < last; ++y) {
        const uint8_t* src = SourceRow(frame, format, y);
        uint8_t* dst = top + ptrdiff_t(y) * pitch;
        if (order == "BGR")
            CopyBgr(src, dst, frame.width, Streamed(frame));
        else if (order == "RGB")
            SwapRedBlue(src, dst, frame.width, Streamed(frame));
        else
            DropAlpha(src, dst, frame.width, order == "RGBa", Streamed(frame));
    }
}

void YuvRows(const Frame& frame, const PixelFormat& format, uint64_t, uint64_t first, uint64_t last,
             uint8_t* top, ptrdiff_t pitch)
{
    const bool uyvy = std::string_view(format.order) == "UYVY";
    const bool limited = format.matrix == cam::Matrix::LimitedRange601;
    for (uint64_t y = first; y < last; ++y)
        YuvToBgr(SourceRow(frame, format, y), top + ptrdiff_t(y) * pitch, frame.width, uyvy, limited,
                 Streamed(frame));
}

QImage MonoDeep(const Frame& frame, const PixelFormat& format, uint64_t rows)
{
    QImage image(int(frame.width), int(frame.height), QImage::Format_Grayscale16);
    if (image.isNull())
        return image;
    image.fill(0);
    for (uint64_t y = 0; y < rows; ++y)
        Samples16(frame, format, y, reinterpret_cast<uint16_t*>(image.scanLine(int(y))));
    return image;
}

QImage BayerDeep(const Frame& frame, const PixelFormat& format, uint64_t rows)
{
    QImage image(int(frame.width), int(frame.height), QImage::Format_RGBX64);
    if (image.isNull())
        return image;
    image.fill(Qt::black);
    RowRing<uint16_t> mosaic(frame, format, Samples16);
    std::vector<uint16_t> bgr(size_t(frame.width) * 3);
    for (uint64_t y = 0; y < rows; ++y) {
        const uint16_t* below = y + 1 < rows ? mosaic.Row(y + 1) : nullptr;
        const uint16_t* above = y > 0 ? mosaic.Row(y - 1) : nullptr;
        DemosaicRow16(above, mosaic.Row(y), below, bgr.data(), frame.width, format.order, y);
        auto* out = reinterpret_cast<uint16_t*>(image.scanLine(int(y)));
        for (uint32_t x = 0; x < frame.width; ++x) {
            out[4 * x] = bgr[3 * x + 2];
            out[4 * x + 1] = bgr[3 * x + 1];
            out[4 * x + 2] = bgr[3 * x];
            out[4 * x + 3] = 0xffff;
        }
    }
    return image;
}

// Converts rows first to last of the frame's rows whole ones.
using ToDisplay = void (*)(const Frame&, const PixelFormat&, uint64_t rows, uint64_t first, uint64_t last,
                           uint8_t* top, ptrdiff_t pitch);
using ToDeep = QImage (*)(const Frame&, const PixelFormat&, uint64_t rows);

struct Conversion {
    cam::Sampling sampling;
    ToDisplay display;
    ToDeep deep;  // null: 8 bits only
};

const Conversion kConversions[] = {
    {cam::Sampling::Mono, MonoRows, MonoDeep},
    {cam::Sampling::Bayer, BayerRows, BayerDeep},
    {cam::Sampling::Colour, ColourRows, nullptr},
    {cam::Sampling::Yuv422, YuvRows, nullptr},
};

const Conversion* ConversionFor(const PixelFormat* format)
{
    if (!format)
        return nullptr;
    for (const Conversion& c : kConversions)
        if (c.sampling == format->sampling)
            return &c;
    return nullptr;
}

}  // namespace

bool CanShow(const char* pixelFormat) { return ConversionFor(cam::FindPixelFormat(pixelFormat)) != nullptr; }

uint64_t ConvertFrame(const Frame& frame, uint8_t* top, ptrdiff_t pitch, int threads)
{
    const PixelFormat* format = cam::FindPixelFormat(frame.pixelFormat);
    const Conversion* conversion = ConversionFor(format);
    if (!conversion || !top)
        return 0;
    const uint64_t rows = WholeRows(frame, *format);
    // Each row is converted from the frame's rows around it, whichever band it is in.
    const bool done = SplitRows(rows, threads, [&](uint64_t first, uint64_t last) {
        conversion->display(frame, *format, rows, first, last, top, pitch);
    });
    return done ? rows : 0;  // no room for the row buffers: nothing is shown
}

bool SplitRows(uint64_t rows, int threads, const std::function<void(uint64_t first, uint64_t last)>& convert)
{
    const uint64_t parts = uint64_t(std::max(threads, 1));
    const uint64_t band = std::max<uint64_t>(1, (rows + parts - 1) / parts);
    std::atomic<bool> failed{false};
    const auto run = [&](uint64_t first) {
        try {
            convert(first, std::min(rows, first + band));
        } catch (const std::bad_alloc&) {
            failed = true;
        }
    };
    std::vector<std::thread> helpers;
    try {
        for (uint64_t first = band; first < rows; first += band)
            helpers.emplace_back(run, first);
    } catch (const std::exception&) {  // no thread to be had: this one converts the rest
        const uint64_t done = band * (helpers.size() + 1);
        for (uint64_t first = done; first < rows; first += band)
            run(first);
    }
    run(0);
    for (std::thread& t : helpers)
        t.join();
    return !failed;
}

int WaitedThreads(const Frame& frame)
{
    // A thread starts in tens of microseconds; a megapixel converts in a few hundred.
    constexpr uint64_t kPixelsWorthAThread = 1u << 20;
    static const int cores = int(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    const uint64_t pixels = uint64_t(frame.width) * frame.height;
    return int(std::clamp<uint64_t>(pixels / kPixelsWorthAThread, 1, uint64_t(cores)));
}

bool IsDeep(const char* pixelFormat)
{
    const PixelFormat* format = cam::FindPixelFormat(pixelFormat);
    const Conversion* conversion = ConversionFor(format);
    return conversion && conversion->deep && format->bits > 8;
}

Picture DeepPicture(const Frame& frame)
{
    if (!IsDeep(frame.pixelFormat) || frame.width > INT32_MAX || frame.height > INT32_MAX)
        return {};
    const PixelFormat& format = *cam::FindPixelFormat(frame.pixelFormat);
    try {
        QImage image = ConversionFor(&format)->deep(frame, format, WholeRows(frame, format));
        return image.isNull() ? Picture() : PictureOf(std::move(image));
    } catch (const std::bad_alloc&) {
        return {};
    }
}

Picture FramePicture(const Frame& frame)
{
    if (IsDeep(frame.pixelFormat))
        return DeepPicture(frame);
    DisplayImage full;
    if (frame.width > INT32_MAX || frame.height > INT32_MAX || !CanShow(frame.pixelFormat) ||
        !full.Recreate(int(frame.width), int(frame.height)))
        return {};
    const uint64_t rows = ConvertFrame(frame, full.GetBits(), full.GetPitch(), WaitedThreads(frame));
    for (uint64_t y = rows; y < frame.height; ++y)
        std::memset(full.GetBits() + ptrdiff_t(y) * full.GetPitch(), 0, size_t(frame.width) * 3);
    return Picture::FromDisplayImage(full);
}

}  // namespace imaging
