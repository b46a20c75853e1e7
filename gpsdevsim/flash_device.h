// The receiver's side of the protocol: a NOR flash behind the command set, fed with the bytes
// that arrive on the line. Used by the emulator and by in-process tests; it never blocks.
#pragma once

#include "tools/protocol/frame.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace flashproto {

class FlashDevice {
public:
    // flash: the whole content (its size is the flash size); sectorSize divides it.
    FlashDevice(std::string chipName, std::vector<uint8_t> flash, uint32_t sectorSize);

    // Takes bytes received from the line and appends any reply bytes to out.
    void Receive(const uint8_t* p, size_t n, std::vector<uint8_t>& out);

    // Called after every completed erase or write that changed the flash.
    void SetChangeHandler(std::function<void()> handler) { m_onChange = std::move(handler); }
    // Whether WRITE_Z is offered in the SYNC reply.
    void SetCompression(bool on) { m_compression = on; }

    const std::vector<uint8_t>& Flash() const { return m_flash; }
    std::vector<uint8_t>& MutableFlash() { return m_flash; }
    bool Synced() const { return m_synced; }
    // True once after a RESTART was carried out: the receiver goes back to its firmware.
    bool TakeRestart()
    {
        const bool r = m_restart;
        m_restart = false;
        return r;
    }
    int Executed() const { return m_executed; }  // commands carried out (repeats not counted)
    int Replayed() const { return m_replayed; }  // repeated frames answered from the cache

private:
    std::vector<uint8_t> Execute(const std::vector<uint8_t>& cmd);
    std::vector<uint8_t> Sync(const uint8_t* a, size_t n);
    std::vector<uint8_t> Erase(uint8_t op, const uint8_t* a, size_t n);
    std::vector<uint8_t> Write(uint8_t op, const uint8_t* a, size_t n);
    std::vector<uint8_t> Reply(uint8_t op, uint8_t status, const std::vector<uint8_t>& fields = {}) const;
    bool InRange(uint32_t addr, uint32_t len) const;
    uint8_t Program(uint32_t addr, const uint8_t* data, size_t len);

    std::string m_chip;
    std::vector<uint8_t> m_flash;
    uint32_t m_sectorSize;
    bool m_compression = true;
    bool m_synced = false;
    bool m_restart = false;
    FrameDecoder m_decoder;
    std::function<void()> m_onChange;

    // The last command and its reply: a frame sent again because its reply was lost is answered
    // from here, not carried out twice.
    bool m_haveLast = false;
    uint8_t m_lastSeq = 0;
    uint32_t m_lastCrc = 0;
    std::vector<uint8_t> m_lastReply;

    int m_executed = 0;
    int m_replayed = 0;
};

}  // namespace flashproto
