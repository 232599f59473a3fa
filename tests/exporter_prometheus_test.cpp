// A real Prometheus server (Debian's) scraping two stations of tarvik
// --serve after the multi-target pattern, with the shipped alert rules:
// what it stores and which alerts fire. Everything on 127.0.0.1, every
// process ended by its PID.
#include "ServeTarvik.h"
#include "TempDir.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <fstream>
#include <cmath>
#include <regex>
#include <set>
#include <sstream>

namespace {

// The shipped rules with every `for:` at 0s, so that they fire at the first evaluation.
bool CopyRulesFiringAtOnce(const std::string& to)
{
    std::ifstream in(TARVIK_SOURCE_DIR "/res/monitoring/tarvik-alerts.yml");
    std::stringstream text;
    text << in.rdbuf();
    std::ofstream out(to);
    out << std::regex_replace(text.str(), std::regex(R"(\bfor: *\S+)"), "for: 0s");
    return in.good() && out.good() && !text.str().empty();
}

class Prometheus {
public:
    ~Prometheus()
    {
        if (process_.state() != QProcess::NotRunning) {
            ::kill(pid_t(process_.processId()), SIGTERM);
            if (!process_.waitForFinished(10000))
                ::kill(pid_t(process_.processId()), SIGKILL);
            process_.waitForFinished(5000);
        }
    }
    void Start(const std::string& config, const std::string& storage)
    {
        port_ = serve::FreePort();
        ASSERT_GT(port_, 0);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start("/usr/bin/prometheus",
                       {"--config.file=" + QString::fromStdString(config),
                        "--storage.tsdb.path=" + QString::fromStdString(storage),
                        QString("--web.listen-address=127.0.0.1:%1").arg(port_), "--log.level=warn"});
        ASSERT_TRUE(process_.waitForStarted(10000));
        ASSERT_SOON_WITHIN(serve::Get(port_, "/-/ready").status == 200, 20000)
            << process_.readAll().toStdString();
    }
    // The API's data for a path, or an empty object.
    QJsonObject Api(const std::string& path) const
    {
        const serve::Answer a = serve::Get(port_, path);
        return QJsonDocument::fromJson(QByteArray::fromStdString(a.body)).object();
    }
    // The value of an instant query's only series; NaN unless there is one.
    double Value(const std::string& query) const
    {
        const QByteArray q = QUrl::toPercentEncoding(QString::fromStdString(query));
        const QJsonArray result = Api("/api/v1/query?query=" + q.toStdString())["data"].toObject()["result"].toArray();
        if (result.size() != 1)
            return std::nan("");
        return result[0]["value"][1].toString().toDouble();
    }
    // Cameras (station:camera) whose alert of this name is firing.
    std::set<std::string> Firing(const std::string& alert) const
    {
        std::set<std::string> out;
        for (const QJsonValue a : Api("/api/v1/alerts")["data"].toObject()["alerts"].toArray()) {
            const QJsonObject labels = a["labels"].toObject();
            if (labels["alertname"].toString().toStdString() == alert && a["state"].toString() == "firing")
                out.insert(labels["station"].toString().toStdString() + ":" +
                           labels["camera"].toString().toStdString());
        }
        return out;
    }

private:
    QProcess process_;
    int port_ = -1;
};

TEST(ExporterPrometheus, StoresVerdictsAndFiresTheAlert)
{
    harness::TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    // Two stations: one whose camera is healthy, one whose camera sends
    // incomplete frames; the first is also asked for a camera it lacks.
    serve::Tarvik good, bad;
    // A rate that sags on a busy test machine is no fault here.
    ASSERT_NO_FATAL_FAILURE(good.Start({"--max-rate-shortfall", "100"}, "picture=soft,rate=50"));
    ASSERT_NO_FATAL_FAILURE(bad.Start({}, "picture=soft,rate=50,frames=incomplete"));
    ASSERT_TRUE(CopyRulesFiringAtOnce(dir / "alerts.yml"));
    {
        std::ofstream config(dir / "prometheus.yml");
        config << "global:\n"
                  "  scrape_interval: 1s\n"
                  "  scrape_timeout: 1s\n"
                  "  evaluation_interval: 1s\n"
                  "rule_files: ['"
               << (dir / "alerts.yml")
               << "']\n"
                  "scrape_configs:\n"
                  "  - job_name: tarvik\n"
                  "    metrics_path: /probe\n"
                  "    params: {frames: ['5']}\n"
                  "    static_configs:\n"
                  "      - targets: [sim-0, no-such-camera]\n"
                  "        labels: {station: good, __exporter: '127.0.0.1:"
               << good.Port()
               << "'}\n"
                  "      - targets: [sim-0]\n"
                  "        labels: {station: bad, __exporter: '127.0.0.1:"
               << bad.Port()
               << "'}\n"
                  "    relabel_configs:\n"
                  "      - source_labels: [__address__]\n"
                  "        target_label: __param_camera\n"
                  "      - source_labels: [__param_camera]\n"
                  "        target_label: camera\n"
                  "      - source_labels: [__exporter]\n"
                  "        target_label: __address__\n";
        ASSERT_TRUE(config.good());
    }
    Prometheus prometheus;
    ASSERT_NO_FATAL_FAILURE(prometheus.Start(dir / "prometheus.yml", dir / "data"));

    struct Row {
        const char* query;
        double value;
    } rows[] = {
        {"tarvik_probe_success{station='good',camera='sim-0'}", 1},
        {"tarvik_check_verdict{station='good',camera='sim-0'}", 0},
        {"tarvik_probe_success{station='bad',camera='sim-0'}", 1},
        {"tarvik_check_verdict{station='bad',camera='sim-0'}", 2},
        {"tarvik_stream_frames{station='bad',camera='sim-0',state='incomplete'} > 0", 5},
        {"tarvik_stream_frames{station='good',camera='sim-0',state='completed'}", 5},
        {"tarvik_stream_frames{station='good',camera='sim-0',state='incomplete'}", 0},
        {"tarvik_check_level{station='bad',camera='sim-0',check='completeness'}", 2},
        {"tarvik_probe_success{station='good',camera='no-such-camera'}", 0},
        {"tarvik_check_level{station='good',camera='no-such-camera',check='open'}", 2},
        {"up{station='good',camera='no-such-camera'}", 1},
    };
    for (const Row& row : rows)
        ASSERT_SOON_WITHIN(prometheus.Value(row.query) == row.value, 15000) << row.query << " is "
                                                                             << prometheus.Value(row.query);
    const std::set<std::string> failing = {"bad:sim-0", "good:no-such-camera"};
    ASSERT_SOON_WITHIN(prometheus.Firing("TarvikCameraCheckFailing") == failing, 10000);
    // The scrape's time-out (1 s) bounded every probe.
    EXPECT_LT(prometheus.Value("max(max_over_time(scrape_duration_seconds{job='tarvik'}[1m]))"), 1.0);
    EXPECT_EQ(good.Stop(), 0);
    EXPECT_EQ(bad.Stop(), 0);
}

}  // namespace
