// The sequencer's command lines and files: what a run is given, what an update unpacks and
// what it leaves behind.
#include "app/update_sequencer.h"

#include "app/resource.h"
#include "flash/update_rules.h"

namespace {
const char kToolName[] = "SiRFflashcl";
const char kProbeFormat[] = "%s %s -l %s -b %d -r -f 0x0 -t 0xFF";
const char kFlashFormat[] = "%s %s -l %s -b %d";
}  // namespace

// The command line of the next run into g_toolCommandLine: the probe reads the receiver's first
// bytes into the dump, the flashing run writes the chosen firmware (erasing the user positions
// when the user chose so). strPort: the -l argument.
void CUpdateSequencer::FormatCommandLine(bool bProbe, const CString& strPort)
{
    const CString strTool = CommandPath(kToolName);
    if (bProbe) {
        g_toolCommandLine.Format(kProbeFormat, strTool.GetString(), CommandPath(SEQ_DUMP_NAME).GetString(),
                                 strPort.GetString(), RateOfSpeedSlot());
        return;
    }
    g_toolCommandLine.Format(kFlashFormat, strTool.GetString(), CommandPath(m_firmware.m_strFirmware).GetString(),
                             strPort.GetString(), RateOfSpeedSlot());
    // Erasing is never the default: only the checked "Borrar Posiciones de Usuario" asks for it.
    if (m_nUserPositions == 1)
        g_toolCommandLine += " -e";
}

// The -l argument of a port row (" COM3" gives "3"); empty for a row that names no port the
// utility can be given.
CString CUpdateSequencer::PortText(int nRow) const
{
    if (nRow < 0 || nRow >= m_view.GetListCount(IDC_PORT_LIST))
        return CString();
    const int nPort = PortNumberOfRow(m_view.GetListRow(IDC_PORT_LIST, nRow));
    CString strPort;
    if (nPort > 0)
        strPort.Format("%d", nPort);
    return strPort;
}

int CUpdateSequencer::RateOfSpeedSlot() const
{
    return int(BaudRateOfSpeedSlot(g_speedSlot.load()));
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
