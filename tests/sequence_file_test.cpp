// Sequence files: every pixel format's samples unpacked as cam::ReadSample
// reads them, multi-page TIFF read back page by page with libtiff and
// tiffinfo, a disk that fills mid-file leaving every earlier page readable,
// refusals (existing files, FIFOs), and frames kept one file each in a folder.
#include "TempDir.h"
#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"
#include "platform/imaging/convert/PixelRows.h"
#include "platform/imaging/convert/SampleUnpack.h"
#include "platform/imaging/sequence/SequenceFile.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <QImage>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

std::vector<const cam::PixelFormat*> AllFormats()
{
    int count = 0;
    const cam::PixelFormat* formats = cam::PixelFormats(&count);
    std::vector<const cam::PixelFormat*> all;
    for (int i = 0; i < count; ++i)
        all.push_back(&formats[i]);
    return all;
}

using harness::TempDir;

Bytes RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (uint8_t& v : b)
        v = uint8_t(rng());
    return b;
}

// What a page should hold for one row, by the plainest reading: sample by
// sample for Mono and Bayer, byte order for colour, the row conversion for YUV.
Bytes ExpectedRow(const cam::PixelFormat& f, const uint8_t* src, uint32_t width)
{
    Bytes out;
    switch (f.sampling) {
    case cam::Sampling::Mono:
    case cam::Sampling::Bayer:
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t v = cam::ReadSample(f, src, x);
            out.push_back(uint8_t(v));
            if (f.bits > 8)
                out.push_back(uint8_t(v >> 8));
        }
        break;
    case cam::Sampling::Colour: {
        const int step = f.bitsPerPixel / 8;
        for (uint32_t x = 0; x < width; ++x)
            for (char c : {'R', 'G', 'B'})
                out.push_back(src[x * step + (std::strchr(f.order, c) - f.order)]);
        break;
    }
    case cam::Sampling::Yuv422: {
        Bytes bgr(size_t(width) * 3);
        imaging::YuvToBgr(src, bgr.data(), width, f.order[0] == 'U', f.matrix == cam::Matrix::LimitedRange601);
        for (uint32_t x = 0; x < width; ++x)
            for (int c : {2, 1, 0})
                out.push_back(bgr[x * 3 + c]);
        break;
    }
    }
    return out;
}

// Every format at widths that leave a packed group part filled.
TEST(SampleUnpack, EveryFormatAsReadSampleReadsIt)
{
    for (const cam::PixelFormat* f : AllFormats()) {
        for (uint32_t width : {1u, 2u, 3u, 4u, 5u, 7u, 8u, 13u, 64u, 257u}) {
            const Bytes src = RandomBytes(cam::RowBytes(*f, width), width);
            Bytes dst(imaging::UnpackedRowBytes(*f, width) + 1, 0xEE);
            imaging::UnpackRow(*f, src.data(), width, dst.data());
            EXPECT_EQ(dst.back(), 0xEE) << f->name << " wrote past its row at width " << width;
            dst.pop_back();
            if (f->sampling == cam::Sampling::Yuv422) {  // kept as Y0 U Y1 V
                Bytes want(src);
                if (f->order[0] == 'U')
                    for (size_t i = 0; i + 1 < want.size(); i += 2)
                        std::swap(want[i], want[i + 1]);
                EXPECT_EQ(dst, want) << f->name << " width " << width;
            } else {
                EXPECT_EQ(dst, ExpectedRow(*f, src.data(), width)) << f->name << " width " << width;
            }
        }
    }
}

struct Page {
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, photometric = 0;
    Bytes cfa;
    std::string description;
    Bytes data;
};

// Every page of a TIFF file as libtiff reads it.
std::vector<Page> ReadPages(const std::string& path)
{
    std::vector<Page> pages;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif)
        return pages;
    do {
        Page p;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &p.width);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &p.height);
        TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &p.bits);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &p.samples);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &p.photometric);
        uint16_t count = 0;
        uint8_t* cfa = nullptr;
        if (TIFFGetField(tif, TIFFTAG_CFAPATTERN, &count, &cfa) && cfa)
            p.cfa.assign(cfa, cfa + count);
        const char* description = nullptr;
        if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &description) && description)
            p.description = description;
        const tmsize_t row = TIFFScanlineSize(tif);
        p.data.resize(size_t(row) * p.height);
        for (uint32_t y = 0; y < p.height; ++y)
            if (TIFFReadScanline(tif, p.data.data() + y * row, y, 0) < 0)
                p.data.clear();
        pages.push_back(std::move(p));
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    return pages;
}

// Pages tiffinfo reads without a complaint; -1 when it fails.
int TiffinfoPages(const std::string& path)
{
    const std::string command = "tiffinfo '" + path + "' 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return -1;
    std::string out;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, p))
        out.append(buf, n);
    const int status = pclose(p);
    if (status != 0 || out.find("rror") != std::string::npos) {
        ADD_FAILURE() << out;
        return -1;
    }
    int pages = 0;
    for (size_t at = 0; (at = out.find("TIFF Directory at offset", at)) != std::string::npos; ++at)
        ++pages;
    return pages;
}

// A frame's expected page: samples beyond size 0, rows of YUV not whole black.
Bytes ExpectedPage(const cam::PixelFormat& f, const Bytes& frame, uint64_t size, uint32_t width, uint32_t height)
{
    Bytes page;
    const uint64_t rowBytes = cam::RowBytes(f, width);
    for (uint32_t y = 0; y < height; ++y) {
        Bytes src(rowBytes, 0);
        for (uint64_t i = 0; i < rowBytes && y * rowBytes + i < size; ++i)
            src[i] = frame[y * rowBytes + i];
        const bool whole = (y + 1) * rowBytes <= size;
        const Bytes row = f.sampling == cam::Sampling::Yuv422 && !whole ? Bytes(size_t(width) * 3, 0)
                                                                        : ExpectedRow(f, src.data(), width);
        page.insert(page.end(), row.begin(), row.end());
    }
    return page;
}

// Every format, random samples in each frame, the last frame cut short: each
// page holds its frame sample for sample, with the tags that say how.
TEST(SequenceTiff, EveryFormatReadsBackPageByPage)
{
    TempDir dir;
    const uint32_t width = 13, height = 5;
    const int frames = 3;
    for (const cam::PixelFormat* f : AllFormats()) {
        const std::string path = dir / (std::string(f->name) + ".tiff");
        auto writer = imaging::MakeTiffWriter({});
        ASSERT_TRUE(writer->Open(path, {f, width, height}, false)) << f->name << ": " << writer->Error();
        std::vector<Bytes> sent;
        std::vector<uint64_t> sizes;
        for (int i = 0; i < frames; ++i) {
            sent.push_back(RandomBytes(cam::RowBytes(*f, width) * height, unsigned(i * 100 + f->bits)));
            sizes.push_back(i == frames - 1 ? sent.back().size() / 2 + 1 : sent.back().size());
            EXPECT_TRUE(writer->Write({sent.back().data(), sizes.back(), uint64_t(i)})) << writer->Error();
        }
        ASSERT_TRUE(writer->Close()) << f->name << ": " << writer->Error();
        EXPECT_EQ(writer->BytesWritten(), fs::file_size(path)) << f->name;

        const std::vector<Page> pages = ReadPages(path);
        ASSERT_EQ(pages.size(), size_t(frames)) << f->name;
        const imaging::UnpackedLayout layout = imaging::UnpackedLayoutOf(*f);
        const bool colour = f->sampling == cam::Sampling::Colour || f->sampling == cam::Sampling::Yuv422;
        for (int i = 0; i < frames; ++i) {
            const Page& p = pages[size_t(i)];
            EXPECT_EQ(p.width, width);
            EXPECT_EQ(p.height, height);
            EXPECT_EQ(p.bits, colour ? 8 : layout.bitsPerSample) << f->name;
            EXPECT_EQ(p.samples, colour ? 3 : 1) << f->name;
            EXPECT_EQ(p.description, std::string("PIXEL_FORMAT=") + f->name);
            if (f->sampling == cam::Sampling::Bayer) {
                EXPECT_EQ(p.photometric, PHOTOMETRIC_CFA) << f->name;
                Bytes want;
                for (int k = 0; k < 4; ++k)
                    want.push_back(f->order[k] == 'R' ? 0 : f->order[k] == 'G' ? 1 : 2);
                EXPECT_EQ(p.cfa, want) << f->name;
            } else {
                EXPECT_EQ(p.photometric, colour ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK) << f->name;
            }
            EXPECT_EQ(p.data, ExpectedPage(*f, sent[size_t(i)], sizes[size_t(i)], width, height))
                << f->name << " page " << i;
        }
        EXPECT_EQ(TiffinfoPages(path), frames) << f->name;
    }
}

// The simulated camera's own picture, at a width no packed group fills.
// Frames large enough that their rows are unpacked over the cores give the
// same pages, whole and cut short (in the middle of a row and on a row's end).
TEST(SequenceTiff, LargeFramesSplitOverTheCoresReadBack)
{
    TempDir dir;
    const uint32_t width = 2048, height = 1025;  // over 2 megapixels: more than one thread where there are cores
    const struct {
        const char* format;
        uint64_t cut;  // bytes short of the whole frame
    } cases[] = {
        {"YUV422_8", 0}, {"YUV422_8_UYVY", 1001}, {"Mono12p", 0}, {"Mono12p", 777}, {"RGB8", 3 * 2048}, {"BGRa8", 5},
    };
    for (const auto& c : cases) {
        const cam::PixelFormat& f = *cam::FindPixelFormat(c.format);
        const std::string path = dir / (std::string(c.format) + std::to_string(c.cut) + ".tiff");
        auto writer = imaging::MakeTiffWriter({});
        ASSERT_TRUE(writer->Open(path, {&f, width, height}, false)) << c.format << ": " << writer->Error();
        const Bytes sent = RandomBytes(cam::RowBytes(f, width) * height, unsigned(c.cut));
        const uint64_t size = sent.size() - c.cut;
        EXPECT_TRUE(writer->Write({sent.data(), size, 0})) << writer->Error();
        ASSERT_TRUE(writer->Close()) << c.format << ": " << writer->Error();
        const std::vector<Page> pages = ReadPages(path);
        ASSERT_EQ(pages.size(), 1u) << c.format;
        EXPECT_TRUE(pages[0].data == ExpectedPage(f, sent, size, width, height)) << c.format << " cut " << c.cut;
    }
}

TEST(SequenceTiff, SimulatedPicturesReadBack)
{
    TempDir dir;
    const uint32_t width = 101, height = 37;
    for (const char* name : {"Mono8", "Mono12p", "BayerRG12Packed", "BayerGB10", "RGB8", "BGRa8", "YUV422_8_UYV"}) {
        const cam::PixelFormat* f = cam::FindPixelFormat(name);
        const std::string path = dir / (std::string(name) + ".tif");
        auto writer = imaging::MakeTiffWriter({});
        ASSERT_TRUE(writer->Open(path, {f, width, height}, false)) << writer->Error();
        std::vector<Bytes> sent;
        for (uint64_t i = 0; i < 4; ++i) {
            sent.emplace_back(cam::RowBytes(*f, width) * height);
            cam::RenderSimFrame(sent.back().data(), sent.back().size(), width, height, name, i);
            ASSERT_TRUE(writer->Write({sent.back().data(), sent.back().size(), i})) << writer->Error();
        }
        ASSERT_TRUE(writer->Close()) << writer->Error();
        const std::vector<Page> pages = ReadPages(path);
        ASSERT_EQ(pages.size(), sent.size()) << name;
        for (size_t i = 0; i < sent.size(); ++i)
            EXPECT_EQ(pages[i].data, ExpectedPage(*f, sent[i], sent[i].size(), width, height)) << name << " " << i;
    }
}

// Classic TIFF only when the frames the caller announces surely fit in 4 GB.
TEST(SequenceTiff, BigTiffUnlessKnownToFit)
{
    struct Row {
        uint64_t frames;
        uint32_t width, height;
        bool big;
    } rows[] = {
        {0, 64, 64, true},            // length unknown
        {10, 64, 64, false},          // 40 KB
        {210, 5120, 4096, true},      // 210 x 20 MB
        {150, 5120, 4096, false},     // 150 x 20 MB: 3 GB
        {~0ull / 2, 64, 64, true},    // no overflow on the way
    };
    TempDir dir;
    const cam::PixelFormat* f = cam::FindPixelFormat("Mono8");
    for (const Row& r : rows) {
        imaging::SequenceOptions options;
        options.frames = r.frames;
        const std::string path = dir / "f.tiff";
        auto writer = imaging::MakeTiffWriter(options);
        ASSERT_TRUE(writer->Open(path, {f, r.width, r.height}, true)) << writer->Error();
        ASSERT_TRUE(writer->Close());
        std::ifstream in(path, std::ios::binary);
        char header[4] = {};
        in.read(header, 4);
        EXPECT_EQ(header[2], r.big ? 43 : 42) << r.frames << " frames of " << r.width << " x " << r.height;
    }
}

struct Mounted {
    std::string path;
    bool ok = false;
    Mounted(const std::string& at, uint64_t free) : path(at)
    {
        if (mount("tmpfs", at.c_str(), "tmpfs", 0, "size=2m") != 0)
            return;
        ok = true;
        struct statvfs st {};
        if (statvfs(at.c_str(), &st) != 0)
            return;
        const int64_t room = int64_t(st.f_bavail * st.f_frsize) - int64_t(free / 4096 * 4096);
        std::ofstream(at + "/fill", std::ios::binary) << std::string(size_t(std::max<int64_t>(room, 0)), 'x');
    }
    ~Mounted()
    {
        if (ok)
            umount(path.c_str());
    }
};

// A disk with room for a few pages: the write that does not fit fails with
// the system's reason, and every page before it reads back whole.
TEST(SequenceTiff, FullDiskKeepsEveryEarlierPage)
{
    struct Row {
        const char* format;
        uint32_t width, height;
        uint64_t frames;  // announced: 0 BigTIFF, else classic
    } rows[] = {
        {"Mono8", 200, 100, 0},
        {"Mono8", 200, 100, 50},
        {"BayerRG12p", 120, 90, 0},  // here the disk fills in a directory, after libtiff linked it
        {"RGB8", 60, 50, 0},
    };
    for (const Row& r : rows) {
        TempDir dir;
        const std::string disk = dir / "disk";
        ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
        Mounted mounted(disk, 64 * 1024);
        if (!mounted.ok)
            GTEST_SKIP() << "no small file system: mounting is not allowed here";
        const cam::PixelFormat* f = cam::FindPixelFormat(r.format);
        imaging::SequenceOptions options;
        options.frames = r.frames;
        auto writer = imaging::MakeTiffWriter(options);
        const std::string path = disk + "/run.tiff";
        ASSERT_TRUE(writer->Open(path, {f, r.width, r.height}, false)) << writer->Error();
        std::vector<Bytes> sent;
        bool failed = false;
        for (uint64_t i = 0; i < 50 && !failed; ++i) {
            sent.push_back(RandomBytes(cam::RowBytes(*f, r.width) * r.height, unsigned(i)));
            failed = !writer->Write({sent.back().data(), sent.back().size(), i});
        }
        ASSERT_TRUE(failed) << r.format << ": the disk never filled";
        sent.pop_back();
        EXPECT_EQ(writer->Error(), "No space left on device") << r.format;
        EXPECT_FALSE(writer->Write({sent[0].data(), sent[0].size(), 99})) << "wrote on after a failure";
        EXPECT_FALSE(writer->Close());
        EXPECT_EQ(writer->Error(), "No space left on device");
        ASSERT_GE(sent.size(), 1u) << r.format << ": not one page fitted";

        const std::vector<Page> pages = ReadPages(path);
        ASSERT_EQ(pages.size(), sent.size()) << r.format;
        for (size_t i = 0; i < sent.size(); ++i)
            EXPECT_EQ(pages[i].data, ExpectedPage(*f, sent[i], sent[i].size(), r.width, r.height)) << r.format;
        EXPECT_EQ(TiffinfoPages(path), int(sent.size())) << r.format;
    }
}

// A folder on a disk that fills: the frame that does not fit fails with the
// system's reason, leaves no part of a file, and the earlier files stay whole.
TEST(SequenceDirectory, FullDiskKeepsEveryEarlierFrame)
{
    TempDir dir;
    const std::string disk = dir / "disk";
    ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
    Mounted mounted(disk, 256 * 1024);
    if (!mounted.ok)
        GTEST_SKIP() << "no small file system: mounting is not allowed here";
    const cam::PixelFormat* f = cam::FindPixelFormat("Mono8");
    auto writer = imaging::MakeDirectoryWriter({});
    ASSERT_TRUE(writer->Open(disk + "/frames/", {f, 160, 120}, false)) << writer->Error();
    uint64_t kept = 0;
    for (; kept < 100; ++kept) {
        const Bytes frame = RandomBytes(160 * 120, unsigned(kept));
        if (!writer->Write({frame.data(), frame.size(), kept}))
            break;
    }
    ASSERT_LT(kept, 100u) << "the disk never filled";
    ASSERT_GE(kept, 1u) << "not one frame fitted";
    EXPECT_EQ(writer->Error(), "No space left on device");
    EXPECT_FALSE(writer->Close());
    uint64_t files = 0;
    for (const auto& entry : fs::directory_iterator(disk + "/frames")) {
        ++files;
        EXPECT_FALSE(QImage(QString::fromStdString(entry.path().string())).isNull()) << entry.path();
    }
    EXPECT_EQ(files, kept);
}

// A writer dropped without Close still leaves every page it wrote readable.
TEST(SequenceTiff, DroppedWithoutCloseKeepsItsPages)
{
    TempDir dir;
    const cam::PixelFormat* f = cam::FindPixelFormat("BayerBG10");
    const std::string path = dir / "run.tiff";
    std::vector<Bytes> sent;
    {
        auto writer = imaging::MakeTiffWriter({});
        ASSERT_TRUE(writer->Open(path, {f, 16, 8}, false)) << writer->Error();
        for (uint64_t i = 0; i < 3; ++i) {
            sent.push_back(RandomBytes(cam::RowBytes(*f, 16) * 8, unsigned(i)));
            ASSERT_TRUE(writer->Write({sent.back().data(), sent.back().size(), i}));
        }
    }
    const std::vector<Page> pages = ReadPages(path);
    ASSERT_EQ(pages.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(pages[i].data, ExpectedPage(*f, sent[i], sent[i].size(), 16, 8));
    EXPECT_EQ(TiffinfoPages(path), 3);
}

// What is there already is never harmed, and a FIFO is refused by the
// formats that cannot stream.
TEST(SequenceFile, RefusesWhatItMustNotTouch)
{
    struct Row {
        const char* name;
        imaging::SequenceFormat format;
        const char* path;  // in the test's folder
        enum { File, Fifo, FolderWithFrame } existing;
        bool overwrite;
        const char* error;  // part of it; null: opens
    } rows[] = {
        {"tiff over a file", imaging::SequenceFormat::Tiff, "run.tiff", Row::File, false, "File exists"},
        {"tiff over a file, overwrite", imaging::SequenceFormat::Tiff, "run.tiff", Row::File, true, nullptr},
        {"tiff into a fifo", imaging::SequenceFormat::Tiff, "run.tiff", Row::Fifo, true, "FIFO"},
        {"folder onto a fifo", imaging::SequenceFormat::Directory, "run", Row::Fifo, true, "FIFO"},
        {"folder/ onto a fifo", imaging::SequenceFormat::Directory, "run/", Row::Fifo, true, "FIFO"},
        {"folder over a frame", imaging::SequenceFormat::Directory, "run/", Row::FolderWithFrame, false,
         "File exists"},
        {"folder over a frame, overwrite", imaging::SequenceFormat::Directory, "run/", Row::FolderWithFrame, true,
         nullptr},
    };
    const cam::PixelFormat* f = cam::FindPixelFormat("Mono8");
    for (const Row& r : rows) {
        TempDir dir;
        const std::string path = dir / r.path;
        std::string kept = dir / r.path;
        if (r.existing == Row::File) {
            std::ofstream(path) << "precious";
        } else if (r.existing == Row::Fifo) {
            const std::string fifo = path.back() == '/' ? path.substr(0, path.size() - 1) : path;
            ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        } else {
            fs::create_directory(path);
            kept = path + "frame-000001.tiff";
            std::ofstream(kept) << "precious";
        }
        auto writer = imaging::MakeSequenceWriter(r.format, {});
        const bool opened = writer->Open(path, {f, 8, 4}, r.overwrite);
        if (!r.error) {
            EXPECT_TRUE(opened) << r.name << ": " << writer->Error();
            EXPECT_TRUE(writer->Close()) << r.name;
            continue;
        }
        EXPECT_FALSE(opened) << r.name;
        EXPECT_NE(writer->Error().find(r.error), std::string::npos) << r.name << ": " << writer->Error();
        if (r.existing != Row::Fifo) {
            std::ifstream in(kept);
            std::string text;
            in >> text;
            EXPECT_EQ(text, "precious") << r.name;
        }
    }
}

TEST(SequenceFile, FormatOfPath)
{
    TempDir dir;
    struct Row {
        std::string path;
        bool known;
        imaging::SequenceFormat format;
    } rows[] = {
        {"run.mkv", true, imaging::SequenceFormat::Mkv},
        {"RUN.MKV", true, imaging::SequenceFormat::Mkv},
        {"a/run.tif", true, imaging::SequenceFormat::Tiff},
        {"run.TIFF", true, imaging::SequenceFormat::Tiff},
        {"frames/", true, imaging::SequenceFormat::Directory},
        {dir.path, true, imaging::SequenceFormat::Directory},
        {"run.png", false, {}},
        {"run", false, {}},
        {"mkv", false, {}},
        {"", false, {}},
    };
    for (const Row& r : rows) {
        imaging::SequenceFormat got{};
        EXPECT_EQ(imaging::SequenceFormatOf(r.path, &got), r.known) << r.path;
        if (r.known) {
            EXPECT_EQ(got, r.format) << r.path;
        }
    }
}

// One picture file a frame, as a grab saves it: 8-bit colour, or 16 bits
// for deep formats.
TEST(SequenceDirectory, OneFileAFrame)
{
    struct Row {
        const char* format;
        const char* fileFormat;
        int depth;  // of the picture read back
    } rows[] = {
        {"Mono8", "tiff", 24},
        {"BayerRG8", "png", 24},
        {"Mono12", "png", 16},
        {"BayerGR10p", "tiff", 64},
        {"YUV422_8", "png", 24},
    };
    for (const Row& r : rows) {
        TempDir dir;
        const cam::PixelFormat* f = cam::FindPixelFormat(r.format);
        imaging::SequenceOptions options;
        options.frameFileFormat = r.fileFormat;
        auto writer = imaging::MakeDirectoryWriter(options);
        const std::string folder = dir / "frames/";
        ASSERT_TRUE(writer->Open(folder, {f, 40, 30}, false)) << writer->Error();
        Bytes frame(cam::RowBytes(*f, 40) * 30);
        uint64_t bytes = 0;
        for (uint64_t i = 0; i < 3; ++i) {
            cam::RenderSimFrame(frame.data(), frame.size(), 40, 30, r.format, i);
            ASSERT_TRUE(writer->Write({frame.data(), frame.size(), i})) << writer->Error();
        }
        ASSERT_TRUE(writer->Close()) << writer->Error();
        for (int i = 1; i <= 3; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "frame-%06d.%s", i, r.fileFormat);
            const QImage image(QString::fromStdString(folder + name));
            ASSERT_FALSE(image.isNull()) << r.format << " " << name;
            EXPECT_EQ(image.size(), QSize(40, 30)) << name;
            EXPECT_GE(image.depth(), r.depth >= 64 ? 48 : r.depth) << r.format << " " << name;
            bytes += fs::file_size(folder + name);
        }
        EXPECT_EQ(writer->BytesWritten(), bytes) << r.format;
    }
}

}  // namespace
