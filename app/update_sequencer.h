// The update sequencer: one press of the update button to the final message. It extracts the
// payload, probes the serial ports one after the other with the flash utility until a receiver
// answers, has the firmware for its chip prepared, flashes it and cleans up. Its steps are the
// handlers of the update event and of two one-shot timers, all on the dialog's thread; each run
// of the utility happens on a worker that reports only through posted update events.
//
// Portable: the dialog drives it through IUpdaterView (controls, timers, boxes) and
// IUpdateRunner (worker runs, the tick count), so that tests drive it with fakes.
#pragma once

#include "afx/afx.h"
#include "app/updater_view.h"
#include "flash/firmware_choice.h"
#include "flash/flash_run_registry.h"
#include "flash/update_state.h"
#include "payload/payload_archive.h"

#include <cstdint>

constexpr unsigned TIMER_WATCHDOG = 2;   // a run's first event must come within 6000 ms
constexpr unsigned TIMER_NEXT_STEP = 3;  // 1000 ms after a probe with firmware, 5000 ms after a failed port
                                         // (100 ms after one where no receiver was found)
constexpr unsigned TIMER_STALL = 4;      // a probe that has posted must read a record again within 60 s
constexpr unsigned WATCHDOG_MS = 6000;
// A receiver's chip erase takes seconds and our utility reports at least every few seconds: a
// minute without a record means the utility or the line is stuck. A probe is then ended; a
// flashing run never is, but Exit and the close box may then end it if the user confirms.
constexpr unsigned STALL_MS = 60000;
constexpr unsigned NEXT_STEP_MS = 1000;
constexpr unsigned NEXT_PORT_MS = 5000;
// After a port where the utility found no receiver (it released the port before its last
// record): at once, so that such a port costs the update little more than the utility's search.
constexpr unsigned NEXT_EMPTY_PORT_MS = 100;

// Runs of the flash utility and the system's millisecond tick count.
class IUpdateRunner {
public:
    virtual ~IUpdateRunner() = default;
    // Starts a run of the utility with g_toolCommandLine on a new worker; returns its number,
    // which the run's events carry.
    virtual unsigned StartRun() = 0;
    // Gives up on the current run when `when` allows it: its child ends and the run posts
    // nothing more. Returns false, giving up nothing, for a run that has stopped reading its
    // utility (its final event is on the way, perhaps behind its own box) or that `when` spares.
    virtual bool StopRun(FlashRunStop when) = 0;
    // Milliseconds since the current run last read a record (or began); RUN_NOT_READING once it
    // has stopped reading.
    virtual uint32_t GetRunSilence() = 0;
    virtual uint32_t GetTickCount() = 0;
    // The short (8.3) form of an existing file or folder; empty when it has none.
    virtual CString ShortPath(const CString& /*strPath*/) { return CString(); }
};

// The sequencer's own texts (update_sequencer.cpp holds them, byte for byte).
extern const char SEQ_TEXT_NO_PART[];        // damaged or empty payload, no firmware fits the chip
extern const char SEQ_TEXT_RESTART[];        // an entry could not be extracted
extern const char SEQ_TEXT_DAMAGED[];        // ... for its data does not inflate (a broken download)
extern const char SEQ_TEXT_DISK_FULL[];      // ... for want of space
extern const char SEQ_TEXT_ACCESS_DENIED[];  // ... for want of the right to write there
extern const char SEQ_TEXT_ANSI_PATH[];      // the temporary path does not survive the ANSI code page
extern const char SEQ_TEXT_CANNOT_RUN[];     // other extraction failures, no temporary directory
extern const char SEQ_TEXT_BUSY[];           // Exit or close refused while updating
extern const char SEQ_TEXT_UPDATING[];       // the update button while updating
extern const char SEQ_TEXT_DONE[];           // the success box
extern const char SEQ_CAPTION_DONE[];        // the success box's caption
extern const char SEQ_CAPTION_ERROR[];       // the failure boxes' caption
extern const char SEQ_CAPTION_WARNING[];     // the caption of the boxes about leaving
extern const char SEQ_TEXT_BUTTON_DONE[];    // the update button after success
extern const char SEQ_TEXT_BUTTON_FAILED[];  // the update button after failure
extern const char SEQ_TEXT_FAILED[];         // the failure box
extern const char SEQ_TEXT_NO_PORTS[];       // no serial port listed
extern const char SEQ_TEXT_NO_PORT_ROW[];    // no port row selected
extern const char SEQ_TEXT_NO_SPEED_ROW[];   // no speed row selected
extern const char SEQ_TEXT_STALLED[];        // a probe that went silent was given up
extern const char SEQ_TEXT_ASK_LEAVE[];      // Exit or close while a flashing run has been silent a minute

class CUpdateSequencer {
public:
    // strTempDir: the process's own working folder, ending in AFX_PATH_SEPARATOR; made again
    // when an update finds it gone, removed at the end of an update when empty, and at Exit.
    // All references must outlive the sequencer.
    CUpdateSequencer(IUpdaterView& view,
                     IUpdateRunner& runner,
                     CPayloadArchive& archive,
                     CFirmwareChoice& firmware,
                     const CString& strTempDir);

    void OnUpdateButton();
    // wParam: the event kind with the run number in its high word (MakeUpdateEventWParam).
    // Returns 0.
    intptr_t OnUpdateEvent(uintptr_t wParam, intptr_t lParam);
    void OnTimer(unsigned nIDEvent);
    // The Exit button: refused while an update runs (while a flashing run has been silent for a
    // minute, the user is asked instead); otherwise cleans up and ends the dialog.
    void OnOK();
    // Escape and the close box, refused or asked like Exit. Returns true when the dialog may end:
    // no update runs, and the files are cleaned up as Exit does.
    bool OnCancel();
    // Logging off or shutting down. Returns false while a flashing run is under way.
    bool OnQueryEndSession() const { return !m_bFlashing; }

    // Whether the logo is shown; with none, the flashing run shows the firmware name in 1006.
    void SetLogoShown(bool bShown) { m_bLogoShown = bShown; }
    // The text for an update without a working folder (SEQ_TEXT_CANNOT_RUN unless told).
    void SetNoFolderText(const char* pszText) { m_pszNoFolder = pszText; }

    int m_bBusy = 0;           // an update runs
    int m_bWatchdogArmed = 0;  // TIMER_WATCHDOG runs
    int m_bStallArmed = 0;     // TIMER_STALL runs
    int m_nUserPositions = 0;  // the checked button: 0 keep, 1 erase the user positions, -1 neither (read at the press)
    int m_bFlashing = 0;       // the flashing run is under way
    CString m_strDumpPath;     // the probe's dump file; empty until the first probe

private:
    void StartProbe(bool bNextPort);
    void Probed(intptr_t lParam);
    void PortFailed(unsigned nNextMs = NEXT_PORT_MS);
    void PortCannotBeOpened();
    void StartFlash();
    void Finish(intptr_t lParam);
    void Stalled();
    bool MayLeaveWhileBusy();
    void CleanUpAndClose();
    void EnableOptions(bool bEnable);
    void WaitOneSecond();
    void StartRun();
    int FormatCommandLine(int nRow, const CString& strFile, bool bProbe);
    int Extract(int& nCause);
    CString CommandPath(const CString& strName);
    void CleanUp(bool bDump);
    bool CanStart();

    IUpdaterView& m_view;
    IUpdateRunner& m_runner;
    CPayloadArchive& m_archive;
    CFirmwareChoice& m_firmware;
    CString m_strTempDir;
    bool m_bLogoShown = false;
    const char* m_pszNoFolder = SEQ_TEXT_CANNOT_RUN;
    unsigned m_nRun = 0;  // number of the run whose events count; 0 when none
    // TIMER_NEXT_STEP starts the flashing run: this update's probe named the chip and its
    // firmware was chosen. Otherwise it probes the next port.
    bool m_bFlashNext = false;
};
