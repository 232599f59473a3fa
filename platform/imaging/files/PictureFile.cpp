// Picture files. PNG is written with libpng directly: set
// for speed as camera tools do (one filter for all rows, zlib's fastest level,
// run-length matching), it writes a 20-megapixel frame several times faster
// than Qt's writer at any of its settings. TIFF is written with libtiff
// directly (PictureTiff.cpp). BMP and JPEG go through Qt.
#include "PictureFile.h"

#include "platform/imaging/display/DisplayImage.h"
#include "OutputFile.h"
#include "PictureData.h"

#include <QBuffer>
#include <QDateTime>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>

#include <png.h>
#include <zlib.h>

#include <dlfcn.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace imaging {

Picture::Picture() = default;
Picture::~Picture() = default;
Picture::Picture(const Picture&) = default;
Picture& Picture::operator=(const Picture&) = default;
Picture::Picture(std::shared_ptr<const Data> data) : data_(std::move(data)) {}

Picture Picture::FromDisplayImage(const DisplayImage& image)
{
    if (image.IsNull())
        return {};
    return Picture(std::make_shared<Data>(Data{image.SharePixels(), image.GetBits(), image.GetPitch(),
                                               image.GetWidth(), image.GetHeight(),
                                               QImage::Format_BGR888}));
}

bool Picture::IsNull() const { return !data_ || !data_->top; }
int Picture::BitsPerSample() const
{
    return !IsNull() && data_->format != QImage::Format_BGR888 ? 16 : 8;
}

// ---- formats ------------------------------------------------------------------

namespace {

// libpng hands each compressed chunk to one write: large chunks, few calls.
constexpr size_t kPngChunkBytes = 1 << 20;

struct FileFormat {
    const char* name;        // as QImageWriter knows it
    const char* label;       // in the file dialog
    const char* extensions;  // space-separated, the first one preferred
    int quality;             // -1: the writer's own
    bool deep;               // keeps 16-bit samples
};

const FileFormat kFormats[] = {
    {"png", "PNG image", "png", -1, true},
    {"tiff", "TIFF image", "tif tiff", -1, true},
    {"bmp", "BMP image", "bmp", -1, false},
    {"jpeg", "JPEG image", "jpg jpeg", 95, false},
};

const FileFormat* FormatNamed(const std::string& name)
{
    for (const FileFormat& f : kFormats)
        if (name == f.name)
            return &f;
    return nullptr;
}

QStringList Extensions(const FileFormat& f)
{
    return QString::fromLatin1(f.extensions).split(' ');
}

// The picture as a QImage for Qt's writers and the clipboard; deep samples
// are brought down to 8 bits unless they may stay. Rows stored top first are
// lent, not copied (a deep 20-megapixel picture is 160 MB): such an image
// must not outlive the picture.
QImage ImageOf(const Picture::Data& picture, bool keepDepth)
{
    const QImage image = picture.pitch > 0
        ? QImage(picture.top, picture.width, picture.height, qsizetype(picture.pitch), picture.format)
        : picture.ToImage();
    if (keepDepth)
        return image;
    switch (image.format()) {
    case QImage::Format_Grayscale16: return image.convertToFormat(QImage::Format_Grayscale8);
    case QImage::Format_RGBX64: return image.convertToFormat(QImage::Format_RGB888);
    default: return image;
    }
}

// ---- PNG ------------------------------------------------------------------------

void PngWrite(png_structp png, png_bytep data, size_t size)
{
    if (!static_cast<OutputFile*>(png_get_io_ptr(png))->Write(data, size))
        png_error(png, "write failed");
}

void PngFlush(png_structp) {}
[[noreturn]] void PngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngWarning(png_structp, png_const_charp) {}

struct PngJob {
    const Picture::Data* picture;
    int colour;
    int depth;
    png_bytep row;  // room for one row without RGBX64's fourth sample, or null
    OutputFile* file;
};

// The libpng calls. libpng reports errors by jumping back here, so nothing in
// this function may need destroying.
bool RunPng(const PngJob& job)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    const Picture::Data& picture = *job.picture;
    png_set_write_fn(png, job.file, PngWrite, PngFlush);
    png_set_compression_buffer_size(png, kPngChunkBytes);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_set_compression_level(png, Z_BEST_SPEED);
    png_set_compression_strategy(png, Z_RLE);
    png_set_IHDR(png, info, png_uint_32(picture.width), png_uint_32(picture.height), job.depth,
                 job.colour, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    if (picture.format == QImage::Format_BGR888)
        png_set_bgr(png);
    if (job.depth == 16 && QSysInfo::ByteOrder == QSysInfo::LittleEndian)
        png_set_swap(png);  // PNG stores 16-bit samples most significant byte first
    for (int y = 0; y < picture.height; ++y) {
        if (job.row) {
            DropFourthSample(picture.Row(y), job.row, picture.width);
            png_write_row(png, job.row);
        } else {
            png_write_row(png, picture.Row(y));
        }
    }
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

// Writes the picture as PNG; false on any failure (file says whether writing did).
bool WritePng(const Picture::Data& picture, OutputFile* file)
{
    PngJob job{&picture, PNG_COLOR_TYPE_RGB, 8, nullptr, file};
    switch (picture.format) {
    case QImage::Format_BGR888: break;
    case QImage::Format_Grayscale16: job.colour = PNG_COLOR_TYPE_GRAY; job.depth = 16; break;
    case QImage::Format_RGBX64: job.depth = 16; break;
    default: return false;
    }
    std::vector<png_byte> row(picture.format == QImage::Format_RGBX64 ? size_t(picture.width) * 6 : 0);
    job.row = row.empty() ? nullptr : row.data();
    return RunPng(job);
}

// Encoders tell stderr about their failures themselves (libtiff directly,
// Qt's plugins through its log); the caller says once what went wrong, so
// they are kept quiet while a picture is written.
class QuietEncoders {
public:
    QuietEncoders() { g_previous = qInstallMessageHandler(Filter); }
    ~QuietEncoders() { qInstallMessageHandler(g_previous); }
    QuietEncoders(const QuietEncoders&) = delete;
    QuietEncoders& operator=(const QuietEncoders&) = delete;

    // libtiff, once Qt's TIFF plugin has loaded it, has global handlers.
    static void QuietLibtiff()
    {
        if (void* tiff = dlopen("libtiff.so.6", RTLD_NOW | RTLD_NOLOAD)) {
            using SetHandler = void* (*)(void*);
            for (const char* name : {"TIFFSetErrorHandler", "TIFFSetWarningHandler"})
                if (auto set = reinterpret_cast<SetHandler>(dlsym(tiff, name)))
                    set(nullptr);
            dlclose(tiff);
        }
    }

private:
    static void Filter(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        const bool encoder = context.category && (std::strncmp(context.category, "qt.gui.imageio", 14) == 0 ||
                                                  std::strncmp(context.category, "qt.imageformats", 15) == 0);
        if (encoder)
            return;
        if (g_previous)
            g_previous(type, context, text);
        else
            std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
    }
    static inline QtMessageHandler g_previous = nullptr;
};

// Qt's writers write a temporary file through this device, never through a
// QFile: QFile takes a write that fills the disk part way for a short count
// with no error, and forgets an error at its next seek. Qt's BMP writer then
// gives up without a reason, and its TIFF writer ignores libtiff's failing
// final flush and reports success. Here every failure stays in the
// OutputFile from the first one on.
class OutputDevice : public QIODevice {
public:
    explicit OutputDevice(OutputFile* file) : file_(file) { open(ReadWrite | Unbuffered); }
    bool isSequential() const override { return false; }
    bool seek(qint64 pos) override { return file_->Seek(pos) && QIODevice::seek(pos); }
    qint64 size() const override { return file_->Size(); }

protected:
    qint64 readData(char* data, qint64 size) override { return file_->Read(data, size_t(size)); }
    qint64 writeData(const char* data, qint64 size) override
    {
        return file_->Write(data, size_t(size)) ? size : -1;
    }

private:
    OutputFile* file_;
};

// Writes the picture to file in format; empty, else why not. What an
// encoder says is not taken on its word: the file's own failure, if any,
// is the reason, whether the encoder reports success or blames the picture.
QString Write(const Picture::Data& picture, const FileFormat& format, OutputFile* file)
{
    const auto fileError = [file] { return QString::fromLocal8Bit(file->Error().c_str()); };
    if (std::strcmp(format.name, "png") == 0) {
        const bool written = WritePng(picture, file);
        if (!file->Error().empty())
            return fileError();
        return written ? QString() : QStringLiteral("the PNG encoder failed");
    }
    if (std::strcmp(format.name, "tiff") == 0)
        return QString::fromLocal8Bit(WriteTiff(picture, file).c_str());
    const QImage image = ImageOf(picture, format.deep);
    if (image.isNull())
        return QStringLiteral("not enough memory to convert the picture");
    // Writers may seek and read back: a temporary file allows that; a pipe or
    // a device gets the encoded bytes in one piece.
    QBuffer encoded;
    std::unique_ptr<OutputDevice> direct;
    QIODevice* device = &encoded;
    if (file->Replacing()) {
        direct = std::make_unique<OutputDevice>(file);
        device = direct.get();
    } else {
        encoded.open(QIODevice::WriteOnly);
    }
    QuietEncoders quiet;
    QImageWriter writer(device, format.name);
    writer.setQuality(format.quality);
    if (writer.canWrite())
        QuietEncoders::QuietLibtiff();
    const bool written = writer.write(image);
    if (written && !direct)
        file->Write(encoded.data().constData(), size_t(encoded.size()));
    if (!file->Error().empty())
        return fileError();
    if (written)
        return {};
    if (writer.error() != QImageWriter::UnknownError)
        return writer.errorString();
    return QStringLiteral("the %1 writer cannot hold a picture of %2 x %3 pixels")
        .arg(QString::fromLatin1(format.label).section(' ', 0, 0))
        .arg(image.width())
        .arg(image.height());
}

}  // namespace

QImage PictureImage(const Picture::Data& picture, bool keepDepth) { return ImageOf(picture, keepDepth); }

std::vector<PictureFileType> PictureFileTypes()
{
    std::vector<PictureFileType> types;
    for (const FileFormat& f : kFormats) {
        PictureFileType t{f.name, f.label, {}};
        for (const QString& e : Extensions(f))
            t.extensions.push_back(e.toStdString());
        types.push_back(t);
    }
    return types;
}

std::string PictureFormatOf(const std::string& path)
{
    if (OutputFile::IsStandardOutput(path))
        return "png";
    const QString suffix = QFileInfo(QFile::decodeName(path.c_str())).suffix().toLower();
    for (const FileFormat& f : kFormats)
        if (!suffix.isEmpty() && Extensions(f).contains(suffix))
            return f.name;
    return {};
}

std::string PictureFileExtensions()
{
    QStringList all;
    for (const FileFormat& f : kFormats)
        for (const QString& e : Extensions(f))
            all << "." + e;
    return all.join(", ").toStdString();
}

std::string SavePicture(const Picture& picture, const std::string& path, const std::string& format)
{
    const FileFormat* f = FormatNamed(format.empty() ? PictureFormatOf(path) : format);
    if (!f)
        return "unknown picture file type; use " + PictureFileExtensions();
    if (picture.IsNull())
        return "there is no picture to save";
    const Picture::Data& data = *picture.data();

    OutputFile file;
    if (!file.Open(path))
        return file.Error();
    const QString error = Write(data, *f, &file);
    if (!error.isEmpty())
        return error.toStdString();
    if (!file.Commit())
        return file.Error();
    return {};
}

std::string SuggestedPictureName(const std::string& cameraId, std::time_t when)
{
    QString id = QString::fromUtf8(cameraId.c_str());
    for (QChar& c : id)
        if (!(c.isLetterOrNumber() || c == '-' || c == '.' || c == '_') || c.unicode() > 0x7f)
            c = '_';
    if (id.isEmpty() || id.startsWith('.'))
        id.prepend("camera");
    const QString stamp = QDateTime::fromSecsSinceEpoch(qint64(when)).toString("yyyyMMdd-HHmmss");
    return (id + "-" + stamp + ".png").toStdString();
}

}  // namespace imaging
