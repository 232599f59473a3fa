// Picture files and the clipboard. PNG is written with libpng directly: set
// for speed as camera tools do (one filter for all rows, zlib's fastest level,
// run-length matching), it writes a 20-megapixel frame several times faster
// than Qt's writer at any of its settings. Other formats go through Qt.
#include "PictureFile.h"

#include "DialogWindow.h"
#include "DisplayImage.h"
#include "PictureData.h"

#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QSaveFile>
#include <QStandardPaths>

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

namespace ui {

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

QString Filter(const FileFormat& f)
{
    return QString::fromLatin1(f.label) + " (*." + Extensions(f).join(" *.") + ")";
}

// The picture as a QImage for Qt's writers and the clipboard; deep samples
// are brought down to 8 bits unless they may stay.
QImage ImageOf(const Picture::Data& picture, bool keepDepth)
{
    const QImage image = picture.ToImage();
    if (keepDepth)
        return image;
    switch (image.format()) {
    case QImage::Format_Grayscale16: return image.convertToFormat(QImage::Format_Grayscale8);
    case QImage::Format_RGBX64: return image.convertToFormat(QImage::Format_RGB888);
    default: return image;
    }
}

// ---- PNG ------------------------------------------------------------------------

struct PngSink {
    QIODevice* device;
    bool failed;
};

void PngWrite(png_structp png, png_bytep data, size_t size)
{
    auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    if (sink->device->write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size)) {
        sink->failed = true;
        png_error(png, "write failed");
    }
}

void PngFlush(png_structp) {}
[[noreturn]] void PngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngWarning(png_structp, png_const_charp) {}

// Rows of 16-bit red, green, blue without the fourth sample of RGBX64.
void DropFourthSample(const uchar* src, png_bytep dst, int width)
{
    const auto* s = reinterpret_cast<const uint16_t*>(src);
    auto* d = reinterpret_cast<uint16_t*>(dst);
    for (int x = 0; x < width; ++x)
        std::memcpy(d + 3 * x, s + 4 * x, 6);
}

struct PngJob {
    const Picture::Data* picture;
    int colour;
    int depth;
    png_bytep row;  // room for one row without RGBX64's fourth sample, or null
    PngSink* sink;
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
    png_set_write_fn(png, job.sink, PngWrite, PngFlush);
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

// Writes the picture as PNG; false on any failure (sink says whether writing did).
bool WritePng(const Picture::Data& picture, PngSink* sink)
{
    PngJob job{&picture, PNG_COLOR_TYPE_RGB, 8, nullptr, sink};
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

// Writes the picture to device in format; empty, else why not.
QString Write(const Picture::Data& picture, const FileFormat& format, QFileDevice* device)
{
    if (std::strcmp(format.name, "png") == 0) {
        PngSink sink{device, false};
        if (WritePng(picture, &sink))
            return {};
        return sink.failed ? device->errorString() : QStringLiteral("the PNG encoder failed");
    }
    const QImage image = ImageOf(picture, format.deep);
    if (image.isNull())
        return QStringLiteral("not enough memory to convert the picture");
    QImageWriter writer(device, format.name);
    writer.setQuality(format.quality);
    if (writer.write(image))
        return {};
    if (device->error() != QFileDevice::NoError)
        return device->errorString();
    if (writer.error() != QImageWriter::UnknownError)
        return writer.errorString();
    return QStringLiteral("the %1 writer cannot hold a picture of %2 x %3 pixels")
        .arg(QString::fromLatin1(format.label).section(' ', 0, 0))
        .arg(image.width())
        .arg(image.height());
}

QString g_lastFolder;  // where the user saved last, while the program runs

}  // namespace

std::string PictureFormatOf(const std::string& path)
{
    if (path == "-")
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

    if (path == "-") {
        QFile out;
        if (!out.open(stdout, QIODevice::WriteOnly))
            return out.errorString().toStdString();
        QString error = Write(data, *f, &out);
        if (error.isEmpty() && !out.flush())
            error = out.errorString();
        return error.toStdString();
    }
    QSaveFile file(QFile::decodeName(path.c_str()));
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString().toStdString();
    const QString error = Write(data, *f, &file);
    if (!error.isEmpty()) {
        file.cancelWriting();
        return error.toStdString();
    }
    if (!file.commit())
        return file.errorString().toStdString();
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

std::optional<SaveTarget> AskWhereToSave(Dialog& parent, const std::string& suggestedName)
{
    QString folder = g_lastFolder;
    if (folder.isEmpty()) {
        folder = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        if (folder.isEmpty() || !QDir(folder).exists())
            folder = QDir::homePath();
    }
    QStringList filters;
    for (const FileFormat& f : kFormats)
        filters << Filter(f);
    QFileDialog dialog(WidgetOf(parent), QStringLiteral("Save picture as"), folder);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    auto formatOfFilter = [&](const QString& filter) -> const FileFormat& {
        const auto i = filters.indexOf(filter);
        return kFormats[i < 0 ? 0 : i];
    };
    // A name typed without an extension gets the chosen filter's, before the
    // dialog asks whether to replace an existing file.
    dialog.setDefaultSuffix(Extensions(kFormats[0]).first());
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString& filter) {
        dialog.setDefaultSuffix(Extensions(formatOfFilter(filter)).first());
    });
    dialog.selectFile(QString::fromUtf8(suggestedName.c_str()));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    const QString path = dialog.selectedFiles().first();
    g_lastFolder = QFileInfo(path).absolutePath();
    SaveTarget target{QFile::encodeName(path).toStdString(), {}};
    target.format = PictureFormatOf(target.path);
    if (target.format.empty())
        target.format = formatOfFilter(dialog.selectedNameFilter()).name;
    return target;
}

void CopyToClipboard(const Picture& picture)
{
    if (picture.IsNull())
        return;
    QGuiApplication::clipboard()->setImage(ImageOf(*picture.data(), false));
}

}  // namespace ui
