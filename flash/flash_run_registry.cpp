#include "flash/flash_run_registry.h"

namespace {
// The run number travels in the high word of the event's wParam: 16 bits, 0 kept for events
// that the sequencer raises itself.
unsigned NextRunNumber(unsigned nRun)
{
    return nRun >= 0xFFFFu ? 1u : nRun + 1u;
}
}  // namespace

unsigned CFlashRunRegistry::BeginRun(uint32_t nTick)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    BeginLocked(nTick);
    return m_nCurrent;
}

void CFlashRunRegistry::BeginLocked(uint32_t nTick)
{
    m_nLast = NextRunNumber(m_nLast);
    m_nCurrent = m_nLast;
    m_bStarted = false;
    m_bEnding = false;
    m_nLastTick = nTick;
}

unsigned CFlashRunRegistry::CurrentRun() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nCurrent;
}

unsigned CFlashRunRegistry::ResolveRun(unsigned nRun, uint32_t nTick)
{
    if (nRun != 0)
        return nRun;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nCurrent == 0 || m_bEnding)
        BeginLocked(nTick);
    return m_nCurrent;
}

void CFlashRunRegistry::NoteRecord(unsigned nRun, uint32_t nTick)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nRun == m_nCurrent)
        m_nLastTick = nTick;
}

bool CFlashRunRegistry::NoteEnding(unsigned nRun)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (nRun == 0 || nRun != m_nCurrent)
        return false;
    m_bEnding = true;
    return true;
}

uint32_t CFlashRunRegistry::GetSilence(uint32_t nNow) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nCurrent == 0 || m_bEnding)
        return RUN_NOT_READING;
    const uint32_t nSilent = nNow - m_nLastTick;  // also across a wrap of the tick count
    return nSilent == RUN_NOT_READING ? nSilent - 1 : nSilent;
}

void CFlashRunRegistry::AttachChildLocked(unsigned nRun, intptr_t hChild)
{
    m_nChildRun = nRun;
    m_hChild = hChild;
    if (nRun == m_nCurrent)
        m_bStarted = true;
}

void CFlashRunRegistry::DetachChild(unsigned nRun)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nChildRun == nRun) {
        m_nChildRun = 0;
        m_hChild = 0;
    }
}
