#include "tools/protocol/commands.h"

namespace flashproto {

const char* StatusText(uint8_t status)
{
    switch (status) {
        case ST_OK:
            return "ok";
        case ST_BAD_FRAME:
            return "damaged frame";
        case ST_UNKNOWN:
            return "unknown command";
        case ST_BAD_LENGTH:
            return "malformed command";
        case ST_RANGE:
            return "address outside the flash";
        case ST_NOT_SYNCED:
            return "receiver not synchronised";
        case ST_ERASE_FAILED:
            return "erase failed";
        case ST_WRITE_FAILED:
            return "bytes did not program";
        case ST_BAD_DATA:
            return "compressed block damaged";
        default:
            return "unknown status";
    }
}

}  // namespace flashproto
