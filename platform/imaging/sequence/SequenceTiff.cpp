// Multi-page TIFF sequences through libtiff, a page a frame, written straight
// into the final file. libtiff writes through our own calls on the file
// descriptor, so that the first failed write is kept and reported as it is;
// after a failure the file is cut back to its last whole page, which stays
// the last one in the chain of pages.
//
// Classic TIFF ends at 4 GB. A recording's length is rarely known when it
// starts (until Ctrl+C, --seconds), so the file is BigTIFF unless the caller
// says how many frames it will hold and those surely fit in 4 GB.
#include "SequenceFile.h"

#include "platform/imaging/convert/PixelConvert.h"
#include "platform/imaging/convert/PixelRows.h"
#include "platform/imaging/convert/SampleUnpack.h"
#include "platform/imaging/files/TiffOutput.h"

#include <tiffio.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace imaging {

namespace {

constexpr uint64_t kClassicLimit = 0xffffffffull;
// What a page's directory and alignment take besides its samples, generously.
constexpr uint64_t kPageOverhead = 1024;

class TiffWriter final : public SequenceWriter {
public:
    explicit TiffWriter(const SequenceOptions& options) : options_(options) {}
    ~TiffWriter() override { Close(); }

    bool Open(const std::string& path, const SequenceShape& shape, bool overwrite) override;
    bool Write(const SequenceFrame& frame) override;
    bool Close() override;
    const std::string& Error() const override { return io_.error; }
    uint64_t BytesWritten() const override { return io_.end; }

private:
    bool Fail(int errnum) { return io_.Fail(errnum); }
    bool Fail(const std::string& why) { return io_.Fail(why); }
    bool SetPageFields();
    bool WritePage(const SequenceFrame& frame);
    const uint8_t* PageSamples(const SequenceFrame& frame);
    void CutBackToLastPage();
    void DropTiff();

    SequenceOptions options_;
    SequenceShape shape_;
    TiffOutput io_;  // the file, its size as written and its first failure
    TIFF* tif_ = nullptr;
    bool big_ = true;
    bool failed_ = false;
    uint64_t goodEnd_ = 0;   // its size after the last whole page
    uint64_t rowBytes_ = 0;  // a page's row
    std::string description_;  // on every page, as the MKV's tag
    std::vector<uint8_t> page_;
    std::vector<uint8_t> row_;  // the frame's last row when it holds only part of it
};

bool TiffWriter::Open(const std::string& path, const SequenceShape& shape, bool overwrite)
{
    io_.error.clear();
    if (!shape.format || shape.width == 0 || shape.height == 0)
        return Fail("no frame size or pixel format to record");
    shape_ = shape;
    description_ = std::string("PIXEL_FORMAT=") + shape.format->name;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISFIFO(st.st_mode))
            return Fail("a TIFF file cannot be written into a FIFO (it goes back to link its pages; .mkv can)");
        if (!S_ISREG(st.st_mode))
            return Fail("a TIFF file can only replace a regular file");
        if (!overwrite)
            return Fail(std::strerror(EEXIST));
    }
    const bool existed = ::access(path.c_str(), F_OK) == 0;
    io_.fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL), 0666);
    if (io_.fd < 0)
        return Fail(errno);
    // What stat saw may have changed under us.
    if (::fstat(io_.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(io_.fd);
        io_.fd = -1;
        return Fail("a TIFF file can only be written into a regular file");
    }

    const bool yuv = shape.format->sampling == cam::Sampling::Yuv422;
    rowBytes_ = yuv ? uint64_t(shape.width) * 3 : UnpackedRowBytes(*shape.format, shape.width);
    const uint64_t pageBytes = rowBytes_ * shape.height;
    big_ = options_.frames == 0 || options_.frames > kClassicLimit / (pageBytes + kPageOverhead) ||
           options_.frames * (pageBytes + kPageOverhead) + 16 > kClassicLimit;

    // Little-endian, so that 16-bit samples go out as they are unpacked.
    tif_ = io_.Open(path.c_str(), big_ ? "w8l" : "wl");
    if (!tif_) {
        ::close(io_.fd);
        io_.fd = -1;
        if (!existed)  // nothing of ours is left behind
            ::unlink(path.c_str());
        return false;
    }
    goodEnd_ = io_.end;
    return true;
}

bool TiffWriter::SetPageFields()
{
    const cam::PixelFormat& f = *shape_.format;
    const UnpackedLayout layout = UnpackedLayoutOf(f);
    const bool colour = f.sampling == cam::Sampling::Colour || f.sampling == cam::Sampling::Yuv422;
    bool ok = TIFFSetField(tif_, TIFFTAG_IMAGEWIDTH, shape_.width) &&
              TIFFSetField(tif_, TIFFTAG_IMAGELENGTH, shape_.height) &&
              TIFFSetField(tif_, TIFFTAG_BITSPERSAMPLE, colour ? 8 : layout.bitsPerSample) &&
              TIFFSetField(tif_, TIFFTAG_SAMPLESPERPIXEL, colour ? 3 : 1) &&
              TIFFSetField(tif_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tif_, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
              TIFFSetField(tif_, TIFFTAG_ROWSPERSTRIP, shape_.height) &&
              TIFFSetField(tif_, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE) &&
              TIFFSetField(tif_, TIFFTAG_IMAGEDESCRIPTION, description_.c_str());
    if (!colour && f.bits > 8)  // the value in its own bits: say which range they span
        ok = ok && TIFFSetField(tif_, TIFFTAG_MAXSAMPLEVALUE, uint16_t((1u << f.bits) - 1));
    if (f.sampling == cam::Sampling::Bayer) {
        // The mosaic as it is, with its 2 x 2 filter: 0 red, 1 green, 2 blue.
        const uint16_t dim[2] = {2, 2};
        uint8_t pattern[4];
        for (int i = 0; i < 4; ++i)
            pattern[i] = f.order[i] == 'R' ? 0 : f.order[i] == 'G' ? 1 : 2;
        ok = ok && TIFFSetField(tif_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA) &&
             TIFFSetField(tif_, TIFFTAG_CFAREPEATPATTERNDIM, dim) &&
             TIFFSetField(tif_, TIFFTAG_CFAPATTERN, 4, pattern);
    } else {
        ok = ok && TIFFSetField(tif_, TIFFTAG_PHOTOMETRIC, colour ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    }
    return ok;
}

// The page's samples: the frame itself where it is already laid out so and
// whole, else unpacked into page_, the samples the frame does not hold 0.
const uint8_t* TiffWriter::PageSamples(const SequenceFrame& frame)
{
    const cam::PixelFormat& f = *shape_.format;
    const uint64_t srcRow = cam::RowBytes(f, shape_.width);
    const uint64_t pageBytes = rowBytes_ * shape_.height;
    const uint64_t filled = frame.data ? frame.size : 0;
    const bool asIs = srcRow == rowBytes_ && f.packing == cam::Packing::Byte &&
                      (f.sampling == cam::Sampling::Mono || f.sampling == cam::Sampling::Bayer ||
                       (f.sampling == cam::Sampling::Colour && std::strcmp(f.order, "RGB") == 0));
    if (asIs && filled >= pageBytes)
        return frame.data;

    page_.resize(pageBytes);
    row_.resize(srcRow);
    const bool yuv = f.sampling == cam::Sampling::Yuv422;
    auto unpack = [&](const uint8_t* src, uint8_t* dst, std::vector<uint8_t>& bgr) {
        if (yuv) {
            bgr.resize(size_t(shape_.width) * 3);
            YuvToBgr(src, bgr.data(), shape_.width, f.order[0] == 'U', f.matrix == cam::Matrix::LimitedRange601);
            SwapRedBlue(bgr.data(), dst, shape_.width);
        } else {
            UnpackRow(f, src, shape_.width, dst);
        }
    };
    // The whole rows, split over the cores: the writer waits for them.
    const uint64_t whole = std::min<uint64_t>(shape_.height, srcRow ? filled / srcRow : 0);
    const bool done = SplitRows(whole, WaitedThreads({frame.data, filled, shape_.width, shape_.height, f.name}),
                                [&](uint64_t first, uint64_t last) {
        std::vector<uint8_t> bgr;
        for (uint64_t y = first; y < last; ++y)
            unpack(frame.data + y * srcRow, page_.data() + y * rowBytes_, bgr);
    });
    if (!done)
        throw std::bad_alloc();
    uint64_t y = whole;
    // The samples of the last row the frame only starts; colour from half a
    // row is no colour: black, as shown.
    if (y < shape_.height && filled > y * srcRow && !yuv) {
        std::memset(row_.data(), 0, srcRow);
        std::memcpy(row_.data(), frame.data + y * srcRow, filled - y * srcRow);
        std::vector<uint8_t> bgr;
        unpack(row_.data(), page_.data() + y * rowBytes_, bgr);
        ++y;
    }
    if (y < shape_.height)
        std::memset(page_.data() + y * rowBytes_, 0, pageBytes - y * rowBytes_);
    return page_.data();
}

bool TiffWriter::WritePage(const SequenceFrame& frame)
{
    const uint8_t* samples = PageSamples(frame);
    const tmsize_t bytes = tmsize_t(rowBytes_ * shape_.height);
    if (!SetPageFields())
        return Fail("libtiff refused the page's fields");
    // Raw: the samples go to the file in one write, no copy through libtiff.
    if (TIFFWriteRawStrip(tif_, 0, const_cast<uint8_t*>(samples), bytes) != bytes)
        return Fail("libtiff could not write the page");
    if (!TIFFWriteDirectory(tif_))
        return Fail("libtiff could not write the page's directory");
    return io_.error.empty();
}

bool TiffWriter::Write(const SequenceFrame& frame)
{
    if (!tif_ || failed_)
        return Fail("the file is not open");
    bool written = false;
    try {
        written = WritePage(frame);
    } catch (const std::bad_alloc&) {
        Fail("no memory to unpack the frame");
    }
    if (written) {
        goodEnd_ = io_.end;
        return true;
    }
    failed_ = true;
    DropTiff();
    CutBackToLastPage();
    return false;
}

void TiffWriter::DropTiff()
{
    if (tif_)
        TIFFCleanup(tif_);  // frees without writing: what libtiff holds may be half done
    tif_ = nullptr;
}

// Cuts the file back to its last whole page and ends the chain of pages
// there: libtiff links a page's directory before it writes it.
void TiffWriter::CutBackToLastPage()
{
    if (io_.fd < 0 || ::ftruncate(io_.fd, off_t(goodEnd_)) != 0)
        return;
    io_.end = goodEnd_;
    const unsigned offBytes = big_ ? 8 : 4;
    uint64_t link = big_ ? 8 : 4;  // where the header keeps the first directory's offset
    for (;;) {
        uint64_t ifd = 0;
        if (::pread(io_.fd, &ifd, offBytes, off_t(link)) != ssize_t(offBytes))
            return;
        if (ifd == 0)
            return;
        if (ifd >= goodEnd_) {
            const uint64_t zero = 0;
            if (::pwrite(io_.fd, &zero, offBytes, off_t(link)) == ssize_t(offBytes))
                ::fdatasync(io_.fd);
            return;
        }
        uint64_t count = 0;
        const unsigned countBytes = big_ ? 8 : 2;
        if (::pread(io_.fd, &count, countBytes, off_t(ifd)) != ssize_t(countBytes))
            return;
        const uint64_t next = ifd + countBytes + count * (big_ ? 20 : 12);
        if (next <= link)  // never round in circles
            return;
        link = next;
    }
}

bool TiffWriter::Close()
{
    if (io_.fd < 0)
        return io_.error.empty();
    if (tif_) {
        if (!TIFFFlush(tif_))
            Fail("libtiff could not finish the file");
        TIFFClose(tif_);
        tif_ = nullptr;
        if (!io_.error.empty())
            CutBackToLastPage();
    }
    if (::fsync(io_.fd) != 0)
        Fail(errno);
    if (::close(io_.fd) != 0)
        Fail(errno);
    io_.fd = -1;
    return io_.error.empty();
}

}  // namespace

std::unique_ptr<SequenceWriter> MakeTiffWriter(const SequenceOptions& options)
{
    return std::make_unique<TiffWriter>(options);
}

}  // namespace imaging
