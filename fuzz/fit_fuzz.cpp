// Fuzzes the fit computation: no undefined behaviour for any sizes, and the
// result inside the target whenever there is something to fit.
#include "app/TarvikDlg.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int32_t v[6];
    if (size < sizeof v)
        return 0;
    std::memcpy(v, data, sizeof v);
    const ui::Rect target{v[2], v[3], v[4], v[5]};
    const ui::Rect r = FitRect(v[0], v[1], target);
    const int64_t rw = int64_t(target.right) - target.left, rh = int64_t(target.bottom) - target.top;
    if (v[0] > 0 && v[1] > 0 && rw > 0 && rh > 0 && rw <= INT32_MAX && rh <= INT32_MAX) {
        if (r.left < 0 || r.top < 0 || r.right > rw || r.bottom > rh || r.left > r.right || r.top > r.bottom)
            __builtin_trap();
    } else if (!(r == ui::Rect{})) {
        __builtin_trap();
    }
    return 0;
}
