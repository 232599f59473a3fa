// Multi-page TIFF recordings read back through libtiff: every page's
// directory found once at open (no samples read), a page read by jumping to
// its directory, its samples handed out as the camera format the recording
// names in its description (or as its samples and CFA tags say).
#include "platform/imaging/sequence/SequenceReaderParts.h"

#include <tiffio.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace imaging {

namespace {

// What a page holds, to tell the pages apart.
struct PageLayout {
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, photometric = 0;
    bool operator==(const PageLayout& o) const
    {
        return width == o.width && height == o.height && bits == o.bits && samples == o.samples &&
               photometric == o.photometric;
    }
    std::string Text() const
    {
        return std::to_string(width) + " x " + std::to_string(height) + ", " + std::to_string(samples) + " x " +
               std::to_string(bits) + "-bit samples";
    }
};

class TiffReader final : public ReaderBase {
public:
    ~TiffReader() override
    {
        if (tif_)
            TIFFClose(tif_);
    }
    bool Open(const std::string& path) override;
    uint64_t FrameCount() const override { return pages_.size(); }
    bool Read(uint64_t index, ReadFrame* frame) override;

private:
    static int OnError(TIFF*, void* self, const char*, const char* fmt, va_list ap);
    static int OnWarning(TIFF*, void* self, const char*, const char* fmt, va_list ap);
    bool LayoutHere(PageLayout* layout, std::string* why);
    bool ChooseFormat(const PageLayout& layout);
    void Ends(const std::string& why);

    TIFF* tif_ = nullptr;
    uint64_t fileSize_ = 0;
    std::vector<uint64_t> pages_;  // each page's directory offset
    bool looped_ = false;          // libtiff found the page list leading back to a page read
    PageLayout layout_;
    bool narrow_ = false;  // 16-bit colour read at 8 bits
    uint64_t rowBytes_ = 0;
    std::vector<uint8_t> row_;
    FramePool pool_;
    std::string tiffError_;
};

int TiffReader::OnError(TIFF*, void* self, const char*, const char* fmt, va_list ap)
{
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    auto* reader = static_cast<TiffReader*>(self);
    if (reader->tiffError_.empty())
        reader->tiffError_ = text;
    return 1;
}

// Warnings stay unsaid, but for the one that tells a page list looping back
// (libtiff warns of it and stops reading pages as at a cut file's end).
int TiffReader::OnWarning(TIFF*, void* self, const char*, const char* fmt, va_list ap)
{
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    if (std::strstr(text, "looping"))
        static_cast<TiffReader*>(self)->looped_ = true;
    return 1;
}

// The current page's layout, or why it cannot be read: tiles, no samples,
// or strips reaching past the file's end.
bool TiffReader::LayoutHere(PageLayout* layout, std::string* why)
{
    uint16_t planar = PLANARCONFIG_CONTIG, compression = COMPRESSION_NONE;
    if (!TIFFGetField(tif_, TIFFTAG_IMAGEWIDTH, &layout->width) ||
        !TIFFGetField(tif_, TIFFTAG_IMAGELENGTH, &layout->height)) {
        *why = "it has no picture size";
        return false;
    }
    TIFFGetFieldDefaulted(tif_, TIFFTAG_BITSPERSAMPLE, &layout->bits);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLESPERPIXEL, &layout->samples);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif_, TIFFTAG_COMPRESSION, &compression);
    if (!TIFFGetField(tif_, TIFFTAG_PHOTOMETRIC, &layout->photometric))
        layout->photometric = layout->samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    if (!ReadableSize(layout->width, layout->height, why))
        return false;
    if (TIFFIsTiled(tif_) || planar != PLANARCONFIG_CONTIG) {
        *why = "its samples are tiled or in planes; pages of rows of whole pixels are read";
        return false;
    }
    // Samples kept as they are take their whole size in the file.
    const uint64_t bytes = uint64_t(layout->width) * layout->height * layout->samples * ((layout->bits + 7) / 8);
    if (compression == COMPRESSION_NONE && bytes > fileSize_) {
        *why = "it claims " + layout->Text() + ", more than the file's " + std::to_string(fileSize_) + " bytes";
        return false;
    }
    const uint32_t strips = TIFFNumberOfStrips(tif_);
    const uint64_t* offsets = nullptr;
    const uint64_t* counts = nullptr;
    if (!TIFFGetField(tif_, TIFFTAG_STRIPOFFSETS, &offsets) || !TIFFGetField(tif_, TIFFTAG_STRIPBYTECOUNTS, &counts) ||
        !offsets || !counts) {
        *why = "it has no samples";
        return false;
    }
    for (uint32_t s = 0; s < strips; ++s) {
        if (offsets[s] > fileSize_ || counts[s] > fileSize_ - offsets[s]) {
            *why = "its samples reach past the file's end";
            return false;
        }
    }
    return true;
}

bool TiffReader::ChooseFormat(const PageLayout& layout)
{
    const cam::PixelFormat* unpacked = UnpackedFormat(cam::FindPixelFormat(info_.recordedFormat.c_str()));
    std::string name;
    if (layout.samples == 1 && (layout.bits == 8 || layout.bits == 16)) {
        const bool cfa = layout.photometric == PHOTOMETRIC_CFA;
        if (unpacked && (unpacked->sampling == cam::Sampling::Mono || unpacked->sampling == cam::Sampling::Bayer) &&
            (unpacked->bits > 8) == (layout.bits > 8) && (unpacked->sampling == cam::Sampling::Bayer) == cfa) {
            shape_.format = unpacked;
        } else {
            uint16_t top = 0;
            int bits = layout.bits;
            if (bits == 16 && TIFFGetField(tif_, TIFFTAG_MAXSAMPLEVALUE, &top) && top > 255)
                for (bits = 10; bits < 16 && (1u << bits) - 1 < top; bits += 2) {
                }
            std::string pattern;
            uint16_t count = 0;
            uint8_t* cfaPattern = nullptr;
            if (cfa && TIFFGetField(tif_, TIFFTAG_CFAPATTERN, &count, &cfaPattern) && count == 4)
                for (int i = 0; i < 4; ++i)
                    pattern += cfaPattern[i] == 0 ? 'R' : cfaPattern[i] == 1 ? 'G' : 'B';
            // Bayer names take the first row's two colours ("BayerRG" for RGGB).
            pattern = pattern.substr(0, 2);
            name = (cfa ? "Bayer" + pattern : std::string("Mono")) + std::to_string(bits);
            shape_.format = cam::FindPixelFormat(name.c_str());
            if (!shape_.format && cfa)
                shape_.format = cam::FindPixelFormat(("Bayer" + pattern + "16").c_str());
            if (!shape_.format)
                shape_.format = cam::FindPixelFormat(layout.bits > 8 ? "Mono16" : "Mono8");
        }
    } else if ((layout.samples == 3 || layout.samples == 4) && (layout.bits == 8 || layout.bits == 16) &&
               layout.photometric == PHOTOMETRIC_RGB) {
        // 16-bit colour (a deep mosaic's picture) has no camera format: its top 8 bits are read.
        narrow_ = layout.bits == 16;
        shape_.format = cam::FindPixelFormat(layout.samples == 4 && !narrow_ ? "RGBa8" : "RGB8");
        if (narrow_)
            info_.note = "its 16-bit colour is read at 8 bits";
    } else {
        return Fail("cannot show pages of " + layout.Text() + ": grey, Bayer and RGB of 8 or 16 bits are read");
    }
    shape_.width = layout.width;
    shape_.height = layout.height;
    rowBytes_ = cam::RowBytes(*shape_.format, shape_.width);
    return true;
}

void TiffReader::Ends(const std::string& why)
{
    info_.complete = false;
    const std::string read =
        pages_.size() == 1 ? "page 1 is read" : "pages 1 to " + std::to_string(pages_.size()) + " are read";
    info_.note = why + "; " + read + (info_.note.empty() ? "" : "; " + info_.note);
}

bool TiffReader::Open(const std::string& path)
{
    info_ = SequenceInfo();
    info_.format = SequenceFormat::Tiff;
    pages_.clear();
    narrow_ = false;
    if (tif_) {
        TIFFClose(tif_);
        tif_ = nullptr;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return Fail(std::strerror(errno));
    // A pipe or a device has no size to read pages by; it was called empty.
    if (!S_ISREG(st.st_mode))
        return Fail("a TIFF recording is a regular file");
    fileSize_ = uint64_t(st.st_size);
    if (fileSize_ == 0)
        return Fail("the file is empty");
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, OnError, this);
    TIFFOpenOptionsSetWarningHandlerExtR(options, OnWarning, this);
    // libtiff's own allocations bounded as frames are.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(kMaxReadPixels * 8));
    tif_ = TIFFOpenExt(path.c_str(), "rm", options);  // m: read, not mapped, so a cut file fails a read, not a page
    TIFFOpenOptionsFree(options);
    if (!tif_)
        return Fail("not a TIFF file" + (tiffError_.empty() ? std::string() : " (" + tiffError_ + ")"));
    char* description = nullptr;
    if (TIFFGetField(tif_, TIFFTAG_IMAGEDESCRIPTION, &description) && description &&
        std::strncmp(description, "PIXEL_FORMAT=", 13) == 0)
        info_.recordedFormat = description + 13;
    std::string why;
    if (!LayoutHere(&layout_, &why))
        return Fail("its first page cannot be read: " + why);
    if (!ChooseFormat(layout_))
        return false;
    for (;;) {
        pages_.push_back(TIFFCurrentDirOffset(tif_));
        if (TIFFLastDirectory(tif_))
            break;
        tiffError_.clear();
        looped_ = false;
        if (!TIFFReadDirectory(tif_)) {
            Ends((looped_ ? "its list of pages leads back to an earlier page (the file is damaged) after page "
                        : "the file ends early (a recording cut or killed) after page ") +
                 std::to_string(pages_.size()));
            break;
        }
        PageLayout layout;
        if (!LayoutHere(&layout, &why)) {
            Ends("page " + std::to_string(pages_.size() + 1) + " cannot be read (" + why + ")");
            break;
        }
        if (!(layout == layout_)) {
            Ends("page " + std::to_string(pages_.size() + 1) + " holds " + layout.Text() + ", unlike the first's " +
                 layout_.Text());
            break;
        }
    }
    row_.resize(size_t(TIFFScanlineSize64(tif_) > 0 ? TIFFScanlineSize64(tif_) : 0));
    return true;
}

bool TiffReader::Read(uint64_t index, ReadFrame* frame)
{
    if (index >= pages_.size())
        return Fail("no frame " + std::to_string(index) + ": the recording has " + std::to_string(pages_.size()));
    tiffError_.clear();
    if (!TIFFSetSubDirectory(tif_, pages_[index]))
        return Fail("cannot go to page " + std::to_string(index + 1) + ": " + tiffError_);
    const tmsize_t line = TIFFScanlineSize(tif_);
    const uint64_t want = uint64_t(layout_.width) * layout_.samples * (layout_.bits / 8);
    if (line <= 0 || uint64_t(line) < want)
        return Fail("page " + std::to_string(index + 1) + " has rows shorter than its size says");
    row_.resize(size_t(line));
    auto buffer = pool_.Take(rowBytes_ * shape_.height);
    if (!buffer)
        return Fail("no memory for frame " + std::to_string(index));
    for (uint32_t y = 0; y < shape_.height; ++y) {
        if (TIFFReadScanline(tif_, row_.data(), y, 0) < 0)
            return Fail("page " + std::to_string(index + 1) + " is damaged: " + tiffError_);
        uint8_t* out = buffer->data() + y * rowBytes_;
        if (!narrow_) {
            std::memcpy(out, row_.data(), size_t(rowBytes_));
            continue;
        }
        const auto* in = reinterpret_cast<const uint16_t*>(row_.data());
        for (uint32_t x = 0; x < shape_.width; ++x)
            for (int c = 0; c < 3; ++c)
                out[3 * x + c] = uint8_t(in[size_t(x) * layout_.samples + size_t(c)] >> 8);
    }
    HandOut(buffer, index, -1, frame);
    return true;
}

}  // namespace

std::unique_ptr<SequenceReader> MakeTiffReader() { return std::make_unique<TiffReader>(); }

}  // namespace imaging
