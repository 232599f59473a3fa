// The main dialog: three buttons that open, grab from and release the camera,
// and a framed picture area that shows the last frame, tells the camera's
// state in its tooltip and offers the frame to save or copy.
#pragma once

#include "CameraSequences.h"
#include "app/settings/CameraSettingsSource.h"
#include "app/live/LiveStream.h"
#include "platform/ui/Dialog.h"
#include "platform/ui/SettingsWindow.h"
#include "record/Recorder.h"
#include "viewer/Viewer.h"
#include "res/resource.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

class CTarvikDlg : public ui::Dialog {
public:
    enum { IDD = IDD_TARVIK_DIALOG };

    // live: open the camera and start live view as soon as the dialog is
    // built; record: and record from the start (the target checked already).
    explicit CTarvikDlg(OpenOptions options = {}, bool live = false,
                        std::optional<Recorder::Options> record = std::nullopt);
    ~CTarvikDlg() override;

    // Saves the last captured frame to path in format ("png", "tiff", "bmp",
    // "jpeg"; empty: by the extension). Empty on success, else the reason.
    std::string SavePictureTo(const std::string& path, const std::string& format = {});
    // Records to options.path as "Record…" does once a path is chosen,
    // starting live view if it is not running. Empty when it records, else
    // the reason (also on stderr and in the tooltip).
    std::string RecordTo(const Recorder::Options& options);
    bool Recording() const { return m_recorder != nullptr; }
    // Software triggers a second while live view runs (--trigger-rate); 0: none.
    void SetTriggerRate(double hz) { m_triggerRate = hz; }
    // A stop signal came (Ctrl+C in the terminal, SIGTERM, SIGHUP): the
    // window closes as Esc closes it, a recording ended as --record ends on
    // one, its closing line saying which signal stopped it.
    void CloseBySignal(int signal);
    // Opens the viewer window beside the dialog, or raises it, as
    // "Inspect…" and a double click on the picture area do.
    void OpenViewer();
    // Opens it once the dialog is shown, beside it (--live --inspect).
    void OpenViewerOnceShown() { m_startViewer = true; }
    // The viewer's status line: the camera, live view, a trigger, a recording
    // and the last failure.
    std::string ViewerStatus() const;

protected:
    void DoDataExchange(ui::DataExchange* pDX) override;
    bool OnInitDialog() override;
    bool OnMessage(ui::Message message, int id, ui::MessageData* data) override;

    void OnPaint();
    ui::Icon OnQueryDragIcon();
    void OnBnClickedInitGrabStart();
    void OnBnClickedGrabStopRelease();
    void OnBnClickedGrabOnce();
    void OnSavePicture();
    void OnCopyPicture();
    void OnLiveView();
    void OnLiveFrame();
    void OnCameraSettings();
    void OnRecord();
    void OnTrigger();
    void OnInspect();
    void OnOpenRecording();

public:
    bool m_bClearPending;
    ui::Icon m_hIcon;
    ui::Control m_picture;

private:
    // After each handler: the line on stderr, the picture area's tooltip and
    // which commands a captured frame enables.
    void ShowOutcome(const Outcome& outcome, const char* failedAction);
    // Save and copy while a frame is kept, live view while a camera is open.
    void EnableFrameCommands();

    // Begins a recording the stream feeds once it runs; the reason when it cannot.
    std::string BeginRecording(const Recorder::Options& options);
    // Ends the recording, if one runs: the stream hands it no more frames,
    // what is queued is written, and stderr says how it went. why: the
    // window ends it because of this (a new picture shape); a recording that
    // stopped by itself says its own reason. The reason stays in the tooltip.
    void EndRecording(const char* why = nullptr);

    void StartLive();
    // Ends live view, if it runs, before anything else calls the camera;
    // keep makes the frame shown the captured frame, at full size.
    void StopLive(bool keep);
    imaging::Picture PictureToKeep() const;
    // After a setting moved the picture's size or format: the display image
    // rebuilt as opening builds it, live view restarted on the new frames.
    void OnPictureShapeChanged();
    void CloseSettings();  // before the camera is closed or opened again
    void RefreshSettings();  // when what may be changed changes

    static const ui::MessageMapEntry<CTarvikDlg> messageMap[];
    OpenOptions m_options;
    bool m_startLive;
    bool m_startViewer = false;
    std::optional<Recorder::Options> m_startRecord;
    // Before m_live, which feeds it: the stream stops before it goes.
    std::unique_ptr<Recorder> m_recorder;
    std::string m_recordPath;
    std::string m_recordNote;  // why the last recording stopped by itself
    std::string m_lastFailure;  // the failure the tooltip tells, in words; empty: none
    int m_stopSignal = 0;      // the stop signal that closes the window, once one came
    Recorder* m_recordingTo = nullptr;  // camera thread's; changed through m_live.Call
    LiveStream m_live;
    LiveStream::Frame m_liveShown;  // held while it is the frame shown
    std::atomic<bool> m_livePosted{false};  // a frame notice is on its way to OnLiveFrame
    std::chrono::steady_clock::time_point m_liveStatusShown;
    bool m_incompleteTold = false;  // this stream's first incomplete frame shown was said on stderr
    double m_triggerRate = 0;
    // After m_live, which they use.
    std::unique_ptr<CameraSettingsSource> m_settingsSource;
    std::unique_ptr<ui::SettingsWindow> m_settings;
    Viewer m_viewer;  // reads m_liveShown and g_lastFrame

public:
    // The settings window while one is open; for tests.
    ui::SettingsWindow* SettingsWindow() const { return m_settings.get(); }
    // The viewer window while one is open; for tests.
    ui::ViewerWindow* ViewerWindow() const { return m_viewer.Window(); }
};

// The rectangle, measured from target's origin, into which a picture of
// imageWidth x imageHeight is drawn: scaled to fit with its aspect kept and
// centred. Empty when either side is empty.
ui::Rect FitRect(int32_t imageWidth, int32_t imageHeight, const ui::Rect& target);

// The picture area's one-line state: "No camera open", or the camera, its
// picture size and pixel format, the frame shown, and the last failure; the
// open camera's and the captured frame's (see CameraSequences.h).
std::string PictureStatus(const std::string& lastFailure);
