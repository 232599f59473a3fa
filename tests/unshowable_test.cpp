// A camera whose picture cannot be shown, on the command line of the real
// program: what reads and changes features still works, so that the bad
// setting can be put right, and only what needs a picture fails.
#include "RunTarvik.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// The simulated camera's whole sensor is its picture: far beyond a display image.
const char kHuge[] = "width=20000,height=20000";

TEST(Unshowable, FeaturesWorkPicturesFail)
{
    const struct {
        const char* name;
        QStringList args;  // "@" stands for the test's folder
        int status;
        const char* out;   // expected in stdout
        const char* err;   // expected in stderr (empty: stderr must be empty)
        QSize picture;     // of x.png; empty: none is written
    } cases[] = {
        {"showable size set", {"--set", "Width=640", "--set", "Height=480"}, 0, "", "", {}},
        {"showable size set, then grabbed", {"--set", "Width=640", "--set", "Height=480", "--grab", "@/x.png"}, 0,
         "", "", {640, 480}},
        {"features listed", {"--features"}, 0, "20000", "", {}},
        {"feature read", {"--get", "Width"}, 0, "Width=20000\n", "", {}},
        {"settings saved", {"--save-settings", "@/cam.txt"}, 0, "", "", {}},
        {"settings loaded", {"--settings", "@/small.txt", "--grab", "@/x.png"}, 0, "", "", {160, 120}},
        {"grab", {"--grab", "@/x.png"}, 3, "", "reports a picture of 20000 x 20000 pixels, which cannot be shown", {}},
        {"other setting, then grab", {"--set", "ExposureTime=2500", "--grab", "@/x.png"}, 3, "",
         "reports a picture of 20000 x 20000 pixels, which cannot be shown", {}},
        {"check", {"--check", "--frames", "3"}, 3, "", "reports a picture of 20000 x 20000 pixels", {}},
        {"refused setting told, not the picture", {"--set", "Width=13"}, 3, "",
         "tarvik: cannot set Width: 13 is not a step of 4 from 8\n", {}},
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        QFile small(dir.filePath("small.txt"));
        ASSERT_TRUE(small.open(QIODevice::WriteOnly) && small.write("Width=160\nHeight=120\n") > 0);
        small.close();
        QStringList args;
        for (const QString& a : c.args)
            args << QString(a).replace("@", dir.path());
        const TarvikRun r = RunTarvik(args, kHuge);
        EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err.toStdString();
        EXPECT_TRUE(r.out.contains(c.out)) << c.name << ": " << r.out.left(200).toStdString();
        if (*c.err)
            EXPECT_TRUE(r.err.contains(c.err)) << c.name << ": " << r.err.toStdString();
        else
            EXPECT_EQ(r.err.toStdString(), "") << c.name;
        EXPECT_EQ(QImage(dir.filePath("x.png")).size(), c.picture.isValid() ? c.picture : QSize(0, 0)) << c.name;
    }
}

// The settings saved from such a camera apply again, its size included.
TEST(Unshowable, SavedSettingsHoldTheSize)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("cam.txt");
    ASSERT_EQ(RunTarvik({"--save-settings", file}, kHuge).status, 0);
    QFile saved(file);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    const QByteArray text = saved.readAll();
    EXPECT_TRUE(text.contains("Width=20000\n") && text.contains("Height=20000\n")) << text.toStdString();
    EXPECT_EQ(RunTarvik({"--settings", file, "--get", "Width"}, kHuge).out, "Width=20000\n");
}

}  // namespace
