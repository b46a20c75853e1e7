// The files a flashing session reads before it speaks to the receiver: the chip list and the
// firmware image. Each returns 0, or the run's error code after reporting it.
#pragma once

#include "contract/flash_tool_contract.h"
#include "tools/sirfflashcl/chip_list.h"
#include "tools/sirfflashcl/reporter.h"
#include "tools/sirfflashcl/session_settings.h"
#include "tools/sirfflashcl/srec_reader.h"

#include <cstdint>

// A firmware file may hold this many bytes of text per byte of the largest flash in the chip
// list (an S3 record carrying one byte, with CR LF, takes 18); a longer file is refused unread.
constexpr uint64_t kFirmwareTextPerFlashByte = 20;

// The chip list named in settings in place of the built-in one; a missing file keeps the
// built-in list.
int LoadChipList(const SessionSettings& settings, ChipList& chips, Reporter& out);
// The firmware file of the options, no larger than the largest flash of the chip list allows.
int LoadFirmware(const FlashToolOptions& opt, const ChipList& chips, SRecordImage& image, Reporter& out);
