// The built program run as a user would from a terminal without a display:
// its status and what it wrote, for tests of the command line.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

struct TarvikRun {
    int status = -1;  // -1: it did not finish in time, or crashed
    QByteArray out, err;
};

// This process's environment without a display or camera settings of its
// own, with TARVIK_SIM (none when empty) and TARVIK_CAMERAS (the simulated
// camera when empty).
inline QProcessEnvironment TarvikEnvironment(const QString& sim, const QString& cameras)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "TARVIK_CAMERAS", "TARVIK_SIM", "TARVIK_CAMERA_TRACE"})
        env.remove(name);
    if (!sim.isEmpty())
        env.insert("TARVIK_SIM", sim);
    if (!cameras.isEmpty())
        env.insert("TARVIK_CAMERAS", cameras);
    return env;
}

// sim, cameras: as TarvikEnvironment takes them; dir: the working folder
// (this one when empty).
inline TarvikRun RunTarvik(const QStringList& args, const QString& sim, const QString& cameras = {},
                           const QString& dir = {})
{
    QProcess p;
    p.setProcessEnvironment(TarvikEnvironment(sim, cameras));
    if (!dir.isEmpty())
        p.setWorkingDirectory(dir);
    p.start(TARVIK_EXE, args);
    TarvikRun r;
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit)
        r = {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
    return r;
}
