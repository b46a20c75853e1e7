// Opening the serial port named by -l, 8N1 at the given speed, no flow control. On Windows
// \\.\COM<line>; on Linux the device in SIRFFLASH_COM<line> if set, else /dev/ttyS<line-1>.
#pragma once

#include "contract/flash_tool_contract.h"
#include "tools/sirfflashcl/session_settings.h"

// Opens the port of opt.line (a positive number: the session refuses others first).
OpenedPort OpenSerialPort(const FlashToolOptions& opt);
