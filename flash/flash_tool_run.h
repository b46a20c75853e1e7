// One run of the flash utility, as the worker thread sees it once the child has started: read
// records, turn them into update events and the chip type, and end the run. Portable; the Win32
// worker (flash_tool_win32.cpp) supplies the host and the pipe.
#pragma once

#include "afx/afx.h"
#include "flash/flash_record_reader.h"

#include <cstdint>
#include <functional>

// Texts of the boxes that end an update from the worker.
extern const char FLASH_TEXT_CLOSE_OTHER_PORT[];  // codes 14 and 2 with no port left
extern const char FLASH_TEXT_UNKNOWN_ERROR[];     // format for every other code: code, utility's text
extern const char FLASH_TEXT_NO_FINAL_RECORD[];   // the utility's text for FTM_ERR_NO_FINAL_RECORD

// What a run does to the world around it.
class IFlashRunHost {
public:
    virtual ~IFlashRunHost() = default;
    // Runs f() when the run is still the current one, atomically with the sequencer giving up on
    // it, and returns true; returns false without calling f() for a run given up on. Every
    // write of shared state and every post goes through here, so a late run changes nothing.
    virtual bool IfCurrent(const std::function<void()>& f) = 0;
    // Posts UM_UPDATE_EVENT with this event kind and argument (called from within IfCurrent).
    virtual void PostUpdateEvent(int nKind, intptr_t lArg) = 0;
    // Shows a message box (MB_OK) and returns once the user has closed it.
    virtual void ShowMessageBox(const CString& strText) = 0;
    // Closes the run's child, pipe and semaphore handles; called once, when the run stops
    // reading and before any box or final event, so that the sequencer no longer watches it.
    virtual void ReleaseRun() = 0;
    // A record was read: a sign of life, whatever the record says.
    virtual void RecordRead() {}
};

class CFlashToolRun {
public:
    explicit CFlashToolRun(IFlashRunHost& host) : m_host(host) {}

    // Reads and dispatches records until the run ends. A source that ends or fails before a
    // final record ends the run as an error with FTM_ERR_NO_FINAL_RECORD. Returns the worker's
    // exit code: 1 after FTM_DONE, 0 after every other end.
    int Run(CFlashRecordReader& reader);

    // Handles one record; returns true while the run goes on, false once it has ended.
    bool Dispatch(int32_t nCode, const char* pszText);
    // Ends the run for a utility that stopped without a final record: a probe with ports left
    // moves on to the next port without a word, any other run ends the update as an error.
    void EndWithoutFinalRecord();

    int GetExitCode() const { return m_nExitCode; }

private:
    void EndDone();
    void EndError(int32_t nCode, const char* pszText, bool bNoFinalRecord = false);

    IFlashRunHost& m_host;
    int32_t m_nProgress = 0;    // keeps its value when a progress text has no leading integer
    bool m_bChipNamed = false;  // a chip-name record came: a receiver is on the port
    int m_nExitCode = 0;
};
