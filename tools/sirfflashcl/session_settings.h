// What a run of the utility is given besides its options: its settings, and the means to open
// its port. The serial files implement the opener and the session calls it, so both include
// this header and neither includes the other.
#pragma once

#include "contract/flash_tool_contract.h"
#include "tools/protocol/flash_host.h"
#include "tools/protocol/serial_port.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

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
