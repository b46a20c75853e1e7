#include "flash/update_state.h"

CString g_toolCommandLine;
std::atomic<ChipType> g_chipType{0};
std::atomic<int> g_portCursor{0};
std::atomic<int> g_firstPort{0};
std::atomic<int> g_speedSlot{0};
std::atomic<int> g_lastToolError{0};

const int32_t g_baudRates[6] = {0, 9600, 19200, 38400, 57600, 115200};
