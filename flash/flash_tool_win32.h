// One run of the flash utility on a worker thread: the child process, its pipe and semaphore,
// and the events posted to the main dialog. The record handling itself is portable
// (flash_tool_run.h).
#pragma once

#include "flash/update_events.h"

#include <windows.h>

#include <atomic>

extern std::atomic<HWND> g_hDlgWnd;        // the main dialog; set once at its initialisation
extern std::atomic<HANDLE> g_hToolThread;  // the latest worker thread (StartFlashToolRun closes the one before)

// Worker start routine. The parameter is the run number (from StartFlashToolRun); NULL means
// the current run, or a new run when none is current. Every event it posts carries that number
// (MakeUpdateEventWParam). Returns 1 after the utility's FTM_DONE record, 0 after every other end.
DWORD WINAPI FlashToolThreadProc(LPVOID lpParameter);

// Numbers a new run (the current run from now on), starts FlashToolThreadProc on a new thread
// for it, stores the thread handle in g_hToolThread (closing the previous one) and returns the
// run number. The sequencer formats g_toolCommandLine before it calls this.
unsigned StartFlashToolRun();

// Gives up on the current run: ends its child process if it still runs; that worker then ends
// without posting anything and without a message box. No run is current afterwards.
void StopFlashToolRun();

// The current run's number; 0 when none is current.
unsigned CurrentFlashToolRun();
