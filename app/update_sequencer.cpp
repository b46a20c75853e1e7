#include "app/update_sequencer.h"

#include "app/resource.h"
#include "flash/tool_message.h"

const char SEQ_TEXT_NO_PART[] = "No se puede encontrar un elemento constitutivo.";
const char SEQ_TEXT_RESTART[] = "Reinicie el ordenador.";
const char SEQ_TEXT_DISK_FULL[] =
    "No queda espacio en el disco para descomprimir la actualizacion. Libere espacio en el disco y vuelva "
    "a intentarlo.";
const char SEQ_TEXT_ACCESS_DENIED[] =
    "No se puede escribir en la carpeta temporal (TEMP). Compruebe que tiene permiso para escribir en ella "
    "o elija otra carpeta temporal.";
const char SEQ_TEXT_ANSI_PATH[] =
    "La ruta de la carpeta temporal (TEMP) tiene caracteres que el programa no puede usar. Elija una carpeta "
    "temporal de ruta sencilla, por ejemplo C:\\Temp, y vuelva a abrir el programa.";
const char SEQ_TEXT_CANNOT_RUN[] = "No se puede ejecutar el programa.";
const char SEQ_TEXT_BUSY[] = "Ahora Actualice....";
const char SEQ_TEXT_UPDATING[] = "Ahora Actualice...";
const char SEQ_TEXT_DONE[] = "Actualizacion Terminada. ";
const char SEQ_CAPTION_DONE[] =
    "\xA2\xAE"
    "Exito";
const char SEQ_TEXT_BUTTON_DONE[] =
    "\xA2\xAE"
    "Exito!!";
const char SEQ_TEXT_BUTTON_FAILED[] = "Recomprobacion de Actualizacion";
const char SEQ_TEXT_FAILED[] = "existe Puerto de Serie Virtual. \r\n No se puede Abrir el Puerto de Serie.";
const char SEQ_TEXT_NO_PORTS[] =
    "No se encuentra ningun Puerto de Serie. Conecte el receptor y vuelva a abrir el programa.";
const char SEQ_TEXT_NO_PORT_ROW[] = "Seleccione un Puerto COM de la lista.";
const char SEQ_TEXT_NO_SPEED_ROW[] = "Seleccione una Velocidad de Conexion de la lista.";
const char SEQ_TEXT_STALLED[] =
    "El receptor no responde desde hace un minuto. Compruebe la conexion e intentelo otra vez.";

namespace {
const char kCaptionError[] = "Error";
const char kCaptionWarning[] = "Advertencia";
const char kDumpName[] = "123.bin";
const char kToolName[] = "SiRFflashcl";
const char kProbeFormat[] = "%s %s -l %s -b %d -r -f 0x0 -t 0xFF";
const char kFlashFormat[] = "%s %s -l %s -b %d";
}  // namespace

CUpdateSequencer::CUpdateSequencer(IUpdaterView& view,
                                   IUpdateRunner& runner,
                                   CPayloadArchive& archive,
                                   CFirmwareImage& firmware,
                                   const CString& strTempDir)
    : m_view(view), m_runner(runner), m_archive(archive), m_firmware(firmware), m_strTempDir(strTempDir)
{
}

// The port list's rows read " COM3": the -l argument is what follows the first four characters.
CString CUpdateSequencer::PortText(int nRow) const
{
    if (nRow < 0 || nRow >= m_view.GetListCount(IDC_PORT_LIST))
        return CString();
    CString strRow = m_view.GetListRow(IDC_PORT_LIST, nRow);
    return strRow.GetLength() > 4 ? strRow.Mid(4) : CString();
}

int CUpdateSequencer::RateOfSpeedSlot() const
{
    int nEntry = g_speedSlot.load() + 1;
    return nEntry >= 0 && nEntry < 6 ? int(g_baudRates[nEntry]) : 0;
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
    else if (nSpeed < 0 || nSpeed > 2)
        pszWhy = SEQ_TEXT_NO_SPEED_ROW;
    if (!pszWhy)
        return true;
    m_view.ShowMessage(pszWhy, kCaptionError);
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
        g_speedSlot = m_view.GetListSelection(IDC_SPEED_LIST) + 2;
        OnUpdateEvent(MakeUpdateEventWParam(UPD_PROBE, 0), 0);
    } else {
        const char* pszText = SEQ_TEXT_CANNOT_RUN;
        if (nResult == SFX_ERR_FORMAT || nResult == SFX_ERR_EMPTY)
            pszText = SEQ_TEXT_NO_PART;
        else if (nResult == SFX_ERR_EXTRACT)
            pszText = nCause == CFileException::diskFull       ? SEQ_TEXT_DISK_FULL
                      : nCause == CFileException::accessDenied ? SEQ_TEXT_ACCESS_DENIED
                                                               : SEQ_TEXT_RESTART;
        m_view.ShowMessage(pszText, kCaptionError);
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
// blank; otherwise by the short (8.3) form of the file or of the folder, and quoted when
// neither has one, so that a blank can neither split the argument nor start another program.
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
    return "\"" + strPath + "\"";
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
            m_view.SetProgressPos(int(lParam) + 10);
            // Once a run has spoken it may take as long as it needs, but never a minute of silence:
            // a utility stuck on a dead line would otherwise keep the update, and the window, forever.
            if (m_nRun != 0) {
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
        g_chipType = CHIP_PENDING;
        // Each update judges its own failure: an error code of an earlier update must not
        // decide whether this one re-enables the speed list.
        g_lastToolError = 0;
        g_portCursor = m_view.GetListSelection(IDC_PORT_LIST);
        g_firstPort = g_portCursor.load();
    }
    CString strPort = PortText(g_portCursor);
    m_strDumpPath = m_strTempDir + kDumpName;
    g_toolCommandLine.Format(kProbeFormat, CommandPath(kToolName).GetString(), CommandPath(kDumpName).GetString(),
                             strPort.GetString(), RateOfSpeedSlot());
    int nRows = m_view.GetListCount(IDC_PORT_LIST);
    g_portCursor = nRows > 0 ? (g_portCursor + 1) % nRows : 0;
    m_view.StartTimer(TIMER_WATCHDOG, WATCHDOG_MS);
    m_bWatchdogArmed = 1;
    StartRun();
    m_view.Repaint();
}

void CUpdateSequencer::Probed(intptr_t lParam)
{
    m_nRun = 0;
    if (lParam != 1) {
        m_view.StartTimer(TIMER_NEXT_STEP, NEXT_PORT_MS);
        m_view.Repaint();
        return;
    }
    m_firmware.ChooseFirmware(static_cast<unsigned char>(g_chipType.load()));
    if (!m_firmware.m_strFirmware.IsEmpty()) {
        m_view.StartTimer(TIMER_NEXT_STEP, NEXT_STEP_MS);
        m_view.Repaint();
        return;
    }
    // No firmware fits this receiver: the update stops here, and only Exit stays useful.
    WaitOneSecond();
    CleanUp(false);
    m_view.ShowMessage(SEQ_TEXT_NO_PART, kCaptionError);
    m_bBusy = 0;
    m_view.Repaint();
}

void CUpdateSequencer::StartFlash()
{
    if (!m_bLogoShown)
        m_view.SetItemText(IDC_UPDATE_INFO2, m_firmware.m_strFirmware);
    g_chipType = 0;
    g_portCursor = m_view.GetListSelection(IDC_PORT_LIST);
    CString strPort = PortText(g_portCursor);
    g_toolCommandLine.Format(kFlashFormat, CommandPath(kToolName).GetString(),
                             CommandPath(m_firmware.m_strFirmware).GetString(), strPort.GetString(), RateOfSpeedSlot());
    g_firstPort = g_portCursor.load();
    m_view.StartTimer(TIMER_WATCHDOG, WATCHDOG_MS);
    m_bWatchdogArmed = 1;
    if (m_nUserPositions)
        g_toolCommandLine += " -e";
    StartRun();
}

void CUpdateSequencer::Finish(intptr_t lParam)
{
    m_nRun = 0;
    WaitOneSecond();
    CleanUp(false);
    m_view.SetListSelection(IDC_PORT_LIST, g_portCursor);
    m_view.EnableItem(IDC_UPDATE_BUTTON, true);
    m_view.EnableItem(IDC_PORT_LIST, true);
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
        // run uses nor report into the steps that follow.
        m_runner.StopRun();
        m_nRun = 0;
        if (g_portCursor == g_firstPort)
            OnUpdateEvent(MakeUpdateEventWParam(UPD_FINISH, 0), 0);
        else
            OnUpdateEvent(MakeUpdateEventWParam(UPD_PROBE, 0), 1);
    } else if (nIDEvent == TIMER_STALL) {
        m_bStallArmed = 0;
        Stalled();
    } else if (nIDEvent == TIMER_NEXT_STEP) {
        unsigned char chip = static_cast<unsigned char>(g_chipType.load());
        if (chip & 0x0F)
            OnUpdateEvent(MakeUpdateEventWParam(UPD_FLASH, 0), chip);
        else
            OnUpdateEvent(MakeUpdateEventWParam(UPD_PROBE, 0), 1);
    }
}

// A run that went silent after it had posted is ended and then treated like a run whose utility
// stopped without a final record: a probe with ports left moves on to the next port; otherwise
// the update fails, saying why.
void CUpdateSequencer::Stalled()
{
    m_runner.StopRun();
    m_nRun = 0;
    if (g_chipType.load() != 0 && g_portCursor != g_firstPort) {
        OnUpdateEvent(MakeUpdateEventWParam(UPD_PROBED, 0), 0);
        return;
    }
    g_lastToolError = FTM_ERR_NO_FINAL_RECORD;
    m_view.ShowMessage(SEQ_TEXT_STALLED, kCaptionError);
    OnUpdateEvent(MakeUpdateEventWParam(UPD_FINISH, 0), 0);
}

void CUpdateSequencer::OnOK()
{
    if (m_bBusy) {
        m_view.ShowMessage(SEQ_TEXT_BUSY, kCaptionWarning);
        return;
    }
    CleanUp(true);
    m_view.CloseDialog();
}

// An interrupted flash can leave the receiver without working firmware: while an update runs,
// Escape and the close box are refused like Exit.
bool CUpdateSequencer::OnCancel()
{
    if (!m_bBusy) {
        CleanUp(true);
        return true;
    }
    m_view.ShowMessage(SEQ_TEXT_BUSY, kCaptionWarning);
    return false;
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
