// Windows, dialogs and controls of our MFC-like layer.
#include "afx/afxwin.h"

// ---------------------------------------------------------------------------------------------
// Windows

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CWnd* pWnd = reinterpret_cast<CWnd*>(::GetWindowLongPtrA(hWnd, GWLP_USERDATA));
    if (!pWnd)
        return ::DefWindowProcA(hWnd, message, wParam, lParam);
    return pWnd->WindowProc(message, wParam, lParam);
}

CWnd::~CWnd() = default;

void CWnd::SubclassWindowProc(HWND hWnd)
{
    m_hWnd = hWnd;
    ::SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_pfnSuper =
        reinterpret_cast<WNDPROC>(::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AfxWndProc)));
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    // Handlers may send messages to their own window, so the message that Default() refers to
    // is saved and restored around each one.
    CurrentMessage saved = m_current;
    m_current = CurrentMessage{message, wParam, lParam};
    LRESULT lResult = 0;
    if (!OnWndMsg(message, wParam, lParam, &lResult))
        lResult = Default();
    m_current = saved;

    if (message == WM_NCDESTROY) {
        HWND hWnd = m_hWnd;
        ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
        ::SetWindowLongPtrA(hWnd, GWLP_USERDATA, 0);
        m_pfnSuper = nullptr;
        m_hWnd = nullptr;
        m_items.clear();
    }
    return lResult;
}

bool CWnd::OnWndMsg(UINT, WPARAM, LPARAM, LRESULT*)
{
    return false;
}

LRESULT CWnd::Default()
{
    if (m_pfnSuper)
        return ::CallWindowProcA(m_pfnSuper, m_hWnd, m_current.message, m_current.wParam, m_current.lParam);
    return ::DefWindowProcA(m_hWnd, m_current.message, m_current.wParam, m_current.lParam);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::PostMessageA(m_hWnd, message, wParam, lParam);
}

void CWnd::SetWindowText(const char* lpszString)
{
    ::SetWindowTextA(m_hWnd, lpszString);
}

CString CWnd::GetWindowText() const
{
    int n = ::GetWindowTextLengthA(m_hWnd);
    if (n <= 0)
        return CString();
    CString text;
    char* p = text.GetBuffer(n);
    int got = ::GetWindowTextA(m_hWnd, p, n + 1);
    text.ReleaseBuffer(got > 0 ? got : 0);
    return text;
}

BOOL CWnd::ShowWindow(int nCmdShow)
{
    return ::ShowWindow(m_hWnd, nCmdShow);
}

BOOL CWnd::EnableWindow(BOOL bEnable)
{
    return ::EnableWindow(m_hWnd, bEnable);
}

BOOL CWnd::IsWindowEnabled() const
{
    return ::IsWindowEnabled(m_hWnd);
}

BOOL CWnd::IsWindowVisible() const
{
    return ::IsWindowVisible(m_hWnd);
}

BOOL CWnd::IsIconic() const
{
    return ::IsIconic(m_hWnd);
}

void CWnd::GetClientRect(LPRECT lpRect) const
{
    ::GetClientRect(m_hWnd, lpRect);
}

void CWnd::Invalidate(BOOL bErase)
{
    ::InvalidateRect(m_hWnd, nullptr, bErase);
}

HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon)
{
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
}

CWnd* CWnd::GetDlgItem(int nID)
{
    HWND hItem = ::GetDlgItem(m_hWnd, nID);
    if (!hItem)
        return nullptr;
    std::unique_ptr<CWnd>& item = m_items[nID];
    if (!item)
        item = std::make_unique<CWnd>();
    item->m_hWnd = hItem;
    return item.get();
}

void CWnd::SetDlgItemText(int nID, const char* lpszString)
{
    ::SetDlgItemTextA(m_hWnd, nID, lpszString);
}

UINT_PTR CWnd::SetTimer(UINT_PTR nIDEvent, UINT nElapse)
{
    return ::SetTimer(m_hWnd, nIDEvent, nElapse, nullptr);
}

BOOL CWnd::KillTimer(UINT_PTR nIDEvent)
{
    return ::KillTimer(m_hWnd, nIDEvent);
}

HMENU CWnd::GetSystemMenu(BOOL bRevert) const
{
    return ::GetSystemMenu(m_hWnd, bRevert);
}

int CWnd::MessageBox(const char* lpszText, const char* lpszCaption, UINT nType)
{
    CString caption = lpszCaption ? CString(lpszCaption) : AfxGetAppName();
    return ::MessageBoxA(m_hWnd, lpszText, caption, nType);
}

// ---------------------------------------------------------------------------------------------
// Data exchange and controls

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl)
{
    if (!rControl.m_hWnd)
        rControl.m_hWnd = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
}

void DDX_Radio(CDataExchange* pDX, int nIDC, int& value)
{
    HWND hButton = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
    if (!hButton)
        return;
    if (pDX->m_bSaveAndValidate)
        value = -1;
    // The group runs from nIDC up to the next control that starts a group of its own.
    int iButton = 0;
    do {
        if (::SendMessageA(hButton, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON) {
            if (pDX->m_bSaveAndValidate) {
                if (::SendMessageA(hButton, BM_GETCHECK, 0, 0) != BST_UNCHECKED)
                    value = iButton;
            } else {
                ::SendMessageA(hButton, BM_SETCHECK, iButton == value ? BST_CHECKED : BST_UNCHECKED, 0);
            }
            ++iButton;
        }
        hButton = ::GetWindow(hButton, GW_HWNDNEXT);
    } while (hButton && !(::GetWindowLongA(hButton, GWL_STYLE) & WS_GROUP));
}

int CComboBox::AddString(const char* lpszString)
{
    return int(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(lpszString)));
}

int CComboBox::GetCount() const
{
    return int(SendMessage(CB_GETCOUNT));
}

int CComboBox::GetCurSel() const
{
    return int(SendMessage(CB_GETCURSEL));
}

int CComboBox::SetCurSel(int nSelect)
{
    return int(SendMessage(CB_SETCURSEL, WPARAM(nSelect)));
}

int CComboBox::GetLBTextLen(int nIndex) const
{
    return int(SendMessage(CB_GETLBTEXTLEN, WPARAM(nIndex)));
}

void CComboBox::GetLBText(int nIndex, CString& rString) const
{
    rString.Empty();
    int n = GetLBTextLen(nIndex);
    if (n <= 0)
        return;
    char* p = rString.GetBuffer(n);
    int got = int(SendMessage(CB_GETLBTEXT, WPARAM(nIndex), reinterpret_cast<LPARAM>(p)));
    rString.ReleaseBuffer(got > 0 && got <= n ? got : 0);
}

void CProgressCtrl::SetRange(short nLower, short nUpper)
{
    SendMessage(PBM_SETRANGE, 0, MAKELPARAM(nLower, nUpper));
}

int CProgressCtrl::SetPos(int nPos)
{
    return int(SendMessage(PBM_SETPOS, WPARAM(nPos)));
}

int CProgressCtrl::GetPos() const
{
    return int(SendMessage(PBM_GETPOS));
}

// ---------------------------------------------------------------------------------------------
// Dialogs

// The dialog procedure only takes the dialog over at WM_INITDIALOG; from then on its window
// procedure routes every message through OnWndMsg, and this procedure declines the rest so
// that the system's dialog manager does the default processing.
INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM /*wParam*/, LPARAM lParam)
{
    if (message != WM_INITDIALOG)
        return FALSE;
    CDialog* pDlg = reinterpret_cast<CDialog*>(lParam);
    pDlg->SubclassWindowProc(hWnd);
    return pDlg->OnInitDialog();
}

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

INT_PTR CDialog::DoModal()
{
    // Without a parent the main window owns the dialog, so that it stays above it and disables it.
    HWND hOwner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    if (!hOwner) {
        CWnd* pMain = AfxGetMainWnd();
        if (pMain && pMain != this && pMain->m_hWnd && ::IsWindow(pMain->m_hWnd))
            hOwner = pMain->m_hWnd;
    }
    return ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_nIDTemplate), hOwner, &AfxDlgProc,
                             reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void CDialog::EndDialog(int nResult)
{
    ::EndDialog(m_hWnd, nResult);
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

void CDialog::DoDataExchange(CDataExchange*) {}

bool CDialog::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        // Buttons, the Enter and Escape keys, the close command (turned into IDCANCEL by the
        // dialog manager), menus and accelerators all arrive here with code 0.
        switch (LOWORD(wParam)) {
            case IDOK:
                OnOK();
                *pResult = 0;
                return true;
            case IDCANCEL:
                OnCancel();
                *pResult = 0;
                return true;
            default:
                if (lParam == 0 && AfxGetApp() && AfxGetApp()->OnCmdMsg(LOWORD(wParam))) {
                    *pResult = 0;
                    return true;
                }
                break;
        }
    }
    return CWnd::OnWndMsg(message, wParam, lParam, pResult);
}
