// The health check end to end, as a user runs it: tarvik --check on the
// simulated camera at 20 megapixels x 30 frames/s and at 1292 x 964 x 500
// frames/s, read back from its JSON report. Every frame should complete with
// no underrun (no picture lost for want of a queued frame). One run each.
#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <cstdio>

int main()
{
    const struct {
        const char* sim;
        const char* frames;
    } runs[] = {
        {"width=5472,height=3648,formats=BayerRG8,rate=30", "150"},
        {"width=1292,height=964,formats=Mono8,rate=500", "2500"},
    };
    for (const auto& run : runs) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("TARVIK_CAMERAS");
        env.insert("TARVIK_SIM", run.sim);
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(TARVIK_EXE, {"--check", "--json", "--frames", run.frames});
        if (!p.waitForFinished(120000)) {
            std::printf("%s: the check did not finish\n", run.sim);
            return 1;
        }
        const QJsonObject c = QJsonDocument::fromJson(p.readAllStandardOutput())["cameras"][0].toObject();
        const QJsonObject s = c["stream"].toObject();
        std::printf(
            "%s, %s frames: %d complete, %d incomplete, %d dropped, n_underruns %d;\n"
            "  %.1f frames/s measured for %.1f asked, %.0f MB/s, %d frames analysed; verdict %s\n",
            run.sim, run.frames, s["frames_completed"].toInt(), s["frames_incomplete"].toInt(),
            s["frames_dropped"].toInt(), c["counters"]["n_underruns"].toInt(), s["measured_rate"].toDouble(),
            s["camera_rate"].toDouble(), s["megabytes_per_second"].toDouble(), c["picture"]["frames_analysed"].toInt(),
            c["verdict"].toString().toUtf8().constData());
    }
    return 0;
}
