#include "tools/sirfflashcl/receiver_finder.h"

#include <algorithm>

using namespace flashproto;

namespace {
// A receiver in NMEA sends every second; one in binary answers a poll at once. At 4800, the
// power-up default, a second's sentences take up to 0.7 s and a restarted receiver's banner more:
// the longest wait goes there.
constexpr uint32_t kListenMs = 1000;
constexpr uint32_t kListenAt4800Ms = 2000;
// After $PSRF100 a SiRF receiver restarts in binary within a moment.
constexpr uint32_t kSwitchMs = 1500;
constexpr uint32_t kVersionMs = 1000;

std::vector<uint8_t> Bytes(const std::string& s)
{
    return std::vector<uint8_t>(s.begin(), s.end());
}
}  // namespace

const std::vector<uint32_t>& ReceiverFinder::HuntSpeeds()
{
    static const std::vector<uint32_t> speeds{4800, 9600, 19200, 38400, 57600, 115200};
    return speeds;
}

std::vector<uint32_t> ReceiverFinder::LoaderSpeeds(uint32_t given, bool bootFirst)
{
    if (given == kBootBaud)
        return {given};
    if (bootFirst)
        return {kBootBaud, given};
    return {given, kBootBaud};
}

ReceiverFinder::ReceiverFinder(SerialPort& port, FlashHost& host, uint32_t syncMs, std::function<void()> onHeard)
    : m_port(port), m_host(host), m_syncMs(syncMs), m_onHeard(std::move(onHeard))
{
}

void ReceiverFinder::HeardSomething()
{
    if (!m_heard && m_onHeard)
        m_onHeard();
    m_heard = true;
}

bool ReceiverFinder::SetSpeed(uint32_t baud)
{
    if (baud != m_baud && !m_port.SetSpeed(baud)) {
        m_failed = true;
        return false;
    }
    m_baud = baud;
    m_host.SetBaud(baud);
    m_port.DiscardInput();
    m_nmea.Reset();
    m_binary.Reset();
    return true;
}

bool ReceiverFinder::Send(const std::vector<uint8_t>& bytes)
{
    m_sent.assign(bytes.begin(), bytes.end());
    if (!m_port.Write(bytes.data(), bytes.size()))
        m_failed = true;
    return !m_failed;
}

void ReceiverFinder::Drain(size_t bytes)
{
    const uint64_t end = m_host.Now() + bytes * 10 * 1000 / (m_baud ? m_baud : 4800) + 50;
    uint8_t buf[256];
    for (uint64_t now = m_host.Now(); now < end && !m_failed; now = m_host.Now()) {
        if (m_port.Read(buf, sizeof buf, uint32_t(end - now)) < 0)
            m_failed = true;
    }
}

// Our own poll or $PSRF100 coming back is no answer (nor is our SYNC: FlashHost::Sync takes
// only replies): the line repeats what it is sent, as a loop-back plug or a modem does.
bool ReceiverFinder::Repeats(const std::string& got, Heard& heard) const
{
    if (got != m_sent)
        return false;
    if (heard != Heard::Frame && heard != Heard::Sentence)
        heard = Heard::Echo;
    return true;
}

ReceiverFinder::Heard ReceiverFinder::Listen(uint32_t ms, Want want)
{
    Heard heard = Heard::Nothing;
    const uint64_t end = m_host.Now() + ms;
    uint8_t buf[512];
    for (;;) {
        std::string body;
        std::vector<uint8_t> payload;
        while (m_binary.Next(payload)) {
            const std::vector<uint8_t> frame = sirf::EncodeBinary(payload);
            if (Repeats(std::string(frame.begin(), frame.end()), heard))
                continue;
            heard = Heard::Frame;
            if (payload[0] == sirf::MID_VERSION) {
                m_version = sirf::VersionOfMid6(payload);
                return heard;
            }
        }
        if (heard == Heard::Frame && want != Want::Version)
            return heard;
        while (m_nmea.Next(body)) {
            if (!Repeats(sirf::EncodeSentence(body), heard) && heard != Heard::Frame)
                heard = Heard::Sentence;
        }
        if ((heard == Heard::Sentence && want == Want::Any) || heard == Heard::Echo)
            return heard;
        const uint64_t now = m_host.Now();
        if (now >= end)
            return heard;
        const int n = m_port.Read(buf, sizeof buf, uint32_t(end - now));
        if (n < 0) {
            m_failed = true;
            return Heard::Failed;
        }
        if (n > 0) {
            HeardSomething();
            heard = heard == Heard::Nothing ? Heard::Bytes : heard;
            m_nmea.Feed(buf, size_t(n));
            m_binary.Feed(buf, size_t(n));
        }
    }
}

bool ReceiverFinder::TryLoader(uint32_t baud, FoundReceiver& r, bool& heardBytes)
{
    if (!SetSpeed(baud))
        return false;
    ReceiverInfo info;
    const HostResult res = m_host.Sync(m_syncMs, info);
    if (res == HostResult::PortFailed)
        m_failed = true;
    if (res == HostResult::Garbled)
        HeardSomething();  // bytes, but not our loader: perhaps a receiver in its normal mode
    heardBytes = heardBytes || res == HostResult::Garbled;
    if (res == HostResult::BadReply) {
        r.kind = FoundReceiver::BadLoader;
        return true;
    }
    if (res != HostResult::Ok)
        return false;
    r.kind = FoundReceiver::InLoader;
    r.baud = baud;
    r.info = info;
    return true;
}

bool ReceiverFinder::PollVersion(FoundReceiver& r, uint32_t waitMs)
{
    const std::vector<uint8_t> poll = sirf::EncodeBinary({sirf::MID_POLL_VERSION, 0});
    const uint64_t end = m_host.Now() + waitMs;
    m_version.clear();
    for (int tries = 0; tries < 3 && m_version.empty() && m_host.Now() < end; ++tries) {
        if (!Send(poll))
            return false;
        Listen(uint32_t(std::min<uint64_t>(end - m_host.Now(), waitMs / 3 + 1)), Want::Version);
    }
    r.version = m_version;
    return !m_version.empty();
}

bool ReceiverFinder::SwitchToBinary(uint32_t baud, FoundReceiver& r)
{
    const std::string to = sirf::EncodeSentence("PSRF100,0," + std::to_string(baud) + ",8,1,0");
    if (!Send(Bytes(to)))
        return false;
    // Nothing more goes out until the receiver speaks binary: a device that ignored the
    // switch is no SiRF receiver, and gets nothing else from us.
    m_binary.Reset();
    const Heard heard = Listen(kSwitchMs, Want::Frame);
    if (heard != Heard::Frame) {
        r.kind = heard == Heard::Echo ? FoundReceiver::Echo : FoundReceiver::NotSirf;
        return false;
    }
    PollVersion(r, kVersionMs);
    return true;
}

bool ReceiverFinder::TryNormal(uint32_t baud, FoundReceiver& r, bool& heardBytes)
{
    if (!SetSpeed(baud))
        return false;
    // A poll in binary: a receiver in binary answers at once, one in NMEA sees noise.
    if (!Send(sirf::EncodeBinary({sirf::MID_POLL_VERSION, 0})))
        return false;
    m_version.clear();
    const Heard heard = Listen(baud == 4800 ? kListenAt4800Ms : kListenMs, Want::Any);
    heardBytes = heardBytes || heard != Heard::Nothing;
    r.baud = baud;
    if (heard == Heard::Echo) {
        r.kind = FoundReceiver::Echo;  // no SiRF receiver answers through a line that repeats
        return true;
    }
    if (heard == Heard::Frame) {
        r.kind = FoundReceiver::Normal;
        r.binary = true;
        r.version = m_version;
        if (r.version.empty())
            PollVersion(r, kVersionMs);
        return true;
    }
    if (heard != Heard::Sentence)
        return false;
    r.kind = FoundReceiver::Normal;
    r.binary = false;
    SwitchToBinary(baud, r);
    return true;
}

FoundReceiver ReceiverFinder::Find(const std::vector<uint32_t>& loaderSpeeds)
{
    FoundReceiver r;
    bool heardBytes = false;
    for (uint32_t baud : loaderSpeeds) {
        if (TryLoader(baud, r, heardBytes))
            return r;
        if (m_failed)
            break;
    }
    for (size_t i = 0; i < HuntSpeeds().size() && !m_failed; ++i) {
        if (TryNormal(HuntSpeeds()[i], r, heardBytes))
            return r;
    }
    r.kind = m_failed ? FoundReceiver::PortFailed : heardBytes ? FoundReceiver::Noisy : FoundReceiver::Silent;
    return r;
}

void ReceiverFinder::BackToNmea(const FoundReceiver& r)
{
    // MID 129: debug off, GGA 1 s, GSA 5 s, GSV 5 s, RMC 1 s (checksums on), the others off.
    std::vector<uint8_t> m{sirf::MID_SWITCH_NMEA, 2, 1, 1, 0, 1, 5, 1, 5, 1, 1, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1};
    m.push_back(uint8_t(r.baud >> 8));
    m.push_back(uint8_t(r.baud));
    const std::vector<uint8_t> frame = sirf::EncodeBinary(m);
    if (Send(frame))
        Drain(frame.size());
}

FoundReceiver ReceiverFinder::EnterBootMode(const FoundReceiver& r, const std::vector<uint32_t>& loaderSpeeds)
{
    FoundReceiver boot = r;
    const std::vector<uint8_t> frame = sirf::EncodeBinary({sirf::MID_BOOT});
    if (!Send(frame)) {
        boot.kind = FoundReceiver::PortFailed;
        return boot;
    }
    Drain(frame.size());
    bool heardBytes = false;
    for (uint32_t baud : loaderSpeeds) {
        if (TryLoader(baud, boot, heardBytes))
            return boot;
        if (m_failed)
            break;
    }
    boot.kind = m_failed ? FoundReceiver::PortFailed : FoundReceiver::Silent;
    return boot;
}
