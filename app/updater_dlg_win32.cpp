#include "app/updater_dlg_win32.h"

#include "app/about_dlg_win32.h"
#include "app/dialog_startup.h"
#include "app/serial_port_key_win32.h"
#include "flash/update_state.h"

#include "flash/flash_tool_win32.h"

namespace {

// The temporary directory as the program's ANSI calls can use it: as it is, or by its short
// (8.3) form when its name holds letters outside the ANSI code page. Empty when neither works;
// bNoAnsiPath then tells a path that no ANSI call could reach.
CString AnsiTempDir(bool& bNoAnsiPath)
{
    wchar_t szWide[MAX_PATH + 1];
    const DWORD nWide = ::GetTempPathW(MAX_PATH + 1, szWide);
    if (nWide == 0 || nWide > MAX_PATH)
        return CString();
    CString strAnsi;
    if (AfxAnsiPathExact(szWide, strAnsi))
        return TempDirFromResult(uint32_t(strAnsi.GetLength()), strAnsi, MAX_PATH);
    wchar_t szShort[MAX_PATH + 1];
    const DWORD nShort = ::GetShortPathNameW(szWide, szShort, MAX_PATH + 1);
    if (nShort != 0 && nShort <= MAX_PATH && AfxAnsiPathExact(szShort, strAnsi))
        return TempDirFromResult(uint32_t(strAnsi.GetLength()), strAnsi, MAX_PATH);
    bNoAnsiPath = true;
    return CString();
}

}  // namespace

// OnInitDialog sets the logo, the flags and the logo geometry; they start out empty here too, so
// that a dialog that never opened is destroyed cleanly.
CUpdaterDlg::CUpdaterDlg(CWnd* pParent) : CDialog(IDD, pParent), m_pLogo(nullptr), m_nUserPositions(0)
{
    m_hIcon = ::LoadIconA(AfxGetResourceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME));
}

CUpdaterDlg::~CUpdaterDlg()
{
    m_pSequencer.reset();  // it refers to the firmware choice and the payload
    m_pFirmware.reset();
    delete m_pLogo;
}

void CUpdaterDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Control(pDX, IDC_PORT_LIST, m_portList);
    DDX_Control(pDX, IDC_SPEED_LIST, m_speedList);
    DDX_Radio(pDX, IDC_KEEP_POSITIONS, m_nUserPositions);
}

BOOL CUpdaterDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    // The system menu stays as it is: the About box answers WM_SYSCOMMAND 0x0010 only.
    GetSystemMenu(FALSE);
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    g_hDlgWnd = m_hWnd;
    AfxSetMainWindowHandle(m_hWnd);

    m_pLogo = nullptr;

    CSerialCommKey ports;
    FillPortList(*this, ports);
    FillSpeedList(*this);

    bool bNoAnsiPath = false;
    m_strTempDir = MakeWorkFolder(AnsiTempDir(bNoAnsiPath), ::GetCurrentProcessId());

    m_pLogo = ShowLabelAndLoadLogo(*this, m_archive, m_strTempDir, m_sizeLogo, m_ptLogo);

    // Fresh choice (m_strFirmware and m_strDatabase empty) and a sequencer at rest (idle, no
    // timer armed).
    m_pSequencer.reset();
    m_pFirmware =
        std::make_unique<CFirmwareChoice>(m_archive, m_strTempDir, [](const char* pszText) { AfxMessageBox(pszText); });
    m_pSequencer = std::make_unique<CUpdateSequencer>(*this, *this, m_archive, *m_pFirmware, m_strTempDir);
    m_pSequencer->SetLogoShown(m_pLogo != nullptr);
    if (bNoAnsiPath)
        m_pSequencer->SetNoFolderText(SEQ_TEXT_ANSI_PATH);
    return TRUE;  // the focus goes to the first tab stop, the Exit button
}

bool CUpdaterDlg::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    switch (message) {
        case WM_SYSCOMMAND:
            OnSysCommand(UINT(wParam), lParam);
            *pResult = 0;
            return true;
        case WM_PAINT:
            OnPaint();
            *pResult = 0;
            return true;
        case WM_QUERYDRAGICON:
            *pResult = reinterpret_cast<LRESULT>(OnQueryDragIcon());
            return true;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDC_UPDATE_BUTTON && HIWORD(wParam) == BN_CLICKED) {
                OnUpdateButton();
                *pResult = 0;
                return true;
            }
            break;
        case WM_TIMER:
            OnTimer(UINT_PTR(wParam));
            *pResult = 0;
            return true;
        case UM_UPDATE_EVENT:
            *pResult = OnUpdateEvent(wParam, lParam);
            return true;
        case WM_QUERYENDSESSION:
            // Logging off in the middle of a flash would end the utility and leave the
            // receiver without firmware.
            *pResult = !m_pSequencer || m_pSequencer->OnQueryEndSession() ? TRUE : FALSE;
            return true;
        default:
            break;
    }
    return CDialog::OnWndMsg(message, wParam, lParam, pResult);
}

void CUpdaterDlg::OnSysCommand(UINT nID, LPARAM /*lParam*/)
{
    if ((nID & 0xFFF0) == 0x0010) {
        CAboutDlg dlgAbout;
        dlgAbout.DoModal();
    } else {
        Default();
    }
}

void CUpdaterDlg::OnPaint()
{
    if (IsIconic()) {
        CPaintDC dc(this);
        SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
        int cxIcon = ::GetSystemMetrics(SM_CXICON);
        int cyIcon = ::GetSystemMetrics(SM_CYICON);
        RECT rect;
        GetClientRect(&rect);
        int x = (rect.right - cxIcon + 1) / 2;
        int y = (rect.bottom - cyIcon + 1) / 2;
        dc.DrawIcon(x, y, m_hIcon);
        return;
    }
    // The logo goes on the client area first; the default painting that follows draws the
    // controls and validates the window.
    if (m_pLogo) {
        CClientDC dc(this);
        m_pLogo->Paint(m_ptLogo.x, m_ptLogo.y, &dc);
    }
    Default();
}

HCURSOR CUpdaterDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hIcon);
}

void CUpdaterDlg::OnUpdateButton()
{
    if (m_pSequencer)
        m_pSequencer->OnUpdateButton();
}

void CUpdaterDlg::OnTimer(UINT_PTR nIDEvent)
{
    if (m_pSequencer)
        m_pSequencer->OnTimer(unsigned(nIDEvent));
    Default();
}

LRESULT CUpdaterDlg::OnUpdateEvent(WPARAM wParam, LPARAM lParam)
{
    return m_pSequencer ? LRESULT(m_pSequencer->OnUpdateEvent(wParam, lParam)) : 0;
}

// Exit: refused while an update runs; otherwise the sequencer cleans up and closes.
void CUpdaterDlg::OnOK()
{
    if (m_pSequencer)
        m_pSequencer->OnOK();
    else
        CDialog::OnOK();
}

// Escape and the close box: refused while an update runs, like Exit.
void CUpdaterDlg::OnCancel()
{
    if (!m_pSequencer || m_pSequencer->OnCancel())
        CDialog::OnCancel();
}

// ---------------------------------------------------------------------------------------------
// IUpdaterView

CComboBox* CUpdaterDlg::ListFor(int nID)
{
    return nID == IDC_PORT_LIST ? &m_portList : nID == IDC_SPEED_LIST ? &m_speedList : nullptr;
}

const CComboBox* CUpdaterDlg::ListFor(int nID) const
{
    return nID == IDC_PORT_LIST ? &m_portList : nID == IDC_SPEED_LIST ? &m_speedList : nullptr;
}

void CUpdaterDlg::SetItemText(int nID, const CString& strText)
{
    SetDlgItemText(nID, strText);
}

void CUpdaterDlg::ShowItem(int nID, bool bShow)
{
    if (CWnd* pItem = GetDlgItem(nID))
        pItem->ShowWindow(bShow ? SW_SHOW : SW_HIDE);
}

void CUpdaterDlg::EnableItem(int nID, bool bEnable)
{
    if (CWnd* pItem = GetDlgItem(nID))
        pItem->EnableWindow(bEnable ? TRUE : FALSE);
}

int CUpdaterDlg::AddListRow(int nID, const CString& strText)
{
    CComboBox* pList = ListFor(nID);
    return pList ? pList->AddString(strText) : CB_ERR;
}

int CUpdaterDlg::GetListCount(int nID) const
{
    const CComboBox* pList = ListFor(nID);
    return pList ? pList->GetCount() : 0;
}

int CUpdaterDlg::GetListSelection(int nID) const
{
    const CComboBox* pList = ListFor(nID);
    return pList ? pList->GetCurSel() : CB_ERR;
}

void CUpdaterDlg::SetListSelection(int nID, int nRow)
{
    if (CComboBox* pList = ListFor(nID))
        pList->SetCurSel(nRow);
}

CString CUpdaterDlg::GetListRow(int nID, int nRow) const
{
    CString text;
    if (const CComboBox* pList = ListFor(nID))
        pList->GetLBText(nRow, text);
    return text;
}

void CUpdaterDlg::SetProgressRange(int nLower, int nUpper)
{
    m_progress.SetRange(short(nLower), short(nUpper));
}

void CUpdaterDlg::SetProgressPos(int nPos)
{
    m_progress.SetPos(nPos);
}

int CUpdaterDlg::ExchangeUserPositions(bool bSave)
{
    UpdateData(bSave ? TRUE : FALSE);
    return m_nUserPositions;
}

void CUpdaterDlg::StartTimer(unsigned nIDEvent, unsigned nMilliseconds)
{
    SetTimer(nIDEvent, nMilliseconds);
}

void CUpdaterDlg::StopTimer(unsigned nIDEvent)
{
    KillTimer(nIDEvent);
}

void CUpdaterDlg::Repaint()
{
    Invalidate(FALSE);
}

CSize CUpdaterDlg::GetClientSize() const
{
    RECT rect;
    GetClientRect(&rect);
    return CSize(rect.right, rect.bottom);
}

void CUpdaterDlg::ShowMessage(const CString& strText, const CString& strCaption)
{
    MessageBox(strText, strCaption, MB_OK);
}

void CUpdaterDlg::ShowAppMessage(const CString& strText)
{
    AfxMessageBox(strText);
}

bool CUpdaterDlg::AskYesNo(const CString& strText, const CString& strCaption)
{
    return MessageBox(strText, strCaption, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

void CUpdaterDlg::CloseDialog()
{
    CDialog::OnOK();
}

// ---------------------------------------------------------------------------------------------
// IUpdateRunner

unsigned CUpdaterDlg::StartRun()
{
    return StartFlashToolRun();
}

bool CUpdaterDlg::StopRun(FlashRunStop when)
{
    return StopFlashToolRun(when);
}

uint32_t CUpdaterDlg::GetRunSilence()
{
    return FlashToolRunSilence();
}

uint32_t CUpdaterDlg::GetTickMs()
{
    return ::GetTickCount();
}

void CUpdaterDlg::Pause(unsigned nMilliseconds)
{
    ::Sleep(nMilliseconds);
}

CString CUpdaterDlg::ShortPath(const CString& strPath)
{
    // Through the wide call and an exact conversion: a short name the ANSI code page cannot hold
    // is none at all (the path is then quoted), never a look-alike that names another file.
    wchar_t szWide[MAX_PATH], szShort[MAX_PATH];
    CString strShort;
    if (::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, strPath, -1, szWide, MAX_PATH) == 0)
        return CString();
    const DWORD n = ::GetShortPathNameW(szWide, szShort, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || !AfxAnsiPathExact(szShort, strShort))
        return CString();
    return strShort;
}
