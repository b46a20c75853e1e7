// What the update sequencer (on the dialog's thread) and a flash utility run (on a worker
// thread) share: the event message, the chip type and the process-wide variables.
#pragma once

#include "afx/afx.h"
#include "contract/flash_tool_contract.h"

#include <atomic>
#include <cstdint>

// Posted to the main dialog by a run's worker. wParam: the event kind in its low 16 bits, and in
// its high 16 bits the number of the utility run that posted it (never 0), so that a late event
// of a run the sequencer gave up on can be told apart and ignored. lParam: the event's argument.
constexpr unsigned UM_UPDATE_EVENT = 0x0400 + 3;  // WM_USER + 3

enum UpdateEventKind : int {
    UPD_FINISH = 0,    // 1 success, anything else failure
    UPD_PROBE = 1,     // kept for its number: the sequencer starts a probe itself, no run posts it
    UPD_PROGRESS = 2,  // percent reported by the utility
    UPD_PROBED = 3,    // 1 the probe run completed, anything else the port failed
    UPD_FLASH = 4,     // kept for its number: the sequencer starts the flashing run itself
};
// UPD_PROBED's argument for a port where the utility found no receiver: the port is already
// closed and released, and the next one is probed at once.
constexpr intptr_t PROBED_NO_RECEIVER = 2;

inline uintptr_t MakeUpdateEventWParam(int nKind, unsigned nRun)
{
    return uintptr_t(unsigned(nKind) & 0xFFFFu) | (uintptr_t(nRun & 0xFFFFu) << 16);
}
inline int UpdateEventKindOf(uintptr_t wParam)
{
    return int(wParam & 0xFFFFu);
}
inline unsigned UpdateEventRunOf(uintptr_t wParam)
{
    return unsigned((wParam >> 16) & 0xFFFFu);
}

// The chip types a probe names: CHIP_OTHER, CHIP_GSP2E, CHIP_GSP3 (contract/flash_tool_contract.h).
constexpr ChipType CHIP_PENDING = ChipType(-128);  // 0x80: no chip reported yet in this probe cycle

// Process-wide state of one update. The sequencer writes the command line, the port indexes
// and the chip type before it starts a run; the worker writes the chip type and the last error
// before it posts the event after which the sequencer reads them.
extern CString g_toolCommandLine;         // the utility's command line; each run adds its handles to a copy
extern std::atomic<ChipType> g_chipType;  // CHIP_PENDING from a probe's start, then its chip; 0 flashing
extern std::atomic<int> g_portCursor;     // port-list row of the next probe (flashing: the row in use)
extern std::atomic<int> g_firstPort;      // row at which the probe cycle began (flashing: the row in use)
extern std::atomic<int> g_speedSlot;      // speed-list row + 2
extern std::atomic<int> g_lastToolError;  // utility error code that last ended an update; 0 at start

// The rates a command line can carry: entry g_speedSlot + 1. The speed list shows entries 3 to 5.
extern const int32_t g_baudRates[6];
