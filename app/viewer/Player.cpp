// Playback of a recording in the viewer window: frames read on the window's
// thread one at a time (a step, a tick of play), so that memory holds the
// frame shown and the one being read, whatever the recording's length.
#include "Player.h"

#include "app/Failures.h"
#include "platform/imaging/convert/PixelConvert.h"
#include "platform/ui/PictureDialog.h"
#include "platform/ui/Timeline.h"
#include "platform/ui/ViewerWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QShortcut>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

PlaySourceOpener g_opener = nullptr;

// A recording without any time for a frame is played at this pace.
constexpr int64_t kUntimedIntervalNs = 40'000'000;
// Play that falls further behind than this (frames decode slower than they
// were recorded) goes on from now rather than rushing to catch up.
constexpr int64_t kMostBehindNs = 500'000'000;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString Q(const std::string& s) { return QString::fromUtf8(s.c_str()); }

QColor MarkColour(Mark::Kind kind)
{
    switch (kind) {
    case Mark::Skipped: return QColor(230, 140, 0);
    case Mark::Dropped: return QColor(210, 30, 30);
    case Mark::Incomplete: return QColor(160, 40, 200);
    case Mark::Refused: return QColor(90, 60, 20);
    case Mark::LongInterval: return QColor(30, 110, 220);
    }
    return Qt::black;
}

std::string BaseName(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const size_t slash = p.rfind('/');
    std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}


}  // namespace

void SetPlaySourceOpener(PlaySourceOpener opener) { g_opener = opener; }

PlaySourceOpener PlaySourceOpenerSet() { return g_opener; }

// ---- the controller ---------------------------------------------------------------------

Player::Player(std::unique_ptr<PlaySource> source, ui::ViewerWindow* window)
    : QObject(window), source_(std::move(source)), window_(window)
{
    auto* strip = new QWidget;
    strip->setObjectName("playStrip");
    auto* row = new QHBoxLayout(strip);
    row->setContentsMargins(0, 0, 0, 0);
    timeline_ = new ui::Timeline(strip);
    timeline_->SetCount(source_->FrameCount());
    std::vector<ui::Timeline::Tick> ticks;
    ticks.reserve(source_->Marks().size());
    for (const Mark& m : source_->Marks())
        ticks.push_back({m.index, MarkColour(m.kind)});
    timeline_->SetTicks(std::move(ticks));
    timeline_->setToolTip("Click or drag to go to a frame (N and P: the next and previous tick). Ticks: skipped "
                          "frame ids orange, dropped frames red, incomplete purple, refused brown, long intervals "
                          "blue; the in..out range (I, O) shaded");
    timeline_->OnSeek([this](uint64_t index) {
        Pause();
        Show(index);
    });
    row->addWidget(timeline_, 1);
    fastestBox_ = new QCheckBox("Fastest", strip);
    fastestBox_->setObjectName("fastest");
    fastestBox_->setFocusPolicy(Qt::NoFocus);
    fastestBox_->setToolTip("Play as fast as frames decode rather than at the recorded pace (F)");
    connect(fastestBox_, &QCheckBox::toggled, this, [this](bool on) { SetFastest(on); });
    row->addWidget(fastestBox_);
    window_->AddStrip(strip);

    playTimer_ = new QTimer(this);
    playTimer_->setSingleShot(true);
    playTimer_->setTimerType(Qt::PreciseTimer);
    connect(playTimer_, &QTimer::timeout, this, [this] { Tick(); });

    window_->ArrowsStepFrames();
    window_->installEventFilter(this);
    Keys();
    window_->SetStatusSource([this] { return Status(); });
}

Player::~Player() = default;

void Player::Keys()
{
    const auto key = [this](QKeySequence keys, auto slot) {
        auto* shortcut = new QShortcut(keys, window_);
        shortcut->setContext(Qt::WindowShortcut);
        shortcut->setAutoRepeat(true);
        connect(shortcut, &QShortcut::activated, this, slot);
    };
    key(QKeySequence(Qt::Key_Space), [this] { PlayPause(); });
    key(QKeySequence(Qt::Key_Right), [this] { StepFrames(1); });
    key(QKeySequence(Qt::Key_Left), [this] { StepFrames(-1); });
    key(QKeySequence(Qt::Key_PageDown), [this] { StepSeconds(1); });
    key(QKeySequence(Qt::Key_PageUp), [this] { StepSeconds(-1); });
    key(QKeySequence(Qt::Key_Home), [this] { Home(); });
    key(QKeySequence(Qt::Key_End), [this] { End(); });
    key(QKeySequence(Qt::Key_N), [this] { NextMark(true); });
    key(QKeySequence(Qt::Key_P), [this] { NextMark(false); });
    key(QKeySequence(Qt::Key_I), [this] { MarkIn(); });
    key(QKeySequence(Qt::Key_O), [this] { MarkOut(); });
    key(QKeySequence(Qt::Key_F), [this] { fastestBox_->toggle(); });
    key(QKeySequence::Save, [this] { SaveFrameAsked(); });
    key(QKeySequence::Copy, [this] { CopyFrame(); });
    key(QKeySequence(Qt::ControlModifier | Qt::Key_E), [this] { ExportAsked(); });
}

bool Player::Show(uint64_t index)
{
    const uint64_t count = source_->FrameCount();
    if (count == 0)
        return false;
    index = std::min(index, count - 1);
    index_ = index;
    timeline_->SetPosition(index);
    imaging::ReadFrame frame;
    std::string error;
    if (!source_->Read(index, &frame, &error)) {
        // The place moves on all the same, so that the next step passes the damage.
        readFailure_ = "frame " + std::to_string(index) + " cannot be read: " + error;
        window_->ClearFrame("Frame " + std::to_string(index) + " cannot be read: " + error);
        window_->ShowStatus();
        return false;
    }
    readFailure_.clear();
    const imaging::SequenceShape& shape = source_->Shape();
    window_->SetFrame({frame.data, frame.size, shape.width, shape.height, shape.format ? shape.format->name : ""},
                      frame.keep ? frame.keep : std::shared_ptr<const void>());
    // The histogram and focus follow at the window's own pace (a few times a
    // second), so that a step costs the frame's decoding and drawing only.
    window_->ShowStatus();
    return true;
}

void Player::StepFrames(int64_t frames)
{
    Pause();
    const uint64_t count = source_->FrameCount();
    if (count == 0)
        return;
    uint64_t to = index_;
    if (frames < 0)
        to = uint64_t(-frames) > index_ ? 0 : index_ - uint64_t(-frames);
    else
        to = std::min(count - 1, index_ + uint64_t(frames));
    Show(to);
}

void Player::StepSeconds(double seconds)
{
    Pause();
    Show(source_->Step(index_, seconds));
}

void Player::Home()
{
    Pause();
    Show(0);
}

void Player::End()
{
    Pause();
    Show(source_->FrameCount() ? source_->FrameCount() - 1 : 0);
}

void Player::NextMark(bool forward)
{
    Pause();
    if (const std::optional<uint64_t> mark = source_->NextMark(index_, forward))
        Show(*mark);
}

void Player::Play()
{
    const uint64_t count = source_->FrameCount();
    if (playing_ || count == 0)
        return;
    // From the start again once at the end, as a player does.
    if (index_ + 1 >= count)
        Show(0);
    playing_ = true;
    due_ = NowNs();
    ScheduleNext();
}

void Player::ScheduleNext()
{
    // The frame shown stays for its interval, then the next one comes.
    const int64_t now = NowNs();
    if (fastest_) {
        due_ = now;
    } else {
        const std::optional<uint64_t> interval = source_->Interval(index_);
        due_ += interval ? int64_t(std::min<uint64_t>(*interval, uint64_t(INT32_MAX) * 1'000'000))
                         : kUntimedIntervalNs;
        if (now - due_ > kMostBehindNs)
            due_ = now;
    }
    // Always through the event loop, so that keys (Space to pause) and
    // painting come between frames, also when playing as fast as it can.
    playTimer_->start(int(std::max<int64_t>(0, due_ - now) / 1'000'000));
}

void Player::Tick()
{
    if (!playing_)
        return;
    Show(index_ + 1);
    if (index_ + 1 >= source_->FrameCount())
        Pause();
    else
        ScheduleNext();
}

void Player::Pause()
{
    if (!playing_)
        return;
    playing_ = false;
    playTimer_->stop();
    window_->ShowStatus();
}

void Player::SetFastest(bool fastest)
{
    fastest_ = fastest;
    if (fastestBox_->isChecked() != fastest)
        fastestBox_->setChecked(fastest);
    due_ = NowNs();
}

void Player::MarkIn()
{
    in_ = index_;
    timeline_->SetRange(in_, out_);
}

void Player::MarkOut()
{
    out_ = index_;
    timeline_->SetRange(in_, out_);
}

std::pair<uint64_t, uint64_t> Player::Range() const
{
    const uint64_t count = source_->FrameCount();
    const uint64_t a = in_.value_or(0), b = out_.value_or(count ? count - 1 : 0);
    return {std::min(a, b), std::max(a, b)};
}

std::string Player::Status() const
{
    std::string line = source_->StatusText(index_);
    if (!readFailure_.empty())
        line += " · " + readFailure_;
    if (playing_)
        line += fastest_ ? " · playing as fast as frames decode" : " · playing";
    if (in_ || out_) {
        const auto [first, last] = Range();
        line += " · in " + std::to_string(first) + ", out " + std::to_string(last);
    }
    std::string warnings;
    for (const std::string& w : source_->Warnings())
        warnings += (warnings.empty() ? "" : "; ") + w;
    return warnings.empty() ? line : line + "\n" + warnings;
}

// ---- keeping a frame or a range ---------------------------------------------------------

void Player::ShowFailure(const std::string& title, const std::string& message)
{
    QMessageBox box(QMessageBox::Warning, Q(title), Q(message), QMessageBox::Ok, window_);
    box.setTextFormat(Qt::PlainText);  // file names are not markup
    box.exec();
}

std::string Player::SaveFrameTo(const std::string& path, bool overwrite)
{
    std::string error;
    if (!source_->SaveFrame(index_, path, overwrite, &error))
        return error.empty() ? "the frame was not saved" : error;
    return {};
}

void Player::SaveFrameAsked()
{
    Pause();
    char suggested[64];
    std::snprintf(suggested, sizeof suggested, "-frame-%06llu.png", static_cast<unsigned long long>(index_));
    const std::optional<ui::SaveTarget> target = ui::AskWhereToSave(window_, BaseName(source_->Path()) + suggested);
    if (!target)
        return;
    // The file dialog has asked whether to replace a file of that name.
    if (const std::string error = SaveFrameTo(target->path, true); !error.empty())
        ShowFailure("Save frame", "The frame was not saved: " + error);
}

void Player::CopyFrame()
{
    Pause();
    imaging::ReadFrame frame;
    std::string error;
    if (!source_->Read(index_, &frame, &error))
        return ShowFailure("Copy frame", "Frame " + std::to_string(index_) + " cannot be read: " + error);
    const imaging::SequenceShape& shape = source_->Shape();
    const imaging::Picture picture =
        imaging::FramePicture({frame.data, frame.size, shape.width, shape.height,
                               shape.format ? shape.format->name : ""});
    if (picture.IsNull())
        return ShowFailure("Copy frame", "Frame " + std::to_string(index_) + " cannot be made into a picture");
    ui::CopyToClipboard(picture);
}

std::string Player::ExportTo(const std::string& path, bool overwrite)
{
    const auto [first, last] = Range();
    ExportOptions options;
    options.path = path;
    options.overwrite = overwrite;
    std::string error;
    if (!source_->Export(first, last, options, &error))
        return error.empty() ? "the range was not exported" : error;
    return {};
}

void Player::ExportAsked()
{
    Pause();
    if (exporting_)
        return;
    const auto [first, last] = Range();
    const std::string suggested =
        BaseName(source_->Path()) + "-" + std::to_string(first) + "-" + std::to_string(last) + ".mkv";
    const std::optional<ui::RecordTarget> target = ui::AskWhereToRecord(window_, suggested);
    if (!target)
        return;
    // The file dialog does not ask: a recording replaces its sidecars too.
    bool overwrite = false;
    const std::string& path = target->path;
    if (Exists(path) || Exists(path + ".csv") || Exists(path + ".settings")) {
        QMessageBox box(QMessageBox::Question, "Export range",
                        Q(path + " (or its .csv or .settings beside it) exists. Replace it?"),
                        QMessageBox::Yes | QMessageBox::No, window_);
        box.setTextFormat(Qt::PlainText);
        box.setDefaultButton(QMessageBox::No);
        box.setEscapeButton(QMessageBox::No);
        if (box.exec() != QMessageBox::Yes)
            return;
        overwrite = true;
    }
    std::atomic<bool> cancel{false};
    QProgressDialog progress(Q("Exporting frames " + std::to_string(first) + " to " + std::to_string(last) + "…"),
                             "Cancel", 0, 1000, window_);
    progress.setObjectName("exportProgress");
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(300);
    progress.setAutoReset(false);  // wasCanceled stays true to the end
    ExportOptions options;
    options.path = path;
    options.overwrite = overwrite;
    options.cancel = &cancel;
    options.progress = [&progress, &cancel](uint64_t done, uint64_t total) {
        progress.setValue(total ? int(std::min<uint64_t>(1000, done * 1000 / total)) : 0);
        // The Cancel button and painting between frames.
        QCoreApplication::processEvents();
        if (progress.wasCanceled())
            cancel = true;
    };
    exporting_ = true;
    cancelExport_ = &cancel;
    std::string error;
    const bool done = source_->Export(first, last, options, &error);
    exporting_ = false;
    cancelExport_ = nullptr;
    progress.reset();
    if (closeAfterExport_) {
        // Asked to close meanwhile: what was written stays, as after Cancel.
        QTimer::singleShot(0, window_, &QWidget::close);
        return;
    }
    if (!done)
        ShowFailure("Export range", "The range was not exported: " + (error.empty() ? "it failed" : error));
}

bool Player::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == window_ && event->type() == QEvent::Close && exporting_) {
        closeAfterExport_ = true;
        if (cancelExport_)
            *cancelExport_ = true;
        event->ignore();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

// ---- opening ----------------------------------------------------------------------------

Player* PlayerOf(const QObject* window)
{
    // Player has no meta-object of its own: findChild would take any child for it.
    if (window)
        for (QObject* child : window->children())
            if (auto* player = dynamic_cast<Player*>(child))
                return player;
    return nullptr;
}

ui::ViewerWindow* OpenRecordingWindow(QWidget* parent, const QRect& owner, const std::string& path,
                                      std::string* error)
{
    if (!g_opener) {
        *error = "cannot read \"" + path + "\": this program was built without reading recordings";
        return nullptr;
    }
    std::unique_ptr<PlaySource> source = g_opener(path, error);
    if (!source)
        return nullptr;
    return PlayInNewWindow(parent, owner, std::move(source), error);
}

ui::ViewerWindow* PlayInNewWindow(QWidget* parent, const QRect& owner, std::unique_ptr<PlaySource> source,
                                  std::string* error)
{
    if (source->FrameCount() == 0) {
        *error = "cannot read \"" + source->Path() + "\": it holds no frame";
        return nullptr;
    }
    auto* window = new ui::ViewerWindow(parent);
    window->setWindowTitle(Q("Recording " + BaseName(source->Path()) + " — Tarvik"));
    auto* player = new Player(std::move(source), window);
    // A recording dropped here replaces this one, in a window where this one was.
    QPointer<ui::ViewerWindow> self(window);
    window->OnDrop([self, parent](const std::string& dropped) {
        if (!self)
            return;
        if (OpenRecordingAsked(parent, self->frameGeometry(), dropped))
            self->close();
    });
    window->Open(owner);
    player->Show(0);
    return window;
}

ui::ViewerWindow* OpenRecordingAsked(QWidget* parent, const QRect& owner, const std::string& path)
{
    std::string error;
    ui::ViewerWindow* window = OpenRecordingWindow(parent, owner, path, &error);
    if (!window) {
        QMessageBox box(QMessageBox::Warning, "Open recording", Q(error), QMessageBox::Ok, parent);
        box.setObjectName("openFailed");
        box.setTextFormat(Qt::PlainText);
        box.exec();
    }
    return window;
}
