// A whole receiver as the line sees it: its normal (navigation) mode, speaking NMEA or SiRF
// binary, and its boot mode, where our loader (FlashDevice) answers. Portable and never blocks:
// the emulator feeds it from a pty, tests from an in-process line.
//
// Like a UART, it hears and is heard only while the host's line settings equal its own: with
// another speed or framing each side receives garbage.
#pragma once

#include "gpsdevsim/flash_device.h"
#include "tools/protocol/sirf_messages.h"

#include <cstdint>
#include <string>
#include <vector>

namespace gpsdevsim {

struct LineSettings {
    uint32_t baud = 4800;
    bool is8N1 = true;  // 8 data bits, no parity (stop bits do not matter to a receiver)
    bool operator==(const LineSettings& o) const { return baud == o.baud && is8N1 == o.is8N1; }
    bool operator!=(const LineSettings& o) const { return !(*this == o); }
};

enum class Mode { Nmea, Binary, Boot };

struct PowerUp {
    Mode mode = Mode::Nmea;  // Boot: start in boot mode even with a valid firmware
    uint32_t baud = 4800;
    uint32_t loaderBaud = 38400;
};

class Receiver {
public:
    Receiver(std::string chip, std::vector<uint8_t> flash, uint32_t sectorSize, PowerUp powerUp);

    // Bytes the host sent with its line settings; reply bytes, as the host receives them, go to out.
    void Receive(const uint8_t* p, size_t n, const LineSettings& host, std::vector<uint8_t>& out);
    // What the receiver sends on its own up to nowMs (a steady clock), utcSeconds being the time
    // of day it reports; the first call sets the start of its one-second cycle.
    void Tick(uint64_t nowMs, int64_t utcSeconds, const LineSettings& host, std::vector<uint8_t>& out);
    // When the next Tick has something to do; UINT64_MAX in boot mode.
    uint64_t NextTickMs() const;

    // Starts again from its flash: normal mode with the power-up settings when the flash holds a
    // valid firmware, else boot mode.
    void PowerCycle();

    Mode CurrentMode() const { return m_mode; }
    LineSettings Line() const { return m_line; }
    const std::string& Version() const { return m_version; }
    flashproto::FlashDevice& Loader() { return m_loader; }

    // The firmware's version string: the first text starting with "GSW" or "GSD" (or with a
    // numeric build in front of that family token, as in "2.3.2-GSW2-...") in the firmware area (the flash before its
    // last sector, which holds the user positions). The firmware carries it in its last bytes, so one that was erased
    // or cut short has none: empty then, and the receiver stays in its loader.
    static std::string FirmwareVersion(const std::vector<uint8_t>& flash, uint32_t sectorSize);

private:
    void ReceiveByte(uint8_t b, std::vector<uint8_t>& out);
    void OnSentence(const std::string& body, std::vector<uint8_t>& out);
    void OnBinary(const std::vector<uint8_t>& payload, std::vector<uint8_t>& out);
    void EnterNormal(Mode mode, uint32_t baud, std::vector<uint8_t>& out);
    void EnterBoot();
    void SendNavigation(int64_t utc, std::vector<uint8_t>& out);
    void SendSentences(int64_t utc, std::vector<uint8_t>& out);
    void Garble(std::vector<uint8_t>& bytes, size_t from);

    flashproto::FlashDevice m_loader;
    uint32_t m_sectorSize;
    PowerUp m_powerUp;
    std::string m_version;
    Mode m_mode = Mode::Boot;
    LineSettings m_line;
    sirf::NmeaReader m_nmea;
    sirf::BinaryReader m_binary;
    bool m_restartPending = false;       // RESTART answered: power up again at the next Tick
    bool m_banner = false;               // the $PSRFTXT lines are still to come
    int m_rate[6] = {1, 0, 5, 5, 1, 0};  // seconds between GGA, GLL, GSA, GSV, RMC, VTG; 0 off
    uint64_t m_nextMs = 0;
    bool m_started = false;
    int64_t m_second = 0;  // seconds since power-up, for the rates
    int64_t m_lastUtc = 0;
    uint32_t m_noise = 0x12345678;
};

}  // namespace gpsdevsim
