// TIFF pictures as SavePicture writes them (--grab, Ctrl+S, folder
// recordings): what libtiff, Qt and tiffinfo read back, and folder frames
// converted into a picture kept from frame to frame.
#include "TempDir.h"
#include "platform/camera/campixel.h"
#include "platform/imaging/display/DisplayImage.h"
#include "platform/imaging/files/PictureData.h"
#include "platform/imaging/sequence/SequenceFile.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <QImage>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A picture of random pixels; RGBX64's fourth sample is opaque, as Qt keeps it.
imaging::Picture RandomPicture(QImage::Format format, int width, int height, bool bottomUp,
                               imaging::DisplayImage* display)
{
    std::mt19937 rng(unsigned(width * 31 + height));
    if (bottomUp) {
        display->Create(width, height, 24);
        uint8_t* top = display->GetBits();
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width * 3; ++x)
                top[ptrdiff_t(y) * display->GetPitch() + x] = uint8_t(rng());
        return imaging::Picture::FromDisplayImage(*display);
    }
    QImage image(width, height, format);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = image.scanLine(y);
        for (qsizetype i = 0; i < image.bytesPerLine(); ++i)
            row[i] = uint8_t(rng());
        if (format == QImage::Format_RGBX64)
            for (int x = 0; x < width; ++x)
                reinterpret_cast<uint16_t*>(row)[4 * x + 3] = 0xffff;
    }
    return imaging::PictureOf(image);
}

// The picture's pixels as the file should hold them: red, green, blue (or grey), row after row.
Bytes FileSamples(const imaging::Picture::Data& p)
{
    Bytes out;
    for (int y = 0; y < p.height; ++y) {
        const uint8_t* row = p.Row(y);
        for (int x = 0; x < p.width; ++x) {
            if (p.format == QImage::Format_BGR888)
                out.insert(out.end(), {row[3 * x + 2], row[3 * x + 1], row[3 * x]});
            else if (p.format == QImage::Format_Grayscale16)
                out.insert(out.end(), row + 2 * x, row + 2 * x + 2);
            else
                out.insert(out.end(), row + 8 * x, row + 8 * x + 6);
        }
    }
    return out;
}

struct Read {
    uint32_t width = 0, height = 0, rowsPerStrip = 0;
    uint16_t bits = 0, samples = 0, photometric = 0, compression = 0;
    Bytes samplesRead;
};

Read ReadWithLibtiff(const std::string& path)
{
    Read r;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif)
        return r;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &r.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &r.height);
    TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &r.rowsPerStrip);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &r.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &r.samples);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &r.photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &r.compression);
    const tmsize_t row = TIFFScanlineSize(tif);
    r.samplesRead.resize(size_t(row) * r.height);
    for (uint32_t y = 0; y < r.height; ++y)
        if (TIFFReadScanline(tif, r.samplesRead.data() + y * row, y, 0) < 0)
            r.samplesRead.clear();
    TIFFClose(tif);
    return r;
}

// Each kind of picture, odd widths, several strips and one: libtiff reads the
// samples as they are, Qt decodes the picture's own pixels, tiffinfo reads
// the file without a complaint.
TEST(PictureTiff, ReadsBackAsThePicture)
{
    const struct Row {
        const char* name;
        QImage::Format format;
        int width, height;
        bool bottomUp;  // the display image's rows, as a grab and a folder recording keep them
        uint16_t bits, samples, photometric;
    } rows[] = {
        {"8-bit colour, one strip", QImage::Format_BGR888, 97, 61, false, 8, 3, PHOTOMETRIC_RGB},
        {"8-bit colour, display rows", QImage::Format_BGR888, 1001, 700, true, 8, 3, PHOTOMETRIC_RGB},
        {"8-bit colour, one pixel", QImage::Format_BGR888, 1, 1, true, 8, 3, PHOTOMETRIC_RGB},
        {"16-bit grey, strips", QImage::Format_Grayscale16, 333, 2001, false, 16, 1, PHOTOMETRIC_MINISBLACK},
        {"16-bit colour, strips", QImage::Format_RGBX64, 199, 1201, false, 16, 3, PHOTOMETRIC_RGB},
        {"16-bit colour, a row wider than a strip", QImage::Format_RGBX64, 180001, 2, false, 16, 3,
         PHOTOMETRIC_RGB},
    };
    for (const Row& r : rows) {
        harness::TempDir dir;
        imaging::DisplayImage display;
        const imaging::Picture picture = RandomPicture(r.format, r.width, r.height, r.bottomUp, &display);
        ASSERT_FALSE(picture.IsNull()) << r.name;
        const std::string path = dir / "p.tiff";
        ASSERT_EQ(imaging::SavePicture(picture, path), "") << r.name;

        const Read read = ReadWithLibtiff(path);
        EXPECT_EQ(read.width, uint32_t(r.width)) << r.name;
        EXPECT_EQ(read.height, uint32_t(r.height)) << r.name;
        EXPECT_EQ(read.bits, r.bits) << r.name;
        EXPECT_EQ(read.samples, r.samples) << r.name;
        EXPECT_EQ(read.photometric, r.photometric) << r.name;
        EXPECT_EQ(read.compression, COMPRESSION_NONE) << r.name;
        EXPECT_LE(uint64_t(read.rowsPerStrip - 1) * r.width * r.samples * r.bits / 8, 1u << 20) << r.name;
        EXPECT_TRUE(read.samplesRead == FileSamples(*picture.data())) << r.name;

        const QImage expected = imaging::PictureImage(*picture.data(), true).convertToFormat(
            r.format == QImage::Format_BGR888 ? QImage::Format_RGB888 : r.format);
        const QImage decoded(QString::fromStdString(path));
        ASSERT_FALSE(decoded.isNull()) << r.name;
        EXPECT_TRUE(decoded.convertToFormat(expected.format()) == expected) << r.name;

        const std::string command = "tiffinfo '" + path + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << r.name;
    }
}

// A FIFO is written into, the whole file at once: the same bytes as a file.
TEST(PictureTiff, FifoGetsTheSameFile)
{
    harness::TempDir dir;
    imaging::DisplayImage display;
    const imaging::Picture picture = RandomPicture(QImage::Format_BGR888, 301, 200, true, &display);
    ASSERT_EQ(imaging::SavePicture(picture, dir / "file.tiff"), "");
    const std::string fifo = dir / "fifo.tiff";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Bytes got;
    std::thread reader([&] { got = FileBytes(fifo); });
    EXPECT_EQ(imaging::SavePicture(picture, fifo), "");
    reader.join();
    EXPECT_TRUE(got == FileBytes(dir / "file.tiff"));
}

// The folder writer keeps its picture from frame to frame: a frame cut short
// after a whole one shows nothing of the one before, on every row split.
TEST(PictureTiff, FolderFrameCutShortAfterAWholeOne)
{
    for (const char* format : {"BayerRG8", "Mono8", "RGB8"}) {
        harness::TempDir dir;
        const cam::PixelFormat* f = cam::FindPixelFormat(format);
        const uint32_t width = 33, height = 17;
        const uint64_t rowBytes = cam::RowBytes(*f, width);
        auto writer = imaging::MakeDirectoryWriter({});
        ASSERT_TRUE(writer->Open(dir / "frames/", {f, width, height}, false)) << writer->Error();
        const Bytes bright(rowBytes * height, 0xff);
        ASSERT_TRUE(writer->Write({bright.data(), bright.size(), 0})) << writer->Error();
        ASSERT_TRUE(writer->Write({bright.data(), rowBytes * 5, 1})) << writer->Error();
        ASSERT_TRUE(writer->Close()) << writer->Error();
        const QImage whole(QString::fromStdString(dir / "frames/frame-000001.tiff"));
        const QImage cut(QString::fromStdString(dir / "frames/frame-000002.tiff"));
        ASSERT_FALSE(whole.isNull() || cut.isNull()) << format;
        EXPECT_EQ(whole.pixel(0, int(height) - 1), qRgb(255, 255, 255)) << format;
        for (int y = 5; y < int(height); ++y)
            for (int x = 0; x < int(width); ++x)
                ASSERT_EQ(cut.pixel(x, y), qRgb(0, 0, 0)) << format << " at " << x << "," << y;
    }
}

}  // namespace
