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
#include <QProcess>
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
    big.write("Gain=" + QByteArray(32768, 'x') + "\n");  // within a line's bound
    big.close();
    const Result r = Tarvik({"--settings", "big.txt"}, dir.path());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "tarvik: big.txt:1: cannot set Gain: expects a number, got " + QByteArray(60, 'x') +
                         "\u2026 (32768 bytes)\n");
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
    EXPECT_EQ(malformed.status, 3);
    EXPECT_TRUE(malformed.err.contains("bad.txt:4: expected NAME=VALUE")) << malformed.err.toStdString();
}

// Settings files as given to the shell, read from cam.txt (the case's
// bytes): what applies, and each refusal with where and why, alone on
// stderr (status 3, no usage text), or the usage error that comes first.
TEST(Settings, FilesAndTheirRefusals)
{
    auto lines = [](const QByteArray& line, int count) { return line.repeated(count); };
    const struct {
        const char* name;
        QByteArray file;     // cam.txt
        const char* script;  // bash, "$T" being tarvik
        int status;
        const char* out, *err;
    } cases[] = {
        {"byte-order mark and CR LF", "\xEF\xBB\xBFWidth=160\r\nHeight=120\r\n",
         "\"$T\" --settings cam.txt --get Width --get Height", 0, "Width=160\nHeight=120\n", ""},
        {"every file in order, all before --set", "Width=160\nHeight=120\n",
         "\"$T\" --set Height=100 --settings cam.txt --settings <(echo Width=200) --get Width --get Height", 0,
         "Width=200\nHeight=100\n", ""},
        {"standard input", "Width=160", "\"$T\" --settings - --get Width < cam.txt", 0, "Width=160\n", ""},
        {"the most settings", lines("Width=160\n", 100000), "\"$T\" --settings cam.txt --get Width", 0,
         "Width=160\n", ""},
        {"not a setting", "# comment\n\nWidth=160\ngarbage line\n", "\"$T\" --settings cam.txt", 3, "",
         "tarvik: cam.txt:4: expected NAME=VALUE, got \"garbage line\"\n"},
        {"not a setting on standard input", "Width\n", "\"$T\" --settings - < cam.txt", 3, "",
         "tarvik: standard input:1: expected NAME=VALUE, got \"Width\"\n"},
        {"NUL in a value", QByteArray("Width=32\0garbage\n", 17), "\"$T\" --settings cam.txt", 3, "",
         "tarvik: cam.txt:1: a NUL byte in \"Width=32\\x00garbage\"\n"},
        {"NUL in a name", QByteArray("Height=120\nWidth\0X=32\n", 22), "\"$T\" --settings cam.txt", 3, "",
         "tarvik: cam.txt:2: a NUL byte in \"Width\\x00X=32\"\n"},
        {"line too long", "Width=160\n" + QByteArray(64 * 1024 + 1, '#'), "\"$T\" --settings cam.txt", 3, "",
         "tarvik: cam.txt:2: line longer than 64 KiB\n"},
        {"longest line, ending in CR LF", "#" + QByteArray(64 * 1024 - 1, 'x') + "\r\nWidth=160\r\n",
         "\"$T\" --settings cam.txt --get Width", 0, "Width=160\n", ""},
        {"byte-order mark past the start", "Width=160\n\xEF\xBB\xBFHeight=120\n", "\"$T\" --settings cam.txt", 3, "",
         "tarvik: cam.txt:2: no feature \"\\ufeffHeight\"\n"},
        {"file too long", lines("#" + QByteArray(1022, 'x') + "\n", 16 * 1024 + 1), "\"$T\" --settings cam.txt", 3,
         "", "tarvik: cam.txt:16385: file longer than 16 MiB\n"},
        {"too many settings", lines("Width=160\n", 100001), "\"$T\" --settings cam.txt", 3, "",
         "tarvik: cam.txt:100001: more than 100000 settings\n"},
        {"endless file", "", "\"$T\" --settings /dev/zero", 3, "", "tarvik: /dev/zero:1: line longer than 64 KiB\n"},
        {"endless standard input", "", "\"$T\" --settings - < /dev/zero", 3, "",
         "tarvik: standard input:1: line longer than 64 KiB\n"},
        {"missing file", "", "\"$T\" --settings none.txt", 3, "",
         "tarvik: cannot read \"none.txt\": No such file or directory\n"},
        {"folder", "", "\"$T\" --settings .", 3, "", "tarvik: cannot read \".\": Is a directory\n"},
        {"unreadable file", "Width=160\n", "[ $(id -u) != 0 ] || exit 77; chmod 0 cam.txt; \"$T\" --settings cam.txt",
         3, "", "tarvik: cannot read \"cam.txt\": Permission denied\n"},
        {"usage error first", "", "\"$T\" --settings none.txt --json", 64, "",
         "tarvik: --json goes with --check or --features\n"
         "Usage: tarvik [--camera ID] [--pixel-format NAME] [--live | --grab FILE]\n"
         "       tarvik --list | --help | --version\n"},
        {"long name", "", "\"$T\" --set \"$(head -c 300 /dev/zero | tr '\\0' x)=1\"", 3, "",
         "tarvik: no feature \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\"\u2026 (300 bytes)\n"},
        // --set keeps bytes that are not UTF-8, as a settings file does.
        {"set name not UTF-8", "", "\"$T\" --set $'Wid\\xffth=1'", 3, "",
         "tarvik: no feature \"Wid\\xffth\"; did you mean Width?\n"},
        {"file name not UTF-8", "Width", "cp cam.txt $'c\\xffm.txt'; \"$T\" --settings $'c\\xffm.txt'", 3, "",
         "tarvik: \"c\\xffm.txt\":1: expected NAME=VALUE, got \"Width\"\n"},
    };
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "TARVIK_CAMERAS", "TARVIK_CAMERA_TRACE"})
        env.remove(name);
    env.insert("TARVIK_SIM", "width=320,height=240");
    env.insert("T", TARVIK_EXE);
    for (const auto& c : cases) {
        QTemporaryDir dir;
        QFile file(dir.filePath("cam.txt"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(c.file) == c.file.size()) << c.name;
        file.close();
        QProcess bash;
        bash.setProcessEnvironment(env);
        bash.setWorkingDirectory(dir.path());
        bash.start("bash", {"-c", c.script});
        ASSERT_TRUE(bash.waitForFinished(60000)) << c.name;
        if (bash.exitCode() == 77)
            continue;  // as root, every file can be read
        EXPECT_EQ(bash.exitCode(), c.status) << c.name;
        EXPECT_EQ(bash.readAllStandardOutput().toStdString(), c.out) << c.name;
        EXPECT_EQ(bash.readAllStandardError().toStdString(), c.err) << c.name;
    }
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
