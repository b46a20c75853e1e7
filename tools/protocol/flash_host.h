// The utility's side of the protocol: one command at a time, each answered or sent again.
// Every wait has a time limit; a damaged or missing reply is retried, never taken as data.
// The host never prints: callers turn its results into messages.
#pragma once

#include "tools/protocol/frame.h"
#include "tools/protocol/serial_port.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace flashproto {

struct HostOptions {
    uint32_t baud = 115200;         // the line's rate, for the time a frame takes on it
    uint32_t marginMs = 400;        // added to the line time of a command and its reply
    uint32_t syncAttemptMs = 250;   // wait for the answer to one SYNC before sending the next
    int attempts = 6;               // sends of one command before giving up on it
    bool compress = true;           // use WRITE_Z where the receiver offers it and it pays
    std::function<uint64_t()> now;  // milliseconds; a steady clock when empty (tests pass their own)
};

enum class HostResult {
    Ok,
    NoAnswer,    // SYNC: nothing answered within the time given
    Lost,        // the receiver stopped answering
    Garbled,     // every attempt came back damaged
    PortFailed,  // the serial line itself failed
    Refused,     // the receiver answered with a status other than ST_OK (LastStatus)
    BadReply,    // an intact reply of the wrong shape
};

struct ReceiverInfo {
    std::string chip;
    uint8_t version = 0;
    uint8_t caps = 0;
    uint16_t maxData = 0;
    uint16_t maxRaw = 0;
    uint32_t flashSize = 0;   // bytes
    uint32_t sectorSize = 0;  // bytes, the unit of ERASE_SECTOR
};

class FlashHost {
public:
    FlashHost(SerialPort& port, HostOptions options = {});

    // Sends SYNC until the receiver answers or waitMs have passed: NoAnswer when nothing came
    // back, Garbled when bytes came but never a whole, intact reply (cable, speed).
    HostResult Sync(uint32_t waitMs, ReceiverInfo& info);

    // Reads len (at most the receiver's maxData) bytes at addr into data.
    HostResult Read(uint32_t addr, uint16_t len, std::vector<uint8_t>& data);
    // eraseMs: how long the receiver may take, on top of the line time.
    HostResult EraseSector(uint32_t addr, uint32_t eraseMs);
    // eraseMs bounds the whole command, repeats included: a receiver that falls silent while
    // erasing is given up on after that long, not after every attempt's wait.
    HostResult EraseChip(uint32_t eraseMs);
    // Programs the first bytes of data (len > 0) at addr as one block, compressed when that is
    // shorter on the line. consumed: how many bytes of data the block covered.
    HostResult Write(uint32_t addr, const uint8_t* data, size_t len, size_t& consumed);
    HostResult Crc(uint32_t addr, uint32_t len, uint32_t& crc, uint32_t computeMs);
    HostResult Restart();

    // The line's speed from now on, for the time frames take on it.
    void SetBaud(uint32_t baud) { m_opt.baud = baud ? baud : m_opt.baud; }
    uint32_t Baud() const { return m_opt.baud; }

    uint8_t LastStatus() const { return m_lastStatus; }
    int Resends() const { return m_resends; }
    uint64_t Now() const;
    // The largest block the receiver takes in one READ or WRITE.
    uint16_t MaxData() const { return m_info.maxData; }

private:
    HostResult Transact(const std::vector<uint8_t>& cmd,
                        size_t replyFields,
                        uint32_t extraMs,
                        std::vector<uint8_t>& reply,
                        uint32_t totalMs = 0);
    uint32_t LineMs(size_t bytes) const;

    SerialPort& m_port;
    HostOptions m_opt;
    FrameDecoder m_decoder{true};
    ReceiverInfo m_info;
    uint8_t m_seq = 0;
    uint8_t m_lastStatus = 0;
    int m_resends = 0;
};

}  // namespace flashproto
