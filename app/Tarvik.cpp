// Program entry: reads the command line, then either does what it asks
// without a window or connects to the display and runs the application object.
#include "Tarvik.h"

#include "CommandLine.h"
#include "Failures.h"
#include "StopSignals.h"
#include "TarvikDlg.h"
#include "record/RecordCommand.h"
#include "viewer/Player.h"
#include "platform/ui/Application.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

CTarvikApp theApp;

namespace {
// Where the window and the viewer keep their places (QSettings).
const char* const kSettingsKey = "应用程序向导生成的本地应用程序";
}  // namespace

// Restart-manager support, the help command and the common-controls set-up of
// the original desktop have no counterpart with Qt and are left out.
CTarvikApp::CTarvikApp() = default;

bool CTarvikApp::InitInstance()
{
    ui::Application::SetSettingsKey(kSettingsKey);

    CTarvikDlg dlg(m_openOptions, m_live, m_record);
    dlg.SetTriggerRate(m_triggerRate);
    if (m_inspect)
        dlg.OpenViewerOnceShown();
    m_pMainWnd = &dlg;
    // The stop signals, blocked since before Qt started its threads, are
    // taken on the window's thread between its events: a recording then
    // ends whole, as on the command line.
    const sigset_t stop = StopSignals();
    const int stopFd = signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC);
    std::unique_ptr<QSocketNotifier> notifier;
    if (stopFd >= 0) {
        notifier = std::make_unique<QSocketNotifier>(stopFd, QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, [&] {
            signalfd_siginfo info{};
            if (read(stopFd, &info, sizeof info) != ssize_t(sizeof info))
                return;
            notifier->setEnabled(false);
            dlg.CloseBySignal(int(info.ssi_signo));
        });
    } else {
        ReleaseStopSignals();  // as before: they end the program where it is
    }
    dlg.DoModal();
    notifier.reset();
    if (stopFd >= 0)
        close(stopFd);
    m_pMainWnd = nullptr;
    return false;
}

int main(int argc, char** argv)
{
    OpenStandardDescriptors();
    const CommandLine commandLine = ParseCommandLine(argc, argv);
    switch (commandLine.mode) {
    case CommandLine::Mode::Usage:
        return ShowUsageError(commandLine.error);
    case CommandLine::Mode::SettingsRefused:
        return ShowSettingsRefused(commandLine.error);
    case CommandLine::Mode::Help:
        return ShowHelp();
    case CommandLine::Mode::Version:
        return ShowVersion();
    case CommandLine::Mode::List:
        return ListCameras();
    case CommandLine::Mode::Grab: {
        // No window: a core application only, which loads no display plugin.
        QCoreApplication core(argc, argv);
        return GrabToFile(commandLine.open, commandLine.grab);
    }
    case CommandLine::Mode::Check: {
        QCoreApplication core(argc, argv);
        return CheckCameras(commandLine.open, commandLine.check);
    }
    case CommandLine::Mode::Record: {
        QCoreApplication core(argc, argv);
        return RecordToFile(commandLine.open, commandLine.record);
    }
    case CommandLine::Mode::Serve: {
        QCoreApplication core(argc, argv);
        return ServeCameras(commandLine.open, commandLine.serve, commandLine.check.options);
    }
    case CommandLine::Mode::Network: {
        QCoreApplication core(argc, argv);
        return NetworkCamera(commandLine.open, commandLine.network);
    }
    case CommandLine::Mode::Features: {
        QCoreApplication core(argc, argv);
        return ShowFeatures(commandLine.open, commandLine.settings);
    }
    case CommandLine::Mode::Play:
        if (!commandLine.play.exportRange && !commandLine.play.saveFrame) {
            ui::Application::SetSettingsKey(kSettingsKey);
            return PlayInWindow(commandLine.play.path, argc, argv);
        }
        {
            QCoreApplication core(argc, argv);
            return KeepFromRecording(commandLine.play, commandLine.record, commandLine.grab);
        }
    case CommandLine::Mode::ForceIp:
        return ForceIpAddress(commandLine.forceIp);
    case CommandLine::Mode::Window:
        break;
    }
    if (!commandLine.record.path.empty()) {
        // As on the command line: a recording never replaces a file by mistake.
        const RecordCommand& r = commandLine.record;
        std::string error;
        Recorder::BeginError kind = Recorder::BeginError::None;
        if (!Recorder::CheckTarget(r.path, r.overwrite, &kind, &error)) {
            std::fprintf(stderr, "tarvik: %s\n", error.c_str());
            return kind == Recorder::BeginError::Exists ? kExitUsage : kExitNotWritten;
        }
        Recorder::Options options;
        options.path = r.path;
        options.overwrite = r.overwrite;
        options.bufferBytes = r.bufferBytes;
        options.sequence.frameFileFormat = r.frameFileFormat;
        options.sequence.codec = r.codec;  // none: ffv1, as the window's own recordings
        options.sequence.bayerPlanes = r.bayerPlanes;
        theApp.m_record = options;
    }
    // Before Qt starts a thread, so that every thread inherits the mask.
    BlockStopSignals();
    ui::Application platform(argc, argv, "tarvik", TARVIK_VERSION, TARVIK_APP_ID);
    if (!platform.Ok())
        return kExitNoDisplay;
    theApp.m_openOptions = commandLine.open;
    theApp.m_live = commandLine.live.start;
    theApp.m_triggerRate = commandLine.live.triggerRate;
    theApp.m_inspect = commandLine.inspect;
    // "Open recording…" and drops read recordings through the readers.
    SetPlaySourceOpener(&OpenPlaySource);
    theApp.InitInstance();
    return kExitSuccess;
}
