// The recording a window plays: Recording and RecordingExport.h behind the
// player's calls, and --play's window. Apart from the player so that the
// window's code and its tests do not need the readers.
#include "Player.h"

#include "app/Failures.h"
#include "platform/ui/Application.h"
#include "platform/ui/ViewerWindow.h"

#include <QApplication>
#include <QEventLoop>

#include <cstdio>

namespace {

class RecordingSource : public PlaySource {
public:
    bool Open(const std::string& path, std::string* error) { return recording_.Open(path, error); }

    std::string Path() const override { return recording_.Path(); }
    const imaging::SequenceShape& Shape() const override { return recording_.Reader().Shape(); }
    uint64_t FrameCount() const override { return recording_.FrameCount(); }
    bool Read(uint64_t index, imaging::ReadFrame* frame, std::string* error) override
    {
        if (recording_.Reader().Read(index, frame))
            return true;
        *error = recording_.Reader().Error();
        return false;
    }
    const std::vector<Mark>& Marks() const override { return recording_.Marks(); }
    std::optional<uint64_t> NextMark(uint64_t index, bool forward) const override
    {
        return recording_.NextMark(index, forward);
    }
    std::optional<uint64_t> Interval(uint64_t index) const override { return recording_.Interval(index); }
    uint64_t Step(uint64_t index, double seconds) const override { return recording_.Step(index, seconds); }
    std::string StatusText(uint64_t index) const override { return recording_.StatusText(index); }
    const std::vector<std::string>& Warnings() const override { return recording_.Warnings(); }
    bool SaveFrame(uint64_t index, const std::string& path, bool overwrite, std::string* error) override
    {
        return SaveRecordedFrame(recording_, index, path, overwrite, error);
    }
    bool Export(uint64_t first, uint64_t last, const ExportOptions& options, std::string* error) override
    {
        return ExportRange(recording_, first, last, options, error);
    }

private:
    // Reader() is not const in Recording; reading a frame's shape does not change it.
    mutable Recording recording_;
};

}  // namespace

std::unique_ptr<PlaySource> OpenPlaySource(const std::string& path, std::string* error)
{
    auto source = std::make_unique<RecordingSource>();
    if (!source->Open(path, error))
        return nullptr;
    return source;
}

int PlayInWindow(const std::string& path, int& argc, char** argv)
{
    if (!PlaySourceOpenerSet())
        SetPlaySourceOpener(&OpenPlaySource);
    // The recording first: a file that cannot be read says so with or
    // without a display.
    std::string error;
    std::unique_ptr<PlaySource> source = PlaySourceOpenerSet()(path, &error);
    if (!source) {
        std::fprintf(stderr, "tarvik: %s\n", error.c_str());
        return kExitNoFrame;
    }
    std::unique_ptr<ui::Application> platform;
    if (!qApp) {
        platform = std::make_unique<ui::Application>(argc, argv, "tarvik", TARVIK_VERSION, TARVIK_APP_ID);
        if (!platform->Ok())
            return kExitNoDisplay;
    }
    ui::ViewerWindow* window = PlayInNewWindow(nullptr, QRect(), std::move(source), &error);
    if (!window) {
        std::fprintf(stderr, "tarvik: %s\n", error.c_str());
        return kExitNoFrame;
    }
    if (Player* player = PlayerOf(window))
        for (const std::string& w : player->Source().Warnings())
            std::fprintf(stderr, "tarvik: %s\n", w.c_str());
    QEventLoop loop;
    QObject::connect(window, &QObject::destroyed, &loop, &QEventLoop::quit);
    loop.exec();
    return kExitSuccess;
}
