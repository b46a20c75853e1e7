// The small rules that the dialog, the sequencer, the worker and the firmware choice must agree
// on, each written once: the rows of the speed list and their rates, the port number of a port
// row, whether the probe cycle has ports left, and what counts as a named chip.
#pragma once

#include "afx/afx.h"
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

// The port number of a port-list row: a blank, "COM" and a decimal number from 1 to 9999 with
// no leading zero, and nothing else (" COM12" gives 12). Any other row gives 0: it is no port
// the utility can be given, and is treated as one that cannot be opened.
int PortNumberOfRow(const CString& strRow);

// Whether the probe cycle has ports left to try after the run under way: the cursor, already
// advanced, is not back at the row where the cycle began.
inline bool ProbeCycleHasPortsLeft()
{
    return g_portCursor.load() != g_firstPort.load();
}

// Whether a probe has named the receiver's chip: CHIP_OTHER, CHIP_GSP2E or CHIP_GSP3, not
// CHIP_PENDING and not the flashing run's 0.
inline bool IsChipNamed(ChipType chip)
{
    return chip == CHIP_OTHER || chip == CHIP_GSP2E || chip == CHIP_GSP3;
}
