// The commands inside frames. A command's payload starts with its opcode; the reply carries the
// opcode with bit 7 set, then a status byte, then the reply's fields. All integers little-endian.
//
//   SYNC          01 'S' 'Y' 'N' 'C' version          -> 81 st version caps maxData(2) maxRaw(2)
//                                                          flashSize(4) sectorSize(4) n name(n)
//   READ          02 addr(4) len(2)                   -> 82 st data(len)
//   ERASE_SECTOR  03 addr(4)                          -> 83 st
//   ERASE_CHIP    04                                  -> 84 st
//   WRITE         05 addr(4) data                     -> 85 st
//   WRITE_Z       06 addr(4) rawLen(2) zlib-stream    -> 86 st
//   CRC           07 addr(4) len(4)                   -> 87 st crc(4)
//   RESTART       08                                  -> 88 st
//   (reply only)  NAK 7F st: a frame with this seq arrived damaged; send it again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace flashproto {

enum Opcode : uint8_t {
    OP_SYNC = 0x01,
    OP_READ = 0x02,
    OP_ERASE_SECTOR = 0x03,
    OP_ERASE_CHIP = 0x04,
    OP_WRITE = 0x05,
    OP_WRITE_Z = 0x06,
    OP_CRC = 0x07,
    OP_RESTART = 0x08,
    OP_NAK = 0x7F,
};
constexpr uint8_t OP_REPLY = 0x80;

enum Status : uint8_t {
    ST_OK = 0,
    ST_BAD_FRAME = 1,   // NAK: the frame was damaged
    ST_UNKNOWN = 2,     // unknown opcode
    ST_BAD_LENGTH = 3,  // fields missing or too long
    ST_RANGE = 4,       // address or length outside the flash, or an erase not on a sector start
    ST_NOT_SYNCED = 5,  // a command before SYNC (or after RESTART)
    ST_ERASE_FAILED = 6,
    ST_WRITE_FAILED = 7,  // the bytes did not program (flash not erased there)
    ST_BAD_DATA = 8,      // a compressed block did not inflate to its stated length
};

const char* StatusText(uint8_t status);

// Version 2: the SYNC reply states the flash and sector size.
constexpr uint8_t PROTOCOL_VERSION = 2;
constexpr uint8_t CAP_ZLIB = 0x01;   // the receiver inflates WRITE_Z blocks
constexpr uint16_t MAX_DATA = 4096;  // data bytes in one READ reply or WRITE command
constexpr uint16_t MAX_RAW = 16384;  // inflated bytes of one WRITE_Z block, at most

}  // namespace flashproto
