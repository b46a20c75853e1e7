// The Win32 half of our small MFC-like layer: only what the program calls. Include only from
// files that are built for Windows.
#pragma once

#include "afx/afx.h"

#include <windows.h>

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
