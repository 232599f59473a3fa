// Keeping pictures: the one place that knows picture file formats and file
// names, and writes files so that a failure never leaves a partial or
// harmed file.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace imaging {

class DisplayImage;

// A camera frame at full resolution, top row first, in true colours; held
// by value, cheap to copy.
class Picture {
public:
    Picture();
    ~Picture();
    Picture(const Picture&);
    Picture& operator=(const Picture&);

    // The display image's pixels.
    static Picture FromDisplayImage(const DisplayImage& image);

    bool IsNull() const;
    int BitsPerSample() const;  // 8, or 16 for deeper frames

    struct Data;
    explicit Picture(std::shared_ptr<const Data> data);
    const Data* data() const { return data_.get(); }

private:
    std::shared_ptr<const Data> data_;
};

// The format a file name's extension asks for: "png" (.png), "tiff" (.tif,
// .tiff), "bmp" (.bmp) or "jpeg" (.jpg, .jpeg), any case; "png" for "-",
// which means standard output. Empty for anything else.
std::string PictureFormatOf(const std::string& path);
// The extensions, for messages: ".png, .tif, .tiff, .bmp, .jpg, .jpeg".
std::string PictureFileExtensions();

// Writes picture to path in format (one of PictureFormatOf's answers; empty:
// the one path's extension names); "-" writes PNG to standard output. A file
// is written under a temporary name and renamed only when complete: on any
// failure nothing is created and an existing file is left as it was. 16-bit
// pictures stay 16-bit in PNG and TIFF. Returns an empty string on success,
// else the reason in words.
std::string SavePicture(const Picture& picture, const std::string& path,
                        const std::string& format = {});

// "<camera id>-<yyyyMMdd-HHmmss>.png", with characters that are unsafe in
// file names replaced by "_".
std::string SuggestedPictureName(const std::string& cameraId, std::time_t when);

// The file types SavePicture writes, for a save dialog: the name it takes,
// a label ("PNG image") and the extensions, the first one preferred.
struct PictureFileType {
    std::string name;
    std::string label;
    std::vector<std::string> extensions;
};
std::vector<PictureFileType> PictureFileTypes();

}  // namespace imaging
