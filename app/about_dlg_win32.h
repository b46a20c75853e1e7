// The About box: the icon, the program's name and an OK button.
#pragma once

#include "afx/afxwin.h"
#include "app/resource.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg() : CDialog(IDD_ABOUTBOX) {}

protected:
    void DoDataExchange(CDataExchange*) override {}
};
