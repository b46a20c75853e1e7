// Numbers the flash utility runs and knows which one is current, so that the sequencer can give
// up on a run: that run's child is ended, and nothing of it reaches the shared state or the
// dialog any more. One lock guards the current run and its child, so that giving up and a
// worker that is still starting its child cannot cross.
#pragma once

#include <cstdint>
#include <mutex>

class CFlashRunRegistry {
public:
    // Numbers a new run (1..65535, never 0; wraps) and makes it current. Returns its number.
    unsigned BeginRun();
    // The current run's number; 0 when none is current.
    unsigned CurrentRun() const;
    // The run a worker drives: nRun itself when nonzero; else the current run, or a new current
    // run when none is (a worker started without a number).
    unsigned ResolveRun(unsigned nRun);

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

    // Gives up on the current run: no run is current afterwards. When the run has a child,
    // endChild(hChild) is called under the lock. Returns the run given up on (0: none was).
    template <class F>
    unsigned StopCurrent(F&& endChild)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        unsigned nRun = m_nCurrent;
        if (nRun != 0 && m_nChildRun == nRun && m_hChild != 0)
            endChild(m_hChild);
        m_nCurrent = 0;
        return nRun;
    }

private:
    mutable std::mutex m_mutex;
    unsigned m_nLast = 0;  // number of the latest run begun
    unsigned m_nCurrent = 0;
    unsigned m_nChildRun = 0;  // the run whose child m_hChild is
    intptr_t m_hChild = 0;
};
