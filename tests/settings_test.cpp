// Camera features from the command line of the real program, on the
// simulated camera: each kind of refusal, the order of --set, a settings
// file's round trip, and the picture following exposure and size.
#include "RunTarvik.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using Result = TarvikRun;

Result Tarvik(const QStringList& args, const QString& dir = QDir::tempPath())
{
    return RunTarvik(args, "width=320,height=240", {}, dir);
}

// Each refusal says what the camera accepts, and nothing is grabbed.
TEST(Settings, RefusalsSayWhatIsAccepted)
{
    const struct {
        QStringList set;
        int status;
        const char* err;
    } cases[] = {
        {{"ExposureTme=5"}, 3, "tarvik: no feature \"ExposureTme\"; did you mean ExposureTime?\n"},
        {{"ExposureTime=5000000"}, 3, "tarvik: cannot set ExposureTime: 5000000 is above the maximum 1000000 us\n"},
        {{"Gain=-1"}, 3, "tarvik: cannot set Gain: -1 is below the minimum 0 dB\n"},
        {{"SensorWidth=100"}, 3, "tarvik: cannot set SensorWidth: it is read-only now\n"},
        {{"Width=13"}, 3, "tarvik: cannot set Width: 13 is not a step of 4 from 8\n"},
        {{"PixelFormat=Foo"}, 3, "tarvik: cannot set PixelFormat: Foo is not one of its entries: BGR8Packed, Mono8\n"},
        {{"ExposureTime=fast"}, 3, "tarvik: cannot set ExposureTime: expects a number, got fast\n"},
        {{"ReverseX=maybe"},
         3,
         "tarvik: cannot set ReverseX: expects true or false (or on/off, yes/no, 1/0, in any case), got maybe\n"},
        {{"AcquisitionStart=now"}, 3, "it is a command, which takes no value"},
        // The rate is writable once enabled: order matters.
        {{"AcquisitionFrameRate=50", "AcquisitionFrameRateEnable=true"},
         3,
         "tarvik: cannot set AcquisitionFrameRate: it is read-only now\n"},
        {{"ExposureTime"}, 64, "tarvik: --set ExposureTime needs =VALUE: only a command runs without one\n"},
        {{"=5"}, 64, "--set needs NAME=VALUE"},
    };
    QTemporaryDir dir;
    for (const auto& c : cases) {
        QStringList args = {"--grab", "x.png"};
        for (const QString& s : c.set)
            args << "--set" << s;
        const Result r = Tarvik(args, dir.path());
        EXPECT_EQ(r.status, c.status) << c.set.join(' ').toStdString();
        EXPECT_TRUE(r.err.startsWith(c.err) || r.err.contains(c.err)) << r.err.toStdString();
        EXPECT_FALSE(QFile::exists(dir.filePath("x.png"))) << c.set.join(' ').toStdString();
    }
}

// Values are read as people write them, from --set and from a settings
// file alike: decimal whatever the leading zeros, booleans in any case, -0 as
// 0; what is not a value of the feature is refused, saying why.
TEST(Settings, ValuesAsPeopleWriteThem)
{
    const struct {
        const char* set;
        const char* result;  // what --get gives, or the refusal
    } cases[] = {
        {"Width=040", "Width=40\n"},
        {"Width=08", "Width=8\n"},
        {"Width=0640", "tarvik: cannot set Width: 0640 is above the maximum 320 px\n"},
        {"Width=0x40", "tarvik: cannot set Width: expects a whole number, got 0x40\n"},
        {"Width= 64", "tarvik: cannot set Width: expects a whole number, got \" 64\"\n"},
        {"Gain=0x1p4", "tarvik: cannot set Gain: expects a number, got 0x1p4\n"},
        {"Gain=-0", "Gain=0\n"},
        {"Gain=1e-320", "tarvik: cannot set Gain: 1e-320 is too close to 0 to be set: it would be rounded (to set 0, "
                        "give 0)\n"},
        {"ExposureTime=1e-320", "tarvik: cannot set ExposureTime: 1e-320 is below the minimum 10 us\n"},
        {"ReverseX=TRUE", "ReverseX=true\n"},
        {"ReverseX=Yes", "ReverseX=true\n"},
        {"ReverseX=OFF", "ReverseX=false\n"},
    };
    QTemporaryDir dir;
    for (const auto& c : cases) {
        const QString set = c.set, name = set.section('=', 0, 0);
        const Result r = Tarvik({"--set", set, "--get", name}, dir.path());
        const bool refused = QByteArray(c.result).startsWith("tarvik: ");
        EXPECT_EQ(r.status, refused ? 3 : 0) << c.set;
        EXPECT_EQ(refused ? r.err : r.out, c.result) << c.set;

        QFile file(dir.filePath("values.txt"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(set.toUtf8() + "\n");
        file.close();
        const Result fromFile = Tarvik({"--settings", "values.txt", "--get", name}, dir.path());
        EXPECT_EQ(fromFile.status, r.status) << c.set;
        EXPECT_EQ(refused ? fromFile.err : fromFile.out,
                  refused ? QByteArray(c.result).replace("tarvik: ", "tarvik: values.txt:1: ") : QByteArray(c.result))
            << c.set;
    }

    // A long value is echoed cut, with its length, in a line of its own.
    QFile big(dir.filePath("big.txt"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    big.write("Gain=" + QByteArray(1 << 20, 'x') + "\n");
    big.close();
    const Result r = Tarvik({"--settings", "big.txt"}, dir.path());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "tarvik: big.txt:1: cannot set Gain: expects a number, got " + QByteArray(60, 'x') +
                         "\u2026 (1048576 bytes)\n");
}

// Settings apply in order; what is saved applies again and reads back the
// same; a refusal part way puts back what was set before it.
TEST(Settings, OrderRoundTripAndPuttingBack)
{
    QTemporaryDir dir;
    const Result ordered = Tarvik({"--set", "AcquisitionFrameRateEnable=true", "--set", "AcquisitionFrameRate=50",
                                   "--set", "Width=160", "--set", "ExposureTime=2500", "--save-settings", "cam.txt"},
                                  dir.path());
    ASSERT_EQ(ordered.status, 0) << ordered.err.toStdString();
    const Result back = Tarvik({"--settings", "cam.txt", "--get", "Width", "--get", "ExposureTime", "--get",
                                "AcquisitionFrameRate", "--get", "AcquisitionFrameRateEnable"},
                               dir.path());
    ASSERT_EQ(back.status, 0) << back.err.toStdString();
    EXPECT_EQ(back.out, "Width=160\nExposureTime=2500\nAcquisitionFrameRate=50\nAcquisitionFrameRateEnable=true\n");

    // A feature that depends on a selector is saved under each of its
    // entries, and the entry selected when saving is selected again.
    ASSERT_EQ(Tarvik({"--set", "GainSelector=Red", "--set", "Gain=3", "--set", "GainSelector=Blue", "--set",
                      "Gain=1.5", "--save-settings", "gains.txt"},
                     dir.path())
                  .status,
              0);
    const Result blue = Tarvik({"--settings", "gains.txt", "--get", "GainSelector", "--get", "Gain"}, dir.path());
    ASSERT_EQ(blue.status, 0) << blue.err.toStdString();
    EXPECT_EQ(blue.out, "GainSelector=Blue\nGain=1.5\n");
    const Result red = Tarvik({"--settings", "gains.txt", "--set", "GainSelector=Red", "--get", "Gain"}, dir.path());
    EXPECT_EQ(red.out, "Gain=3\n");

    // The camera opens with its defaults each time; within one run a
    // refusal undoes the earlier settings before anything else is done.
    const Result refused = Tarvik({"--set", "Width=160", "--set", "Gain=99", "--get", "Width"}, dir.path());
    EXPECT_EQ(refused.status, 3);
    EXPECT_TRUE(refused.out.isEmpty());

    QFile bad(dir.filePath("bad.txt"));
    ASSERT_TRUE(bad.open(QIODevice::WriteOnly));
    bad.write("# comment\n\nWidth=160\nExposure\n");
    bad.close();
    const Result malformed = Tarvik({"--settings", "bad.txt", "--get", "Width"}, dir.path());
    EXPECT_EQ(malformed.status, 64);
    EXPECT_TRUE(malformed.err.contains("bad.txt:4: expected NAME=VALUE")) << malformed.err.toStdString();
}

// The picture follows: a shorter exposure grabs a darker frame, a smaller
// region a smaller one (at the size read again after the change) cut from
// the sensor's picture.
TEST(Settings, PictureFollowsExposureAndSize)
{
    QTemporaryDir dir;
    ASSERT_EQ(Tarvik({"--grab", "normal.png"}, dir.path()).status, 0);
    ASSERT_EQ(Tarvik({"--set", "ExposureTime=2500", "--grab", "dark.png"}, dir.path()).status, 0);
    const Result small = Tarvik({"--set", "Width=160", "--set", "Height=120", "--grab", "small.png"}, dir.path());
    ASSERT_EQ(small.status, 0) << small.err.toStdString();
    auto mean = [&](const char* name) {
        const QImage image = QImage(dir.filePath(name)).convertToFormat(QImage::Format_Grayscale8);
        double sum = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                sum += image.constScanLine(y)[x];
        return sum / (image.width() * image.height());
    };
    EXPECT_LT(mean("dark.png"), mean("normal.png") / 3);
    // A colour's own gain raises that colour only.
    ASSERT_EQ(Tarvik({"--set", "GainSelector=Red", "--set", "Gain=6", "--grab", "red.png"}, dir.path()).status, 0);
    auto channels = [&](const char* name) {
        const QImage image = QImage(dir.filePath(name)).convertToFormat(QImage::Format_RGB32);
        double red = 0, blue = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                red += qRed(image.pixel(x, y)), blue += qBlue(image.pixel(x, y));
        return std::pair(red, blue);
    };
    EXPECT_GT(channels("red.png").first, channels("normal.png").first * 1.1);
    EXPECT_EQ(channels("red.png").second, channels("normal.png").second);
    EXPECT_EQ(QImage(dir.filePath("small.png")).size(), QSize(160, 120));

    // A region is that part of the whole picture; ReverseY turns it upside down.
    ASSERT_EQ(Tarvik({"--set", "Width=160", "--set", "Height=120", "--set", "OffsetX=80", "--set", "OffsetY=60",
                      "--grab", "region.png"},
                     dir.path())
                  .status,
              0);
    ASSERT_EQ(Tarvik({"--set", "Width=160", "--set", "Height=120", "--set", "OffsetX=80", "--set", "OffsetY=60",
                      "--set", "ReverseY=true", "--grab", "flipped.png"},
                     dir.path())
                  .status,
              0);
    // ReverseX mirrors the whole picture left to right.
    ASSERT_EQ(Tarvik({"--set", "ReverseX=true", "--grab", "mirrored.png"}, dir.path()).status, 0);
    const QImage whole(dir.filePath("normal.png")), region(dir.filePath("region.png")),
        flipped(dir.filePath("flipped.png")), mirrored(dir.filePath("mirrored.png"));
    ASSERT_EQ(region.size(), QSize(160, 120));
    ASSERT_EQ(mirrored.size(), whole.size());
    int mismatches = 0;
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 160; ++x)
            mismatches += (region.pixel(x, y) != whole.pixel(80 + x, 60 + y)) +
                (flipped.pixel(x, y) != whole.pixel(80 + x, 60 + 119 - y));
    for (int y = 0; y < whole.height(); ++y)
        for (int x = 0; x < whole.width(); ++x)
            mismatches += mirrored.pixel(x, y) != whole.pixel(whole.width() - 1 - x, y);
    EXPECT_EQ(mismatches, 0);
}

// The tree for programs: every feature with its category, type, access,
// value and range.
TEST(Settings, FeaturesAsJson)
{
    const Result r = Tarvik({"--features", "--json"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QJsonArray all = QJsonDocument::fromJson(r.out).array();
    QJsonObject exposure;
    for (const QJsonValue& f : all)
        if (f["name"].toString() == "ExposureTime")
            exposure = f.toObject();
    EXPECT_EQ(exposure["category"].toString(), "AcquisitionControl");
    EXPECT_EQ(exposure["type"].toString(), "float");
    EXPECT_EQ(exposure["access"].toString(), "read/write");
    EXPECT_EQ(exposure["unit"].toString(), "us");
    EXPECT_EQ(exposure["value"].toString(), "10000");
    EXPECT_EQ(exposure["maximum"].toDouble(), 1e6);
    // 64-bit limits are written exactly (Aravis's fake camera has them).
    const Result fake = RunTarvik({"--features", "--json"}, {}, "aravis-fake");
    ASSERT_EQ(fake.status, 0) << fake.err.toStdString();
    EXPECT_TRUE(fake.out.contains("\"maximum\": 9223372036854775807,")) << fake.out.toStdString();
    EXPECT_TRUE(fake.out.contains("\"minimum\": -9223372036854775808,")) << fake.out.toStdString();
    EXPECT_FALSE(fake.out.contains("9223372036854776000")) << fake.out.toStdString();
    const Result text = Tarvik({"--features"});
    EXPECT_TRUE(text.out.contains("AnalogControl ")) << text.out.toStdString();
    EXPECT_EQ(Tarvik({"--json"}).status, 64);
    EXPECT_EQ(Tarvik({"--get", "Width", "--grab", "x.png"}).status, 64);
}

}  // namespace
