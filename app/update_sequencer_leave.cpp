// Leaving the dialog (Exit, Escape, the close box) while an update may be running.
#include "app/update_sequencer.h"

#include "contract/flash_tool_contract.h"
#include "flash/update_rules.h"

// While busy, leaving is refused: an interrupted flash can leave the receiver without working
// firmware. Only a flashing run that has read nothing for a minute may be ended, and only when
// the user confirms; it then ends as a failure and the files are cleaned up. Returns true when
// the dialog may close.
bool CUpdateSequencer::MayLeaveWhileBusy()
{
    const uint32_t nSilent = IsFlashing() ? m_runner.GetRunSilence() : RUN_NOT_READING;
    if (nSilent == RUN_NOT_READING || nSilent < STALL_MS) {
        m_view.ShowMessage(SEQ_TEXT_BUSY, SEQ_CAPTION_WARNING);
        return false;
    }
    if (!m_view.AskYesNo(SEQ_TEXT_ASK_LEAVE, SEQ_CAPTION_WARNING))
        return false;
    // The box ran its own message loop: the update may have ended meanwhile.
    if (!IsBusy())
        return true;
    // A run that has just ended (its outcome is on the way) is not ended by us.
    if (!IsFlashing() || !m_runner.StopRun(STOP_UNLESS_ENDING))
        return false;
    m_nRun = 0;
    g_lastToolError = FTM_ERR_NO_FINAL_RECORD;
    Finish(0);
    return true;
}

void CUpdateSequencer::OnOK()
{
    if (Dispatch(UpdateInput::LEAVE))
        CleanUpAndClose();
}

void CUpdateSequencer::CleanUpAndClose()
{
    CleanUp(true);
    m_view.CloseDialog();
}

// Escape and the close box: refused or asked while an update runs, like Exit; a flashing run
// ended on the user's word is cleaned up after as Exit does.
bool CUpdateSequencer::OnCancel()
{
    const bool bBusy = IsBusy();
    if (!Dispatch(UpdateInput::LEAVE))
        return false;
    if (!bBusy) {
        CleanUp(true);
        return true;
    }
    CleanUpAndClose();
    return false;
}
