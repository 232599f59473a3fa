// Program entry: connects to the display, then runs the application object.
#include "Tarvik.h"

#include "TarvikDlg.h"
#include "platform/ui/Application.h"

CTarvikApp theApp;

// Restart-manager support, the help command and the common-controls set-up of
// the original desktop have no counterpart with Qt and are left out.
CTarvikApp::CTarvikApp() = default;

bool CTarvikApp::InitInstance()
{
    ui::Application::SetSettingsKey("应用程序向导生成的本地应用程序");

    CTarvikDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return false;
}

int main(int argc, char** argv)
{
    ui::Application platform(argc, argv, "tarvik", TARVIK_VERSION, TARVIK_APP_ID);
    if (!platform.Ok())
        return 1;
    theApp.InitInstance();
    return 0;
}
