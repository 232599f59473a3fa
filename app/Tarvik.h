// The application object: start-up runs the main dialog modally.
#pragma once

#include "CameraSequences.h"
#include "record/Recorder.h"

#include <optional>

class CTarvikDlg;

class CTarvikApp {
public:
    CTarvikApp();
    // Runs the main dialog until it is closed; returns false so that no
    // further message loop runs and the process ends.
    bool InitInstance();

    CTarvikDlg* m_pMainWnd = nullptr;
    // From the command line: which camera to open and how.
    OpenOptions m_openOptions;
    bool m_live = false;  // start live view at once
    double m_triggerRate = 0;  // software triggers a second while live
    bool m_inspect = false;    // the viewer opens with live view
    std::optional<Recorder::Options> m_record;  // and record from the start
};

extern CTarvikApp theApp;
