// One run of the flash utility on a worker thread: the child process, its pipe and semaphore,
// and the events posted to the main dialog. The record handling itself is portable
// (flash_tool_run.h).
#pragma once

#include "flash/flash_run_registry.h"
#include "flash/update_state.h"

#include <windows.h>

#include <atomic>

extern std::atomic<HWND> g_hDlgWnd;        // the main dialog; set once at its initialisation
extern std::atomic<HANDLE> g_hToolThread;  // the latest worker thread (StartFlashToolRun closes the one before)

// Worker start routine. The parameter is the run number (from StartFlashToolRun); NULL means
// the current run, or a new run when none is current. Every event it posts carries that number
// (MakeUpdateEventWParam); a utility that cannot be started ends the update (UPD_FINISH 0)
// once its box is closed. Returns 1 after the utility's FTM_DONE record, 0 after every other end.
DWORD WINAPI FlashToolThreadProc(LPVOID lpParameter);

// Numbers a new run (the current run from now on), starts FlashToolThreadProc on a new thread
// for it, stores the thread handle in g_hToolThread (closing the previous one) and returns the
// run number. The sequencer formats g_toolCommandLine before it calls this; the worker hands
// the utility a copy with the handle options appended and leaves the shared string alone.
unsigned StartFlashToolRun();

// Gives up on the current run, when `when` allows it: ends its child process if it still runs;
// that worker then ends without posting anything and without a message box, and no run is
// current afterwards. Returns false, giving up nothing, for a run that has stopped reading (its
// final event is on the way) or that `when` spares.
bool StopFlashToolRun(FlashRunStop when = STOP_UNLESS_ENDING);

// Milliseconds since the current run last read a record from its utility (or began);
// RUN_NOT_READING when it has stopped reading or none is current.
uint32_t FlashToolRunSilence();

// The current run's number; 0 when none is current.
unsigned CurrentFlashToolRun();
