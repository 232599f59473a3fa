// The main dialog's routing table, its buttons' handlers over the camera
// sequences, painting, and keeping the captured frame.
#include "TarvikDlg.h"

#include "app/viewer/StatusLine.h"

#include "CameraSettings.h"
#include "Failures.h"
#include "StopSignals.h"
#include "platform/camera/camtext.h"
#include "platform/imaging/live/LiveReduce.h"
#include "platform/ui/Application.h"
#include "platform/ui/PaintDC.h"
#include "platform/ui/PictureDialog.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>
#include <optional>

#include <signal.h>
#include <unistd.h>

const ui::MessageMapEntry<CTarvikDlg> CTarvikDlg::messageMap[] = {
    {ui::Message::Paint, 0, &CTarvikDlg::OnPaint},
    {ui::Message::QueryDragIcon, 0, &CTarvikDlg::OnQueryDragIcon},
    {ui::Message::Clicked, IDC_INIT_GRAB_START, &CTarvikDlg::OnBnClickedInitGrabStart},
    {ui::Message::Clicked, IDC_GRAB_STOP_RELEASE, &CTarvikDlg::OnBnClickedGrabStopRelease},
    {ui::Message::Clicked, IDC_GRAB_ONCE, &CTarvikDlg::OnBnClickedGrabOnce},
    {ui::Message::Command, ID_PICTURE_SAVE, &CTarvikDlg::OnSavePicture},
    {ui::Message::Command, ID_PICTURE_COPY, &CTarvikDlg::OnCopyPicture},
    {ui::Message::Command, ID_PICTURE_LIVE, &CTarvikDlg::OnLiveView},
    {ui::Message::Posted, ID_PICTURE_LIVE, &CTarvikDlg::OnLiveFrame},
    {ui::Message::Posted, ID_PICTURE_INSPECT, &CTarvikDlg::OpenViewer},
    {ui::Message::Command, ID_CAMERA_SETTINGS, &CTarvikDlg::OnCameraSettings},
    {ui::Message::Command, ID_PICTURE_RECORD, &CTarvikDlg::OnRecord},
    {ui::Message::Command, ID_PICTURE_TRIGGER, &CTarvikDlg::OnTrigger},
    {ui::Message::Command, ID_PICTURE_INSPECT, &CTarvikDlg::OnInspect},
    {ui::Message::Command, ID_PICTURE_OPEN_RECORDING, &CTarvikDlg::OnOpenRecording},
};

CTarvikDlg::CTarvikDlg(OpenOptions options, bool live, std::optional<Recorder::Options> record)
    : ui::Dialog(IDD), m_bClearPending(false), m_options(std::move(options)), m_startLive(live),
      m_startRecord(std::move(record))
{
    m_hIcon = ui::LoadIcon(IDR_MAINFRAME);
}

CTarvikDlg::~CTarvikDlg()
{
    m_viewer.Close();  // before the frame it reads goes
    CloseSettings();
    StopLive(false);
}

void CTarvikDlg::DoDataExchange(ui::DataExchange* pDX)
{
    ui::Dialog::DoDataExchange(pDX);
    pDX->BindControl(IDC_PICTURE, m_picture);
}

bool CTarvikDlg::OnInitDialog()
{
    ui::Dialog::OnInitDialog();
    SetIcon(m_hIcon, true);
    SetIcon(m_hIcon, false);
    LoadCommands(IDR_PICTURE_MENU, m_picture);
    m_viewer.Attach(*this, m_picture, [this] { OpenViewer(); });
    // The same state as the picture area's tooltip, always in sight.
    m_viewer.SetStatusSource([this] { return ViewerStatus(); });
    m_viewer.SetLiveSource([this] { return m_live.Running(); });
    ShowOutcome({}, nullptr);
    if (m_startLive) {
        OnBnClickedInitGrabStart();
        // The recording begins first, so that it has the stream's first frame.
        if (g_hCamera != 0 && m_startRecord)
            BeginRecording(*m_startRecord);
        if (g_hCamera != 0)
            StartLive();
    }
    // Once the dialog is shown, so that the viewer finds its place beside it.
    if (m_startViewer)
        PostMessage(ID_PICTURE_INSPECT);
    return true;
}

bool CTarvikDlg::OnMessage(ui::Message message, int id, ui::MessageData* data)
{
    return ui::DispatchMessage(this, messageMap, message, id, data);
}

ui::Rect FitRect(int32_t imageWidth, int32_t imageHeight, const ui::Rect& target)
{
    const int64_t RW = int64_t(target.right) - target.left;
    const int64_t RH = int64_t(target.bottom) - target.top;
    // Nothing can be fitted into or from an empty rectangle.
    if (imageWidth <= 0 || imageHeight <= 0 || RW <= 0 || RH <= 0 || RW > INT32_MAX ||
        RH > INT32_MAX)
        return {};
    const double sx = double(RW) / imageWidth;
    const double sy = double(RH) / imageHeight;
    const double scale = sy <= sx ? sy : sx;
    // Truncation may leave the side that sets the scale one pixel short; that stays.
    const int64_t W = int64_t(imageWidth * scale);
    const int64_t H = int64_t(imageHeight * scale);
    const int64_t left = (RW + 1 - W) / 2;
    const int64_t top = (RH + 1 - H) / 2;
    return {int32_t(left), int32_t(top), int32_t(left + W), int32_t(top + H)};
}

void CTarvikDlg::OnPaint()
{
    if (IsIconic()) {
        ui::PaintDC dc(*this);
        ui::MessageData erase;
        erase.dc = &dc;
        SendMessage(ui::Message::IconEraseBackground, 0, &erase);

        const int cxIcon = ui::GetSystemMetrics(ui::kSmCxIcon);
        const int cyIcon = ui::GetSystemMetrics(ui::kSmCyIcon);
        const ui::Rect rect = GetClientRect();
        const int x = (rect.Width() - cxIcon + 1) / 2;
        const int y = (rect.Height() - cyIcon + 1) / 2;
        dc.DrawIcon(x, y, m_hIcon);
        return;
    }

    DefaultOnPaint();
    if (g_image.IsNull())
        return;
    ui::PaintDC dc(m_picture);
    ui::Rect rect = m_picture.GetClientRect();
    if (m_bClearPending) {
        m_bClearPending = false;
        ui::SolidBrush clearBrush(ui::GetSysColor(ui::kColorBtnFace));
        dc.FillRect(rect, clearBrush);
    }
    rect = FitRect(g_image.GetWidth(), g_image.GetHeight(), rect);
    dc.SetStretchBltMode(ui::kHalftone);
    g_image.StretchBlt(dc, rect, ui::kSrcCopy);
}

ui::Icon CTarvikDlg::OnQueryDragIcon() { return m_hIcon; }

void CTarvikDlg::OnBnClickedInitGrabStart()
{
    m_recordNote.clear();
    CloseSettings();
    StopLive(false);
    const Outcome outcome = OpenCamera(m_options);
    if (outcome.completed)
        m_bClearPending = true;
    ShowOutcome(outcome, "opening failed");
}

void CTarvikDlg::OnBnClickedGrabStopRelease()
{
    m_recordNote.clear();
    CloseSettings();
    StopLive(false);
    ReleaseCamera();
    ShowOutcome({}, nullptr);
}

void CTarvikDlg::OnBnClickedGrabOnce()
{
    // During live view: the frame shown last is the one captured.
    if (m_live.Running()) {
        const bool kept = m_liveShown.record != nullptr;
        const LiveStream::TriggerState trigger = m_live.TriggerNow();
        StopLive(true);
        ShowOutcome({}, nullptr);
        if (!kept) {
            // A triggered camera may not have sent one: said, rather than
            // leaving the picture as it was without a word.
            const std::string line =
                "live view ended with no frame to keep" +
                (trigger.on ? ": the camera was " + TriggerWaitLine(trigger.source) : std::string(": none had come")) +
                "; GrapOnce again grabs one";
            std::fprintf(stderr, "tarvik: %s\n", line.c_str());
            m_lastFailure = line;
            m_picture.SetToolTip(PictureStatus(line));
        }
        return;
    }
    GrabOptions options;
    std::optional<ui::WaitCursor> busy;
    options.waitingForTrigger = [this, &busy](const std::string& source) {
        const std::string line = TriggerWaitLine(source);
        std::fprintf(stderr, "tarvik: %s\n", line.c_str());
        m_picture.SetToolTip(PictureStatus(line));
        busy.emplace();
    };
    // A triggered camera's frame may be seconds away: the window keeps
    // painting meanwhile; clicks wait until the grab is done.
    options.whileWaiting = [] { ui::HandlePaintingWhileBusy(); };
    const Outcome outcome = GrabFrame(options);
    busy.reset();
    ui::HandleHeldInputSoon();  // an Esc pressed while it waited
    if (outcome.imageUpdated) {
        const ui::Rect rect = ScreenToClient(m_picture.GetWindowRect());
        InvalidateRect(rect, false);
    }
    ShowOutcome(outcome, "last grab failed");
}

void CTarvikDlg::ShowOutcome(const Outcome& outcome, const char* failedAction)
{
    ReportFailure(outcome);
    m_lastFailure = outcome.Failed() ? std::string(failedAction) + ": " + Describe(outcome) : m_recordNote;
    m_picture.SetToolTip(PictureStatus(m_lastFailure));
    EnableFrameCommands();
    m_viewer.Show(m_liveShown);
}

void CTarvikDlg::EnableFrameCommands()
{
    EnableCommand(ID_PICTURE_SAVE, g_lastFrame.valid);
    EnableCommand(ID_PICTURE_COPY, g_lastFrame.valid);
    EnableCommand(ID_PICTURE_LIVE, g_hCamera != 0);
    EnableCommand(ID_CAMERA_SETTINGS, g_hCamera != 0);
    EnableCommand(ID_PICTURE_RECORD, g_hCamera != 0);
    const LiveStream::TriggerState trigger = m_live.Running() ? m_live.TriggerNow() : LiveStream::TriggerState();
    EnableCommand(ID_PICTURE_TRIGGER, trigger.on && trigger.source == kSoftwareTrigger);
}

void CTarvikDlg::OnTrigger()
{
    // Outside live view a grab sends its own trigger.
    if (!m_live.Running())
        return;
    const LiveStream::TriggerState trigger = m_live.TriggerNow();
    if (!trigger.on || trigger.source != kSoftwareTrigger)
        return;
    if (const CamError err = m_live.Trigger(); err != CAM_OK) {
        Outcome refused = Stopped(Step::Trigger, err);
        ReportFailure(refused);
        m_lastFailure = Describe(refused);
        m_picture.SetToolTip(PictureStatus(m_lastFailure));
    }
}

std::string PictureStatus(const std::string& lastFailure)
{
    if (g_hCamera == 0 || !g_pCameraId)
        return PictureStatus({}, {}, 0, 0, {}, nullptr, 0, lastFailure);
    return PictureStatus(g_pCameraId, g_pCameraName ? g_pCameraName : g_pCameraId, g_nWidth, g_nHeight,
                         g_pPixelFormat ? g_pPixelFormat : "no pixel format",
                         g_lastFrame.valid ? &g_lastFrame.frameId : nullptr, g_lastFrame.time, lastFailure);
}


void CTarvikDlg::OnSavePicture()
{
    if (!g_lastFrame.valid)
        return;
    const auto target = ui::AskWhereToSave(
        *this, imaging::SuggestedPictureName(g_pCameraId ? g_pCameraId : "", g_lastFrame.time));
    if (!target)
        return;
    const std::string error = SavePictureTo(target->path, target->format);
    if (!error.empty())
        MessageBox("The picture could not be saved to " + target->path + ":\n" + error);
}

std::string CTarvikDlg::SavePictureTo(const std::string& path, const std::string& format)
{
    if (!g_lastFrame.valid)
        return "no frame has been captured";
    ui::WaitCursor busy;
    return imaging::SavePicture(PictureToKeep(), path, format);
}

void CTarvikDlg::OnCopyPicture()
{
    // Other programs paste 8-bit pictures: the display image is the frame at
    // that depth, unless live view shows it reduced.
    if (g_lastFrame.valid)
        ui::CopyToClipboard(m_liveShown.record ? LiveFramePicture(m_liveShown)
                                               : imaging::Picture::FromDisplayImage(g_image));
}

imaging::Picture CTarvikDlg::PictureToKeep() const
{
    return m_liveShown.record ? LiveFramePicture(m_liveShown) : CapturedPicture();
}

void CTarvikDlg::OnLiveView()
{
    // Triggering the command has toggled its check mark already.
    if (IsCommandChecked(ID_PICTURE_LIVE)) {
        StartLive();
    } else if (m_recorder) {
        // The tooltip's live line says it records no longer.
        StopLive(true);
        ShowOutcome({}, nullptr);
    } else {
        StopLive(true);
    }
}

void CTarvikDlg::StartLive()
{
    if (m_live.Running())
        return;
    m_livePosted = false;
    // One notice at a time: frames that come while one is shown are not
    // queued for showing, only the newest is taken.
    LiveStream::Options options;
    options.everyFrame = [this](const CamFrame& frame) {
        if (m_recordingTo)
            m_recordingTo->OnFrame(frame);
    };
    options.triggerRate = m_triggerRate;
    options.showIncomplete = true;
    m_incompleteTold = false;
    const Outcome outcome = m_live.Start(
        [this] {
            if (!m_livePosted.exchange(true))
                PostMessage(ID_PICTURE_LIVE);
        },
        std::move(options));
    CheckCommand(ID_PICTURE_LIVE, !outcome.Failed());
    if (outcome.Failed())
        EndRecording();
    ShowOutcome(outcome, "live view failed");
    if (!outcome.Failed() && m_triggerRate > 0) {
        // The most frames a second the camera can make as it is set now,
        // and the most triggers it takes: one each frame time, as the check
        // reckons it (a trigger while it is still busy is lost).
        double most = 0;
        m_live.Call([&most] {
            CamFeatureInfo info{};
            if (CamFeatureInfoGet(g_hCamera, "AcquisitionFrameRate", &info, sizeof info) == CAM_OK &&
                info.type == CAM_TYPE_FLOAT)
                most = info.floatMaximum;
            if (const double ms = TriggeredFrameTimeMs(CameraFrameRate()); ms > 0)
                most = most > 0 ? std::min(most, 1000 / ms) : 1000 / ms;
        });
        const LiveStream::TriggerState trigger = m_live.TriggerNow();
        const std::string note = TriggerRateNote(m_triggerRate, trigger.on, trigger.source, most);
        if (!note.empty())
            std::fprintf(stderr, "tarvik: %s\n", note.c_str());
    }
    RefreshSettings();
}

void CTarvikDlg::StopLive(bool keep)
{
    if (m_liveShown.record) {
        if (keep && KeepLiveFrame(m_liveShown))
            InvalidateRect(ScreenToClient(m_picture.GetWindowRect()), false);
        m_viewer.Show({});  // the frame kept, if it was, before this one goes back
        m_live.GiveBack(m_liveShown);
        m_liveShown = {};
    }
    const bool wasRunning = m_live.Running();
    const Outcome ended = m_live.Stop();
    CheckCommand(ID_PICTURE_LIVE, false);
    EndRecording();
    // A camera that stopped answering would make every value read wait
    // for its time-out.
    if (wasRunning && !ended.Failed())
        RefreshSettings();
}

void CTarvikDlg::OnLiveFrame()
{
    m_livePosted = false;
    if (!m_live.Running())
        return;
    if (m_recorder && m_recorder->Failed()) {
        EndRecording();
        m_liveStatusShown = {};  // the reason shows at once
    }
    // The frame shown is held until the next one replaces it: saving it
    // converts it at full size then.
    LiveStream::Frame frame;
    if (m_live.Take(&frame)) {
        if (!frame.complete && !m_incompleteTold) {
            m_incompleteTold = true;
            std::fprintf(stderr, "tarvik: live view: no complete frame for %lld s, showing incomplete ones (what "
                         "did not arrive is black)\n",
                         (long long)std::chrono::seconds(LiveStream::kIncompleteShownAfter).count());
        }
        const ui::Rect fit = FitRect(static_cast<int32_t>(static_cast<uint32_t>(g_nWidth)),
                                     static_cast<int32_t>(static_cast<uint32_t>(g_nHeight)),
                                     m_picture.GetClientRect());
        if (ShowLiveFrame(frame, uint32_t(fit.Width()), uint32_t(fit.Height()))) {
            InvalidateRect(ScreenToClient(m_picture.GetWindowRect()), false);
            if (m_liveShown.record)
                m_live.GiveBack(m_liveShown);
            m_liveShown = frame;
            // The block ShowLiveFrame reduced by: the viewer shows that picture at fit.
            m_viewer.Show(m_liveShown, imaging::LiveBlock(g_pPixelFormat, uint32_t(g_nWidth), uint32_t(g_nHeight),
                                                          uint32_t(fit.Width()), uint32_t(fit.Height())));
        } else {
            m_live.GiveBack(frame);
        }
    }
    if (const Outcome ended = m_live.Ended(); ended.Failed()) {
        StopLive(true);
        const std::string why = "live view stopped: " + Describe(ended);
        std::fprintf(stderr, "tarvik: %s\n", why.c_str());
        m_lastFailure = why;
        m_picture.SetToolTip(PictureStatus(why));
        EnableFrameCommands();
        return;
    }
    // The state line changes with every frame; a few times a second is enough to read.
    const auto now = std::chrono::steady_clock::now();
    if (now - m_liveStatusShown >= std::chrono::milliseconds(250)) {
        m_liveStatusShown = now;
        const LiveStream::Counts counts = m_live.CountsNow();
        std::string line = LiveLine(counts, m_live.RatesNow());
        if (const std::string waiting = TriggerLine(m_live.TriggerNow(), counts); !waiting.empty())
            line += ", " + waiting;
        if (m_recorder)
            line += ", " + Recorder::RecordLine(m_recorder->CountsNow());
        else if (!m_recordNote.empty())
            line += ", " + m_recordNote;
        m_picture.SetToolTip(PictureStatus(line));
        EnableFrameCommands();
    }
}

void CTarvikDlg::OnCameraSettings()
{
    if (g_hCamera == 0)
        return;
    if (!m_settings) {
        m_settingsSource = std::make_unique<CameraSettingsSource>(m_live, [this] { OnPictureShapeChanged(); });
        const std::string name = g_pCameraName ? g_pCameraName : g_pCameraId ? g_pCameraId : "";
        m_settings = std::make_unique<ui::SettingsWindow>(*this, *m_settingsSource, "Camera settings – " + name);
    }
    m_settings->Show();
}

void CTarvikDlg::RefreshSettings()
{
    // A camera streaming allows other changes than one at rest (its picture's
    // shape, for one).
    if (m_settings && m_settings->IsVisible())
        m_settings->Refresh();
}

void CTarvikDlg::CloseSettings()
{
    // A change still in the window is the person's too: it reaches the
    // camera before the camera goes.
    if (m_settings)
        m_settings->SendPending();
    m_settings.reset();
    m_settingsSource.reset();
}

void CTarvikDlg::OnPictureShapeChanged()
{
    // Frames of the old shape would not be shown: the stream starts again
    // with frames of the new one.
    const bool live = m_live.Running();
    // The recording keeps frames of one shape only.
    EndRecording("the picture's size or format changed");
    StopLive(false);
    const Outcome outcome = ReadPictureShape();
    m_bClearPending = true;
    InvalidateRect(ScreenToClient(m_picture.GetWindowRect()), false);
    ShowOutcome(outcome, "reading the picture's shape failed");
    if (live && !outcome.Failed())
        StartLive();
}

namespace {

// Asks before a recording from the window replaces an earlier one's files,
// naming each (a folder's frames up to a handful).
std::string ReplaceQuestion(const std::string& path)
{
    constexpr size_t kFramesNamed = 5;
    const std::vector<std::string> files = Recorder::Replaced(path);
    // A folder's frame files come first, then the sidecars.
    imaging::SequenceFormat format{};
    const bool folder = imaging::SequenceFormatOf(path, &format) && format == imaging::SequenceFormat::Directory;
    const size_t sidecars = size_t(std::count_if(files.begin(), files.end(), [&](const std::string& f) {
        return f == Recorder::CsvPath(path, format) || f == Recorder::SettingsPath(path, format);
    }));
    const size_t frames = folder ? files.size() - sidecars : 0;
    std::string text = "Recording to " + cam::Quoted(path) + " replaces " +
                       (files.size() == 1 ? "this file" : "these files") + " of an earlier recording:\n";
    for (size_t i = 0; i < files.size(); ++i) {
        if (i == kFramesNamed && frames > kFramesNamed + 1) {
            text += "and " + std::to_string(frames - kFramesNamed) + " more frame files\n";
            i = frames - 1;
        } else {
            text += cam::Quoted(files[i]) + "\n";
        }
    }
    return text + "\nYes replaces " + (files.size() == 1 ? "it" : "them") + "; No keeps " +
           (files.size() == 1 ? "it" : "them") + " and records nothing.";
}

}  // namespace

void CTarvikDlg::OnRecord()
{
    // Triggering the command has toggled its check mark already.
    if (!IsCommandChecked(ID_PICTURE_RECORD)) {
        EndRecording();
        ShowOutcome({}, nullptr);
        return;
    }
    CheckCommand(ID_PICTURE_RECORD, false);  // until it records
    if (g_hCamera == 0 || m_recorder)
        return;
    std::string name = imaging::SuggestedPictureName(g_pCameraId ? g_pCameraId : "", std::time(nullptr));
    name = name.substr(0, name.rfind('.')) + ".mkv";
    const auto target = ui::AskWhereToRecord(*this, name);
    if (!target)
        return;
    Recorder::Options options;
    options.path = target->path;
    // What --overwrite is to the command line, a question is to the window:
    // whether to replace the earlier recording's files, each named.
    Recorder::BeginError kind = Recorder::BeginError::None;
    std::string why;
    if (!Recorder::CheckTarget(options.path, false, &kind, &why) && kind == Recorder::BeginError::Exists) {
        if (!ui::AskYesNo(*this, "Replace the earlier recording?", ReplaceQuestion(options.path)))
            return;
        options.overwrite = true;
    }
    const std::string error = RecordTo(options);
    if (!error.empty())
        MessageBox("Recording to " + target->path + " could not start:\n" + error);
}

std::string CTarvikDlg::RecordTo(const Recorder::Options& options)
{
    std::string error = BeginRecording(options);
    if (error.empty() && !m_live.Running()) {
        StartLive();
        if (!m_live.Running())
            error = "live view could not start";
    }
    return error;
}

std::string CTarvikDlg::BeginRecording(const Recorder::Options& options)
{
    if (g_hCamera == 0)
        return "no camera is open";
    if (m_recorder)
        return "a recording is running";
    m_recordNote.clear();
    imaging::SequenceShape shape;
    shape.format = cam::FindPixelFormat(g_pPixelFormat);
    shape.width = uint32_t(g_nWidth);
    shape.height = uint32_t(g_nHeight);
    std::string error;
    if (!shape.format) {
        error = "cannot record frames in pixel format " + cam::Quoted(g_pPixelFormat ? g_pPixelFormat : "") +
                ", which Tarvik does not know";
    } else {
        // The settings as recording begins, read where the library may be called now.
        std::string settings;
        m_live.Call([&settings] { settings = SettingsFileText(); });
        auto recorder = std::make_unique<Recorder>();
        if (recorder->Begin(options, shape, settings, &error))
            m_recorder = std::move(recorder);
    }
    if (!m_recorder) {
        std::fprintf(stderr, "tarvik: %s\n", error.c_str());
        m_lastFailure = "recording failed: " + error;
        m_picture.SetToolTip(PictureStatus(m_lastFailure));
        return error;
    }
    m_recordPath = options.path;
    Recorder* recorder = m_recorder.get();
    m_live.Call([this, recorder] { m_recordingTo = recorder; });
    CheckCommand(ID_PICTURE_RECORD, true);
    return {};
}

void CTarvikDlg::CloseBySignal(int signal)
{
    m_stopSignal = signal;
    CloseSettings();
    StopLive(false);  // and the recording with it
    EndDialog(kCancel);
}

void CTarvikDlg::EndRecording(const char* why)
{
    if (!m_recorder)
        return;
    // After this the camera thread no longer calls into the recorder.
    m_live.Call([this] { m_recordingTo = nullptr; });
    CheckCommand(ID_PICTURE_RECORD, false);
    Recorder::Result result;
    {
        ui::WaitCursor busy;  // what is queued is written first
        // Ended by a stop signal: as --record, a second one leaves what is
        // still queued, and a third ends the program whatever it waits for.
        // Ended by the person, the writing can hang as long (a FIFO whose
        // reader stopped): a signal meanwhile counts as the first, and
        // closes the window once the files are closed.
        bool abort = false;
        int later = 0;
        while (!abort && m_recorder->CountsNow().queued > 0)
            if (const int s = TakeStopSignal(100 * 1000 * 1000)) {
                if (m_stopSignal || later) {
                    abort = true;
                    ReleaseStopSignals();
                } else {
                    later = s;
                }
            }
        result = m_recorder->Finish(abort);
        // Waiting again, it reaches the window as any other (after two, it
        // ends the program now).
        if (later)
            kill(getpid(), later);
    }
    m_recorder.reset();
    m_recordNote = Recorder::StopLine(result);
    if (m_recordNote.empty() && why)
        m_recordNote = std::string(why) + "; recording stopped, " + std::to_string(result.counts.written) +
                       " frames kept";
    if (!m_recordNote.empty())
        std::fprintf(stderr, "tarvik: %s\n", m_recordNote.c_str());
    std::fprintf(stderr, "tarvik: %s\n", (Recorder::ClosingLine(result, m_recordPath) + StoppedBy(m_stopSignal)).c_str());
}

void CTarvikDlg::OnInspect() { OpenViewer(); }

void CTarvikDlg::OnOpenRecording() { m_viewer.OpenRecording(*this); }

void CTarvikDlg::OpenViewer() { m_viewer.Open(*this, m_liveShown); }

std::string CTarvikDlg::ViewerStatus() const
{
    StatusFacts facts;
    if (g_hCamera != 0 && g_pCameraId) {
        facts.cameraId = g_pCameraId;
        facts.cameraName = g_pCameraName ? g_pCameraName : g_pCameraId;
        facts.width = g_nWidth;
        facts.height = g_nHeight;
        facts.pixelFormat = g_pPixelFormat ? g_pPixelFormat : "no pixel format";
        facts.frameShown = g_lastFrame.valid;
        facts.frameId = g_lastFrame.frameId;
        facts.frameTime = g_lastFrame.time;
    }
    facts.live = m_live.Running();
    if (facts.live) {
        facts.counts = m_live.CountsNow();
        facts.rates = m_live.RatesNow();
        facts.trigger = m_live.TriggerNow();
    }
    if (m_recorder) {
        facts.recording = true;
        facts.recordPath = m_recordPath;
        facts.record = m_recorder->CountsNow();
    }
    facts.lastFailure = m_lastFailure;
    // A recording that stopped by itself during live view (a full disk) is
    // told by the tooltip's live line only until live view ends: told here too.
    if (!m_recorder && !m_recordNote.empty() && m_lastFailure.find(m_recordNote) == std::string::npos)
        facts.lastFailure = m_lastFailure.empty() ? m_recordNote : m_lastFailure + ", " + m_recordNote;
    return StatusLine(facts);
}
