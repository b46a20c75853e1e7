// The steps of an update, each called by the dispatch (update_sequencer.cpp) or by the step
// before it; each ends by entering the phase it leads to.
#include "app/update_sequencer.h"

#include "app/resource.h"
#include "flash/flash_tool_run.h"
#include "contract/flash_tool_contract.h"
#include "flash/update_rules.h"

void CUpdateSequencer::PressButton()
{
    if (!CanStart())
        return;
    m_nUserPositions = m_view.ExchangeUserPositions(true);
    m_view.SetProgressRange(0, 105);
    m_view.ShowItem(IDC_PROGRESS, true);

    int nCause = CFileException::none;
    int nResult = Extract(nCause);
    if (nResult == SFX_OK) {
        m_firmware.OnExtracted();
        g_speedSlot = SpeedSlotOfRow(m_view.GetListSelection(IDC_SPEED_LIST));
        StartUpdate();
    } else {
        const char* pszText = SEQ_TEXT_CANNOT_RUN;
        if (nResult == SFX_ERR_FORMAT || nResult == SFX_ERR_EMPTY)
            pszText = SEQ_TEXT_NO_PART;
        else if (nResult == SFX_ERR_EXTRACT)
            pszText = nCause == CFileException::diskFull       ? SEQ_TEXT_DISK_FULL
                      : nCause == CFileException::accessDenied ? SEQ_TEXT_ACCESS_DENIED
                      : nCause == CFileException::none         ? SEQ_TEXT_DAMAGED
                                                               : SEQ_TEXT_RESTART;
        m_view.ShowMessage(pszText, SEQ_CAPTION_ERROR);
    }
    m_view.ExchangeUserPositions(false);
}

// The first probe of an update, on the selected port.
void CUpdateSequencer::StartUpdate()
{
    m_view.SetProgressPos(5);
    m_view.SetItemText(IDC_UPDATE_BUTTON, SEQ_TEXT_UPDATING);
    EnterPhase(UpdatePhase::STARTING);
    // Each update judges its own failure: an error code of an earlier update must not decide
    // whether this one re-enables the speed list.
    g_lastToolError = 0;
    g_portCursor = m_view.GetListSelection(IDC_PORT_LIST);
    g_firstPort = g_portCursor.load();
    StartProbe();
}

// The probe of the port the cursor names, shown selected.
void CUpdateSequencer::StartNextProbe()
{
    m_view.SetListSelection(IDC_PORT_LIST, g_portCursor);
    StartProbe();
}

void CUpdateSequencer::StartProbe()
{
    // Each port names its own chip: what a failed port named must never choose a firmware.
    g_chipType = CHIP_PENDING;
    m_strDumpPath = m_strTempDir + SEQ_DUMP_NAME;
    const int nPort = FormatCommandLine(g_portCursor, SEQ_DUMP_NAME, true);
    const int nRows = m_view.GetListCount(IDC_PORT_LIST);
    g_portCursor = nRows > 0 ? (g_portCursor + 1) % nRows : 0;
    if (nPort == 0) {
        PortCannotBeOpened();
        return;
    }
    StartRun(UpdatePhase::PROBE_STARTING);
    m_view.Repaint();
}

void CUpdateSequencer::Progress(intptr_t lPercent)
{
    // The utility's figure is a percentage; anything else must not move the bar past its ends.
    m_view.SetProgressPos(int(lPercent < 0 ? 0 : lPercent > 100 ? 100 : lPercent) + 10);
}

void CUpdateSequencer::Probed(intptr_t lParam)
{
    // Only a probe that completed and named the chip has found the receiver; any other end
    // (the port failed, the utility died, a success without a chip) says nothing about it.
    const ChipType chip = g_chipType.load();
    if (lParam != 1 || !IsChipNamed(chip)) {
        PortFailed(lParam == PROBED_NO_RECEIVER ? NEXT_EMPTY_PORT_MS : NEXT_PORT_MS);
        return;
    }
    EnterPhase(UpdatePhase::CHOOSING);
    m_firmware.ChooseFirmware(static_cast<unsigned char>(chip));
    if (!m_firmware.m_strFirmware.IsEmpty()) {
        EnterPhase(UpdatePhase::CHIP_FOUND);
        m_view.Repaint();
        return;
    }
    // No firmware fits this receiver: the update stops here, and only Exit stays useful.
    EnterPhase(UpdatePhase::ENDING);
    WaitOneSecond();
    CleanUp(false);
    m_view.ShowMessage(SEQ_TEXT_NO_PART, SEQ_CAPTION_ERROR);
    EnterPhase(UpdatePhase::HALTED);
    m_view.Repaint();
}

// The next port after a failed one, or the failure end when the cycle is over.
// nNextMs: the wait before the next port, NEXT_EMPTY_PORT_MS after a port without a receiver.
void CUpdateSequencer::PortFailed(unsigned nNextMs)
{
    if (!ProbeCycleHasPortsLeft()) {
        Finish(0);
        return;
    }
    EnterPhase(UpdatePhase::BETWEEN_PORTS, nNextMs);
    m_view.Repaint();
}

// A row that names no port is never handed to the utility: it ends as the utility ends a port
// that does not exist.
void CUpdateSequencer::PortCannotBeOpened()
{
    if (!IsFlashing() && ProbeCycleHasPortsLeft()) {
        PortFailed();
        return;
    }
    g_lastToolError = FTM_ERR_NO_PORT;
    // A flashing run being set up stays one until the end: logging off is refused meanwhile.
    if (!IsFlashing())
        EnterPhase(UpdatePhase::ENDING);
    m_view.ShowAppMessage(FLASH_TEXT_CLOSE_OTHER_PORT);
    Finish(0);
}

void CUpdateSequencer::StartFlash()
{
    // Only firmware chosen, and merged, in this update is ever flashed.
    if (m_firmware.m_strFirmware.IsEmpty()) {
        Finish(0);
        return;
    }
    EnterPhase(UpdatePhase::FLASHING);
    if (!m_bLogoShown)
        m_view.SetItemText(IDC_UPDATE_INFO2, m_firmware.m_strFirmware);
    g_chipType = 0;
    g_portCursor = m_view.GetListSelection(IDC_PORT_LIST);
    const int nPort = FormatCommandLine(g_portCursor, m_firmware.m_strFirmware, false);
    g_firstPort = g_portCursor.load();
    if (nPort == 0) {
        PortCannotBeOpened();
        return;
    }
    // The watchdog bounds only a utility that never starts: once it runs, nothing ends it but
    // the user.
    StartRun(UpdatePhase::FLASH_STARTING);
}

void CUpdateSequencer::Finish(intptr_t lParam)
{
    EnterPhase(UpdatePhase::ENDING);
    WaitOneSecond();
    CleanUp(false);
    m_view.SetListSelection(IDC_PORT_LIST, g_portCursor);
    EnterPhase(UpdatePhase::IDLE);
    if (lParam == 1) {
        m_view.ShowMessage(SEQ_TEXT_DONE, SEQ_CAPTION_DONE);
        m_view.SetItemText(IDC_UPDATE_BUTTON, SEQ_TEXT_BUTTON_DONE);
    } else {
        m_view.SetItemText(IDC_UPDATE_BUTTON, SEQ_TEXT_BUTTON_FAILED);
        m_view.ShowAppMessage(SEQ_TEXT_FAILED);
        int nError = g_lastToolError;
        if (!IsPortFailure(nError))  // another speed cannot help a port that would not open
            m_view.EnableItem(IDC_SPEED_LIST, true);
    }
}

// The run never answered: end it, so that it can neither write to the port the next run uses
// nor report into the steps that follow. A run that has stopped reading is ending (its box may
// be open) and will post; a flashing utility that runs is never ended: only one that never
// started is given up.
void CUpdateSequencer::WatchdogExpired()
{
    const bool bFlashing = IsFlashing();
    if (!m_runner.StopRun(bFlashing ? STOP_IF_NOT_STARTED : STOP_UNLESS_ENDING)) {
        EnterPhase(bFlashing ? UpdatePhase::FLASHING : UpdatePhase::PROBE_ENDING);
        return;
    }
    m_nRun = 0;
    if (bFlashing || !ProbeCycleHasPortsLeft())
        Finish(0);
    else
        StartNextProbe();
}

// A probe that has read no record for a minute is ended and treated like a run whose utility
// stopped without a final record: with ports left the next port is probed; otherwise the update
// fails, saying why. Any record restarts the minute, and a run that has stopped reading is
// left to post its own end.
void CUpdateSequencer::Stalled()
{
    const uint32_t nSilent = m_runner.GetRunSilence();
    if (nSilent != RUN_NOT_READING && nSilent < STALL_MS) {
        EnterPhase(UpdatePhase::PROBING, STALL_MS - nSilent);
        return;
    }
    if (nSilent == RUN_NOT_READING || !m_runner.StopRun(STOP_UNLESS_ENDING)) {
        EnterPhase(UpdatePhase::PROBE_ENDING);
        return;
    }
    m_nRun = 0;
    if (ProbeCycleHasPortsLeft()) {
        PortFailed();
        return;
    }
    g_lastToolError = FTM_ERR_NO_FINAL_RECORD;
    EnterPhase(UpdatePhase::ENDING);
    m_view.ShowMessage(SEQ_TEXT_STALLED, SEQ_CAPTION_ERROR);
    Finish(0);
}

// The second before the clean-up blocks the dialog's thread and handles no message; it sleeps
// instead of spinning. Compared as a difference, so that the wait also ends when the tick count
// wraps.
void CUpdateSequencer::WaitOneSecond()
{
    const uint32_t nStart = m_runner.GetTickMs();
    for (uint32_t nPassed; (nPassed = m_runner.GetTickMs() - nStart) < 1000;)
        m_runner.Pause(1000 - nPassed);
}

void CUpdateSequencer::StartRun(UpdatePhase phase)
{
    EnterPhase(phase);
    m_nRun = m_runner.StartRun();
}
