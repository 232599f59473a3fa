// The simulated camera source ("sim"): cameras that need no hardware and no
// network, configured by TARVIK_SIM so that tests can make every step fail.
#include "camsim.h"
#include "camfeature.h"
#include "campixel.h"
#include "camsimcontrols.h"
#include "camsource.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace cam {

const uint8_t kSimBarColours[8][3] = {
    {255, 255, 255},  // white
    {0, 255, 255},    // yellow
    {255, 255, 0},    // cyan
    {0, 255, 0},      // green
    {255, 0, 255},    // magenta
    {0, 0, 255},      // red
    {255, 0, 0},      // blue
    {0, 0, 0},        // black
};

uint8_t SimLuma(uint8_t blue, uint8_t green, uint8_t red)
{
    return static_cast<uint8_t>((299 * red + 587 * green + 114 * blue + 500) / 1000);
}

// ---- settings ---------------------------------------------------------------

static bool ParseInt(const std::string& text, int64_t* value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0')
        return false;
    *value = v;
    return true;
}

static bool ValidFormatName(const std::string& name)
{
    if (name.empty() || name.size() > 64)
        return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return c > ' ' && c < 0x7f && c != ',' && c != '+'; });
}

namespace {
std::atomic<SimLook> g_unnamedLook{SimLook::Bars};
}  // namespace

void SetSimUnnamedLook(SimLook look) { g_unnamedLook = look; }

SimLook SimUnnamedLook() { return g_unnamedLook; }

CamError ParseSimSettings(const char* text, SimSettings* settings, std::string* error)
{
    SimSettings s;
    s.look = g_unnamedLook;
    std::string all = text ? text : "";
    size_t pos = 0;
    while (!all.empty() && pos <= all.size()) {
        size_t comma = all.find(',', pos);
        if (comma == std::string::npos)
            comma = all.size();
        std::string item = all.substr(pos, comma - pos);
        pos = comma + 1;
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        auto fail = [&](const std::string& why) {
            *error = "TARVIK_SIM: " + why;
            return CAM_ERR_BAD_CONFIG;
        };
        if (eq == std::string::npos)
            return fail("expected key=value, got " + Quoted(item));
        if (key == "count") {
            if (!ParseInt(value, &s.count) || s.count < 0 || s.count > kSimMaxCount)
                return fail("count must be a number from 0 to " + std::to_string(kSimMaxCount) +
                            ", got " + Quoted(value));
        } else if (key == "width" || key == "height") {
            if (!ParseInt(value, key == "width" ? &s.width : &s.height))
                return fail(key + " must be a 64-bit number, got " + Quoted(value));
        } else if (key == "payload") {
            if (!ParseInt(value, &s.payload))
                return fail("payload must be a 64-bit number, got " + Quoted(value));
            s.payloadOverride = true;
        } else if (key == "frame") {
            const size_t x = value.find('x');
            int64_t w = 0, h = 0;
            if (x == std::string::npos || !ParseInt(value.substr(0, x), &w) ||
                !ParseInt(value.substr(x + 1), &h) || w <= 0 || h <= 0 || w > UINT32_MAX ||
                h > UINT32_MAX)
                return fail("frame must be WIDTHxHEIGHT, each from 1 to 4294967295, got " + Quoted(value));
            s.frameWidth = uint32_t(w);
            s.frameHeight = uint32_t(h);
        } else if (key == "filled") {
            if (!ParseInt(value, &s.filled) || s.filled < 0)
                return fail("filled must be a number of bytes from 0, got " + Quoted(value));
        } else if (key == "rate" || key == "rated") {
            errno = 0;
            char* end = nullptr;
            double& rate = key == "rate" ? s.rate : s.rated;
            rate = std::strtod(value.c_str(), &end);
            if (value.empty() || errno || *end || !(rate > 0 && rate <= kSimMaxRate))
                return fail(key + " must be frames a second, above 0 and at most " +
                            std::to_string(int(kSimMaxRate)) + ", got " + Quoted(value));
        } else if (key == "line0" || key == "line1") {
            double& hz = s.lineHz[key == "line1"];
            if (!ParseNumber(value, &hz) || !(hz > 0 && hz <= kSimMaxRate))
                return fail(key + " must be edges a second, above 0 and at most " +
                            std::to_string(int(kSimMaxRate)) + ", got " + Quoted(value));
        } else if (key == "line_jitter") {
            if (!ParseNumber(value, &s.lineJitterUs) || s.lineJitterUs < 0 || s.lineJitterUs > 1e6)
                return fail("line_jitter must be microseconds from 0 to 1000000, got " + Quoted(value));
        } else if (key == "clock_ppm") {
            if (!ParseNumber(value, &s.clockPpm) || std::fabs(s.clockPpm) > 1e5)
                return fail("clock_ppm must be a number from -100000 to 100000, got " + Quoted(value));
        } else if (key == "clock") {
            if (value == "ok")
                s.clockFault = SimSettings::ClockFault::None;
            else if (value == "backwards")
                s.clockFault = SimSettings::ClockFault::Backwards;
            else if (value == "jump")
                s.clockFault = SimSettings::ClockFault::Jump;
            else
                return fail("clock must be ok, backwards or jump, got " + Quoted(value));
        } else if (key == "software_trigger") {
            if (value != "ok" && value != "ignored" && value != "refused")
                return fail("software_trigger must be ok, ignored or refused, got " + Quoted(value));
            s.ignoresSoftwareTrigger = value == "ignored";
            s.refusesSoftwareTrigger = value == "refused";
        } else if (key == "picture") {
            static const std::pair<const char*, SimLook> looks[] = {
                {"bars", SimLook::Bars},   {"soft", SimLook::Soft},   {"still", SimLook::Bars},
                {"black", SimLook::Black}, {"white", SimLook::White}, {"grey", SimLook::Grey},
                {"counter", SimLook::Counter}};
            const auto* found = std::find_if(std::begin(looks), std::end(looks),
                                             [&](const auto& l) { return value == l.first; });
            if (found == std::end(looks))
                return fail("picture must be bars, soft, still, black, white, grey or counter, got " +
                            Quoted(value));
            s.look = found->second;
            s.still = value == "still";
        } else if (key == "formats") {
            s.formats.clear();
            size_t p = 0;
            while (p <= value.size()) {
                size_t plus = value.find('+', p);
                if (plus == std::string::npos)
                    plus = value.size();
                std::string name = value.substr(p, plus - p);
                p = plus + 1;
                if (!ValidFormatName(name))
                    return fail("formats must be pixel format names joined by '+', got " +
                                Quoted(value));
                s.formats.push_back(name);
            }
        } else if (key == "adjust") {
            if (value == "ok")
                s.adjust = SimSettings::Adjust::Ok;
            else if (value == "missing")
                s.adjust = SimSettings::Adjust::Missing;
            else if (value == "never")
                s.adjust = SimSettings::Adjust::Never;
            else
                return fail("adjust must be ok, missing or never, got " + Quoted(value));
        } else if (key == "frames") {
            if (value == "ok")
                s.frames = SimSettings::Frames::Ok;
            else if (value == "none")
                s.frames = SimSettings::Frames::None;
            else if (value == "incomplete")
                s.frames = SimSettings::Frames::Incomplete;
            else
                return fail("frames must be ok, none or incomplete, got " + Quoted(value));
        } else if (key == "noise") {
            if (!ParseNumber(value, &s.noise) || !(s.noise >= 0 && s.noise <= kSimMaxNoise))
                return fail("noise must be a standard deviation in sample levels, from 0 to " +
                            std::to_string(int(kSimMaxNoise)) + ", got " + Quoted(value));
        } else {
            return fail("unknown setting " + Quoted(key) +
                        " (known: count, width, height, formats, adjust, frames, payload, frame, filled, rate, rated, "
                        "picture, line0, line1, line_jitter, clock_ppm, clock, software_trigger, noise)");
        }
    }
    *settings = s;
    return CAM_OK;
}

// ---- picture ----------------------------------------------------------------

// The first n pixels of the bar rows and of the ramp rows: blue, green, red,
// or grey levels when mono.
static void BaseRows(size_t n, uint32_t width, bool mono, std::vector<uint8_t>* bars,
                     std::vector<uint8_t>* ramp)
{
    const size_t bpp = mono ? 1 : 3;
    bars->assign(n * bpp, 0);
    ramp->assign(n * bpp, 0);
    auto put = [&](std::vector<uint8_t>& row, size_t x, uint8_t b, uint8_t g, uint8_t r) {
        if (mono) {
            row[x] = SimLuma(b, g, r);
        } else {
            row[x * 3] = b;
            row[x * 3 + 1] = g;
            row[x * 3 + 2] = r;
        }
    };
    for (size_t x = 0; x < n; ++x) {
        const uint8_t* c = kSimBarColours[uint64_t(x) * 8 / width];
        put(*bars, x, c[0], c[1], c[2]);
        uint8_t level = width > 1 ? static_cast<uint8_t>(uint64_t(x) * 255 / (width - 1)) : 0;
        put(*ramp, x, level, level, level);
    }
}

namespace {

// Where the moving square is in frame frameNo; not shown when it does not fit.
struct Square {
    bool shown = false;
    uint64_t top = 0, left = 0, side = 0;
};

Square SquareOf(uint32_t width, uint32_t height, uint64_t frameNo)
{
    // In the middle of the ramp band, clear of its bottom rows, and only when it fits.
    const uint64_t barRows = uint64_t(height) * 2 / 3;
    const uint64_t side = std::max<uint64_t>(2, height / 8);
    const uint64_t band = height - barRows;
    if (side + 2 > band || side >= width)
        return {};
    return {true, barRows + (band - side) / 2, (frameNo * side) % (width - side), side};
}

}  // namespace

void RenderSimPicture(uint8_t* dst, size_t size, uint32_t width, uint32_t height, bool mono,
                      uint64_t frameNo)
{
    const uint64_t bpp = mono ? 1 : 3;
    const uint64_t rowBytes = uint64_t(width) * bpp;
    if (!dst || size == 0 || rowBytes == 0 || height == 0)
        return;
    // Only as much of a row as can ever land in the buffer is built.
    const size_t rowLen = static_cast<size_t>(std::min<uint64_t>(rowBytes, size));
    const size_t pixels = rowLen / bpp + (rowLen % bpp ? 1 : 0);
    std::vector<uint8_t> bars, ramp;
    BaseRows(pixels, width, mono, &bars, &ramp);
    const uint64_t barRows = uint64_t(height) * 2 / 3;
    for (uint64_t y = 0; y < height; ++y) {
        uint64_t offset = y * rowBytes;
        if (offset >= size)
            return;
        size_t n = static_cast<size_t>(std::min<uint64_t>(rowLen, size - offset));
        std::memcpy(dst + offset, (y < barRows ? bars : ramp).data(), n);
    }
    const Square square = SquareOf(width, height, frameNo);
    for (uint64_t y = square.top; square.shown && y < square.top + square.side; ++y) {
        for (uint64_t x = square.left; x < square.left + square.side; ++x) {
            uint64_t at = y * rowBytes + x * bpp;
            if (at + bpp > size)
                return;
            std::memset(dst + at, 255, bpp);
        }
    }
}

namespace {

// A grey level as a sample of bits bits whose top 8 bits are that level;
// the lower bits repeat its top ones, so that white is full scale.
uint32_t Deepen(uint8_t level, int bits)
{
    return bits == 8 ? level : uint32_t(level) << (bits - 8) | uint32_t(level) >> (16 - bits);
}

uint8_t Round8(double v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v + 0.5); }

// Y, U and V of a blue, green, red pixel by the format's matrix.
void YuvOf(const uint8_t* bgr, Matrix matrix, double* y, double* u, double* v)
{
    const double b = bgr[0], g = bgr[1], r = bgr[2];
    if (matrix == Matrix::LimitedRange601) {
        *y = 16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255;
        *u = 128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255;
        *v = 128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255;
    } else {
        *y = 0.299 * r + 0.587 * g + 0.114 * b;
        *u = 128 - 0.168736 * r - 0.331264 * g + 0.5 * b;
        *v = 128 + 0.5 * r - 0.418688 * g - 0.081312 * b;
    }
}

// n pixels of row y, blue, green, red, written as format lays them out; out
// holds cam::RowBytes(format, n) zeroed bytes.
void EncodeRow(const PixelFormat& format, const uint8_t* bgr, size_t n, uint64_t y, uint8_t* out)
{
    const std::string order = format.order;
    switch (format.sampling) {
    case Sampling::Mono:
        for (size_t x = 0; x < n; ++x) {
            const uint8_t* p = bgr + 3 * x;
            WriteSample(format, out, x, Deepen(SimLuma(p[0], p[1], p[2]), format.bits));
        }
        return;
    case Sampling::Bayer:
        for (size_t x = 0; x < n; ++x) {
            const char c = BayerColour(format, x, y);
            WriteSample(format, out, x, Deepen(bgr[3 * x + (c == 'B' ? 0 : c == 'G' ? 1 : 2)], format.bits));
        }
        return;
    case Sampling::Colour: {
        const size_t bytes = size_t(format.bitsPerPixel / 8);
        const bool rgb = order[0] == 'R';
        for (size_t x = 0; x < n; ++x) {
            const uint8_t* p = bgr + 3 * x;
            uint8_t* o = out + bytes * x;
            o[0] = rgb ? p[2] : p[0];
            o[1] = p[1];
            o[2] = rgb ? p[0] : p[2];
            if (bytes == 4)
                o[3] = 255;
        }
        return;
    }
    case Sampling::Yuv422: {
        const bool uyvy = order == "UYVY";
        for (size_t x = 0; x < n; x += 2) {
            double y0, u0, v0, y1 = 0, u1, v1;
            YuvOf(bgr + 3 * x, format.matrix, &y0, &u0, &v0);
            const bool pair = x + 1 < n;
            if (pair)
                YuvOf(bgr + 3 * x + 3, format.matrix, &y1, &u1, &v1);
            else
                u1 = u0, v1 = v0;
            uint8_t* o = out + 2 * x;
            o[uyvy ? 1 : 0] = Round8(y0);
            o[uyvy ? 0 : 1] = Round8((u0 + u1) / 2);
            if (pair) {
                o[uyvy ? 3 : 2] = Round8(y1);
                o[uyvy ? 2 : 3] = Round8((v0 + v1) / 2);
            }
        }
        return;
    }
    }
}

}  // namespace

namespace {

// n blue, green, red pixels as look and tone show them (a flat test
// pattern is what it is, whatever the exposure).
void ApplyLook(uint8_t* bgr, size_t n, SimLook look, SimTone tone)
{
    switch (look) {
    case SimLook::Bars:
    case SimLook::Counter: break;
    case SimLook::Soft:
        for (size_t i = 0; i < 3 * n; ++i)
            bgr[i] = uint8_t(16 + (bgr[i] * 219 + 127) / 255);
        break;
    case SimLook::Black: std::memset(bgr, 0, 3 * n); return;
    case SimLook::White: std::memset(bgr, 255, 3 * n); return;
    case SimLook::Grey: std::memset(bgr, 128, 3 * n); return;
    }
    if (!tone.Plain())
        for (size_t i = 0; i < 3 * n; ++i)
            bgr[i] = uint8_t(std::clamp(bgr[i] * tone.scale * tone.balance[i % 3] + tone.black + 0.5, 0.0, 255.0));
}

// The scene through a lens out of focus: each point spread over a box that
// widens with the defocus (its edge pixels weighted by the fraction of the
// radius, so that every step of the lens shows), and part of the light over
// the whole frame as a halo. The halo is what a measure of sharpness sees on
// this scene: its bars and ramp are edges far apart, and a blur narrower
// than them smears them without lessening how far levels step along a row.
class LensRows {
public:
    // The first n pixels of every row of frame frameNo's scene.
    LensRows(uint32_t width, uint32_t height, size_t n, uint64_t frameNo, double defocus)
        : n_(n), height_(height), barRows_(uint64_t(height) * 2 / 3), square_(SquareOf(width, height, frameNo))
    {
        const double radius = kMaxBlur * defocus;
        reach_ = uint64_t(radius);
        edge_ = radius - double(reach_);
        halo_ = kMaxHalo * defocus;
        // A pixel takes from reach_ + 1 pixels either side: only those of the n are made.
        const size_t m = size_t(std::min<uint64_t>(width, uint64_t(n) + reach_ + 1));
        std::vector<uint8_t> bars, ramp;
        BaseRows(m, width, false, &bars, &ramp);
        std::vector<uint8_t> square = ramp;
        for (uint64_t x = square_.left; square_.shown && x < square_.left + square_.side && x < m; ++x)
            std::memset(&square[3 * x], 255, 3);
        for (int c = 0; c < 3; ++c) {
            double sum = 0;
            for (size_t x = 0; x < m; ++x)
                sum += double(barRows_) * bars[3 * x + c] + double(height - barRows_) * ramp[3 * x + c];
            mean_[c] = m ? sum / double(m) / double(height) : 0;
        }
        Along(bars, m, &rows_[kBars]);
        Along(ramp, m, &rows_[kRamp]);
        Along(square, m, &rows_[kSquare]);
    }

    // Row y as the lens shows it: n pixels of blue, green, red.
    void Row(uint64_t y, uint8_t* bgr)
    {
        double weights[3] = {0, 0, 0};
        const int64_t reach = int64_t(reach_);
        for (int64_t d = -reach - 1; d <= reach + 1; ++d) {
            const int64_t from = std::clamp<int64_t>(int64_t(y) + d, 0, int64_t(height_) - 1);
            weights[KindOf(uint64_t(from))] += d < -reach || d > reach ? edge_ : 1;
        }
        // Rows far from the edges between bars, ramp and square are alike.
        if (std::equal(weights, weights + 3, last_) && !lastRow_.empty()) {
            std::memcpy(bgr, lastRow_.data(), lastRow_.size());
            return;
        }
        const double total = weights[0] + weights[1] + weights[2];
        for (size_t i = 0; i < 3 * n_; ++i) {
            const double v =
                (weights[0] * rows_[0][i] + weights[1] * rows_[1][i] + weights[2] * rows_[2][i]) / total;
            bgr[i] = Round8((1 - halo_) * v + halo_ * mean_[i % 3]);
        }
        std::copy(weights, weights + 3, last_);
        lastRow_.assign(bgr, bgr + 3 * n_);
    }

    // Rows that differ from frame to frame: those the square's blur reaches.
    std::pair<uint64_t, uint64_t> MovingRows() const
    {
        const uint64_t top = square_.top > reach_ + 1 ? square_.top - reach_ - 1 : 0;
        return {top, std::min<uint64_t>(height_, square_.top + square_.side + reach_ + 1)};
    }

private:
    static constexpr double kMaxBlur = 40;  // pixels of radius at defocus 1
    static constexpr double kMaxHalo = 0.75;
    enum Kind { kBars, kRamp, kSquare };

    Kind KindOf(uint64_t y) const
    {
        if (y < barRows_)
            return kBars;
        return square_.shown && y >= square_.top && y < square_.top + square_.side ? kSquare : kRamp;
    }

    // The first n_ pixels of a row of m blurred along it; beyond its ends
    // the end pixels go on.
    void Along(const std::vector<uint8_t>& row, size_t m, std::vector<double>* out) const
    {
        out->assign(3 * n_, 0);
        if (m == 0)
            return;
        const int64_t last = int64_t(m) - 1, reach = int64_t(reach_);
        const double total = double(2 * reach_ + 1) + 2 * edge_;
        for (int c = 0; c < 3; ++c) {
            std::vector<double> prefix(m + 1, 0);  // prefix[i]: the sum of the first i
            for (size_t x = 0; x < m; ++x)
                prefix[x + 1] = prefix[x] + row[3 * x + c];
            auto at = [&](int64_t x) { return double(row[3 * size_t(std::clamp<int64_t>(x, 0, last)) + c]); };
            for (int64_t x = 0; x < int64_t(n_); ++x) {
                const int64_t lo = x - reach, hi = x + reach;
                double sum = prefix[size_t(std::min(hi, last) + 1)] - prefix[size_t(std::max<int64_t>(lo, 0))];
                sum += double(std::max<int64_t>(0, -lo)) * at(0) + double(std::max<int64_t>(0, hi - last)) * at(last);
                sum += edge_ * (at(lo - 1) + at(hi + 1));
                (*out)[3 * size_t(x) + c] = sum / total;
            }
        }
    }

    size_t n_;
    uint64_t height_, barRows_;
    Square square_;
    uint64_t reach_ = 0;  // whole pixels of the radius
    double edge_ = 0;     // its fraction: the weight of the pixels just beyond
    double halo_ = 0;
    double mean_[3] = {0, 0, 0};
    std::vector<double> rows_[3];  // bars, ramp, ramp with the square, blurred along
    double last_[3] = {-1, -1, -1};
    std::vector<uint8_t> lastRow_;
};

// Row y's first n pixels, blue, green, red, with picture=counter's band
// written over them: after the tone and the mirror, so that the id reads the
// same whatever the exposure and ReverseX.
void OverlayCounter(uint8_t* bgr, size_t n, uint32_t width, uint32_t height, uint64_t y, uint64_t frameNo)
{
    if (y >= SimCounterRows(width, height))
        return;
    const uint64_t perRow = width / kSimCounterBlock;
    const uint64_t first = y / kSimCounterBlock * perRow;
    for (size_t x = 0; x < n; ++x) {
        const uint64_t column = x / kSimCounterBlock, bit = first + column;
        uint8_t level = 128;
        if (column < perRow && bit < uint64_t(kSimCounterBits))
            level = frameNo >> bit & 1 ? 255 : 0;
        std::memset(bgr + 3 * x, level, 3);
    }
}

bool Defocused(SimLook look, SimTone tone)
{
    return tone.defocus > 0 && look != SimLook::Black && look != SimLook::White && look != SimLook::Grey;
}

// Rows [first, end) of frame frameNo encoded into dst, a frame of size bytes.
void EncodeRows(const PixelFormat& format, uint8_t* dst, size_t size, uint32_t width, uint32_t height,
                uint64_t frameNo, SimLook look, SimTone tone, uint64_t first, uint64_t end)
{
    const uint64_t rowBytes = RowBytes(format, width);
    if (!dst || size == 0 || rowBytes == 0 || height == 0)
        return;
    // Only the pixels whose bytes can land in the buffer are made, plus one
    // for the pixel pairs of YUV.
    const uint64_t fits = std::min<uint64_t>(rowBytes, size) * 8 / uint64_t(format.bitsPerPixel) + 2;
    const size_t n = size_t(std::min<uint64_t>(width, fits));
    std::unique_ptr<LensRows> lens;
    if (Defocused(look, tone))
        lens = std::make_unique<LensRows>(width, height, n, frameNo, tone.defocus);
    std::vector<uint8_t> bars, ramp;
    if (!lens)
        BaseRows(n, width, false, &bars, &ramp);
    std::vector<uint8_t> bgr(n * 3), out(size_t(RowBytes(format, n)));
    const uint64_t barRows = uint64_t(height) * 2 / 3;
    const Square square = SquareOf(width, height, frameNo);
    for (uint64_t y = first; y < end && y < height && y * rowBytes < size; ++y) {
        if (lens) {
            lens->Row(y, bgr.data());
        } else {
            bgr = y < barRows ? bars : ramp;
            if (square.shown && y >= square.top && y < square.top + square.side)
                for (uint64_t x = square.left; x < square.left + square.side && x < n; ++x)
                    std::memset(&bgr[3 * x], 255, 3);
        }
        // Mirrored only where the whole row is made: a buffer shorter than a
        // row holds the left end of the scene.
        if (tone.mirror && n == width)
            for (size_t l = 0, r = n - 1; l < r; ++l, --r)
                std::swap_ranges(&bgr[3 * l], &bgr[3 * l + 3], &bgr[3 * r]);
        ApplyLook(bgr.data(), n, look, tone);
        if (look == SimLook::Counter)
            OverlayCounter(bgr.data(), n, width, height, y, frameNo);
        std::fill(out.begin(), out.end(), 0);
        EncodeRow(format, bgr.data(), n, y, out.data());
        const uint64_t offset = y * rowBytes;
        std::memcpy(dst + offset, out.data(), size_t(std::min<uint64_t>({rowBytes, out.size(), size - offset})));
    }
}

}  // namespace

void RenderSimFrame(uint8_t* dst, size_t size, uint32_t width, uint32_t height,
                    const std::string& pixelFormat, uint64_t frameNo, SimLook look, SimTone tone)
{
    const PixelFormat* format = FindPixelFormat(pixelFormat.c_str());
    const bool plain = look == SimLook::Bars && tone == SimTone();
    if (!format && !plain)
        format = FindPixelFormat("BGR8");
    // BGR and grey bytes are written directly, as are unknown formats (as BGR).
    if (plain && (!format || pixelFormat == "Mono8" || std::string(format->order) == "BGR")) {
        RenderSimPicture(dst, size, width, height, pixelFormat == "Mono8", frameNo);
        return;
    }
    EncodeRows(*format, dst, size, width, height, frameNo, look, tone, 0, height);
}

double SimDefaultRate(int64_t payloadBytes)
{
    constexpr double kLinkBytesPerSecond = 115e6;
    return std::clamp(kLinkBytesPerSecond / double(std::max<int64_t>(1, payloadBytes)), 1.0, 1000.0);
}

namespace {

// Pixels [first, end) of row y of frame frameNo, encoded into row (the whole
// row's bytes). first is a multiple of 8 pixels, where the samples of every
// format start on a byte and YUV pairs start.
void RenderSpan(const PixelFormat& format, uint32_t width, uint32_t height, uint64_t frameNo, uint64_t y,
                uint64_t first, uint64_t end, uint8_t* row, SimLook look, SimTone tone)
{
    const size_t n = size_t(end - first);
    const bool bar = y < uint64_t(height) * 2 / 3;
    const Square square = SquareOf(width, height, frameNo);
    const bool squareRow = square.shown && y >= square.top && y < square.top + square.side;
    std::vector<uint8_t> bgr(n * 3);
    for (uint64_t at = first; at < end; ++at) {
        uint8_t* p = &bgr[3 * (at - first)];
        const uint64_t x = tone.mirror ? width - 1 - at : at;  // in the scene
        if (squareRow && x >= square.left && x < square.left + square.side) {
            std::memset(p, 255, 3);
        } else if (bar) {
            std::memcpy(p, kSimBarColours[x * 8 / width], 3);
        } else {
            std::memset(p, width > 1 ? int(x * 255 / (width - 1)) : 0, 3);
        }
    }
    ApplyLook(bgr.data(), n, look, tone);
    std::vector<uint8_t> out(size_t(RowBytes(format, n)), 0);
    EncodeRow(format, bgr.data(), n, y, out.data());
    const uint64_t offset = first * uint64_t(format.bitsPerPixel) / 8;
    std::memcpy(row + offset, out.data(), size_t(std::min<uint64_t>(out.size(), RowBytes(format, width) - offset)));
}

}  // namespace

void SimStreamPictures::Prepare(uint32_t width, uint32_t height, const std::string& pixelFormat, SimLook look,
                                SimTone tone)
{
    const PixelFormat* format = FindPixelFormat(pixelFormat.c_str());
    const uint64_t frameBytes = RowBytes(format ? *format : *FindPixelFormat("BGR8"), width) * height;
    if (frameBytes > SIZE_MAX || (width == width_ && height == height_ && pixelFormat == format_ && look == look_ &&
                                  tone == tone_ && first_.size() == frameBytes))
        return;
    first_.assign(size_t(frameBytes), 0);
    RenderSimFrame(first_.data(), first_.size(), width, height, pixelFormat, 0, look, tone);
    width_ = width, height_ = height, format_ = pixelFormat, look_ = look, tone_ = tone;
}

void SimStreamPictures::Render(uint8_t* dst, size_t size, uint32_t width, uint32_t height,
                               const std::string& pixelFormat, uint64_t frameNo, SimLook look, SimTone tone)
{
    // Unknown formats are sent as BGR bytes.
    const PixelFormat* format = FindPixelFormat(pixelFormat.c_str());
    if (!format)
        format = FindPixelFormat("BGR8");
    const uint64_t rowBytes = RowBytes(*format, width);
    const uint64_t frameBytes = rowBytes * height;
    const Square square = SquareOf(width, height, frameNo);
    if (!dst || height == 0 || rowBytes == 0 || frameBytes / height != rowBytes || size < frameBytes ||
        !square.shown) {
        RenderSimFrame(dst, size, width, height, pixelFormat, frameNo, look, tone);
        return;
    }
    Prepare(width, height, pixelFormat, look, tone);
    std::memcpy(dst, first_.data(), first_.size());
    if (look == SimLook::Black || look == SimLook::White || look == SimLook::Grey)
        return;  // no square to move
    // The counter's rows are redone last, over a square that may reach them.
    const uint64_t counterRows = look == SimLook::Counter ? SimCounterRows(width, height) : 0;
    // Out of focus the square's blur spreads over whole rows: those are redone.
    if (Defocused(look, tone)) {
        const auto [first, end] = LensRows(width, height, 0, frameNo, tone.defocus).MovingRows();
        EncodeRows(*format, dst, size, width, height, frameNo, look, tone, first, end);
        EncodeRows(*format, dst, size, width, height, frameNo, look, tone, 0, counterRows);
        return;
    }
    const uint64_t wasLeft = SquareOf(width, height, 0).left;
    for (uint64_t left : {wasLeft, square.left}) {
        if (tone.mirror)
            left = width - left - square.side;
        const uint64_t first = left / 8 * 8;
        const uint64_t end = std::min<uint64_t>(width, (left + square.side + 7) / 8 * 8);
        for (uint64_t y = square.top; y < square.top + square.side; ++y)
            RenderSpan(*format, width, height, frameNo, y, first, end, dst + y * rowBytes, look, tone);
    }
    EncodeRows(*format, dst, size, width, height, frameNo, look, tone, 0, counterRows);
}

// ---- the camera -------------------------------------------------------------

namespace {

constexpr int kAdjustPolls = 3;
constexpr uint8_t kNotReceived = 0xC8;  // fills the part of an incomplete frame that did not come

class SimDevice : public Device {
public:
    SimDevice(const SimSettings& s, int64_t index) : s_(s), format_(s.formats.front()), controls_(s_, format_, index)
    {
        noise_.Prepare(s_.noise);
    }

    CamError GetInt(const char* name, int64_t* value) override
    {
        if (!std::strcmp(name, "Width"))
            *value = s_.width;
        else if (!std::strcmp(name, "Height"))
            *value = s_.height;
        else if (!std::strcmp(name, "PayloadSize"))
            *value = Payload();
        else
            return Typed(name, CAM_TYPE_INTEGER, [&](const std::string& t) { *value = std::strtoll(t.c_str(), nullptr, 10); });
        return CAM_OK;
    }

    CamError GetEnum(const char* name, std::string* value) override
    {
        if (std::strcmp(name, "PixelFormat"))
            return Typed(name, CAM_TYPE_ENUMERATION, [&](const std::string& t) { *value = t; });
        *value = format_;
        return CAM_OK;
    }

    CamError SetEnum(const char* name, const char* value) override
    {
        if (std::strcmp(name, "PixelFormat")) {
            FeatureDescription d;
            if (controls_.Describe(name, &d) != CAM_OK || d.type != CAM_TYPE_ENUMERATION)
                return Other(name);
            if (!(d.access & CAM_ACCESS_WRITE))
                return CAM_ERR_ACCESS_DENIED;
            if (std::find(d.entries.begin(), d.entries.end(), value) == d.entries.end())
                return CAM_ERR_INVALID_VALUE;
            const bool wasTriggered = FrameTriggered();
            const CamError err = controls_.SetText(name, value);
            Retriggered(wasTriggered);
            return err;
        }
        if (std::find(s_.formats.begin(), s_.formats.end(), value) == s_.formats.end())
            return CAM_ERR_INVALID_VALUE;
        format_ = value;
        return CAM_OK;
    }

    CamError RunCommand(const char* name) override
    {
        if (!std::strcmp(name, "AcquisitionStart")) {
            acquiring_ = true;
            PreparePictures();
            streamStart_ = Clock::now();
            streamBase_ = frameNo_;
            streamed_ = 0;
            ArmTriggers(streamStart_);
        } else if (!std::strcmp(name, "AcquisitionStop")) {
            acquiring_ = false;
            pending_.clear();
        } else if (!std::strcmp(name, "TriggerSoftware")) {
            if (s_.refusesSoftwareTrigger)
                return CAM_ERR_ACCESS_DENIED;
            const auto kind = controls_.SelectedTrigger();
            if (acquiring_ && !s_.ignoresSoftwareTrigger && controls_.TriggerOf(kind).on &&
                controls_.TriggerOf(kind).source == "Software")
                Fire(kind, Clock::now());
        } else if (!std::strcmp(name, "TimestampLatch"))
            latched_ = Timestamp(Clock::now());
        else if (!std::strcmp(name, "TimestampReset"))
            clockZero_ = Clock::now(), clockOffset_ = 0;
        else if (IsAdjust(name))
            adjustPolls_ = kAdjustPolls;
        else
            return Other(name);
        return CAM_OK;
    }

    CamError IsCommandDone(const char* name, bool* done) override
    {
        if (!std::strcmp(name, "AcquisitionStart") || !std::strcmp(name, "AcquisitionStop") ||
            !std::strcmp(name, "TriggerSoftware") || !std::strcmp(name, "TimestampLatch") ||
            !std::strcmp(name, "TimestampReset")) {
            *done = true;
        } else if (IsAdjust(name)) {
            if (s_.adjust == SimSettings::Adjust::Never) {
                *done = false;
            } else {
                if (adjustPolls_ > 0)
                    --adjustPolls_;
                *done = adjustPolls_ == 0;
            }
        } else {
            return Other(name);
        }
        return CAM_OK;
    }

    CamError GetFloat(const char* name, double* value) override
    {
        if (std::strcmp(name, "AcquisitionFrameRate"))
            return Typed(name, CAM_TYPE_FLOAT, [&](const std::string& t) { *value = std::strtod(t.c_str(), nullptr); });
        *value = s_.rated > 0 ? s_.rated : Rate();
        return CAM_OK;
    }

    CamError GetString(const char* name, std::string* value) override
    {
        return Typed(name, CAM_TYPE_STRING, [&](const std::string& t) { *value = t; });
    }

    CamError Describe(const char* name, FeatureDescription* d) override
    {
        if (IsAdjust(name)) {
            *d = {};
            d->name = d->displayName = name;
            d->type = CAM_TYPE_COMMAND;
            d->access = CAM_ACCESS_WRITE;
            d->visibility = CAM_VISIBILITY_INVISIBLE;
            return CAM_OK;
        }
        const CamError err = controls_.Describe(name, d);
        if (err == CAM_OK && !std::strcmp(name, "PayloadSize"))
            d->intMinimum = d->intMaximum = Payload();
        return err;
    }

    CamError Children(const char* category, std::vector<std::string>* names) override
    {
        return controls_.Children(category, names);
    }

    CamError GetText(const char* name, std::string* text) override
    {
        if (!std::strcmp(name, "PayloadSize"))
            return *text = std::to_string(Payload()), CAM_OK;
        if (!std::strcmp(name, "AcquisitionFrameRate"))
            return *text = FloatText(s_.rated > 0 ? s_.rated : Rate()), CAM_OK;
        if (!std::strcmp(name, "TimestampLatchValue"))
            return *text = std::to_string(latched_), CAM_OK;
        const CamError err = controls_.GetText(name, text);
        return err == CAM_ERR_NOT_FOUND && IsAdjust(name) ? CAM_ERR_WRONG_TYPE : err;
    }

    CamError SetText(const char* name, const std::string& text) override
    {
        FeatureDescription d;
        if (Describe(name, &d) == CAM_OK && d.type == CAM_TYPE_COMMAND)
            return RunCommand(name);
        const bool wasTriggered = FrameTriggered();
        const CamError err = controls_.SetText(name, text);
        Retriggered(wasTriggered);
        return err;
    }

    CamError GetDetail(const char* key, std::string* value) override
    {
        if (std::strcmp(key, "transport"))
            return CAM_ERR_NOT_FOUND;
        *value = "simulated";
        return CAM_OK;
    }

    // The same meanings as Aravis's stream statistics of these names.
    std::vector<std::pair<std::string, double>> StreamCounters() override
    {
        return {{"n_completed_buffers", double(completed_)},
                {"n_failures", double(failures_)},
                {"n_underruns", double(underruns_)},
                {"n_missed_triggers", double(missedTriggers_)}};
    }

    CamError Announce(CamFrame* frame) override
    {
        int64_t payload = Payload();
        if (payload <= 0 || static_cast<uint64_t>(payload) > frame->bufferSize)
            return CAM_ERR_BAD_SIZE;
        largestFrame_ = std::max<uint64_t>(largestFrame_, frame->bufferSize);
        return CAM_OK;
    }
    void Revoke(CamFrame*) override {}
    CamError StartCapture() override
    {
        completed_ = failures_ = underruns_ = missedTriggers_ = 0;
        controls_.capturing = true;
        return CAM_OK;
    }
    void EndCapture() override
    {
        acquiring_ = false;
        pending_.clear();
        controls_.capturing = false;
    }
    CamError Queue(CamFrame*) override { return CAM_OK; }

    CamError Wait(CamFrame* frame, uint32_t timeoutMs, FrameTimes* times) override
    {
        if (!acquiring_ || s_.frames == SimSettings::Frames::None) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
            return CAM_ERR_TIMEOUT;
        }
        const auto giveUp = Clock::now() + std::chrono::milliseconds(timeoutMs);
        if (!Started(giveUp))
            return CAM_ERR_TIMEOUT;
        if (FrameTriggered())
            return NextTriggered(1, giveUp, frame, nullptr, times);
        if (streamStart_ > giveUp) {  // the acquisition's trigger delay
            std::this_thread::sleep_until(giveUp);
            return CAM_ERR_TIMEOUT;
        }
        std::this_thread::sleep_until(streamStart_);
        Deliver(frame, frameNo_++, nullptr);
        times->timestamp = FrameStamp(Clock::now());
        return CAM_OK;
    }

    // Frames come at the set rate, the first one period after the acquisition
    // started; a picture made while no frame was queued is lost, as with a
    // camera whose buffers the program holds too long.
    CamError WaitNext(const std::deque<CamFrame*>& queued, CamFrame** frame, uint32_t timeoutMs,
                      FrameTimes* times) override
    {
        const auto giveUp = Clock::now() + std::chrono::milliseconds(timeoutMs);
        if (!acquiring_ || s_.frames == SimSettings::Frames::None) {
            std::this_thread::sleep_until(giveUp);
            return CAM_ERR_TIMEOUT;
        }
        if (!Started(giveUp))
            return CAM_ERR_TIMEOUT;
        if (FrameTriggered()) {
            *frame = queued.front();
            return NextTriggered(queued.size(), giveUp, *frame, &pictures_, times);
        }
        const std::chrono::duration<double> period(1.0 / Rate());
        const uint64_t made = Clock::now() > streamStart_ ? uint64_t((Clock::now() - streamStart_) / period) : 0;
        if (made > streamed_ + queued.size()) {
            underruns_ += made - queued.size() - streamed_;
            streamed_ = made - queued.size();
        }
        const auto due =
            streamStart_ + std::chrono::duration_cast<Clock::duration>(period * double(streamed_ + 1));
        if (due > giveUp) {
            std::this_thread::sleep_until(giveUp);
            return CAM_ERR_TIMEOUT;
        }
        std::this_thread::sleep_until(due);
        *frame = queued.front();
        Deliver(*frame, streamBase_ + streamed_++, &pictures_);
        times->timestamp = FrameStamp(due);
        frameNo_ = streamBase_ + streamed_;
        return CAM_OK;
    }

private:
    using Clock = std::chrono::steady_clock;

    // The camera's clock: ns since it was opened (or TimestampReset), running
    // clock_ppm fast. A frame of a stream is stamped when it was due, so that
    // frames lie a frame period apart however late they are waited for; a
    // triggered frame as its exposure began. Never 0, which means no clock.
    uint64_t Timestamp(Clock::time_point made) const
    {
        const double ns = double(std::chrono::duration_cast<std::chrono::nanoseconds>(made - clockZero_).count()) *
                              (1 + s_.clockPpm * 1e-6) +
                          double(clockOffset_);
        return ns < 1 ? 1 : uint64_t(ns);
    }

    // A frame's stamp, with the clock's fault as its fifth frame is stamped.
    uint64_t FrameStamp(Clock::time_point made)
    {
        if (++stamped_ == 5 && s_.clockFault == SimSettings::ClockFault::Backwards)
            clockOffset_ -= int64_t(Timestamp(made) / 2);
        else if (stamped_ == 5 && s_.clockFault == SimSettings::ClockFault::Jump)
            clockOffset_ += int64_t(3600) * 1000000000;
        return Timestamp(made);
    }

    // ---- triggers ----
    // The camera takes one trigger at a time: from the trigger through its
    // delay, the exposure and the readout at the link's rate it is busy, and
    // a trigger that comes meanwhile is lost and counted, as a sensor's is.
    // Line edges are worked out as time passes; software triggers as they
    // are fired. A frame so begun comes when its readout ends.

    // Frames come only when triggered: each frame's own, or the acquisition's
    // not yet fired.
    bool FrameTriggered() const { return controls_.TriggerOf(SimControls::FrameStart).on; }

    // Whether the acquisition has begun by giveUp: at once, or by its trigger;
    // false after waiting until giveUp.
    bool Started(Clock::time_point giveUp)
    {
        if (waitingStart_)
            Advance(giveUp);
        if (!waitingStart_)
            return true;
        std::this_thread::sleep_until(giveUp);
        return false;
    }

    // Seconds from an exposure's start to its frame's arrival.
    double ExposureAndReadout() const
    {
        return controls_.Exposure() * 1e-6 + 1.0 / (s_.rate > 0 ? s_.rate : SimDefaultRate(Payload()));
    }

    static Clock::duration Seconds(double s)
    {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    }

    // The line a trigger listens to, or -1 for software.
    static int LineOf(const SimControls::Trigger& t) { return t.source == "Line0" ? 0 : t.source == "Line1" ? 1 : -1; }

    // Edge number k of line (its rising edges, or falling with falling), off
    // its beat by a jitter that is the same every run.
    Clock::time_point Edge(int line, uint64_t k, bool falling) const
    {
        const double period = 1.0 / s_.lineHz[line];
        double jitter = 0;
        if (s_.lineJitterUs > 0) {
            uint64_t x = (k + 1) * 0x9E3779B97F4A7C15u ^ uint64_t(line + 1) * 0xBF58476D1CE4E5B9u;
            x ^= x >> 31, x *= 0x94D049BB133111EBu, x ^= x >> 29;
            const double unit = double(x >> 11) / double(uint64_t(1) << 53) * 2 - 1;  // -1 to 1
            jitter = unit * std::min(s_.lineJitterUs * 1e-6, period / 4);
        }
        return opened_ + Seconds(double(k) * period + (falling ? period / 2 : 0) + jitter);
    }

    // The first edge number of line after t.
    uint64_t EdgeAfter(int line, Clock::time_point t) const
    {
        const double since = std::chrono::duration<double>(t - opened_).count();
        uint64_t k = since > 0 ? uint64_t(since * s_.lineHz[line]) : 0;
        while (k > 0 && Edge(line, k - 1, false) > t)
            --k;
        while (Edge(line, k, false) <= t)
            ++k;
        return k;
    }

    void ArmTriggers(Clock::time_point now)
    {
        pending_.clear();
        busyUntil_ = now;
        waitingStart_ = controls_.TriggerOf(SimControls::AcquisitionStart).on;
        for (int line = 0; line < 2; ++line)
            nextEdge_[line] = s_.lineHz[line] > 0 ? EdgeAfter(line, now) : 0;
    }

    // Triggers flipped on or off while acquiring: the stream starts afresh.
    void Retriggered(bool wasTriggered)
    {
        if (!acquiring_ || wasTriggered == FrameTriggered())
            return;
        streamStart_ = Clock::now();
        streamBase_ = frameNo_;
        streamed_ = 0;
        pending_.clear();
        busyUntil_ = streamStart_;
        for (int line = 0; line < 2; ++line)
            nextEdge_[line] = s_.lineHz[line] > 0 ? EdgeAfter(line, streamStart_) : 0;
    }

    void Fire(SimControls::TriggerKind kind, Clock::time_point at)
    {
        const SimControls::Trigger& t = controls_.TriggerOf(kind);
        if (kind == SimControls::AcquisitionStart) {
            if (waitingStart_) {
                waitingStart_ = false;
                streamStart_ = at + Seconds(t.delayUs * 1e-6);
                streamBase_ = frameNo_;
                streamed_ = 0;
                busyUntil_ = at;
            }
            return;
        }
        if (waitingStart_)
            return;  // the acquisition has not begun
        if (at < busyUntil_) {
            ++missedTriggers_;
            return;
        }
        const auto exposed = at + Seconds(t.delayUs * 1e-6);
        busyUntil_ = exposed + Seconds(ExposureAndReadout());
        pending_.push_back({busyUntil_, exposed});
    }

    // Works out the line edges up to until, in order, as triggers.
    void Advance(Clock::time_point until)
    {
        for (int line = 0; line < 2; ++line) {
            if (s_.lineHz[line] <= 0)
                continue;
            for (;;) {
                const SimControls::TriggerKind kind =
                    waitingStart_ ? SimControls::AcquisitionStart : SimControls::FrameStart;
                const SimControls::Trigger& t = controls_.TriggerOf(kind);
                if (!t.on || LineOf(t) != line)
                    break;
                const auto edge = Edge(line, nextEdge_[line], t.falling);
                if (edge > until)
                    break;
                ++nextEdge_[line];
                Fire(kind, edge);
            }
        }
    }

    // The next triggered frame into frame, waiting until giveUp at most;
    // frames ready while fewer than all of them had a buffer are lost.
    CamError NextTriggered(size_t buffers, Clock::time_point giveUp, CamFrame* frame, SimStreamPictures* pictures,
                           FrameTimes* times)
    {
        Advance(giveUp);
        const auto now = Clock::now();
        size_t ready = 0;
        while (ready < pending_.size() && pending_[ready].due <= now)
            ++ready;
        if (ready > buffers) {
            underruns_ += ready - buffers;
            frameNo_ += ready - buffers;
            pending_.erase(pending_.begin() + std::ptrdiff_t(buffers), pending_.begin() + std::ptrdiff_t(ready));
        }
        if (pending_.empty() || pending_.front().due > giveUp) {
            std::this_thread::sleep_until(giveUp);
            return CAM_ERR_TIMEOUT;
        }
        const Pending next = pending_.front();
        pending_.pop_front();
        std::this_thread::sleep_until(next.due);
        Deliver(frame, frameNo_++, pictures);
        times->timestamp = FrameStamp(next.exposed);
        return CAM_OK;
    }

    // Fills frame with picture frameNo as the settings say the camera sends it.
    void Deliver(CamFrame* frame, uint64_t frameNo, SimStreamPictures* pictures)
    {
        const uint32_t w = s_.frameWidth ? s_.frameWidth : static_cast<uint32_t>(s_.width);
        const uint32_t h = s_.frameHeight ? s_.frameHeight : static_cast<uint32_t>(s_.height);
        uint64_t size = std::min<uint64_t>(frame->bufferSize, static_cast<uint64_t>(Payload()));
        if (s_.frameWidth)
            size = std::min<uint64_t>(size, uint64_t(PictureBytes(w, h)));
        if (s_.filled >= 0)
            size = std::min<uint64_t>(size, uint64_t(s_.filled));
        if (s_.frames == SimSettings::Frames::Incomplete)
            size /= 2;
        const uint64_t pictureNo = s_.still ? 0 : frameNo;
        uint8_t* dst = static_cast<uint8_t*>(frame->buffer);
        if (!DeliverRegion(dst, size, w, h, pictureNo, pictures)) {
            if (pictures)
                pictures->Render(dst, size_t(size), w, h, format_, pictureNo, controls_.Look(), controls_.Tone());
            else
                RenderSimFrame(dst, size_t(size), w, h, format_, pictureNo, controls_.Look(), controls_.Tone());
        }
        // By the frame, not the picture: a still picture is noisy too.
        noise_.Add(dst, size_t(size), w, FindPixelFormat(format_.c_str()), frameNo);
        // An incomplete frame's first half came; the rest of the buffer holds
        // what a real camera's would: bytes no packet brought (here bright
        // ones, not an older frame), which nothing may show.
        if (s_.frames == SimSettings::Frames::Incomplete) {
            const uint64_t whole = std::min<uint64_t>(frame->bufferSize, static_cast<uint64_t>(Payload()));
            if (whole > size)
                std::memset(dst + size, kNotReceived, size_t(whole - size));
        }
        frame->imageSize = static_cast<uint32_t>(size);
        frame->width = w;
        frame->height = h;
        frame->frameId = frameNo;
        frame->receiveStatus =
            s_.frames == SimSettings::Frames::Incomplete ? CAM_FRAME_INCOMPLETE : CAM_FRAME_COMPLETE;
        ++(frame->receiveStatus == CAM_FRAME_COMPLETE ? completed_ : failures_);
    }

    double Rate() const { return controls_.Rate(SimDefaultRate(Payload())); }

    // The sensor's picture when a region of it is sent (or it is sent upside
    // down): its size, if one can be rendered; 0 x 0 when the whole picture
    // is sent as it is, or the region does not lie on the sensor.
    std::pair<uint32_t, uint32_t> SensorPicture(uint32_t w, uint32_t h) const
    {
        const SimControls::Region r = controls_.SensorRegion();
        const bool whole = r.offsetX == 0 && r.offsetY == 0 && r.sensorWidth == w && r.sensorHeight == h;
        if (s_.frameWidth || (whole && !r.reverseY) || r.sensorWidth <= 0 || r.sensorHeight <= 0 ||
            r.sensorWidth > UINT32_MAX || r.sensorHeight > UINT32_MAX || r.offsetX < 0 || r.offsetY < 0 ||
            r.offsetX + w > r.sensorWidth || r.offsetY + h > r.sensorHeight ||
            PictureBytes(r.sensorWidth, r.sensorHeight) > kMaxSensorPicture)
            return {0, 0};
        return {uint32_t(r.sensorWidth), uint32_t(r.sensorHeight)};
    }

    // Renders the sensor's picture and sends the region of it, as a camera
    // crops; false when the whole picture is sent as it is.
    bool DeliverRegion(uint8_t* dst, uint64_t size, uint32_t w, uint32_t h, uint64_t pictureNo,
                       SimStreamPictures* pictures)
    {
        const auto [sw, sh] = SensorPicture(w, h);
        if (sw == 0)
            return false;
        const PixelFormat* format = FindPixelFormat(format_.c_str());
        if (!format)
            format = FindPixelFormat("BGR8");
        const uint64_t rowIn = RowBytes(*format, sw), rowOut = RowBytes(*format, w);
        sensor_.resize(size_t(rowIn * sh));
        if (pictures)
            pictures->Render(sensor_.data(), sensor_.size(), sw, sh, format_, pictureNo, controls_.Look(),
                             controls_.Tone());
        else
            RenderSimFrame(sensor_.data(), sensor_.size(), sw, sh, format_, pictureNo, controls_.Look(),
                           controls_.Tone());
        // Offsets are steps of 4 pixels: whole bytes in every format.
        const SimControls::Region r = controls_.SensorRegion();
        const uint64_t skip = uint64_t(r.offsetX) * uint64_t(format->bitsPerPixel) / 8;
        for (uint64_t y = 0; y < h && y * rowOut < size; ++y) {
            const uint64_t from = uint64_t(r.offsetY) + (r.reverseY ? h - 1 - y : y);
            std::memcpy(dst + y * rowOut, sensor_.data() + from * rowIn + skip,
                        size_t(std::min<uint64_t>(rowOut, size - y * rowOut)));
        }
        return true;
    }

    static constexpr int64_t kMaxSensorPicture = int64_t(512) << 20;

    // A feature of the table read as its type's text, then converted.
    template <class Take>
    CamError Typed(const char* name, int32_t type, Take take) const
    {
        FeatureDescription d;
        if (controls_.Describe(name, &d) != CAM_OK || d.type != type)
            return Other(name);
        std::string text;
        const CamError err = controls_.GetText(name, &text);
        if (err == CAM_OK)
            take(text);
        return err;
    }

    // The stream's first picture, rendered before its clock starts: a camera
    // has its pictures ready, and rendering one takes longer than a frame.
    void PreparePictures()
    {
        const int64_t w = s_.frameWidth ? s_.frameWidth : s_.width, h = s_.frameHeight ? s_.frameHeight : s_.height;
        if (w <= 0 || h <= 0 || w > UINT32_MAX || h > UINT32_MAX || s_.filled >= 0)
            return;
        if (const auto [sw, sh] = SensorPicture(uint32_t(w), uint32_t(h)); sw != 0) {
            pictures_.Prepare(sw, sh, format_, controls_.Look(), controls_.Tone());
            return;
        }
        // Only a picture that fits the payload and the frames is ever copied.
        const int64_t bytes = PictureBytes(w, h);
        if (bytes > 0 && bytes <= Payload() && uint64_t(bytes) <= largestFrame_)
            pictures_.Prepare(uint32_t(w), uint32_t(h), format_, controls_.Look(), controls_.Tone());
    }

    bool IsAdjust(const char* name) const
    {
        return s_.adjust != SimSettings::Adjust::Missing && !std::strcmp(name, "GVSPAdjustPacketSize");
    }

    // Distinguishes a feature of another type from one the camera lacks.
    CamError Other(const char* name) const
    {
        return controls_.Has(name) || IsAdjust(name) ? CAM_ERR_WRONG_TYPE : CAM_ERR_NOT_FOUND;
    }

    int64_t Payload() const
    {
        if (s_.payloadOverride)
            return s_.payload;
        return PictureBytes(s_.width, s_.height);
    }

    // Bytes of a picture of this size in the current format.
    int64_t PictureBytes(int64_t width, int64_t height) const
    {
        // Rows of a known format as it lays them out; unknown ones as BGR.
        const int64_t w = std::max<int64_t>(0, width), h = std::max<int64_t>(0, height);
        const PixelFormat* format = FindPixelFormat(format_.c_str());
        const uint64_t row = format ? RowBytes(*format, uint64_t(w)) : uint64_t(w) * 3;
        int64_t bytes = 0;
        if (row > uint64_t(INT64_MAX) || __builtin_mul_overflow(int64_t(row), h, &bytes))
            return INT64_MAX;
        return bytes;
    }

    SimSettings s_;
    std::string format_;
    bool acquiring_ = false;
    int adjustPolls_ = 0;
    uint64_t frameNo_ = 0;
    Clock::time_point opened_ = Clock::now();  // the input lines' edges count from here
    Clock::time_point clockZero_ = opened_;   // the camera's clock starts
    int64_t clockOffset_ = 0;                 // ns its faults added
    uint64_t stamped_ = 0;                    // frames stamped since the camera opened
    uint64_t latched_ = 0;                    // TimestampLatchValue
    struct Pending {
        Clock::time_point due, exposed;
    };
    std::deque<Pending> pending_;  // triggered frames not yet delivered, oldest first
    Clock::time_point busyUntil_;  // a trigger before this is lost
    bool waitingStart_ = false;    // acquisition started, its trigger not yet fired
    uint64_t nextEdge_[2] = {0, 0};
    uint64_t missedTriggers_ = 0;
    Clock::time_point streamStart_;
    uint64_t streamBase_ = 0;  // frameNo_ when the acquisition started
    uint64_t streamed_ = 0;    // pictures made since then, delivered or lost
    SimStreamPictures pictures_;
    SimNoise noise_;
    SimControls controls_;  // after s_ and format_, which it refers to
    std::vector<uint8_t> sensor_;  // the sensor's whole picture, when a region of it is sent
    uint64_t largestFrame_ = 0;  // the largest frame buffer announced
    uint64_t completed_ = 0, failures_ = 0, underruns_ = 0;  // since the capture started
};

class SimSource : public Source {
public:
    explicit SimSource(const SimSettings& s) : s_(s) {}

    CamError Discover(std::vector<CameraEntry>* found) override
    {
        found->clear();
        for (int64_t i = 0; i < s_.count; ++i)
            found->push_back({"sim-" + std::to_string(i), "Simulated camera " + std::to_string(i), {}, {}, {}});
        return CAM_OK;
    }

    CamError Open(const std::string& id, std::unique_ptr<Device>* device) override
    {
        for (int64_t i = 0; i < s_.count; ++i) {
            if (id == "sim-" + std::to_string(i)) {
                *device = std::make_unique<SimDevice>(s_, i);
                return CAM_OK;
            }
        }
        return CAM_ERR_NOT_FOUND;
    }

private:
    SimSettings s_;
};

}  // namespace

std::unique_ptr<Source> CreateSimSource(const std::string&, std::string* error)
{
    SimSettings settings;
    if (ParseSimSettings(std::getenv("TARVIK_SIM"), &settings, error) != CAM_OK)
        return nullptr;
    return std::make_unique<SimSource>(settings);
}

}  // namespace cam
