// One run of the utility, from the options to its final record: read the chip list and the
// firmware, open the port, find the receiver (in our loader, or in its normal mode: then it is
// identified and put into boot mode), synchronise, then read the flash into a file or program
// it and check every written range by CRC-32. Portable; the port comes from the opener.
#pragma once

#include "contract/flash_tool_contract.h"
#include "tools/protocol/flash_host.h"
#include "tools/protocol/serial_port.h"
#include "tools/sirfflashcl/reporter.h"

#include <functional>
#include <memory>
#include <string>

// A firmware file may hold this many bytes of text per byte of the largest flash in the chip
// list (an S3 record carrying one byte, with CR LF, takes 18); a longer file is refused unread.
constexpr uint64_t kFirmwareTextPerFlashByte = 20;

struct SessionSettings {
    uint32_t noAnswerMs = 200;     // how long SYNC is tried at each speed of our loader
    uint32_t chipEraseMs = 30000;  // how long a whole-chip erase may take, repeats included
    bool compress = true;          // send compressed blocks where the receiver offers them
    std::string chipListPath;      // the chip list file; missing or empty: the built-in list
    flashproto::HostOptions host;  // timing; the speed is taken from the options
};

struct OpenedPort {
    std::unique_ptr<flashproto::SerialPort> port;  // null when the port could not be opened
    int32_t code = 0;                              // then FTM_ERR_NO_PORT or FTM_ERR_PORT_BUSY
    std::string text;                              // and why, in English
    std::string name;                              // "COM3", or the device path on Linux
};
using PortOpener = std::function<OpenedPort(const FlashToolOptions&)>;

// Returns 0 after reporting Done, otherwise the code of the one error reported. The final record
// goes out after the port has been closed (and its claim released).
int RunFlashSession(const FlashToolOptions& opt,
                    const SessionSettings& settings,
                    const PortOpener& openPort,
                    Reporter& out);
