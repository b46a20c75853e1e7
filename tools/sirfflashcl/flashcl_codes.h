// The error codes SiRFflashcl ends a run with (the code of its one error record). 2 and 14 are
// the updater's "try the next port" codes, and so are 20, 22 and 25 of a probe that named no
// chip (flash/update_rules.h); the others are ours (docs/sirfflashcl.md).
#pragma once

#include "contract/flash_tool_contract.h"

#include <cstdint>

constexpr int32_t FLASHCL_ERR_USAGE = 1;  // bad command line
// FTM_ERR_NO_PORT (2): the serial port does not exist
// FTM_ERR_PORT_BUSY (14): the port exists but cannot be opened or set up
constexpr int32_t FLASHCL_ERR_NO_ANSWER = 20;       // no receiver answered on the port
constexpr int32_t FLASHCL_ERR_LINE_LOST = 21;       // the receiver stopped answering, or the line failed
constexpr int32_t FLASHCL_ERR_LINE_NOISY = 22;      // only damaged frames came back
constexpr int32_t FLASHCL_ERR_PROTOCOL = 23;        // the receiver answered out of protocol
constexpr int32_t FLASHCL_ERR_FOREIGN_LOADER = 24;  // in its boot mode after MID 148, the loader ignores our SYNC
constexpr int32_t FLASHCL_ERR_NOT_SIRF = 25;        // ignored the switch to SiRF binary, or repeats what it is sent
constexpr int32_t FLASHCL_ERR_FILE_READ = 30;       // the firmware file cannot be read
constexpr int32_t FLASHCL_ERR_FILE_BAD = 31;        // the firmware file is not valid S-record text
constexpr int32_t FLASHCL_ERR_IMAGE_FIT = 32;       // the firmware lies outside the chip's flash
constexpr int32_t FLASHCL_ERR_FILE_WRITE = 33;      // the file for what was read cannot be written
constexpr int32_t FLASHCL_ERR_CHIP_UNKNOWN = 34;    // the chip family is not in the chip list
constexpr int32_t FLASHCL_ERR_CHIP_LIST = 35;       // the chip list is damaged
constexpr int32_t FLASHCL_ERR_USER_POSITIONS = 36;  // without -e, the firmware reaches into the user positions
constexpr int32_t FLASHCL_ERR_CHIP_MISMATCH = 37;   // the chip list disagrees with the receiver's flash
constexpr int32_t FLASHCL_ERR_ERASE = 40;           // erasing failed
constexpr int32_t FLASHCL_ERR_WRITE = 41;           // programming failed
constexpr int32_t FLASHCL_ERR_VERIFY = 42;          // the receiver's CRC differs from the image
constexpr int32_t FLASHCL_ERR_READ = 43;            // reading the flash failed
constexpr int32_t FLASHCL_ERR_UNEXPECTED = 50;      // the utility itself failed (out of memory)
static_assert(FLASHCL_ERR_NO_ANSWER == FTM_ERR_NO_ANSWER && FLASHCL_ERR_LINE_NOISY == FTM_ERR_LINE_NOISY &&
                  FLASHCL_ERR_NOT_SIRF == FTM_ERR_NOT_SIRF,
              "the updater's codes for a port without a receiver");
