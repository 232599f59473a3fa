// Keeping what the camera saw, through the real dialog and the simulated
// camera: files read back pixel for pixel, the commands only while a frame
// is there, failed writes that harm nothing, and mnemonics shown with Alt.
#include "DialogHarness.h"
#include "WaitFor.h"
#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"

#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QImageReader>
#include <QTemporaryDir>

#include <fstream>
#include <sstream>

namespace {

class KeepTest : public ::testing::Test, public harness::ShownDialog {
protected:
    void SetUp() override
    {
        unsetenv("TARVIK_CAMERAS");
        harness::ResetCameraState();
        ASSERT_TRUE(dir.isValid());
    }
    void TearDown() override
    {
        harness::ResetCameraState();
        unsetenv("TARVIK_SIM");
    }
    void OpenAndGrab(const char* sim)
    {
        setenv("TARVIK_SIM", sim, 1);
        ASSERT_NO_FATAL_FAILURE(Show());
        Click(IDC_INIT_GRAB_START);
        Click(IDC_GRAB_ONCE);
        ASSERT_TRUE(g_lastFrame.valid);
    }
    // The display image as a picture of the same layout.
    static QImage Displayed()
    {
        const imaging::DisplayImage& image = g_image;
        QImage out(image.GetWidth(), image.GetHeight(), QImage::Format_BGR888);
        for (int y = 0; y < image.GetHeight(); ++y)
            std::memcpy(out.scanLine(y), image.GetBits() + ptrdiff_t(y) * image.GetPitch(),
                        size_t(image.GetWidth()) * 3);
        return out.convertToFormat(QImage::Format_RGB32);
    }
    std::string Path(const char* name) const { return dir.filePath(name).toStdString(); }

    QTemporaryDir dir;
};

// Each format written and read back: lossless ones pixel for pixel, in colour
// and in grey, at the camera's full resolution.
TEST_F(KeepTest, SavedFilesHoldTheFrame)
{
    const struct {
        const char* sim;
        const char* name;
        const char* format;  // as read back
        double tolerance;    // mean difference per sample; JPEG only
    } cases[] = {
        {"width=320,height=240", "bgr.png", "png", 0},
        {"width=320,height=240", "bgr.TIF", "tiff", 0},
        {"width=320,height=240", "bgr.bmp", "bmp", 0},
        {"width=320,height=240", "bgr.jpg", "jpeg", 2.0},
        {"width=321,height=7,formats=Mono8", "mono.png", "png", 0},
        {"width=321,height=7,formats=Mono8", "mono.tiff", "tiff", 0},
    };
    for (const auto& c : cases) {
        ASSERT_NO_FATAL_FAILURE(OpenAndGrab(c.sim));
        const std::string path = Path(c.name);
        EXPECT_EQ(dlg.SavePictureTo(path), "") << c.name;
        QImageReader reader(QString::fromStdString(path));
        EXPECT_EQ(reader.format().toStdString(), c.format) << c.name;
        const QImage read = reader.read().convertToFormat(QImage::Format_RGB32);
        const QImage shown = Displayed();
        ASSERT_EQ(read.size(), shown.size()) << c.name;
        double sum = 0;
        for (int y = 0; y < read.height(); ++y)
            for (int x = 0; x < read.width(); ++x) {
                const QRgb a = read.pixel(x, y), b = shown.pixel(x, y);
                sum += std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                       std::abs(qBlue(a) - qBlue(b));
            }
        EXPECT_LE(sum / (3.0 * read.width() * read.height()), c.tolerance) << c.name;
        Click(IDC_GRAB_STOP_RELEASE);
    }
}

// Save and copy are there only while a grabbed frame is: not before it, not
// after release or a new opening; a disabled shortcut does nothing.
TEST_F(KeepTest, CommandsFollowTheFrame)
{
    setenv("TARVIK_SIM", "width=64,height=48", 1);
    ASSERT_NO_FATAL_FAILURE(Show());
    widget->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(widget));
    QClipboard* clipboard = QGuiApplication::clipboard();
    const struct {
        const char* step;
        int click;  // 0: none
        bool enabled;
    } steps[] = {
        {"before opening", 0, false},
        {"after opening", IDC_INIT_GRAB_START, false},
        {"after a grab", IDC_GRAB_ONCE, true},
        {"after release", IDC_GRAB_STOP_RELEASE, false},
        {"after opening again", IDC_INIT_GRAB_START, false},
        {"after another grab", IDC_GRAB_ONCE, true},
        {"after opening once more", IDC_INIT_GRAB_START, false},
    };
    for (const auto& s : steps) {
        if (s.click)
            Click(s.click);
        EXPECT_EQ(dlg.IsCommandEnabled(ID_PICTURE_SAVE), s.enabled) << s.step;
        EXPECT_EQ(dlg.IsCommandEnabled(ID_PICTURE_COPY), s.enabled) << s.step;
        clipboard->setText("before");
        QTest::keyClick(widget, Qt::Key_C, Qt::ControlModifier);
        if (s.enabled) {
            ASSERT_SOON(!clipboard->image().isNull());
            EXPECT_EQ(clipboard->image().convertToFormat(QImage::Format_RGB32), Displayed()) << s.step;
        } else {
            EXPECT_EQ(clipboard->text(), "before") << s.step;
        }
        if (!s.enabled) {
            EXPECT_NE(dlg.SavePictureTo(Path("never.png")), "") << s.step;
        }
    }
    EXPECT_FALSE(QFile::exists(QString::fromStdString(Path("never.png"))));
}

std::string Contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A write that fails says why and leaves the folder as it was: no partial
// file, no temporary file, an existing file untouched.
TEST_F(KeepTest, FailedWritesHarmNothing)
{
    // JPEG cannot hold a picture 70000 pixels wide.
    ASSERT_NO_FATAL_FAILURE(OpenAndGrab("width=70000,height=2"));
    const std::string existing = Path("existing.jpg");
    std::ofstream(existing) << "what was there before";
    const struct {
        std::string path;
        std::string format;
    } cases[] = {
        {existing, ""},
        {Path("missing/folder/x.png"), ""},
        {Path("picture.xyz"), ""},
        {Path("existing.jpg"), "webp"},  // a format this program does not offer
    };
    for (const auto& c : cases) {
        EXPECT_NE(dlg.SavePictureTo(c.path, c.format), "") << c.path;
        EXPECT_EQ(Contents(existing), "what was there before") << c.path;
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                  QStringList{"existing.jpg"})
            << c.path;
    }
}

// The simulated picture in every pixel format, through the camera library
// and the dialog, on an odd size: the bar centres and the ramp show as the
// camera rendered them (exactly, or within rounding for YUV and Bayer).
TEST_F(KeepTest, EveryFormatEndToEnd)
{
    const int w = 97, h = 61;
    std::vector<uint8_t> bgr(size_t(w) * h * 3);
    cam::RenderSimPicture(bgr.data(), bgr.size(), w, h, false, 0);
    int count = 0;
    const cam::PixelFormat* formats = cam::PixelFormats(&count);
    for (int i = 0; i < count; ++i) {
        const cam::PixelFormat& f = formats[i];
        const std::string sim = std::string("width=97,height=61,formats=") + f.name;
        ASSERT_NO_FATAL_FAILURE(OpenAndGrab(sim.c_str()));
        const QImage shown = Displayed();
        const bool exact = f.sampling == cam::Sampling::Mono || f.sampling == cam::Sampling::Colour;
        std::vector<QPoint> points;
        for (int bar = 0; bar < 8; ++bar)
            points.emplace_back((2 * bar + 1) * w / 16, h / 3);
        for (int x : {w / 4, w / 2, 3 * w / 4})
            points.emplace_back(x, h - 2);
        for (const QPoint& p : points) {
            const uint8_t* e = &bgr[(size_t(p.y()) * w + p.x()) * 3];
            const int grey = cam::SimLuma(e[0], e[1], e[2]);
            const QRgb got = shown.pixel(p);
            const int want[3] = {f.sampling == cam::Sampling::Mono ? grey : e[2],
                                 f.sampling == cam::Sampling::Mono ? grey : e[1],
                                 f.sampling == cam::Sampling::Mono ? grey : e[0]};
            const int diff = std::max({std::abs(qRed(got) - want[0]), std::abs(qGreen(got) - want[1]),
                                       std::abs(qBlue(got) - want[2])});
            EXPECT_LE(diff, exact ? 0 : 3) << f.name << " at " << p.x() << "," << p.y();
        }
        Click(IDC_GRAB_STOP_RELEASE);
    }
}

// Frames deeper than 8 bits are saved with every bit, in PNG and TIFF: grey
// for Mono, colour for Bayer, at 16 bits; JPEG takes their top 8 bits.
TEST_F(KeepTest, DeepFramesKeepTheirBits)
{
    for (const char* format : {"Mono12p", "BayerGR12"}) {
        ASSERT_NO_FATAL_FAILURE(OpenAndGrab((std::string("width=64,height=32,formats=") + format).c_str()));
        const QImage shown = Displayed();
        for (const char* name : {"deep.png", "deep.tif"}) {
            ASSERT_EQ(dlg.SavePictureTo(Path(name)), "") << format << " " << name;
            const QImage read(QString::fromStdString(Path(name)));
            ASSERT_EQ(read.depth(), std::string(format) == "Mono12p" ? 16 : 64) << format << " " << name;
            // The white bar: 12-bit full scale (0xFFF) shifted up to fill 16 bits.
            EXPECT_EQ(read.pixelColor(2, 2).rgba64().red(), 0xFFF0) << format << " " << name;
            // Its top 8 bits are what is shown (a demosaic at 16 bits may round
            // the other way).
            const int slack = std::string(format) == "Mono12p" ? 0 : 1;
            for (int x = 0; x < 64; x += 5) {
                const QRgba64 deep = read.pixelColor(x, 5).rgba64();
                EXPECT_LE(std::abs((deep.red() >> 8) - qRed(shown.pixel(x, 5))), slack) << format << " " << name;
                EXPECT_LE(std::abs((deep.blue() >> 8) - qBlue(shown.pixel(x, 5))), slack) << format << " " << name;
            }
        }
        ASSERT_EQ(dlg.SavePictureTo(Path("deep.jpg")), "");
        EXPECT_LE(QImage(QString::fromStdString(Path("deep.jpg"))).depth(), 32);
        Click(IDC_GRAB_STOP_RELEASE);
    }
}

// The default name: the camera id made safe, the time, PNG.
TEST(PictureName, Suggested)
{
    const std::time_t when = QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7)).toSecsSinceEpoch();
    EXPECT_EQ(imaging::SuggestedPictureName("sim-0", when), "sim-0-20260304-050607.png");
    EXPECT_EQ(imaging::SuggestedPictureName("gige:192.168.10.20", when), "gige_192.168.10.20-20260304-050607.png");
    EXPECT_EQ(imaging::SuggestedPictureName("../a/b\\c d\n", when), "camera.._a_b_c_d_-20260304-050607.png");
    EXPECT_EQ(imaging::SuggestedPictureName("", when), "camera-20260304-050607.png");
}

// Mnemonic underlines appear only while Alt is held; the captions are unchanged.
TEST_F(KeepTest, MnemonicsUnderlinedOnlyWithAlt)
{
    ASSERT_NO_FATAL_FAILURE(Show());
    QPushButton* button = Button(IDC_INIT_GRAB_START);
    ASSERT_EQ(button->text(), "Init& GrapStart");
    const QImage plain = button->grab().toImage();
    QTest::keyPress(widget, Qt::Key_Alt, Qt::AltModifier);
    const QImage held = button->grab().toImage();
    QTest::keyRelease(widget, Qt::Key_Alt);
    const QImage released = button->grab().toImage();
    EXPECT_NE(plain, held) << "no underline while Alt is held";
    EXPECT_EQ(plain, released) << "the underline stayed after Alt was let go";
}

}  // namespace
