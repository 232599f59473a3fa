// What a Picture holds on the Qt side; only the picture services (files, the
// clipboard) include it.
#pragma once

#include "PictureFile.h"

#include <QImage>

#include <cstring>
#include <string>

namespace imaging {

// Rows of pixels owned elsewhere and kept alive by owner: the display
// image's shared memory (bottom-up, so the pitch is negative) or a QImage.
struct Picture::Data {
    std::shared_ptr<const void> owner;
    const uint8_t* top;
    ptrdiff_t pitch;
    int width;
    int height;
    QImage::Format format;  // Format_BGR888, Format_Grayscale16 or Format_RGBX64

    const uint8_t* Row(int y) const { return top + ptrdiff_t(y) * pitch; }

    // A QImage of its own, rows top first.
    QImage ToImage() const
    {
        QImage out(width, height, format);
        if (out.isNull())
            return out;
        const size_t bytes = size_t(width) * size_t(out.depth() / 8);
        for (int y = 0; y < height; ++y)
            std::memcpy(out.scanLine(y), Row(y), bytes);
        return out;
    }
};

// The picture as a QImage for Qt's writers and the clipboard; deep samples
// are brought down to 8 bits unless they may stay. Rows stored top first are
// lent, not copied: such an image must not outlive the picture.
QImage PictureImage(const Picture::Data& picture, bool keepDepth);

class OutputFile;

// Writes the picture to file as TIFF (PictureTiff.cpp); empty, else why not.
std::string WriteTiff(const Picture::Data& picture, OutputFile* file);

// Rows of 16-bit red, green, blue without the fourth sample of RGBX64.
void DropFourthSample(const uint8_t* src, uint8_t* dst, int width);

// A picture that owns image.
inline Picture PictureOf(QImage image)
{
    auto owner = std::make_shared<QImage>(std::move(image));
    return Picture(std::make_shared<Picture::Data>(Picture::Data{
        owner, owner->constBits(), owner->bytesPerLine(), owner->width(), owner->height(),
        owner->format()}));
}

}  // namespace imaging
