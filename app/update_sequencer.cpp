#include "app/update_sequencer.h"

#include "app/resource.h"
#include "flash/flash_tool_run.h"
#include "contract/flash_tool_contract.h"
#include "flash/update_rules.h"

namespace {
const char kDumpName[] = "123.bin";
const char kToolName[] = "SiRFflashcl";
constexpr uint32_t kProbeLastAddress = 0xFF;  // the probe reads flash bytes 0x0 to 0xFF
}  // namespace

CUpdateSequencer::CUpdateSequencer(IUpdaterView& view,
                                   IUpdateRunner& runner,
                                   CPayloadArchive& archive,
                                   CFirmwareChoice& firmware,
                                   const CString& strTempDir)
    : m_view(view), m_runner(runner), m_archive(archive), m_firmware(firmware), m_strTempDir(strTempDir)
{
}

// Fills g_toolCommandLine for a run on port row nRow: a probe reads the start of the flash into
// the dump strFile, the flashing run writes the firmware strFile, erasing the user positions
// when the user chose so. Returns the row's port number; 0 for a row that names no port the
// utility can be given, which must then not be run.
int CUpdateSequencer::FormatCommandLine(int nRow, const CString& strFile, bool bProbe)
{
    FlashToolOptions command;
    if (nRow >= 0 && nRow < m_view.GetListCount(IDC_PORT_LIST))
        command.line = PortNumberOfRow(m_view.GetListRow(IDC_PORT_LIST, nRow));
    command.utility = CommandPath(kToolName).GetString();
    command.file = CommandPath(strFile).GetString();
    command.baud = uint32_t(BaudRateOfSpeedSlot(g_speedSlot.load()));
    command.read = command.haveTo = bProbe;
    command.to = bProbe ? kProbeLastAddress : 0;
    // Erasing is never the default: only the checked "Borrar Posiciones de Usuario" asks for it.
    command.eraseUserPositions = !bProbe && m_nUserPositions == 1;
    g_toolCommandLine = FormatFlashToolCommand(command);
    return command.line;
}

// The port cycle divides by the number of rows and starts at the selected one: without either
// there is nothing to try, and the user is told so instead.
bool CUpdateSequencer::CanStart()
{
    const char* pszWhy = nullptr;
    int nSpeed = m_view.GetListSelection(IDC_SPEED_LIST);
    // Without a temporary directory there is nowhere to unpack the payload.
    if (m_strTempDir.IsEmpty())
        pszWhy = m_pszNoFolder;
    else if (m_view.GetListCount(IDC_PORT_LIST) <= 0)
        pszWhy = SEQ_TEXT_NO_PORTS;
    else if (m_view.GetListSelection(IDC_PORT_LIST) < 0)
        pszWhy = SEQ_TEXT_NO_PORT_ROW;
    else if (BaudRateOfSpeedRow(nSpeed) == 0)
        pszWhy = SEQ_TEXT_NO_SPEED_ROW;
    if (!pszWhy)
        return true;
    m_view.ShowMessage(pszWhy, SEQ_CAPTION_ERROR);
    return false;
}

void CUpdateSequencer::OnUpdateButton()
{
    if (m_bBusy || !CanStart())
        return;
    m_nUserPositions = m_view.ExchangeUserPositions(true);
    m_view.SetProgressRange(0, 105);
    m_view.ShowItem(IDC_PROGRESS, true);

    int nCause = CFileException::none;
    int nResult = Extract(nCause);
    if (nResult == SFX_OK) {
        m_firmware.OnExtracted();
        m_bBusy = 1;
        g_speedSlot = SpeedSlotOfRow(m_view.GetListSelection(IDC_SPEED_LIST));
        OnUpdateEvent(MakeUpdateEventWParam(UPD_PROBE, 0), 0);
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

// Extracts every entry into the working folder, making the folder again when an earlier update
// removed it; a folder that cannot be made fails like an entry that cannot be written.
int CUpdateSequencer::Extract(int& nCause)
{
    CFileException error;
    bool bExisted = false;
    if (!AfxCreateDirectory(m_strTempDir, &error, &bExisted) && !bExisted) {
        nCause = error.m_cause;
        return SFX_ERR_EXTRACT;
    }
    const int nResult = m_archive.ExtractAll(m_strTempDir, nullptr, this);
    nCause = m_archive.GetFailureCause();
    return nResult;
}

// A file of the working folder as the utility's command line names it: as it is without a
// blank; otherwise by the short (8.3) form of the file or of the folder, and as it is when
// neither has one (the command line then quotes it, so that a blank can neither split the
// argument nor start another program).
CString CUpdateSequencer::CommandPath(const CString& strName)
{
    const CString strPath = m_strTempDir + strName;
    if (strPath.Find(' ') < 0)
        return strPath;
    CString strShort = m_runner.ShortPath(strPath);
    if (strShort.IsEmpty() || strShort.Find(' ') >= 0) {
        strShort = m_runner.ShortPath(m_strTempDir);
        if (!strShort.IsEmpty())
            strShort += strName;
    }
    if (!strShort.IsEmpty() && strShort.Find(' ') < 0)
        return strShort;
    return strPath;
}

// Deletes what this process extracted (and the probe's dump, which stays until the dialog
// ends), then its working folder unless something else is still in it; nothing outside the
// folder is touched.
void CUpdateSequencer::CleanUp(bool bDump)
{
    // Without a folder nothing was extracted, and the entry names alone would name files of the
    // current directory.
    if (m_strTempDir.IsEmpty())
        return;
    m_archive.DeleteExtracted(m_strTempDir);
    if (bDump && !m_strDumpPath.IsEmpty())
        CFile::Remove(m_strDumpPath);
    AfxRemoveDirectory(m_strTempDir);
}

intptr_t CUpdateSequencer::OnUpdateEvent(uintptr_t wParam, intptr_t lParam)
{
    // A run given up on (watchdog) may still have posted: its events must not steer the update.
    const unsigned nRun = UpdateEventRunOf(wParam);
    if (nRun != 0 && nRun != m_nRun)
        return 0;
    if (m_bWatchdogArmed) {
        m_view.StopTimer(TIMER_WATCHDOG);
        m_bWatchdogArmed = 0;
    }
    if (m_bStallArmed) {
        m_view.StopTimer(TIMER_STALL);
        m_bStallArmed = 0;
    }
    switch (UpdateEventKindOf(wParam)) {
        case UPD_PROBE:
            StartProbe(lParam == 1);
            break;
        case UPD_PROGRESS:
            // The utility's figure is a percentage; anything else must not move the bar past its ends.
            m_view.SetProgressPos(int(lParam < 0 ? 0 : lParam > 100 ? 100 : lParam) + 10);
            // Once a probe has spoken it may take as long as it needs, but never a minute without a
            // record: a utility stuck on a dead line would otherwise keep the update forever. A
            // flashing run is never ended for its silence (see MayLeaveWhileBusy).
            if (m_nRun != 0 && !m_bFlashing) {
                m_view.StartTimer(TIMER_STALL, STALL_MS);
                m_bStallArmed = 1;
            }
            break;
        case UPD_PROBED:
            Probed(lParam);
            break;
        case UPD_FLASH:
            StartFlash();
            break;
        default:
            Finish(lParam);
            break;
    }
    return 0;
}

void CUpdateSequencer::StartProbe(bool bNextPort)
{
    if (bNextPort) {
        m_view.SetListSelection(IDC_PORT_LIST, g_portCursor);
    } else {
        m_view.SetProgressPos(5);
        m_view.SetItemText(IDC_UPDATE_BUTTON, SEQ_TEXT_UPDATING);
        m_view.EnableItem(IDC_UPDATE_BUTTON, false);
        m_view.EnableItem(IDC_PORT_LIST, false);
        m_view.EnableItem(IDC_SPEED_LIST, false);
        // The choice was read at the press and holds until the end of the update.
        EnableOptions(false);
        // Each update judges its own failure: an error code of an earlier update must not
        // decide whether this one re-enables the speed list.
        g_lastToolError = 0;
        g_portCursor = m_view.GetListSelection(IDC_PORT_LIST);
        g_firstPort = g_portCursor.load();
    }
    // Each port names its own chip: what a failed port named must never choose a firmware.
    g_chipType = CHIP_PENDING;
    m_bFlashNext = false;
    m_strDumpPath = m_strTempDir + kDumpName;
    const int nPort = FormatCommandLine(g_portCursor, kDumpName, true);
    int nRows = m_view.GetListCount(IDC_PORT_LIST);
    g_portCursor = nRows > 0 ? (g_portCursor + 1) % nRows : 0;
    if (nPort == 0) {
        PortCannotBeOpened();
        return;
    }
    m_view.StartTimer(TIMER_WATCHDOG, WATCHDOG_MS);
    m_bWatchdogArmed = 1;
    StartRun();
    m_view.Repaint();
}

void CUpdateSequencer::Probed(intptr_t lParam)
{
    m_nRun = 0;
    // Only a probe that completed and named the chip has found the receiver; any other end
    // (the port failed, the utility died, a success without a chip) says nothing about it.
    const ChipType chip = g_chipType.load();
    if (lParam != 1 || !IsChipNamed(chip)) {
        PortFailed(lParam == PROBED_NO_RECEIVER ? NEXT_EMPTY_PORT_MS : NEXT_PORT_MS);
        return;
    }
    m_firmware.ChooseFirmware(static_cast<unsigned char>(chip));
    if (!m_firmware.m_strFirmware.IsEmpty()) {
        m_bFlashNext = true;
        m_view.StartTimer(TIMER_NEXT_STEP, NEXT_STEP_MS);
        m_view.Repaint();
        return;
    }
    // No firmware fits this receiver: the update stops here, and only Exit stays useful.
    WaitOneSecond();
    CleanUp(false);
    m_view.ShowMessage(SEQ_TEXT_NO_PART, SEQ_CAPTION_ERROR);
    m_bBusy = 0;
    m_view.Repaint();
}

// The next port after a failed one, or the failure end when the cycle is over.
void CUpdateSequencer::PortFailed(unsigned nNextMs)
{
    if (!ProbeCycleHasPortsLeft()) {
        Finish(0);
        return;
    }
    m_bFlashNext = false;
    m_view.StartTimer(TIMER_NEXT_STEP, nNextMs);
    m_view.Repaint();
}

// A row that names no port is never handed to the utility: it ends as the utility ends a port
// that does not exist.
void CUpdateSequencer::PortCannotBeOpened()
{
    if (!m_bFlashing && ProbeCycleHasPortsLeft()) {
        PortFailed();
        return;
    }
    g_lastToolError = FTM_ERR_NO_PORT;
    m_view.ShowAppMessage(FLASH_TEXT_CLOSE_OTHER_PORT);
    Finish(0);
}

void CUpdateSequencer::StartFlash()
{
    m_bFlashNext = false;
    // Only firmware chosen, and merged, in this update is ever flashed.
    if (m_firmware.m_strFirmware.IsEmpty()) {
        Finish(0);
        return;
    }
    m_bFlashing = 1;
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
    // Bounds only a utility that never starts: once it runs, nothing ends it but the user.
    m_view.StartTimer(TIMER_WATCHDOG, WATCHDOG_MS);
    m_bWatchdogArmed = 1;
    StartRun();
}

void CUpdateSequencer::EnableOptions(bool bEnable)
{
    m_view.EnableItem(IDC_KEEP_POSITIONS, bEnable);
    m_view.EnableItem(IDC_ERASE_POSITIONS, bEnable);
}

void CUpdateSequencer::Finish(intptr_t lParam)
{
    m_nRun = 0;
    m_bFlashing = 0;
    m_bFlashNext = false;
    WaitOneSecond();
    CleanUp(false);
    m_view.SetListSelection(IDC_PORT_LIST, g_portCursor);
    m_view.EnableItem(IDC_UPDATE_BUTTON, true);
    m_view.EnableItem(IDC_PORT_LIST, true);
    EnableOptions(true);
    m_bBusy = 0;
    if (lParam == 1) {
        m_view.ShowMessage(SEQ_TEXT_DONE, SEQ_CAPTION_DONE);
        m_view.SetItemText(IDC_UPDATE_BUTTON, SEQ_TEXT_BUTTON_DONE);
    } else {
        m_view.SetItemText(IDC_UPDATE_BUTTON, SEQ_TEXT_BUTTON_FAILED);
        m_view.ShowAppMessage(SEQ_TEXT_FAILED);
        int nError = g_lastToolError;
        if (nError != FTM_ERR_PORT_BUSY && nError != FTM_ERR_NO_PORT)
            m_view.EnableItem(IDC_SPEED_LIST, true);
    }
}

void CUpdateSequencer::OnTimer(unsigned nIDEvent)
{
    m_view.StopTimer(nIDEvent);
    if (nIDEvent == TIMER_WATCHDOG) {
        m_bWatchdogArmed = 0;
        // The run never answered: end it, so that it can neither write to the port the next
        // run uses nor report into the steps that follow. A run that has stopped reading is
        // ending (its box may be open) and will post; a flashing utility that runs is never
        // ended: only one that never started is given up.
        if (!m_runner.StopRun(m_bFlashing ? STOP_IF_NOT_STARTED : STOP_UNLESS_ENDING))
            return;
        m_nRun = 0;
        if (m_bFlashing || !ProbeCycleHasPortsLeft())
            OnUpdateEvent(MakeUpdateEventWParam(UPD_FINISH, 0), 0);
        else
            OnUpdateEvent(MakeUpdateEventWParam(UPD_PROBE, 0), 1);
    } else if (nIDEvent == TIMER_STALL) {
        m_bStallArmed = 0;
        Stalled();
    } else if (nIDEvent == TIMER_NEXT_STEP) {
        if (m_bFlashNext)
            OnUpdateEvent(MakeUpdateEventWParam(UPD_FLASH, 0), static_cast<unsigned char>(g_chipType.load()));
        else
            OnUpdateEvent(MakeUpdateEventWParam(UPD_PROBE, 0), 1);
    }
}

// A probe that has read no record for a minute is ended and treated like a run whose utility
// stopped without a final record: with ports left the next port is probed; otherwise the update
// fails, saying why. Any record restarts the minute, and a run that has stopped reading is
// left to post its own end.
void CUpdateSequencer::Stalled()
{
    const uint32_t nSilent = m_runner.GetRunSilence();
    if (nSilent == RUN_NOT_READING)
        return;
    if (nSilent < STALL_MS) {
        m_view.StartTimer(TIMER_STALL, STALL_MS - nSilent);
        m_bStallArmed = 1;
        return;
    }
    if (!m_runner.StopRun(STOP_UNLESS_ENDING))
        return;
    m_nRun = 0;
    if (ProbeCycleHasPortsLeft()) {
        OnUpdateEvent(MakeUpdateEventWParam(UPD_PROBED, 0), 0);
        return;
    }
    g_lastToolError = FTM_ERR_NO_FINAL_RECORD;
    m_view.ShowMessage(SEQ_TEXT_STALLED, SEQ_CAPTION_ERROR);
    OnUpdateEvent(MakeUpdateEventWParam(UPD_FINISH, 0), 0);
}

void CUpdateSequencer::WaitOneSecond()
{
    // Compared as a difference, so that the wait also ends when the tick count wraps.
    const uint32_t nStart = m_runner.GetTickCount();
    while (m_runner.GetTickCount() - nStart < 1000) {
    }
}

void CUpdateSequencer::StartRun()
{
    m_nRun = m_runner.StartRun();
}
