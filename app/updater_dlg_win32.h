// The main dialog: the whole user interface of the updater. Its handlers turn window messages
// into calls; what the dialog decides lives in portable code that reaches the controls through
// IUpdaterView.
#pragma once

#include "afx/afxwin.h"
#include "app/logo/logo_bitmap.h"
#include "app/resource.h"
#include "app/update_sequencer.h"
#include "app/updater_view.h"
#include "flash/firmware_choice.h"
#include "payload/payload_archive.h"

#include <memory>

class CUpdaterDlg : public CDialog, public IUpdaterView, public IUpdateRunner {
public:
    explicit CUpdaterDlg(CWnd* pParent = nullptr);
    ~CUpdaterDlg() override;

    enum { IDD = IDD_UPDATER_DIALOG };

    // IUpdaterView
    void SetItemText(int nID, const CString& strText) override;
    void ShowItem(int nID, bool bShow) override;
    void EnableItem(int nID, bool bEnable) override;
    int AddListRow(int nID, const CString& strText) override;
    int GetListCount(int nID) const override;
    int GetListSelection(int nID) const override;
    void SetListSelection(int nID, int nRow) override;
    CString GetListRow(int nID, int nRow) const override;
    void SetProgressRange(int nLower, int nUpper) override;
    void SetProgressPos(int nPos) override;
    int ExchangeUserPositions(bool bSave) override;
    void StartTimer(unsigned nIDEvent, unsigned nMilliseconds) override;
    void StopTimer(unsigned nIDEvent) override;
    void Repaint() override;
    CSize GetClientSize() const override;
    void ShowMessage(const CString& strText, const CString& strCaption) override;
    void ShowAppMessage(const CString& strText) override;
    bool AskYesNo(const CString& strText, const CString& strCaption) override;
    void CloseDialog() override;

    // IUpdateRunner
    unsigned StartRun() override;
    bool StopRun(FlashRunStop when) override;
    uint32_t GetRunSilence() override;
    uint32_t GetTickMs() override;
    void Pause(unsigned nMilliseconds) override;
    CString ShortPath(const CString& strPath) override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;

    bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
    void OnSysCommand(UINT nID, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnUpdateButton();
    void OnTimer(UINT_PTR nIDEvent);
    LRESULT OnUpdateEvent(WPARAM wParam, LPARAM lParam);

    CPayloadArchive m_archive;  // the payload of the program's own file
    CLogoBitmap* m_pLogo;       // the loaded logo; null when none is shown
    CString m_strTempDir;       // this process's working folder in the temporary directory, ending in a backslash
    // The firmware entry chosen for the chip and the database entry (m_strFirmware and
    // m_strDatabase), and the merge; made once the temporary directory is known. Declared before
    // the sequencer, which uses it, so that it goes after the sequencer.
    std::unique_ptr<CFirmwareChoice> m_pFirmware;
    // The update: its phase, the user's option and the probe's dump file.
    std::unique_ptr<CUpdateSequencer> m_pSequencer;
    CProgressCtrl m_progress;  // 1004
    CComboBox m_portList;      // 1001
    CComboBox m_speedList;     // 1002
    int m_nUserPositions;      // radio group 1008/1009: 0 keep, 1 erase the user positions
    HICON m_hIcon;             // group icon 128
    CSize m_sizeLogo;          // the logo's size in pixels
    CPoint m_ptLogo;           // client coordinates of the logo's top-left corner

private:
    CComboBox* ListFor(int nID);
    const CComboBox* ListFor(int nID) const;
};
