// Trigger to frame, as a user measures it: tarvik --check --trigger software
// at 100 triggers a second on the simulated camera, 1292 x 964 Mono8, read
// back from its JSON report. The camera's own minimum is its exposure plus
// the readout at its link's rate (rate=250: 4 ms a frame, so that 100
// triggers a second fit); what the median takes beyond it is what Tarvik
// adds, to be at most 1 ms. One run.
#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <cstdio>

int main()
{
    const char* sim = "width=1292,height=964,formats=Mono8,rate=250";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("TARVIK_CAMERAS");
    env.insert("TARVIK_SIM", sim);
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(TARVIK_EXE, {"--check", "--json", "--trigger", "software", "--trigger-rate", "100", "--frames", "1000",
                         "--set", "ExposureTime=1000"});
    if (!p.waitForFinished(120000)) {
        std::printf("%s: the check did not finish\n", sim);
        return 1;
    }
    const QJsonObject t = QJsonDocument::fromJson(p.readAllStandardOutput())["cameras"][0]["trigger"].toObject();
    const double own = t["frame_time_ms"].toDouble(), median = t["latency_median_ms"].toDouble(),
                 p99 = t["latency_p99_ms"].toDouble(), largest = t["latency_max_ms"].toDouble();
    std::printf("%s, ExposureTime 1000 us, 100 triggers/s: %d sent, %d answered, %d missed, %d extra\n", sim,
                t["sent"].toInt(), t["answered"].toInt(), t["missed"].toInt(), t["extra_frames"].toInt());
    std::printf("  camera's own minimum %.3f ms; latency median %.3f ms (%.3f x), 99th percentile %.3f ms (%.3f x), "
                "largest %.3f ms\n",
                own, median, median / own, p99, p99 / own, largest);
    std::printf("  Tarvik adds %.3f ms at the median (target <= 1 ms): %s\n", median - own,
                median - own <= 1 ? "met" : "NOT met");
    return 0;
}
