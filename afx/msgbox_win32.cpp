#include "afx/afxwin.h"

#include <atomic>

namespace {
std::atomic<HWND> s_hMainWnd{nullptr};
}

CString AfxGetAppName()
{
    CString path = AfxGetModuleFilePath();
    int slash = path.ReverseFind('\\');
    int fwd = path.ReverseFind('/');
    if (fwd > slash)
        slash = fwd;
    CString name = path.Mid(slash + 1);
    int dot = name.ReverseFind('.');
    return dot > 0 ? name.Left(dot) : name;
}

void AfxSetMainWindowHandle(HWND hWnd)
{
    s_hMainWnd.store(hWnd);
}

HWND AfxGetMainWindowHandle()
{
    return s_hMainWnd.load();
}

int AfxMessageBox(const char* lpszText, UINT nType, UINT /*nIDHelp*/)
{
    HWND hOwner = s_hMainWnd.load();
    if (hOwner && !::IsWindow(hOwner))
        hOwner = nullptr;
    CString caption = AfxGetAppName();
    return ::MessageBoxA(hOwner, lpszText, caption, nType);
}
