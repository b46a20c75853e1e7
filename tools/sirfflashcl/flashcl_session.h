// One run of the utility, from the options to its final record: read the chip list and the
// firmware, open the port, find the receiver (in our loader, or in its normal mode: then it is
// identified and put into boot mode), synchronise, then read the flash into a file or program
// it and check every written range by CRC-32. Portable; the port comes from the opener.
#pragma once

#include "contract/flash_tool_contract.h"
#include "tools/sirfflashcl/reporter.h"
#include "tools/sirfflashcl/session_settings.h"

// Returns 0 after reporting Done, otherwise the code of the one error reported. The final record
// goes out after the port has been closed (and its claim released).
int RunFlashSession(const FlashToolOptions& opt,
                    const SessionSettings& settings,
                    const PortOpener& openPort,
                    Reporter& out);
