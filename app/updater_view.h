// What the main dialog offers to the code that drives it: its controls, timers and message
// boxes, in terms that need no window system. The dialog implements it over its window; tests
// implement it over plain data.
#pragma once

#include "afx/afx.h"
#include "afx/afxcoord.h"

class IUpdaterView {
public:
    virtual ~IUpdaterView() = default;

    // Controls by their ids (app/resource.h).
    virtual void SetItemText(int nID, const CString& strText) = 0;
    virtual void ShowItem(int nID, bool bShow) = 0;
    virtual void EnableItem(int nID, bool bEnable) = 0;

    // Rows of the port list or the speed list. A selection of -1 means none.
    virtual int AddListRow(int nID, const CString& strText) = 0;
    virtual int GetListCount(int nID) const = 0;
    virtual int GetListSelection(int nID) const = 0;
    virtual void SetListSelection(int nID, int nRow) = 0;
    virtual CString GetListRow(int nID, int nRow) const = 0;

    // The progress bar.
    virtual void SetProgressRange(int nLower, int nUpper) = 0;
    virtual void SetProgressPos(int nPos) = 0;

    // Data exchange of the radio group: bSave reads the checked button into the dialog's
    // value, otherwise the value is shown. Returns that value (0 keep, 1 erase the user positions).
    virtual int ExchangeUserPositions(bool bSave) = 0;

    // One-shot timers: the handler stops a timer when it fires.
    virtual void StartTimer(unsigned nIDEvent, unsigned nMilliseconds) = 0;
    virtual void StopTimer(unsigned nIDEvent) = 0;

    // Repaints the whole window without erasing its background.
    virtual void Repaint() = 0;
    // Size of the client area in pixels.
    virtual CSize GetClientSize() const = 0;

    // A message box owned by the dialog, with an OK button; returns when it is closed.
    virtual void ShowMessage(const CString& strText, const CString& strCaption) = 0;
    // A message box with the application name as caption (AfxMessageBox).
    virtual void ShowAppMessage(const CString& strText) = 0;
    // A warning box owned by the dialog with Yes and No buttons, No the default; returns true
    // for Yes.
    virtual bool AskYesNo(const CString& strText, const CString& strCaption) = 0;

    // Ends the dialog through its base OK action.
    virtual void CloseDialog() = 0;
};
