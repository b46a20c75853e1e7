#include "flash/flash_run_registry.h"

namespace {
// The run number travels in the high word of the event's wParam: 16 bits, 0 kept for events
// that the sequencer raises itself.
unsigned NextRunNumber(unsigned nRun)
{
    return nRun >= 0xFFFFu ? 1u : nRun + 1u;
}
}  // namespace

unsigned CFlashRunRegistry::BeginRun()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nLast = NextRunNumber(m_nLast);
    m_nCurrent = m_nLast;
    return m_nCurrent;
}

unsigned CFlashRunRegistry::CurrentRun() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nCurrent;
}

unsigned CFlashRunRegistry::ResolveRun(unsigned nRun)
{
    if (nRun != 0)
        return nRun;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nCurrent == 0) {
        m_nLast = NextRunNumber(m_nLast);
        m_nCurrent = m_nLast;
    }
    return m_nCurrent;
}

void CFlashRunRegistry::AttachChildLocked(unsigned nRun, intptr_t hChild)
{
    m_nChildRun = nRun;
    m_hChild = hChild;
}

void CFlashRunRegistry::DetachChild(unsigned nRun)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nChildRun == nRun) {
        m_nChildRun = 0;
        m_hChild = 0;
    }
}
