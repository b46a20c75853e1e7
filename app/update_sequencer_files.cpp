// The sequencer's command lines and files: what a run is given, what an update unpacks and
// what it leaves behind.
#include "app/update_sequencer.h"

#include "app/resource.h"
#include "contract/flash_tool_contract.h"
#include "flash/update_rules.h"

namespace {
const char kToolName[] = "SiRFflashcl";
constexpr uint32_t kProbeLastAddress = 0xFF;  // the probe reads flash bytes 0x0 to 0xFF
}  // namespace

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
