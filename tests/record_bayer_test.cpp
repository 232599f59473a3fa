// Bayer frames recorded to Matroska as their four colour planes
// (--record-bayer planes): every frame read back as the camera sent it, by
// Tarvik's reader and by FFmpeg with the guide's filter, for every codec,
// pattern and depth, at even and odd sizes; a file whose layout tag Tarvik
// does not know is refused rather than misread.
#include "DialogHarness.h"
#include "RunTarvik.h"
#include "TempDir.h"
#include "platform/camera/campixel.h"
#include "platform/camera/camsim.h"
#include "platform/imaging/sequence/SequenceReader.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sstream>
#include <string>
#include <vector>

namespace {

using harness::CommandOutput;

struct PlanesCase {
    std::string codec, format;
    uint32_t width, height;
    int noise;  // the camera's read noise, so that no two neighbours are alike
};

void PrintTo(const PlanesCase& c, std::ostream* os)
{
    *os << c.codec << " " << c.format << " " << c.width << "x" << c.height;
}

// Every codec with 8-bit mosaics of two patterns, a 12-bit one and a packed
// 12-bit one (MagicYUV keeps 8 bits only), each at an even size, an odd width
// and an odd height.
std::vector<PlanesCase> PlanesCases()
{
    std::vector<PlanesCase> cases;
    for (const char* codec : {"ffv1", "magicyuv", "ffvhuff"})
        for (const char* format : {"BayerRG8", "BayerGB8", "BayerBG12", "BayerRG12p"})
            for (const auto& [w, h] : std::vector<std::pair<uint32_t, uint32_t>>{{64, 48}, {63, 48}, {64, 47}}) {
                const bool deep = std::string(format).find("12") != std::string::npos;
                if (deep && std::string(codec) == "magicyuv")
                    continue;
                cases.push_back({codec, format, w, h, deep ? 300 : 20});
            }
    return cases;
}

// The frame ids of the frames the CSV says were written, in order.
std::vector<uint64_t> WrittenFrameIds(const std::string& csv)
{
    std::vector<uint64_t> ids;
    std::istringstream in(CommandOutput("awk -F, 'NR > 1 && $8 == \"yes\" { print $2 }' '" + csv + "'"));
    for (uint64_t id; in >> id;)
        ids.push_back(id);
    return ids;
}

// What the simulated camera sends as frame id, its samples as a reader hands
// them out: 8-bit ones as they are, deeper ones unpacked to 16-bit words.
std::string Sent(const PlanesCase& c, const cam::SimNoise& noise, uint64_t id)
{
    const cam::PixelFormat* f = cam::FindPixelFormat(c.format.c_str());
    const uint64_t rowBytes = cam::RowBytes(*f, c.width);
    std::string frame(rowBytes * c.height, '\0');
    auto* bytes = reinterpret_cast<uint8_t*>(&frame[0]);
    cam::RenderSimFrame(bytes, frame.size(), c.width, c.height, c.format, id);
    noise.Add(bytes, frame.size(), c.width, f, id);
    if (f->bits <= 8)
        return frame;
    std::string words;
    for (uint32_t y = 0; y < c.height; ++y)
        for (uint32_t x = 0; x < c.width; ++x) {
            const uint32_t v = cam::ReadSample(*f, bytes + y * rowBytes, x);
            words += {char(v & 255), char(v >> 8)};
        }
    return words;
}

// The guide's FFmpeg command that gives a planes recording's mosaic back.
std::string DocumentedFilterCommand()
{
    QFile guide(QString(TARVIK_SOURCE_DIR) + "/docs/recording.md");
    if (!guide.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression recipe("`(ffmpeg -i NAME\\.mkv [^`]*geq=[^`]*-f rawvideo -pix_fmt gray -)`");
    return recipe.match(QString::fromUtf8(guide.readAll())).captured(1).toStdString();
}

// path's frames as FFmpeg's command line gives them at pixelFormat: through
// the guide's filter where the recording is in planes, else as it is stored.
std::string FfmpegFrames(const std::string& path, bool planes, const std::string& pixelFormat)
{
    std::string command = planes ? DocumentedFilterCommand()
                                 : "ffmpeg -i NAME.mkv -fps_mode passthrough -enc_time_base -1 -f rawvideo "
                                   "-pix_fmt gray -";
    command.replace(command.find("NAME.mkv"), 8, "'" + path + "'");
    command.replace(command.find("-pix_fmt gray "), 14, "-pix_fmt " + pixelFormat + " ");
    return CommandOutput(command.replace(0, 6, "ffmpeg -nostdin -v error") + " 2>/dev/null");
}

std::string LayoutTag(const std::string& path)
{
    return CommandOutput("ffprobe -v error -show_entries stream_tags=BAYER_LAYOUT -of csv=p=0 '" + path +
                         "' 2>/dev/null");
}

// Whether Tarvik's reader gives path's frames as expected, every one and no more.
::testing::AssertionResult ReadBack(const std::string& path, const std::vector<std::string>& expected)
{
    std::string error;
    std::unique_ptr<imaging::SequenceReader> reader = imaging::OpenSequence(path, &error);
    if (!reader)
        return ::testing::AssertionFailure() << error;
    if (reader->FrameCount() != expected.size())
        return ::testing::AssertionFailure() << reader->FrameCount() << " frames, not " << expected.size();
    for (uint64_t i = 0; i < expected.size(); ++i) {
        imaging::ReadFrame frame;
        if (!reader->Read(i, &frame))
            return ::testing::AssertionFailure() << reader->Error();
        if (std::string(reinterpret_cast<const char*>(frame.data), frame.size) != expected[i])
            return ::testing::AssertionFailure() << "frame " << i << " differs from what the camera sent";
    }
    return ::testing::AssertionSuccess();
}

class RecordBayerPlanes : public ::testing::TestWithParam<PlanesCase> {};

TEST_P(RecordBayerPlanes, ReadsBackAsSent)
{
    const PlanesCase& c = GetParam();
    const int frames = 3;
    QTemporaryDir dir;
    const std::string path = dir.filePath("p.mkv").toStdString();
    const TarvikRun run = RunTarvik({"--record", "p.mkv", "--frames", QString::number(frames), "--record-codec",
                                     QString::fromStdString(c.codec), "--record-bayer", "planes"},
                                    QString("width=%1,height=%2,rate=100,formats=%3,noise=%4")
                                        .arg(c.width)
                                        .arg(c.height)
                                        .arg(QString::fromStdString(c.format))
                                        .arg(c.noise),
                                    {}, dir.path());
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const bool even = c.width % 2 == 0 && c.height % 2 == 0;
    // An odd size is kept as the mosaic, said once, and tagged so.
    EXPECT_EQ(LayoutTag(path), even ? "planes\n" : "mosaic\n");
    EXPECT_EQ(run.err.count("--record-bayer planes"), even ? 0 : 1) << run.err.toStdString();

    const std::vector<uint64_t> ids = WrittenFrameIds(path + ".csv");
    ASSERT_EQ(ids.size(), size_t(frames));
    cam::SimNoise noise;
    noise.Prepare(c.noise);
    std::vector<std::string> sent;
    for (uint64_t id : ids)
        sent.push_back(Sent(c, noise, id));
    EXPECT_TRUE(ReadBack(path, sent));
    std::string all;
    for (const std::string& frame : sent)
        all += frame;
    const bool deep = sent[0].size() > size_t(c.width) * c.height;
    EXPECT_TRUE(FfmpegFrames(path, even, deep ? "gray16le" : "gray") == all);
}

INSTANTIATE_TEST_SUITE_P(Table, RecordBayerPlanes, ::testing::ValuesIn(PlanesCases()), [](const auto& info) {
    const PlanesCase& c = info.param;
    return harness::CaseName(c.codec + " " + c.format + " " + std::to_string(c.width) + "x" +
                             std::to_string(c.height));
});

// A planes recording of BayerRG8 frames, 64 x 48, at dir/name; the frames the
// camera sent.
std::vector<std::string> RecordPlanes(const QTemporaryDir& dir, const QString& name, int frames)
{
    const PlanesCase c{"ffv1", "BayerRG8", 64, 48, 20};
    const TarvikRun run =
        RunTarvik({"--record", name, "--frames", QString::number(frames), "--record-bayer", "planes"},
                  "width=64,height=48,rate=100,formats=BayerRG8,noise=20", {}, dir.path());
    std::vector<std::string> sent;
    if (run.status != 0)
        return sent;
    cam::SimNoise noise;
    noise.Prepare(c.noise);
    for (uint64_t id : WrittenFrameIds(dir.filePath(name + ".csv").toStdString()))
        sent.push_back(Sent(c, noise, id));
    return sent;
}

// A file whose BAYER_LAYOUT Tarvik does not know, or whose frames cannot be
// planes (colour, an odd size), would hand out samples in the wrong places:
// it is refused, naming the tag and what is wrong.
TEST(RecordBayerLayout, UnknownLayoutRefused)
{
    struct Case {
        const char* sim;  // the recording's camera
        const char* tag;  // BAYER_LAYOUT put on it
        const char* said;
    };
    // A long tag is said cut short, not as a line of its own length.
    const std::string longTag(300, 'a'), longSaid = "is \"" + std::string(60, 'a') + "\"\u2026 (300 bytes)";
    const Case cases[] = {
        {"width=64,height=48,formats=BayerRG8", longTag.c_str(), longSaid.c_str()},
        {"width=64,height=48,formats=BayerRG8", "diagonal", "its tag BAYER_LAYOUT is \"diagonal\""},
        {"width=64,height=48,formats=BayerRG8", "Planes", "its tag BAYER_LAYOUT is \"Planes\""},
        {"width=64,height=48,formats=RGB8", "planes", "its tag BAYER_LAYOUT says planes, but its frames are 64 x 48"},
        {"width=63,height=48,formats=Mono8", "planes", "its tag BAYER_LAYOUT says planes, but its frames are 63 x 48"},
        // Grey of an even size, whose picture the planes' order would scramble.
        {"width=64,height=48,formats=Mono8", "planes", "its tag PIXEL_FORMAT says Mono8, no Bayer mosaic"},
        {"width=64,height=48,formats=Mono12", "planes", "its tag PIXEL_FORMAT says Mono12, no Bayer mosaic"},
    };
    for (const Case& c : cases) {
        QTemporaryDir dir;
        const TarvikRun run = RunTarvik({"--record", "r.mkv", "--frames", "2"}, c.sim, {}, dir.path());
        ASSERT_EQ(run.status, 0) << run.err.toStdString();
        const std::string path = dir.filePath("r.mkv").toStdString(), tagged = dir.filePath("t.mkv").toStdString();
        CommandOutput("ffmpeg -nostdin -v error -i '" + path + "' -c copy -metadata:s:v:0 BAYER_LAYOUT=" + c.tag +
                      " '" + tagged + "'");
        ASSERT_EQ(LayoutTag(tagged), c.tag + std::string("\n"));
        std::string error;
        EXPECT_FALSE(imaging::OpenSequence(tagged, &error)) << c.sim;
        EXPECT_NE(error.find(c.said), std::string::npos) << error;
        const TarvikRun check = RunTarvik({"--check", "--play", QString::fromStdString(tagged)}, {});
        EXPECT_NE(check.status, 0);
        EXPECT_TRUE(check.err.contains(c.said)) << check.err.toStdString();
    }
}

// A planes recording cut in its last frame (killed, a full disk) still
// reads up to the frame before, each as it was sent.
TEST(RecordBayerLayout, CutReadsWholeFrames)
{
    QTemporaryDir dir;
    const std::vector<std::string> sent = RecordPlanes(dir, "p.mkv", 3);
    ASSERT_EQ(sent.size(), 3u);
    const std::string path = dir.filePath("p.mkv").toStdString(), cut = dir.filePath("cut.mkv").toStdString();
    auto lastPacket = [&](const char* field) {
        return std::stoull("0" + CommandOutput("ffprobe -v error -show_entries packet=" + std::string(field) +
                                               " -of csv=p=0 '" + path + "' | tail -n 1"));
    };
    const uint64_t pos = lastPacket("pos"), size = lastPacket("size");
    ASSERT_GT(pos, 0u);
    ASSERT_GT(size, 0u);
    const uint64_t middle = pos + size / 2;
    CommandOutput("head -c " + std::to_string(middle) + " '" + path + "' > '" + cut + "'");
    EXPECT_TRUE(ReadBack(cut, {sent[0], sent[1]}));
}

// Exports keep the frames whichever layout either side has: planes to a
// mosaic, and a mosaic to planes.
TEST(RecordBayerLayout, ExportsEitherWay)
{
    QTemporaryDir dir;
    const std::vector<std::string> sent = RecordPlanes(dir, "p.mkv", 2);
    ASSERT_EQ(sent.size(), 2u);
    const TarvikRun toMosaic = RunTarvik({"--play", "p.mkv", "--record", "m.mkv"}, {}, {}, dir.path());
    ASSERT_EQ(toMosaic.status, 0) << toMosaic.err.toStdString();
    EXPECT_EQ(LayoutTag(dir.filePath("m.mkv").toStdString()), "mosaic\n");
    EXPECT_TRUE(ReadBack(dir.filePath("m.mkv").toStdString(), sent));
    const TarvikRun toPlanes =
        RunTarvik({"--play", "m.mkv", "--record", "q.mkv", "--record-bayer", "planes", "--record-codec", "ffvhuff"},
                  {}, {}, dir.path());
    ASSERT_EQ(toPlanes.status, 0) << toPlanes.err.toStdString();
    EXPECT_EQ(LayoutTag(dir.filePath("q.mkv").toStdString()), "planes\n");
    EXPECT_TRUE(ReadBack(dir.filePath("q.mkv").toStdString(), sent));
}

}  // namespace
