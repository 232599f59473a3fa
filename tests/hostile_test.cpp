// Whatever numbers a camera reports, opening, two grabs and release neither
// crash nor overrun memory nor allocate without bound, and the picture area
// shows only what the rules allow. Each row is one camera and its outcome.
#include "DialogHarness.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>

namespace {

struct HostileCase {
    const char* sim;   // TARVIK_SIM
    int width, height; // display image after opening; 0: none
    bool copied;       // a grab puts camera pixels into the image
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.sim; }

const HostileCase kCases[] = {
    // Sizes, each side on its own; only the low 32 bits count.
    {"width=0", 0, 0, false},
    {"width=1", 1, 964, true},
    {"width=65535", 65535, 964, true},          // 190 MB: within the limit
    {"width=2147483647", 0, 0, false},          // beyond the limit: no image, no buffer
    {"width=4294967301", 5, 964, false},        // 2^32 + 5 shows as 5; its payload is refused
    {"width=-5", 0, 0, false},
    {"height=0", 0, 0, false},
    {"height=1", 1292, 1, true},
    {"height=65535", 1292, 65535, true},        // 254 MB: within the limit
    {"height=2147483647", 0, 0, false},
    {"height=4294967301", 1292, 5, false},
    {"height=-5", 0, 0, false},
    // Payload sizes.
    {"payload=0", 1292, 964, false},
    {"payload=-1", 1292, 964, false},
    {"payload=100", 1292, 964, false},          // not even one row: nothing copied
    {"payload=1000000", 1292, 964, true},       // some rows
    {"payload=1099511627776", 1292, 964, false},
    // Pixel formats.
    {"formats=Mono8", 1292, 964, true},
    {"formats=YUV411_8_UYYVYY", 1292, 964, false}, // unknown to the copy
};

class HostileTest : public ::testing::TestWithParam<HostileCase>, public harness::ShownDialog {
protected:
    void SetUp() override
    {
        unsetenv("TARVIK_CAMERAS");
        ASSERT_NO_FATAL_FAILURE(Show());
    }
    void TearDown() override
    {
        harness::ResetCameraState();
        unsetenv("TARVIK_SIM");
    }
    static bool ImageHasPixels()
    {
        const imaging::DisplayImage& image = g_image;
        for (int y = 0; y < image.GetHeight(); y += std::max(1, image.GetHeight() / 64)) {
            const uint8_t* row = image.GetBits() + ptrdiff_t(y) * image.GetPitch();
            if (std::any_of(row, row + size_t(image.GetWidth()) * 3, [](uint8_t b) { return b != 0; }))
                return true;
        }
        return false;
    }
};

TEST_P(HostileTest, OpenGrabTwiceRelease)
{
    const HostileCase& c = GetParam();
    setenv("TARVIK_SIM", c.sim, 1);
    const QImage before = Shown();
    Click(IDC_INIT_GRAB_START);
    ASSERT_NE(g_hCamera, 0u);
    EXPECT_EQ(g_image.GetWidth(), c.width);
    EXPECT_EQ(g_image.GetHeight(), c.height);
    for (int i = 0; i < 2; ++i) {
        Click(IDC_GRAB_ONCE);
        EXPECT_EQ(ImageHasPixels(), c.copied) << "grab " << i;
    }
    const QImage shown = Shown();
    if (c.width == 0) {
        EXPECT_EQ(shown, before) << "something was drawn without an image";
    } else {
        EXPECT_NE(shown, before);
    }
    Click(IDC_GRAB_STOP_RELEASE);
    EXPECT_TRUE(g_image.IsNull());
    EXPECT_EQ(Shown(), shown) << "release must leave the picture as it was";

    // The image and one frame buffer are each limited to 256 MiB.
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss / 1024, 1536) << "peak resident memory in MiB";
}

INSTANTIATE_TEST_SUITE_P(Table, HostileTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return harness::CaseName(info.param.sim); });

}  // namespace
