#include "afx/afxwin.h"

#include <atomic>
#include <string>

namespace {
std::atomic<HWND> s_hMainWnd{nullptr};
}

CString AfxGetAppName()
{
    // A title only, never a file's name: the ANSI code page's closest letters are good enough.
    const std::wstring strWide = AfxGetModuleFilePathW();
    std::string strBytes(size_t(2 * strWide.size() + 1), '\0');
    const int n = ::WideCharToMultiByte(CP_ACP, 0, strWide.c_str(), int(strWide.size()), &strBytes[0],
                                        int(strBytes.size()), nullptr, nullptr);
    CString path(strBytes.data(), n);
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
    // As the class library's boxes: when the caller names no icon, a box that only informs
    // (OK, OK/Cancel) warns, and a box that asks (Yes/No) shows the question mark.
    if ((nType & MB_ICONMASK) == 0) {
        switch (nType & MB_TYPEMASK) {
            case MB_OK:
            case MB_OKCANCEL:
                nType |= MB_ICONEXCLAMATION;
                break;
            case MB_YESNO:
            case MB_YESNOCANCEL:
                nType |= MB_ICONQUESTION;
                break;
            default:
                break;
        }
    }
    CString caption = AfxGetAppName();
    return ::MessageBoxA(hOwner, lpszText, caption, nType);
}
