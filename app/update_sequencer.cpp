// The update sequencer's machine: the inputs turned into one dispatch on (phase, input), and the
// one function that enters a phase. The steps it calls are in update_sequencer_steps.cpp.
#include "app/update_sequencer.h"

#include "app/resource.h"

namespace {

// The timer a phase runs and its usual period; id 0 for none.
struct PhaseTimer {
    unsigned nID, nMs;
};

PhaseTimer TimerOf(UpdatePhase phase)
{
    switch (phase) {
        case UpdatePhase::PROBE_STARTING:
        case UpdatePhase::FLASH_STARTING:
            return {TIMER_WATCHDOG, WATCHDOG_MS};
        case UpdatePhase::PROBING:
            return {TIMER_STALL, STALL_MS};
        case UpdatePhase::BETWEEN_PORTS:
            return {TIMER_NEXT_STEP, NEXT_PORT_MS};
        case UpdatePhase::CHIP_FOUND:
            return {TIMER_NEXT_STEP, NEXT_STEP_MS};
        default:
            return {0, 0};
    }
}

// The phases in which a run of the utility is under way, whose events count.
bool IsRunPhase(UpdatePhase phase)
{
    return phase == UpdatePhase::PROBE_STARTING || phase == UpdatePhase::PROBING ||
           phase == UpdatePhase::PROBE_ENDING || phase == UpdatePhase::FLASH_STARTING || phase == UpdatePhase::FLASHING;
}

UpdateInput InputOfEvent(int nKind)
{
    switch (nKind) {
        case UPD_PROBE:
            return UpdateInput::EVENT_PROBE;
        case UPD_PROGRESS:
            return UpdateInput::EVENT_PROGRESS;
        case UPD_PROBED:
            return UpdateInput::EVENT_PROBED;
        case UPD_FLASH:
            return UpdateInput::EVENT_FLASH;
        default:
            return UpdateInput::EVENT_FINISH;
    }
}

// One case label per (phase, input).
static_assert(int(UpdateInput::LEAVE) < 16, "every input fits below the next phase's labels");
constexpr int On(UpdatePhase phase, UpdateInput input)
{
    return int(phase) * 16 + int(input);
}

}  // namespace

CUpdateSequencer::CUpdateSequencer(IUpdaterView& view,
                                   IUpdateRunner& runner,
                                   CPayloadArchive& archive,
                                   CFirmwareChoice& firmware,
                                   const CString& strTempDir)
    : m_view(view), m_runner(runner), m_archive(archive), m_firmware(firmware), m_strTempDir(strTempDir)
{
}

void CUpdateSequencer::OnUpdateButton()
{
    Dispatch(UpdateInput::BUTTON);
}

intptr_t CUpdateSequencer::OnUpdateEvent(uintptr_t wParam, intptr_t lParam)
{
    // A run given up on (watchdog, stall) may still have posted: its events must not steer the
    // update. Between runs no event counts.
    const unsigned nRun = UpdateEventRunOf(wParam);
    if (nRun != 0 && nRun == m_nRun)
        Dispatch(InputOfEvent(UpdateEventKindOf(wParam)), lParam);
    return 0;
}

void CUpdateSequencer::OnTimer(unsigned nIDEvent)
{
    m_view.StopTimer(nIDEvent);
    if (nIDEvent == TIMER_WATCHDOG)
        Dispatch(UpdateInput::TIMER_WATCHDOG);
    else if (nIDEvent == TIMER_STALL)
        Dispatch(UpdateInput::TIMER_STALL);
    else if (nIDEvent == TIMER_NEXT_STEP)
        Dispatch(UpdateInput::TIMER_NEXT_STEP);
}

bool CUpdateSequencer::Dispatch(UpdateInput input, intptr_t lArg)
{
    using P = UpdatePhase;
    using I = UpdateInput;
    switch (On(m_phase, input)) {
        case On(P::IDLE, I::BUTTON):
        case On(P::HALTED, I::BUTTON):
            PressButton();
            return true;
        case On(P::IDLE, I::LEAVE):
        case On(P::HALTED, I::LEAVE):
            return true;  // nothing runs: the dialog may close
        case On(P::PROBE_STARTING, I::EVENT_PROGRESS):
        case On(P::PROBING, I::EVENT_PROGRESS):
        case On(P::PROBE_ENDING, I::EVENT_PROGRESS):
            Progress(lArg);
            EnterPhase(P::PROBING);  // each report restarts the probe's minute
            return true;
        case On(P::FLASH_STARTING, I::EVENT_PROGRESS):
        case On(P::FLASHING, I::EVENT_PROGRESS):
            Progress(lArg);
            EnterPhase(P::FLASHING);  // a flashing run is never watched for its silence
            return true;
        case On(P::PROBE_STARTING, I::EVENT_PROBED):
        case On(P::PROBING, I::EVENT_PROBED):
        case On(P::PROBE_ENDING, I::EVENT_PROBED):
        case On(P::FLASH_STARTING, I::EVENT_PROBED):  // names no chip: fails as the last port
        case On(P::FLASHING, I::EVENT_PROBED):
            Probed(lArg);
            return true;
        case On(P::PROBE_STARTING, I::EVENT_FINISH):
        case On(P::PROBING, I::EVENT_FINISH):
        case On(P::PROBE_ENDING, I::EVENT_FINISH):
        case On(P::FLASH_STARTING, I::EVENT_FINISH):
        case On(P::FLASHING, I::EVENT_FINISH):
            Finish(lArg);
            return true;
        case On(P::PROBE_STARTING, I::TIMER_WATCHDOG):
        case On(P::FLASH_STARTING, I::TIMER_WATCHDOG):
            WatchdogExpired();
            return true;
        case On(P::PROBING, I::TIMER_STALL):
            Stalled();
            return true;
        case On(P::BETWEEN_PORTS, I::TIMER_NEXT_STEP):
            StartNextProbe();
            return true;
        case On(P::CHIP_FOUND, I::TIMER_NEXT_STEP):
            StartFlash();
            return true;
        default:
            // Nothing else moves the update; while it runs, leaving is refused or asked.
            return input != I::LEAVE || MayLeaveWhileBusy();
    }
}

void CUpdateSequencer::EnterPhase(UpdatePhase next, unsigned nTimerMs)
{
    const bool bWasBusy = IsBusy();
    if (const unsigned nOld = TimerOf(m_phase).nID)
        m_view.StopTimer(nOld);
    m_phase = next;
    if (!IsRunPhase(next))
        m_nRun = 0;
    const PhaseTimer timer = TimerOf(next);
    if (timer.nID)
        m_view.StartTimer(timer.nID, nTimerMs ? nTimerMs : timer.nMs);
    if (!bWasBusy && IsBusy())
        EnableControls(false);
    else if (bWasBusy && next == UpdatePhase::IDLE)
        EnableControls(true);
}

// The controls are locked from the press to the end of an update. The speed list is freed only
// by a failure that the speed may explain (Finish).
void CUpdateSequencer::EnableControls(bool bEnable)
{
    m_view.EnableItem(IDC_UPDATE_BUTTON, bEnable);
    m_view.EnableItem(IDC_PORT_LIST, bEnable);
    if (!bEnable)
        m_view.EnableItem(IDC_SPEED_LIST, false);
    // The keep/erase choice was read at the press and holds until the end of the update.
    m_view.EnableItem(IDC_KEEP_POSITIONS, bEnable);
    m_view.EnableItem(IDC_ERASE_POSITIONS, bEnable);
}
