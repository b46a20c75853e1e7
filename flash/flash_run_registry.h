// Numbers the flash utility runs and knows which one is current, so that the sequencer can give
// up on a run: that run's child is ended, and nothing of it reaches the shared state or the
// dialog any more. One lock guards the current run, its child and how far it has come, so that
// giving up and a worker that is starting its child, or ending, cannot cross.
#pragma once

#include <cstdint>
#include <mutex>

// What the sequencer may give up on. A run that has stopped reading (it is ending, perhaps
// behind its own message box) is never given up: its final event is on the way.
enum FlashRunStop {
    STOP_UNLESS_ENDING,   // any run still starting or reading its utility
    STOP_IF_NOT_STARTED,  // only a run whose utility never started: nothing reached the receiver
};

// GetSilence of a run that is not reading: it is ending, or no run is current.
constexpr uint32_t RUN_NOT_READING = 0xFFFFFFFFu;

class CFlashRunRegistry {
public:
    // Numbers a new run (1..65535, never 0; wraps) and makes it current; its silence counts from
    // nTick (milliseconds). Returns its number.
    unsigned BeginRun(uint32_t nTick = 0);
    // The current run's number; 0 when none is current.
    unsigned CurrentRun() const;
    // The run a worker drives: nRun itself when nonzero; else the current run, or a new current
    // run when none is or the current one is ending (a worker started without a number).
    unsigned ResolveRun(unsigned nRun, uint32_t nTick = 0);

    // The worker of nRun has read a record at nTick: a sign of life.
    void NoteRecord(unsigned nRun, uint32_t nTick);
    // The worker of nRun has stopped reading; its final event (after any box) follows. Returns
    // whether nRun is current: a run given up on shows nothing and posts nothing.
    bool NoteEnding(unsigned nRun);
    // Milliseconds from the current run's last record (or its start) to nNow; RUN_NOT_READING
    // when it is ending or none is current.
    uint32_t GetSilence(uint32_t nNow) const;

    // Runs f() under the lock when nRun is current and returns true; otherwise returns false
    // without calling it. Keep f short and never let it wait on the dialog.
    template <class F>
    bool WhileCurrent(unsigned nRun, F&& f)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (nRun == 0 || nRun != m_nCurrent)
            return false;
        f();
        return true;
    }

    // Records the child process of nRun (an opaque handle). Call only from within
    // WhileCurrent(nRun, ...), right after the child was started.
    void AttachChildLocked(unsigned nRun, intptr_t hChild);
    // Forgets the child of nRun, when it is still recorded; the worker calls this before it
    // closes the child's handle, so that no one ends a closed handle.
    void DetachChild(unsigned nRun);

    // Gives up on the current run when `when` allows it: no run is current afterwards. When the
    // run has a child, endChild(hChild) is called under the lock. Returns the run given up on
    // (0: none was, or it was left running).
    template <class F>
    unsigned StopCurrent(F&& endChild, FlashRunStop when = STOP_UNLESS_ENDING)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        unsigned nRun = m_nCurrent;
        if (nRun == 0 || m_bEnding || (when == STOP_IF_NOT_STARTED && m_bStarted))
            return 0;
        if (m_nChildRun == nRun && m_hChild != 0)
            endChild(m_hChild);
        m_nCurrent = 0;
        return nRun;
    }

private:
    void BeginLocked(uint32_t nTick);

    mutable std::mutex m_mutex;
    unsigned m_nLast = 0;  // number of the latest run begun
    unsigned m_nCurrent = 0;
    unsigned m_nChildRun = 0;  // the run whose child m_hChild is
    intptr_t m_hChild = 0;
    // Of the current run: its utility has started, it has stopped reading, its last sign of life.
    bool m_bStarted = false;
    bool m_bEnding = false;
    uint32_t m_nLastTick = 0;
};
