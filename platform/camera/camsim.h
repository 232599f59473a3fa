// The simulated camera's settings (TARVIK_SIM) and its test picture, shared by
// the source and by the tests that check what it delivers.
#pragma once

#include "cam.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cam {

// How the simulated picture looks: the test pattern, the same in softer
// colours that reach neither end of the range, one flat grey level, or the
// test pattern with the frame's id in blocks along its top (Counter).
enum class SimLook { Bars, Soft, Black, White, Grey, Counter };

// picture=counter: the low kSimCounterBits bits of the frame's id, bit 0
// first, each a kSimCounterBlock-pixel square (white: set, black: clear)
// laid left to right from the top-left corner and on in the rows of blocks
// below, as many a row as the width holds whole, over a mid-grey band.
// Blocks this large keep their level at their centre through Bayer
// demosaicking, YUV's shared chroma and every conversion to 8 bits; those
// that do not fit the picture are left out.
constexpr int kSimCounterBits = 32;
constexpr int kSimCounterBlock = 8;

// Rows of the band the counter takes at the top of a width x height picture.
inline uint64_t SimCounterRows(uint64_t width, uint64_t height)
{
    const uint64_t perRow = width / kSimCounterBlock;
    if (perRow == 0)
        return 0;
    const uint64_t rows = (kSimCounterBits + perRow - 1) / perRow * kSimCounterBlock;
    return rows < height / kSimCounterBlock * kSimCounterBlock ? rows : height / kSimCounterBlock * kSimCounterBlock;
}

// What exposure, gain and black level do to the picture: each level times
// scale and its colour's balance, plus black, clipped; ReverseX, which
// mirrors it left to right; and the lens, defocus from 0 (in focus: the
// picture as it is) to 1 (as far from its best position as it goes).
struct SimTone {
    double scale = 1, black = 0;
    bool mirror = false;
    double balance[3] = {1, 1, 1};  // blue, green, red
    double defocus = 0;
    bool Plain() const { return scale == 1 && black == 0 && balance[0] == 1 && balance[1] == 1 && balance[2] == 1; }
    bool operator==(const SimTone& o) const
    {
        return scale == o.scale && black == o.black && mirror == o.mirror && balance[0] == o.balance[0] &&
               balance[1] == o.balance[1] && balance[2] == o.balance[2] && defocus == o.defocus;
    }
    bool operator!=(const SimTone& o) const { return !(*this == o); }
};

struct SimSettings {
    enum class Adjust { Ok, Missing, Never };
    enum class Frames { Ok, None, Incomplete };

    int64_t count = 1;
    int64_t width = 1292;   // reported as is, hostile values included
    int64_t height = 964;
    std::vector<std::string> formats = {"BGR8Packed", "Mono8"};
    Adjust adjust = Adjust::Ok;
    Frames frames = Frames::Ok;
    bool payloadOverride = false;
    int64_t payload = 0;
    // A camera that sends other than it announced: frames of this size
    // (0: Width x Height), filling at most this many bytes (-1: all).
    uint32_t frameWidth = 0;
    uint32_t frameHeight = 0;
    int64_t filled = -1;
    // Frames a second while streaming; 0: what a GigE Vision camera on a
    // 1 Gbit/s link gives for the frame size (SimDefaultRate).
    double rate = 0;
    // The rate "AcquisitionFrameRate" says, 0: the one it streams at. A
    // camera that promises more than it sends.
    double rated = 0;
    SimLook look = SimLook::Bars;
    bool still = false;  // the square stays where it is: a frozen stream
    // The input lines Line0 and Line1: rising edges this many times a
    // second (0: the line stays low), each off its beat by up to lineJitterUs
    // either way; the falling edge half a period after each rising one.
    double lineHz[2] = {0, 0};
    double lineJitterUs = 0;
    // The camera's clock runs this many millionths fast (negative: slow).
    double clockPpm = 0;
    // A clock that steps back (to half its count) or jumps an hour ahead
    // once, as it stamps the camera's fifth frame.
    enum class ClockFault { None, Backwards, Jump };
    ClockFault clockFault = ClockFault::None;
    bool ignoresSoftwareTrigger = false;  // TriggerSoftware accepted and then nothing happens
    bool refusesSoftwareTrigger = false;  // TriggerSoftware refused (CAM_ERR_ACCESS_DENIED)
    // Read noise: the standard deviation, in sample levels at the format's
    // depth, of what is added to every sample, new in every frame; 0: none.
    double noise = 0;
};

// The lens: FocusPosition runs from 0 to kSimFocusRange and starts at the
// best position, which no feature tells; the picture softens as it moves
// away, by its distance over kSimFocusRange (the tone's defocus).
constexpr int64_t kSimFocusRange = 1000;
constexpr int64_t kSimFocusBest = 600;
constexpr double kSimMaxNoise = 4096;

constexpr double kSimMaxRate = 10000;
// The stream rate of a camera whose frames are payloadBytes long when the
// settings name none: 115 MB/s, a 1 Gbit/s link's payload, over the frame
// size (about 31 frames/s for 1292 x 964 BGR), from 1 to 1000.
double SimDefaultRate(int64_t payloadBytes);

constexpr int64_t kSimMaxCount = 64;

// The look of a simulated camera whose settings name no picture, from the
// next ParseSimSettings on: Bars, the test pattern the window paints, unless
// set otherwise. A health check sets Soft: the pattern's pure colours clip by
// design, and the camera Tarvik starts with should pass its own check.
void SetSimUnnamedLook(SimLook look);
SimLook SimUnnamedLook();

// Parses "key=value,key=value"; null or empty gives the defaults. On failure
// returns CAM_ERR_BAD_CONFIG with a one-line reason in *error.
CamError ParseSimSettings(const char* text, SimSettings* settings, std::string* error);

// Renders frame number frameNo of a width x height picture, rows packed one
// after another, 1 byte per pixel when mono, else 3 (blue, green, red), into
// at most size bytes of dst. Eight bars (white, yellow, cyan, green, magenta,
// red, blue, black) over the upper two thirds, a black-to-white ramp below,
// and a white square in the ramp band that moves with frameNo.
void RenderSimPicture(uint8_t* dst, size_t size, uint32_t width, uint32_t height, bool mono,
                      uint64_t frameNo);

// The same picture in any pixel format cam::FindPixelFormat knows, laid out
// as that format does (Bayer mosaics in the named order, packed samples,
// YUV by the named matrix); deeper samples hold the grey level or colour in
// their top 8 bits. Unknown formats get blue, green, red bytes.
void RenderSimFrame(uint8_t* dst, size_t size, uint32_t width, uint32_t height,
                    const std::string& pixelFormat, uint64_t frameNo, SimLook look = SimLook::Bars,
                    SimTone tone = {});

// RenderSimFrame for a stream, at a fraction of its cost: frames differ only
// in the rows of the moving square, so one frame is rendered once and every
// other is a copy of it with those rows redone where the square was and is.
class SimStreamPictures {
public:
    void Render(uint8_t* dst, size_t size, uint32_t width, uint32_t height, const std::string& pixelFormat,
                uint64_t frameNo, SimLook look = SimLook::Bars, SimTone tone = {});
    // Renders the frame the others are copied from now, rather than at the
    // first Render.
    void Prepare(uint32_t width, uint32_t height, const std::string& pixelFormat, SimLook look = SimLook::Bars,
                 SimTone tone = {});

private:
    std::vector<uint8_t> first_;  // frame 0, whole
    uint32_t width_ = 0, height_ = 0;
    std::string format_;
    SimLook look_ = SimLook::Bars;
    SimTone tone_;
};

struct PixelFormat;

// Read noise for frames: Gaussian numbers drawn once into a table, which
// each stretch of each frame replays from a place of its own (by the frame
// number and the stretch), so that noise costs an addition a sample.
class SimNoise {
public:
    // Draws the table for this standard deviation; 0 adds nothing.
    void Prepare(double sigma);
    // Adds frame frameNo's noise to the first size bytes of a frame width
    // pixels wide laid out in format (null: blue, green, red bytes), each
    // sample clipped to 0 and full scale; alpha stays opaque.
    void Add(uint8_t* frame, size_t size, uint32_t width, const PixelFormat* format, uint64_t frameNo) const;
    double Sigma() const { return sigma_; }

private:
    const int16_t* At(uint64_t frameNo, uint64_t segment) const;
    double sigma_ = 0;
    std::vector<int16_t> table_;
};

// The bar colours as blue, green, red.
extern const uint8_t kSimBarColours[8][3];

// 0.299 R + 0.587 G + 0.114 B, rounded.
uint8_t SimLuma(uint8_t blue, uint8_t green, uint8_t red);

}  // namespace cam
