// The application object: shows the main dialog as the program's only window.
#pragma once

#include "afx/afxwin.h"

class CUpdaterApp : public CWinApp {
public:
    CUpdaterApp() = default;

    // Runs the main dialog and returns FALSE, so that the program ends when it closes.
    BOOL InitInstance() override;
};

extern CUpdaterApp theApp;
