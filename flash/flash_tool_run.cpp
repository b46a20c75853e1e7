#include "flash/flash_tool_run.h"

#include "flash/update_rules.h"

#include <cstdio>

const char FLASH_TEXT_CLOSE_OTHER_PORT[] = "Cierre el programa conectado con otro puerto e intentelo otra vez.";
const char FLASH_TEXT_UNKNOWN_ERROR[] = "error desconocido(%d).%s";
const char FLASH_TEXT_NO_FINAL_RECORD[] = "The flash utility ended without a result.";

int CFlashToolRun::Run(CFlashRecordReader& reader)
{
    for (;;) {
        if (reader.Next() != FRR_RECORD) {
            EndWithoutFinalRecord();
            return m_nExitCode;
        }
        if (!Dispatch(reader.GetCode(), reader.GetText()))
            return m_nExitCode;
    }
}

bool CFlashToolRun::Dispatch(int32_t nCode, const char* pszText)
{
    m_host.RecordRead();
    if (nCode < 1000) {
        EndError(nCode, pszText);
        return false;
    }
    switch (nCode) {
        case FTM_PROGRESS: {
            // Only the first figure is used; the widths keep the unused words inside their buffers.
            int nFigure = 0, nSecond = 0;
            char w1[32], w2[32], w3[32];
            if (std::sscanf(pszText, "%d %d %31s %31s %31s", &nFigure, &nSecond, w1, w2, w3) >= 1)
                m_nProgress = nFigure;
            const int32_t nProgress = m_nProgress;
            m_host.IfCurrent([&] { m_host.PostUpdateEvent(UPD_PROGRESS, nProgress); });
            return true;
        }
        case FTM_CHIP_NAME:
            m_bChipNamed = true;
            // Only the first chip name after the sequencer marked the chip pending counts; the
            // value written has bit 7 clear, and the flashing run (0) ignores them all.
            m_host.IfCurrent([&] {
                if (IsChipPending())
                    g_chipType.store(ChipTypeFromName(pszText));
            });
            return true;
        case FTM_DONE:
            EndDone();
            return false;
        default:
            return true;  // other codes of 1000 and above carry nothing for us
    }
}

void CFlashToolRun::EndDone()
{
    m_host.ReleaseRun();
    m_host.IfCurrent([&] { m_host.PostUpdateEvent(IsProbeRun() ? UPD_PROBED : UPD_FINISH, 1); });
    m_nExitCode = 1;
}

void CFlashToolRun::EndError(int32_t nCode, const char* pszText, bool bNoFinalRecord)
{
    m_host.ReleaseRun();
    m_nExitCode = 0;
    const bool bPortFailed = IsPortFailure(nCode);
    const bool bNoReceiver = IsNoReceiverHere(nCode, m_bChipNamed);
    bool bPortsLeft = false;
    if (!m_host.IfCurrent([&] {
            // Only a probe cycle moves on to another port; a flashing run (chip type 0) that
            // fails ends the update, whatever the port rows say. A utility that died on this
            // port (no final record) says nothing about the other ports: they are tried too.
            bPortsLeft = (bPortFailed || bNoReceiver || bNoFinalRecord) && IsProbeRun() && ProbeCycleHasPortsLeft();
            if (bPortsLeft)
                m_host.PostUpdateEvent(UPD_PROBED, bNoReceiver ? PROBED_NO_RECEIVER : 0);
            else
                g_lastToolError.store(nCode);
        }))
        return;
    if (bPortsLeft)
        return;

    CString strText;
    if (bPortFailed)
        strText = FLASH_TEXT_CLOSE_OTHER_PORT;
    else
        strText.Format(FLASH_TEXT_UNKNOWN_ERROR, int(nCode), pszText);
    // The box blocks only this worker; the update ends once the user has read it.
    m_host.ShowMessageBox(strText);
    m_host.IfCurrent([&] { m_host.PostUpdateEvent(UPD_FINISH, 0); });
}

void CFlashToolRun::EndWithoutFinalRecord()
{
    EndError(FTM_ERR_NO_FINAL_RECORD, FLASH_TEXT_NO_FINAL_RECORD, true);
}
