// The Win32 half of our small MFC-like layer: only what the program calls. Include only from
// files that are built for Windows.
#pragma once

#include "afx/afx.h"
#include "afx/afxcoord.h"

#include <windows.h>
#include <commctrl.h>

#include <map>
#include <memory>

// Application name: the program file's base name without its extension, as MFC takes it when
// the string table holds no title. Message boxes raised through AfxMessageBox carry it.
CString AfxGetAppName();

// The window that owns boxes raised through AfxMessageBox (the main dialog once it exists).
// Safe to call from any thread.
void AfxSetMainWindowHandle(HWND hWnd);
HWND AfxGetMainWindowHandle();

// A message box with the application name as caption, owned by the main window. Callable from
// worker threads too; blocks the caller until the box is closed. Returns the button pressed.
int AfxMessageBox(const char* lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);

// The standard help command of the application's command map.
constexpr UINT ID_HELP = 0xE146;

class CWnd;
class CWinApp;

// The one application object, and the module whose resources (dialogs, icons) the program uses.
CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();

// Dialogs here host no OLE controls; kept so that start-up reads as it always has.
void AfxEnableControlContainer();

// A window known by its handle. Objects that wrap a dialog receive its messages through
// OnWndMsg; others (controls bound by DDX_Control) only send messages to their window.
class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd();

    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

    void SetWindowText(const char* lpszString);
    CString GetWindowText() const;
    BOOL ShowWindow(int nCmdShow);
    BOOL EnableWindow(BOOL bEnable = TRUE);
    BOOL IsWindowEnabled() const;
    BOOL IsWindowVisible() const;
    BOOL IsIconic() const;
    void GetClientRect(LPRECT lpRect) const;
    void Invalidate(BOOL bErase = TRUE);
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);

    // A wrapper of the child window with that id, owned by this object; null when there is none.
    CWnd* GetDlgItem(int nID);
    void SetDlgItemText(int nID, const char* lpszString);

    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse);
    BOOL KillTimer(UINT_PTR nIDEvent);

    HMENU GetSystemMenu(BOOL bRevert) const;
    // A message box owned by this window, with the caption given (the application name when null).
    int MessageBox(const char* lpszText, const char* lpszCaption = nullptr, UINT nType = MB_OK);

protected:
    // Handles one message of this object's window. Returns true when it was handled, with the
    // result in *pResult; otherwise the window's default processing runs.
    virtual bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    // Runs the window's default processing for the message being handled now, and returns its result.
    LRESULT Default();

    // Routes this window's messages through OnWndMsg from now on (until WM_NCDESTROY).
    void SubclassWindowProc(HWND hWnd);

private:
    friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);

    struct CurrentMessage {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    WNDPROC m_pfnSuper = nullptr;
    CurrentMessage m_current{0, 0, 0};
    std::map<int, std::unique_ptr<CWnd>> m_items;
};

class CDialog;

// What DoDataExchange is asked to do: move member values into the controls (load) or read them back (save).
class CDataExchange {
public:
    CDataExchange(CDialog* pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}

    BOOL m_bSaveAndValidate;
    CDialog* m_pDlgWnd;
};

// Binds rControl to the dialog's control nIDC (once; later calls leave it bound).
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);
// The radio group that begins with control nIDC: checks button number value (load), or sets value
// to the number of the checked button, -1 when none is (save).
void DDX_Radio(CDataExchange* pDX, int nIDC, int& value);

class CComboBox : public CWnd {
public:
    int AddString(const char* lpszString);
    int GetCount() const;
    int GetCurSel() const;
    int SetCurSel(int nSelect);
    int GetLBTextLen(int nIndex) const;
    void GetLBText(int nIndex, CString& rString) const;
};

class CProgressCtrl : public CWnd {
public:
    void SetRange(short nLower, short nUpper);
    int SetPos(int nPos);
    int GetPos() const;
};

// A modal dialog made from a dialog template of the program's resources.
class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);

    // Runs the dialog until EndDialog; returns the value given to EndDialog, or -1 when the
    // dialog could not be created.
    virtual INT_PTR DoModal();
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    void EndDialog(int nResult);

protected:
    virtual BOOL OnInitDialog();  // runs the data exchange (load)
    virtual void OnOK();          // reads the data back and ends the dialog with IDOK
    virtual void OnCancel();      // ends the dialog with IDCANCEL
    virtual void DoDataExchange(CDataExchange* pDX);

    bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

private:
    friend INT_PTR CALLBACK AfxDlgProc(HWND, UINT, WPARAM, LPARAM);

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;
};

// GDI objects, deleted with their owner.
class CGdiObject {
public:
    CGdiObject() = default;
    virtual ~CGdiObject();

    CGdiObject(const CGdiObject&) = delete;
    CGdiObject& operator=(const CGdiObject&) = delete;

    HGDIOBJ m_hObject = nullptr;

    BOOL Attach(HGDIOBJ hObject);
    HGDIOBJ Detach();
    BOOL DeleteObject();
};

class CPalette : public CGdiObject {
public:
    BOOL CreatePalette(const LOGPALETTE* lpLogPalette);
    operator HPALETTE() const { return static_cast<HPALETTE>(m_hObject); }
};

// A device context that its user does not own (see CPaintDC and CClientDC for the owners).
class CDC {
public:
    explicit CDC(HDC hDC = nullptr) : m_hDC(hDC) {}
    virtual ~CDC() = default;

    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;

    HDC m_hDC;
    HDC GetSafeHdc() const { return m_hDC; }

    // Returns the palette that was selected before (null when none could be selected).
    HPALETTE SelectPalette(HPALETTE hPalette, BOOL bForceBackground);
    HPALETTE SelectPalette(CPalette* pPalette, BOOL bForceBackground);
    UINT RealizePalette();
    int SetStretchBltMode(int nStretchMode);
    BOOL DrawIcon(int x, int y, HICON hIcon);
};

// A palette selected into a device context for this object's life: the palette that was there
// before goes back in when it ends. A null palette selects nothing.
class CPaletteSelection {
public:
    CPaletteSelection(CDC* pDC, CPalette* pPalette, BOOL bForceBackground);
    ~CPaletteSelection();

    CPaletteSelection(const CPaletteSelection&) = delete;
    CPaletteSelection& operator=(const CPaletteSelection&) = delete;

private:
    CDC* m_pDC;
    BOOL m_bForceBackground;
    HPALETTE m_hOldPalette = nullptr;
};

// The paint context of one WM_PAINT (BeginPaint to EndPaint).
class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC() override;

    PAINTSTRUCT m_ps;

private:
    HWND m_hWnd;
};

// The client-area context of a window (GetDC to ReleaseDC).
class CClientDC : public CDC {
public:
    explicit CClientDC(CWnd* pWnd);
    ~CClientDC() override;

private:
    HWND m_hWnd;
};

// The application: one object per program, constructed before WinMain runs.
class CWinApp {
public:
    explicit CWinApp(const char* lpszAppName = nullptr);
    virtual ~CWinApp();

    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Returns FALSE to end the program at once (a dialog application runs its dialog in here).
    virtual BOOL InitInstance();
    // The message loop, entered only when InitInstance returned TRUE. Returns the exit code.
    virtual int Run();
    virtual int ExitInstance();

    // Three-dimensional controls are the system's own since Windows 95; kept for the call.
    BOOL Enable3dControls();

    // The command map: WM_COMMAND ids that no window handled. Returns true when handled.
    virtual bool OnCmdMsg(UINT nID);
    void OnHelp();

    CWnd* m_pMainWnd = nullptr;
    HINSTANCE m_hInstance = nullptr;
    CString m_strAppName;
};

// The body of WinMain: runs the application object.
int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);
