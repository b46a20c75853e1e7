// The record that the flash utility writes into its pipe (FlashToolMessage). All integers are
// 32-bit signed little-endian, without gaps:
//   length (bytes after this field: 8 + payload), line, code, payload (length - 8 bytes).
// A text payload counts its terminating NUL.
#pragma once

#include <cstdint>
#include <string>

enum : int32_t {
    FTM_PROGRESS = 1004,   // payload "%d %d %s %s %s": percent first
    FTM_DONE = 1006,       // the run succeeded; no payload
    FTM_CHIP_NAME = 1009,  // payload: the chip family name ("GSP3", "GSP2e/LPx", ...)
};
// Codes below 1000 end a run with an error; the payload is the utility's text.
constexpr int32_t FTM_ERR_NO_PORT = 2;     // the serial port does not exist
constexpr int32_t FTM_ERR_PORT_BUSY = 14;  // the port exists but cannot be opened
// Our utility's codes for a port where no receiver was found (docs/sirfflashcl.md).
constexpr int32_t FTM_ERR_NO_ANSWER = 20;   // nothing answered at any speed
constexpr int32_t FTM_ERR_LINE_NOISY = 22;  // only unreadable data came back
constexpr int32_t FTM_ERR_NOT_SIRF = 25;    // a device that is no SiRF receiver
// Never written by the utility: the updater's own code for a run whose utility ended (exited,
// crashed, was ended) without a final record.
constexpr int32_t FTM_ERR_NO_FINAL_RECORD = -1;

constexpr int FTM_HEADER_SIZE = 12;
constexpr int FTM_PAYLOAD_BUFFER = 1024;  // the reader's payload buffer

// One whole record; pszText null gives a record without payload.
std::string EncodeFlashToolMessage(int32_t nLine, int32_t nCode, const char* pszText);
