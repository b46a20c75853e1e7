// Finding a receiver as it comes: already in our loader, or in its normal mode speaking NMEA or
// SiRF binary at any usual speed; then asking its software version and putting it into boot
// mode, where our loader answers. Portable; every wait is bounded and measured on the host's
// clock, so the whole search over all speeds stays within a few seconds.
#pragma once

#include "tools/protocol/flash_host.h"
#include "tools/protocol/serial_port.h"
#include "tools/protocol/sirf_messages.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct FoundReceiver {
    enum Kind {
        InLoader,   // our loader answered SYNC (info set)
        BadLoader,  // an intact SYNC reply of the wrong shape
        Normal,     // a SiRF receiver in its normal mode (version, maybe empty if it never said)
        NotSirf,    // NMEA that ignored the switch to SiRF binary
        Echo,       // what we sent came back (a loop-back plug, a modem): no receiver answers there
        Noisy,      // bytes came back but never a sentence, a frame or a reply
        Silent,     // nothing at all came back
        PortFailed,
    };
    Kind kind = Silent;
    uint32_t baud = 0;    // where it was found
    bool binary = false;  // Normal: found speaking SiRF binary (else NMEA)
    std::string version;
    flashproto::ReceiverInfo info;
};

class ReceiverFinder {
public:
    // The speeds a receiver's normal mode is hunted at, in this order.
    static const std::vector<uint32_t>& HuntSpeeds();
    // The loader's speed after MID 148, as public reports give it for a real receiver.
    static constexpr uint32_t kBootBaud = 38400;
    // Our loader's speeds: the one given and kBootBaud, in the order they are worth trying (the
    // given one first for a receiver left in the loader, kBootBaud first after MID 148).
    static std::vector<uint32_t> LoaderSpeeds(uint32_t given, bool bootFirst);

    // syncMs: how long SYNC is tried at each loader speed. onHeard is called once, as soon as
    // the line shows any bytes that are not our loader's answer: a device is there, and the
    // search may outlast the updater's watchdog. A silent port stays silent.
    ReceiverFinder(flashproto::SerialPort& port,
                   flashproto::FlashHost& host,
                   uint32_t syncMs,
                   std::function<void()> onHeard);

    // Our loader at each of loaderSpeeds, then the normal mode at every hunt speed.
    FoundReceiver Find(const std::vector<uint32_t>& loaderSpeeds);
    // Normal mode, found in NMEA: puts it back into NMEA at its speed (it was switched to binary).
    void BackToNmea(const FoundReceiver& r);
    // Normal mode: sends MID 148, then tries SYNC at each of loaderSpeeds. InLoader on success.
    FoundReceiver EnterBootMode(const FoundReceiver& r, const std::vector<uint32_t>& loaderSpeeds);

private:
    bool TryLoader(uint32_t baud, FoundReceiver& r, bool& heardBytes);
    bool TryNormal(uint32_t baud, FoundReceiver& r, bool& heardBytes);
    bool SwitchToBinary(uint32_t baud, FoundReceiver& r);
    bool PollVersion(FoundReceiver& r, uint32_t waitMs);
    // Reads for up to ms, feeding both readers: stops at the first sentence or frame (Any), the
    // first frame (Frame) or a MID 6 (Version), or at a repeat of what was last sent (Echo,
    // never an answer). Says the most it heard.
    enum class Heard { Nothing, Bytes, Echo, Sentence, Frame, Failed };
    enum class Want { Any, Frame, Version };
    Heard Listen(uint32_t ms, Want want);
    bool Repeats(const std::string& got, Heard& heard) const;
    bool Send(const std::vector<uint8_t>& bytes);
    void HeardSomething();
    bool SetSpeed(uint32_t baud);
    // Lets bytes already written leave at the current speed before it changes.
    void Drain(size_t bytes);

    flashproto::SerialPort& m_port;
    flashproto::FlashHost& m_host;
    uint32_t m_syncMs;
    std::function<void()> m_onHeard;
    bool m_heard = false;
    uint32_t m_baud = 0;
    sirf::NmeaReader m_nmea;
    sirf::BinaryReader m_binary;
    std::string m_version;  // from the last MID 6 heard
    std::string m_sent;     // the last frame or sentence sent, as a repeat of it would arrive
    bool m_failed = false;
};
