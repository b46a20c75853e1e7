#include "app/updater_app_win32.h"

#include "app/updater_dlg_win32.h"

CUpdaterApp theApp;

BOOL CUpdaterApp::InitInstance()
{
    AfxEnableControlContainer();
    Enable3dControls();

    CUpdaterDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();

    // The dialog object ends with this function; nothing may refer to it afterwards.
    m_pMainWnd = nullptr;
    AfxSetMainWindowHandle(nullptr);
    return FALSE;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
}
