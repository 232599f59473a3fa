// TIFF pictures written with libtiff directly: uncompressed strips of about a
// megabyte, each handed to the file in one write straight from the picture's
// rows, so that a 20-megapixel frame goes at the disk's pace (Qt's TIFF writer
// takes about a second for one, and reports success on a full disk).
// Uncompressed because that is what keeps the pace: PackBits and LZW cost
// more time in the encoder than they save on the disk for camera pictures.
#include "OutputFile.h"
#include "PictureData.h"
#include "platform/imaging/convert/PixelRows.h"
#include "TiffOutput.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace imaging {

namespace {

constexpr size_t kStripBytes = 1 << 20;

struct TiffLayout {
    int samples;
    int bits;
    int photometric;
};

bool LayoutOf(QImage::Format format, TiffLayout* layout)
{
    switch (format) {
    case QImage::Format_BGR888: *layout = {3, 8, PHOTOMETRIC_RGB}; return true;
    case QImage::Format_Grayscale16: *layout = {1, 16, PHOTOMETRIC_MINISBLACK}; return true;
    case QImage::Format_RGBX64: *layout = {3, 16, PHOTOMETRIC_RGB}; return true;
    default: return false;
    }
}

// One picture row as the file holds it: red, green, blue (or grey), the
// samples in the machine's order, which is the file's.
void FileRow(const Picture::Data& picture, int y, uint8_t* dst, size_t bytes)
{
    switch (picture.format) {
    case QImage::Format_BGR888: SwapRedBlue(picture.Row(y), dst, size_t(picture.width)); break;
    case QImage::Format_RGBX64: DropFourthSample(picture.Row(y), dst, picture.width); break;
    default: std::memcpy(dst, picture.Row(y), bytes); break;
    }
}

bool WriteStrips(TIFF* tif, const Picture::Data& picture, const TiffLayout& layout)
{
    const size_t rowBytes = size_t(picture.width) * size_t(layout.samples * layout.bits / 8);
    const uint32_t rowsPerStrip = uint32_t(std::clamp<size_t>(kStripBytes / rowBytes, 1, size_t(picture.height)));
    if (!(TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(picture.width)) &&
          TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(picture.height)) &&
          TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, layout.bits) &&
          TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, layout.samples) &&
          TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, layout.photometric) &&
          TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
          TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
          TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip)))
        return false;
    std::vector<uint8_t> strip(rowBytes * rowsPerStrip);
    for (uint32_t y = 0, s = 0; y < uint32_t(picture.height); y += rowsPerStrip, ++s) {
        const uint32_t rows = std::min(rowsPerStrip, uint32_t(picture.height) - y);
        for (uint32_t r = 0; r < rows; ++r)
            FileRow(picture, int(y + r), strip.data() + r * rowBytes, rowBytes);
        const tmsize_t bytes = tmsize_t(rows * rowBytes);
        if (TIFFWriteRawStrip(tif, s, strip.data(), bytes) != bytes)
            return false;
    }
    return TIFFFlush(tif) != 0;
}

}  // namespace

void DropFourthSample(const uint8_t* src, uint8_t* dst, int width)
{
    const auto* s = reinterpret_cast<const uint16_t*>(src);
    auto* d = reinterpret_cast<uint16_t*>(dst);
    for (int x = 0; x < width; ++x)
        std::memcpy(d + 3 * x, s + 4 * x, 6);
}

std::string WriteTiff(const Picture::Data& picture, OutputFile* file)
{
    TiffLayout layout;
    if (!LayoutOf(picture.format, &layout) || picture.width <= 0 || picture.height <= 0)
        return "the TIFF writer cannot hold this picture";
    // libtiff goes back to link the directory: a temporary file allows that;
    // a pipe or a device gets the file in one piece from memory.
    std::vector<uint8_t> memory;
    TiffOutput out;
    if (file->Replacing())
        out.fd = file->Descriptor();
    else
        out.memory = &memory;
    // Little-endian: the picture's 16-bit samples go out as they are.
    TIFF* tif = out.Open("picture", "wl");
    if (!tif)
        return out.error;
    bool written = false;
    try {
        written = WriteStrips(tif, picture, layout);
    } catch (const std::bad_alloc&) {
        out.Fail("not enough memory to write the picture");
    }
    if (written)
        TIFFClose(tif);
    else
        TIFFCleanup(tif);  // frees without writing what may be half done
    if (!out.error.empty())
        return out.error;
    if (!written)
        return "the TIFF writer failed";
    if (out.memory && !file->Write(memory.data(), memory.size()))
        return file->Error();
    return {};
}

}  // namespace imaging
