// `tarvik --check --play`: recordings the real program made, some changed on
// the disk afterwards (a frozen stretch, losses written into the CSV, an
// empty file), checked by the real program in each of the report's forms.
#include "RunTarvik.h"
#include "TempDir.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

namespace {

// What `promtool check metrics` says of text: its status and what it wrote.
std::pair<int, std::string> Promtool(const QByteArray& text)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("promtool", {"check", "metrics"});
    if (!p.waitForStarted())
        return {-1, "promtool cannot be run: scripts/deps.sh test installs it"};
    p.write(text);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000))
        return {-1, "promtool did not finish"};
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAll().toStdString()};
}

constexpr char kSim[] = "width=64,height=48,formats=Mono8,picture=soft";

struct Row {
    const char* name;
    const char* sim;     // the camera that records
    const char* record;  // the recording's name in the row's folder
    std::function<void(const std::string& path)> change;  // done to it afterwards
    QStringList options;  // beside --check --play PATH
    int status;
    std::vector<const char*> said;  // in standard output, or for status 4 in standard error
};

void Frozen(const std::string& dir)
{
    // Frames 11 to 20 (indexes 10 to 19) made copies of frame 10.
    for (int i = 11; i <= 20; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/frame-%06d.tiff", i);
        std::filesystem::copy_file(dir + "/frame-000010.tiff", dir + name,
                                   std::filesystem::copy_options::overwrite_existing);
    }
}

// The CSV's lines of frames kept, their ids and times made regular (10 ms
// apart), the lines of frames the camera lost while the machine was busy
// left out: a row's losses are the ones it writes.
void Regular(const std::string& csvPath)
{
    std::ifstream in(csvPath);
    std::string csv, line;
    for (int n = 0; std::getline(in, line); ++n) {
        if (n == 0 || line.empty() || line[0] == ',') {
            csv += n == 0 ? line + "\n" : "";
            continue;
        }
        const std::string index = line.substr(0, line.find(','));
        const uint64_t t = std::stoull(index) * 10000000;
        csv += index + "," + index + "," + std::to_string(t) + "," + std::to_string(1700000000000000000ull + t) +
               line.substr(line.find(",64,48,"));
        csv += "\n";
    }
    std::ofstream(csvPath, std::ios::trunc) << csv;
}

// Two ids skipped before frame 7 and a frame dropped before frame 12.
void Lost(const std::string& path)
{
    std::ifstream in(path + ".csv");
    std::string csv, line;
    for (int n = 0; std::getline(in, line); ++n) {
        if (n == 1 + 7)
            csv += ",900,,,,,,skipped\n,901,,,,,,skipped\n";
        if (n == 1 + 12)
            csv += ",,,,64,48,Mono8,dropped\n";
        csv += line + "\n";
    }
    std::ofstream(path + ".csv", std::ios::trunc) << csv;
}

TEST(PlayCheck, RecordingsCheckedAsACameraIs)
{
    const std::vector<Row> rows = {
        {"a clean recording passes", kSim, "clean.mkv", {}, {}, 0,
         {"ok    frozen", "ok    lost         no frame lost", "Verdict  ok"}},
        {"a still camera fails, every frame named", "width=64,height=48,formats=Mono8,picture=still", "still.mkv", {},
         {}, 6, {"Frames   frozen 0-19", "fail  frozen       20 frames", "Verdict  fail"}},
        {"a frozen stretch in a folder", kSim, "dir/", Frozen, {}, 6,
         {"Frames   frozen 9-19", "fail  frozen       11 frames in stretches that repeat a frame: 9-19"}},
        {"losses in the CSV", kSim, "lost.mkv", Lost, {}, 6,
         {"Stream   20 frames asked: 20 complete, 0 incomplete, 0 timed out, 2 dropped",
          "fail  lost         2 ids skipped by the camera, 1 frames dropped by Tarvik, 0 refused, 0 not written; "
          "before frames 7, 12",
          "Frames   lost 7, 12"}},
        {"incomplete frames", "width=64,height=48,formats=Mono8,picture=soft,frames=incomplete", "part.mkv", {}, {},
         6, {"fail  completeness 20 of 20 frames incomplete", "incomplete 0-19"}},
        {"no CSV: timing unknown, pictures judged", kSim, "bare.mkv",
         [](const std::string& p) { std::filesystem::remove(p + ".csv"); }, {}, 0,
         {"ok    lost         no CSV", "interval median unknown"}},
        {"a recording cut short warns once", kSim, "cut.mkv",
         [](const std::string& p) { std::filesystem::resize_file(p, std::filesystem::file_size(p) * 6 / 10); }, {}, 0,
         {"warn  file         the file ends early (a recording cut or killed): its "}},
        {"a CSV that is not ours warns", kSim, "foreign.mkv",
         [](const std::string& p) { std::ofstream(p + ".csv", std::ios::trunc) << "a,b\n1,2\n"; }, {}, 0,
         {"warn  file         ", "does not start with the header"}},
        {"an empty file", kSim, "empty.mkv", [](const std::string& p) { std::ofstream(p, std::ios::trunc); }, {}, 4,
         {"the file is empty"}},
        {"JSON names the failed frames", kSim, "json.mkv", Lost, {"--json"}, 6,
         {"\"check\": \"lost\"", "\"frames_dropped_by_tarvik\": 1"}},
        {"Prometheus counts them", kSim, "prom.mkv", Lost, {"--prometheus"}, 6,
         {"tarvik_recording_failed_frames{check=\"lost\"} 2", "tarvik_check_verdict"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        harness::TempDir dir;
        const std::string path = dir / row.record;
        const TarvikRun made =
            RunTarvik({"--record", QString::fromStdString(path), "--frames", "20"}, row.sim);
        ASSERT_EQ(made.status, 0) << made.err.toStdString();
        if (std::filesystem::exists(path + ".csv"))
            Regular(path + ".csv");
        else if (std::filesystem::exists(path + "frames.csv"))
            Regular(path + "frames.csv");
        if (row.change)
            row.change(path.back() == '/' ? path.substr(0, path.size() - 1) : path);
        const TarvikRun r = RunTarvik(QStringList{"--check", "--play", QString::fromStdString(path)} + row.options, {});
        EXPECT_EQ(r.status, row.status) << r.out.toStdString() << r.err.toStdString();
        const std::string out = (row.status == 4 ? r.err : r.out).toStdString();
        for (const char* s : row.said)
            EXPECT_NE(out.find(s), std::string::npos) << s << "\n" << out;
        if (row.options.contains("--json")) {
            const QJsonObject report = QJsonDocument::fromJson(r.out).object();
            const QJsonArray failed =
                report["cameras"].toArray()[0].toObject()["recording"].toObject()["failed_frames"].toArray();
            ASSERT_EQ(failed.size(), 2);
            EXPECT_EQ(failed[1].toObject()["first"].toInt(), 12);
            EXPECT_EQ(report["verdict"].toString(), "fail");
        }
        if (row.options.contains("--prometheus")) {
            const auto [status, said] = Promtool(r.out);
            EXPECT_EQ(status, 0) << said;
            EXPECT_EQ(said, "");
        }
    }
}

TEST(PlayCheck, OptionsThatAskForACameraAreRefused)
{
    for (const QStringList& options : {QStringList{"--all"}, QStringList{"--trigger", "software"}}) {
        const TarvikRun r = RunTarvik(QStringList{"--check", "--play", "x.mkv"} + options, {});
        EXPECT_EQ(r.status, 64) << options.join(' ').toStdString();
        EXPECT_NE(r.err.indexOf("does not go with --check --play"), -1) << r.err.toStdString();
    }
}

}  // namespace
