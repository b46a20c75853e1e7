// The small rules that the dialog, the sequencer, the worker and the firmware choice must agree
// on, each written once: the rows of the speed list and their rates, the port number of a port
// row, whether the probe cycle has ports left, which failed probes move on to the next port, what
// the chip type says of the run under way, and what counts as a named chip.
#pragma once

#include "afx/afx.h"
#include "contract/flash_tool_contract.h"
#include "flash/update_state.h"

#include <cstdint>

// The speed list shows the last three entries of g_baudRates; g_speedSlot is its row plus 2,
// and a command line carries entry g_speedSlot + 1.
constexpr int SPEED_ROWS = 3;
constexpr int SPEED_FIRST_RATE = 3;  // g_baudRates entry of row 0
constexpr int SPEED_DEFAULT_ROW = 2;

inline int32_t BaudRateOfSpeedRow(int nRow)
{
    return nRow >= 0 && nRow < SPEED_ROWS ? g_baudRates[SPEED_FIRST_RATE + nRow] : 0;
}
inline int SpeedSlotOfRow(int nRow)
{
    return nRow + SPEED_FIRST_RATE - 1;
}
inline int32_t BaudRateOfSpeedSlot(int nSlot)
{
    return BaudRateOfSpeedRow(nSlot - (SPEED_FIRST_RATE - 1));
}

// The port number of a port-list row: a blank, "COM" and a port number as PortNumberOfText
// reads it (1 to 9999, no leading zero), and nothing else (" COM12" gives 12). Any other row
// gives 0: it is no port the utility can be given, and is treated as one that cannot be opened.
int PortNumberOfRow(const CString& strRow);

// Whether the probe cycle has ports left to try after the run under way: the cursor, already
// advanced, is not back at the row where the cycle began.
inline bool ProbeCycleHasPortsLeft()
{
    return g_portCursor.load() != g_firstPort.load();
}

// Whether a probe that ended with the utility's error nCode leaves its port for the next one of
// the cycle (ports left) instead of ending the update. The port could not be opened (2, 14, any
// utility), or our utility found no receiver on it: a silent line (20), unreadable data at every
// speed (22), a device that is no SiRF receiver, a loop-back plug or a modem among them (25).
// These count only while no receiver has named its chip in the run (bChipNamed): a receiver
// that is there and then fails (22 while reading, 24 a loader of another protocol, 34 a family
// not in the chip list) is the update's answer, and trying other ports would hide it. A probe
// writes nothing, so moving on is always safe.
inline bool IsPortFailure(int32_t nCode)
{
    return nCode == FTM_ERR_PORT_BUSY || nCode == FTM_ERR_NO_PORT;
}
inline bool IsNoReceiverHere(int32_t nCode, bool bChipNamed)
{
    return !bChipNamed && (nCode == FTM_ERR_NO_ANSWER || nCode == FTM_ERR_LINE_NOISY || nCode == FTM_ERR_NOT_SIRF);
}

// Whether the run under way is a probe: the sequencer marks the chip pending before each probe
// (a probe's chip-name record then names it) and sets it to 0 before the flashing run.
inline bool IsProbeRun()
{
    return g_chipType.load() != 0;
}

// Whether the chip is still pending (CHIP_PENDING, bit 7 set): only the first chip name of a
// probe counts, and the flashing run (0) takes none.
inline bool IsChipPending()
{
    return (uint8_t(g_chipType.load()) & 0x80) != 0;
}

// Whether a probe has named the receiver's chip: CHIP_OTHER, CHIP_GSP2E or CHIP_GSP3, not
// CHIP_PENDING and not the flashing run's 0.
inline bool IsChipNamed(ChipType chip)
{
    return chip == CHIP_OTHER || chip == CHIP_GSP2E || chip == CHIP_GSP3;
}
