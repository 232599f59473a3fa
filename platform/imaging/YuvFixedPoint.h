// The fixed-point form of YUV to blue, green, red shared by the row
// conversions and live view's kernels, so that both give the same bytes.
#pragma once

namespace imaging {

// Samples carry 5 fraction bits, coefficients below 1 are in 1/32768 and
// applied with rounding (the vector instruction's own rule).
constexpr int Q15(double c) { return int(c * 32768 + 0.5); }
struct YuvCoefficients {
    int y;  // limited range: Y' = y + y * this
    int rv, gu, gv, bu;
    int bu2;  // limited range: 2 u of the blue coefficient, full range: 1 u
};
constexpr YuvCoefficients kFull{0, Q15(0.402), Q15(0.344136), Q15(0.714136), Q15(0.772), 1};
constexpr YuvCoefficients kLimited{Q15(0.164383), Q15(0.596027), Q15(0.391762), Q15(0.812968),
                                   Q15(0.017232), 2};

}  // namespace imaging
