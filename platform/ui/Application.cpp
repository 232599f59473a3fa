// Starts Qt, turning "cannot open the display" into a message and exit status 1
// instead of Qt's abort.
#include "Application.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace ui {

struct Application::Impl {
    std::unique_ptr<QApplication> app;
};

static const char* g_programName = "tarvik";

// While the platform plugin starts, its first warning usually names the
// cause ("could not connect to display :1"); the fatal message that follows
// only says that no plugin could start.
static QString g_firstWarning;

static void StartupMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtFatalMsg) {
        if (g_firstWarning.isEmpty())
            g_firstWarning = text.section('\n', 0, 0);
        return;
    }
    const QString cause = g_firstWarning.isEmpty() ? text.section('\n', 0, 0) : g_firstWarning;
    std::fprintf(stderr, "%s: cannot open a display: %s\n", g_programName,
                 cause.toLocal8Bit().constData());
    std::fflush(stderr);
    _exit(1);
}

static bool Set(const char* name)
{
    const char* v = std::getenv(name);
    return v && *v;
}

Application::Application(int& argc, char** argv, const char* programName, const char* version,
                         const char* desktopId)
    : d_(std::make_unique<Impl>())
{
    g_programName = programName;
    if (!Set("QT_QPA_PLATFORM") && !Set("DISPLAY") && !Set("WAYLAND_DISPLAY")) {
        std::fprintf(stderr, "%s: no display available (DISPLAY and WAYLAND_DISPLAY are not set)\n",
                     programName);
        return;
    }
    QtMessageHandler previous = qInstallMessageHandler(StartupMessageHandler);
    d_->app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previous);
    QApplication::setApplicationName(QString::fromUtf8(programName));
    QApplication::setApplicationVersion(QString::fromUtf8(version));
    QGuiApplication::setDesktopFileName(QString::fromUtf8(desktopId));
}

Application::~Application() = default;

bool Application::Ok() const { return d_->app != nullptr; }

void Application::SetSettingsKey(const char* utf8)
{
    QApplication::setOrganizationName(QString::fromUtf8(utf8));
}

void HandlePaintingWhileBusy()
{
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers);
}

void HandleHeldInputSoon()
{
    // The X11 plugin keeps input held back by HandlePaintingWhileBusy in a
    // list of its own that the event loop does not count as waiting: without
    // this it would wait for the next event from the X server (the mouse
    // moved), an Esc pressed meanwhile doing nothing until then.
    QMetaObject::invokeMethod(
        qApp, [] { QCoreApplication::processEvents(); }, Qt::QueuedConnection);
}

WaitCursor::WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }

WaitCursor::~WaitCursor() { QApplication::restoreOverrideCursor(); }

}  // namespace ui
