// Folder recordings read back: the frame-NNNNNN.tiff/.png files a
// recording into a folder leaves, frame-000001 as index 0, each read when
// asked for (TIFF through the TIFF reader, PNG through Qt). A number with no
// file keeps its index, so that the indexes stay those of the CSV beside
// them: the missing files are named, and reading one says it is missing.
#include "platform/imaging/sequence/SequenceReaderParts.h"

#include <QImage>
#include <QImageReader>
#include <QString>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace imaging {

namespace {

struct FrameFile {
    uint64_t number;
    std::string name;
    bool png;
};

// The number of a frame file's name, 0 when it is none.
uint64_t FrameNumber(const std::string& name, bool* png)
{
    const size_t dot = name.rfind('.');
    if (name.rfind("frame-", 0) != 0 || dot == std::string::npos || dot <= 6)
        return 0;
    const std::string ext = name.substr(dot + 1), digits = name.substr(6, dot - 6);
    if ((ext != "tiff" && ext != "png") || digits.size() > 18 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    *png = ext == "png";
    return std::strtoull(digits.c_str(), nullptr, 10);
}

class DirectoryReader final : public ReaderBase {
public:
    bool Open(const std::string& path) override;
    uint64_t FrameCount() const override { return files_.empty() ? 0 : files_.back().number; }
    bool Read(uint64_t index, ReadFrame* frame) override;

private:
    bool ReadFile(const FrameFile& file, uint64_t index, ReadFrame* frame);
    bool ReadPng(const std::string& name, uint64_t index, ReadFrame* frame, bool first);
    bool Matches(const SequenceShape& shape, const std::string& name);

    std::string folder_;
    std::vector<FrameFile> files_;  // by number, those there only
    // The most numbers without a file counted as frames: a stray name with a
    // huge number must not make the recording that long.
    static constexpr uint64_t kMaxMissing = 100000;
    FramePool pool_;
};

bool DirectoryReader::Open(const std::string& path)
{
    info_ = SequenceInfo();
    info_.format = SequenceFormat::Directory;
    files_.clear();
    shape_ = SequenceShape();
    folder_ = path.empty() || path.back() == '/' ? path : path + "/";
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return Fail(std::strerror(errno));
    while (const dirent* e = ::readdir(dir)) {
        bool png = false;
        const uint64_t n = FrameNumber(e->d_name, &png);
        if (n > 0)
            files_.push_back({n, e->d_name, png});
    }
    ::closedir(dir);
    if (files_.empty())
        return Fail("the folder holds no frame files (frame-000001.tiff or .png on)");
    std::sort(files_.begin(), files_.end(), [](const FrameFile& a, const FrameFile& b) {
        return a.number != b.number ? a.number < b.number : a.name < b.name;
    });
    // Two files of one number: the first kept.
    files_.erase(std::unique(files_.begin(), files_.end(),
                             [](const FrameFile& a, const FrameFile& b) { return a.number == b.number; }),
                 files_.end());
    std::string missing, stray;
    uint64_t gaps = 0, expected = 1;
    for (size_t i = 0; i < files_.size(); ++i) {
        const FrameFile& f = files_[i];
        if (f.number - expected > kMaxMissing - gaps) {
            stray = f.name;
            files_.resize(i);
            break;
        }
        if (f.number > expected) {
            gaps += f.number - expected;
            if (missing.size() < 200) {
                char text[64];
                std::snprintf(text, sizeof text, f.number - expected > 1 ? "%06llu to %06llu" : "%06llu",
                              (unsigned long long)expected, (unsigned long long)(f.number - 1));
                missing += (missing.empty() ? "" : ", ") + std::string(text);
            }
        }
        expected = f.number + 1;
    }
    if (gaps > 0) {
        info_.complete = false;
        info_.note = (gaps == 1 ? std::string("1 frame file is missing") :
                                  std::to_string(gaps) + " frame files are missing") +
                     " (frame-" + missing + "); the " + std::to_string(files_.size()) + " there are read";
    }
    if (!stray.empty())
        info_.note += std::string(info_.note.empty() ? "" : "; ") + stray + " and the files after it are left out: " +
                      "more than " + std::to_string(kMaxMissing) + " numbers before it have no file";
    // The first file there tells the frames' shape.
    ReadFrame first;
    return ReadFile(files_.front(), files_.front().number - 1, &first);
}

bool DirectoryReader::Matches(const SequenceShape& shape, const std::string& name)
{
    if (!shape_.format) {
        shape_ = shape;
        return true;
    }
    if (shape.format == shape_.format && shape.width == shape_.width && shape.height == shape_.height)
        return true;
    return Fail(name + " holds " + std::to_string(shape.width) + " x " + std::to_string(shape.height) + " " +
                shape.format->name + ", unlike the first frame's " + std::to_string(shape_.width) + " x " +
                std::to_string(shape_.height) + " " + shape_.format->name);
}

bool DirectoryReader::ReadPng(const std::string& name, uint64_t index, ReadFrame* frame, bool first)
{
    QImageReader reader(QString::fromStdString(folder_ + name), "png");
    const QSize size = reader.size();
    std::string why;
    if (!size.isValid() || !ReadableSize(uint64_t(size.width()), uint64_t(size.height()), &why))
        return Fail(name + " cannot be read: " + (why.empty() ? reader.errorString().toStdString() : why));
    QImage image = reader.read();
    if (image.isNull())
        return Fail(name + " cannot be read: " + reader.errorString().toStdString());
    const bool grey = image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Grayscale16;
    const bool deepGrey = image.format() == QImage::Format_Grayscale16;
    if (!grey) {
        if (image.depth() > 32 && first)
            info_.note += std::string(info_.note.empty() ? "" : "; ") + "its 16-bit colour is read at 8 bits";
        image = image.convertToFormat(QImage::Format_RGB888);
    }
    SequenceShape shape{cam::FindPixelFormat(grey ? (deepGrey ? "Mono16" : "Mono8") : "RGB8"),
                        uint32_t(image.width()), uint32_t(image.height())};
    if (!Matches(shape, name))
        return false;
    const uint64_t rowBytes = cam::RowBytes(*shape_.format, shape_.width);
    auto buffer = pool_.Take(rowBytes * shape_.height);
    if (!buffer)
        return Fail("no memory for frame " + std::to_string(index));
    for (uint32_t y = 0; y < shape_.height; ++y)
        std::memcpy(buffer->data() + y * rowBytes, image.constScanLine(int(y)), size_t(rowBytes));
    HandOut(buffer, index, -1, frame);
    return true;
}

bool DirectoryReader::Read(uint64_t index, ReadFrame* frame)
{
    if (index >= FrameCount())
        return Fail("no frame " + std::to_string(index) + ": the recording has " + std::to_string(FrameCount()));
    const auto file = std::lower_bound(files_.begin(), files_.end(), index + 1,
                                       [](const FrameFile& f, uint64_t number) { return f.number < number; });
    if (file == files_.end() || file->number != index + 1) {
        char name[64];
        std::snprintf(name, sizeof name, "frame-%06llu", (unsigned long long)(index + 1));
        return Fail("frame " + std::to_string(index) + " is missing: the folder has no " + name + ".tiff or .png");
    }
    return ReadFile(*file, index, frame);
}

bool DirectoryReader::ReadFile(const FrameFile& file, uint64_t index, ReadFrame* frame)
{
    const bool first = !shape_.format;
    // A pipe by a frame's name would hold the open until something wrote to
    // it, and a folder or a device is no frame either.
    struct stat st;
    if (::stat((folder_ + file.name).c_str(), &st) != 0)
        return Fail(file.name + " cannot be read: " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        return Fail(file.name + " cannot be read: it is not a regular file (a folder, a pipe or a device)");
    if (file.png)
        return ReadPng(file.name, index, frame, first);
    auto page = MakeTiffReader();
    if (!page->Open(folder_ + file.name))
        return Fail(file.name + " cannot be read: " + page->Error());
    if (!Matches(page->Shape(), file.name))
        return false;
    if (first) {
        info_.recordedFormat = page->Info().recordedFormat;
        if (!page->Info().note.empty())
            info_.note += (info_.note.empty() ? "" : "; ") + page->Info().note;
    }
    if (!page->Read(0, frame))
        return Fail(file.name + " cannot be read: " + page->Error());
    frame->index = index;
    return true;
}

}  // namespace

std::unique_ptr<SequenceReader> MakeDirectoryReader() { return std::make_unique<DirectoryReader>(); }

}  // namespace imaging
