// Playing a recording in the viewer window: the frame shown, play and pause
// at the recorded pace, stepping by frames, seconds and marks, the in..out
// range, and keeping a frame or the range; the window's keys, its timeline
// and its status line for a recording. `tarvik --play PATH` and the dialog's
// "Open recording…" and drops all come here.
#pragma once

#include "app/play/Recording.h"
#include "app/play/RecordingExport.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QTimer;
class QWidget;
namespace ui {
class Timeline;
class ViewerWindow;
}  // namespace ui

// What playback reads: an opened recording (OpenPlaySource), or a fake in
// tests. The calls are Recording's and RecordingExport.h's.
class PlaySource {
public:
    virtual ~PlaySource() = default;
    virtual std::string Path() const = 0;
    virtual const imaging::SequenceShape& Shape() const = 0;
    virtual uint64_t FrameCount() const = 0;
    // False with *error when frame index cannot be read (the file is damaged there).
    virtual bool Read(uint64_t index, imaging::ReadFrame* frame, std::string* error) = 0;
    virtual const std::vector<Mark>& Marks() const = 0;
    virtual std::optional<uint64_t> NextMark(uint64_t index, bool forward) const = 0;
    virtual std::optional<uint64_t> Interval(uint64_t index) const = 0;
    virtual uint64_t Step(uint64_t index, double seconds) const = 0;
    virtual std::string StatusText(uint64_t index) const = 0;
    virtual const std::vector<std::string>& Warnings() const = 0;
    virtual bool SaveFrame(uint64_t index, const std::string& path, bool overwrite, std::string* error) = 0;
    virtual bool Export(uint64_t first, uint64_t last, const ExportOptions& options, std::string* error) = 0;
};

// The recording at path, opened; null with *error in words when no frame of
// it can be shown.
std::unique_ptr<PlaySource> OpenPlaySource(const std::string& path, std::string* error);
// What the windows open recordings with: OpenPlaySource, set by the program
// at its start (it lives with the command line, beside the readers), a fake
// in tests. Until set, opening says recordings cannot be read.
using PlaySourceOpener = std::unique_ptr<PlaySource> (*)(const std::string& path, std::string* error);
void SetPlaySourceOpener(PlaySourceOpener opener);
PlaySourceOpener PlaySourceOpenerSet();

// The playback of one recording in one viewer window; a child of the window,
// gone with it.
class Player : public QObject {
public:
    Player(std::unique_ptr<PlaySource> source, ui::ViewerWindow* window);
    ~Player() override;

    PlaySource& Source() { return *source_; }
    ui::ViewerWindow* Window() const { return window_; }
    ui::Timeline* Timeline() const { return timeline_; }

    uint64_t Index() const { return index_; }
    // Shows frame index (clamped to the recording); false when it cannot be
    // read: the window then says why in place of a picture, and the place
    // moves there all the same, so that the next step goes past it.
    bool Show(uint64_t index);
    void StepFrames(int64_t frames);  // negative: back
    void StepSeconds(double seconds);
    void Home();
    void End();
    void NextMark(bool forward);

    // Plays from the frame shown at the recorded pace (or as fast as frames
    // decode when fastest), stopping at the last frame.
    void Play();
    void Pause();
    void PlayPause() { Playing() ? Pause() : Play(); }
    bool Playing() const { return playing_; }
    void SetFastest(bool fastest);
    bool Fastest() const { return fastest_; }

    // The in and out marks at the frame shown; the range they make (each
    // end missing: the first or last frame), in order whichever came first.
    void MarkIn();
    void MarkOut();
    std::optional<uint64_t> In() const { return in_; }
    std::optional<uint64_t> Out() const { return out_; }
    std::pair<uint64_t, uint64_t> Range() const;

    // The status line: the source's words for the frame shown, playback's
    // state, the in..out range and what opening warned about.
    std::string Status() const;

    // Ctrl+S, Ctrl+C and Ctrl+E: asked where in a file dialog; a failure in
    // a message box.
    void SaveFrameAsked();
    void CopyFrame();
    void ExportAsked();
    // The same without asking: an empty string when done, else why not.
    std::string SaveFrameTo(const std::string& path, bool overwrite);
    std::string ExportTo(const std::string& path, bool overwrite);
    // While an export runs: a progress box whose Cancel stops it.
    bool Exporting() const { return exporting_; }

protected:
    // While an export runs, closing the window cancels it and closes the
    // window once the export has stopped (it reads the recording the window holds).
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Keys();
    void Tick();
    void ScheduleNext();
    void ShowFailure(const std::string& title, const std::string& message);

    std::unique_ptr<PlaySource> source_;
    ui::ViewerWindow* window_;
    ui::Timeline* timeline_ = nullptr;
    QCheckBox* fastestBox_ = nullptr;
    QTimer* playTimer_ = nullptr;
    uint64_t index_ = 0;
    std::string readFailure_;  // the frame last asked for could not be read
    bool playing_ = false, fastest_ = false;
    int64_t due_ = 0;  // steady clock, ns: when the next frame is due while playing
    std::optional<uint64_t> in_, out_;
    bool exporting_ = false;
    std::atomic<bool>* cancelExport_ = nullptr;
    bool closeAfterExport_ = false;
};

// The player of a window OpenRecordingWindow made; null for other windows.
Player* PlayerOf(const QObject* window);

// A viewer window of its own playing the recording at path, beside owner
// (a child window of it when given; screen coordinates, frame included).
// Null, with *error, when it cannot be opened. Deleted when closed.
ui::ViewerWindow* OpenRecordingWindow(QWidget* parent, const QRect& owner, const std::string& path,
                                      std::string* error);
// The same with source opened already.
ui::ViewerWindow* PlayInNewWindow(QWidget* parent, const QRect& owner, std::unique_ptr<PlaySource> source,
                                  std::string* error);
// The same, a failure said in a message box over parent.
ui::ViewerWindow* OpenRecordingAsked(QWidget* parent, const QRect& owner, const std::string& path);

// `tarvik --play PATH`: the recording in the viewer window alone (no dialog,
// no camera), connecting to the display (with argc and argv) unless the
// process has its application already. The exit status once the window is
// closed; a recording that cannot be opened: a line on stderr and
// kExitNoFrame, before the display is asked for; no display: kExitNoDisplay.
// Opens with PlaySourceOpenerSet(), OpenPlaySource when none was set.
int PlayInWindow(const std::string& path, int& argc, char** argv);
