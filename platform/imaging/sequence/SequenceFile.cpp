// Sequence files: which format a path asks for, which pixel formats each
// format keeps, and the writer for it.
#include "SequenceFile.h"

#include "platform/imaging/convert/PixelConvert.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <string>

namespace imaging {

namespace {

bool EndsWithNoCase(const std::string& s, const char* tail)
{
    const std::string t(tail);
    if (s.size() < t.size())
        return false;
    return std::equal(t.begin(), t.end(), s.end() - ptrdiff_t(t.size()), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

}  // namespace

bool SequenceFormatOf(const std::string& path, SequenceFormat* format)
{
    struct stat st;
    if (!path.empty() && (path.back() == '/' || (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)))) {
        *format = SequenceFormat::Directory;
        return true;
    }
    if (EndsWithNoCase(path, ".mkv")) {
        *format = SequenceFormat::Mkv;
        return true;
    }
    if (EndsWithNoCase(path, ".tif") || EndsWithNoCase(path, ".tiff")) {
        *format = SequenceFormat::Tiff;
        return true;
    }
    return false;
}

std::string SequenceFileKinds() { return ".mkv, .tif, .tiff, or a folder (a name ending in /)"; }

std::unique_ptr<SequenceWriter> MakeSequenceWriter(SequenceFormat format, const SequenceOptions& options)
{
    switch (format) {
    case SequenceFormat::Mkv:
        return MakeMkvWriter(options);
    case SequenceFormat::Tiff:
        return MakeTiffWriter(options);
    case SequenceFormat::Directory:
        return MakeDirectoryWriter(options);
    }
    return nullptr;
}

bool CanRecord(SequenceFormat format, const cam::PixelFormat& pixelFormat, std::string* why)
{
    // Every sampling in the table has a lossless home in each format: grey
    // and Bayer at 8 or 16 bits, colour at 8, YUV as it is (MKV) or as RGB.
    // A folder holds pictures, as a grab saves them.
    if (format == SequenceFormat::Directory && !CanShow(pixelFormat.name)) {
        if (why)
            *why = std::string("frames in ") + pixelFormat.name + " cannot be saved as pictures";
        return false;
    }
    if (why)
        why->clear();
    return true;
}

bool CanRecord(SequenceFormat format, const SequenceShape& shape, std::string* why)
{
    return CanRecord(format, shape, std::string(), why);
}

bool CanRecord(SequenceFormat format, const SequenceShape& shape, const std::string& codec, std::string* why)
{
    if (!shape.format || !CanRecord(format, *shape.format, why))
        return false;
    if (shape.width == 0 || shape.height == 0) {
        if (why)
            *why = "frames of " + std::to_string(shape.width) + " x " + std::to_string(shape.height) +
                   " pixels hold no picture";
        return false;
    }
    return format != SequenceFormat::Mkv || MkvTakes(shape, codec, why);
}

}  // namespace imaging
