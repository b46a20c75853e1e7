#include "tools/protocol/flash_host.h"

#include "afx/little_endian.h"
#include "tools/protocol/commands.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

namespace flashproto {

FlashHost::FlashHost(SerialPort& port, HostOptions options) : m_port(port), m_opt(std::move(options))
{
    if (m_opt.baud == 0)
        m_opt.baud = 115200;
    if (m_opt.attempts < 1)
        m_opt.attempts = 1;
}

uint64_t FlashHost::Now() const
{
    if (m_opt.now)
        return m_opt.now();
    using namespace std::chrono;
    return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

uint32_t FlashHost::LineMs(size_t bytes) const
{
    // 8N1: ten bit times per byte.
    return uint32_t((uint64_t(bytes) * 10 * 1000 + m_opt.baud - 1) / m_opt.baud);
}

namespace {
// The fields of a SYNC reply after its opcode and status; false when they are malformed.
bool ParseSyncReply(const std::vector<uint8_t>& payload, ReceiverInfo& got)
{
    if (payload.size() < 17)
        return false;  // version 1 had no sizes: a receiver we cannot check the chip list against
    const uint8_t* p = payload.data() + 2;
    got.version = p[0];
    got.caps = p[1];
    got.maxData = LoadLE16(p + 2);
    got.maxRaw = LoadLE16(p + 4);
    got.flashSize = LoadLE32(p + 6);
    got.sectorSize = LoadLE32(p + 10);
    const size_t nameLen = p[14];
    if (payload.size() != 17 + nameLen || nameLen == 0 || got.version < PROTOCOL_VERSION || got.maxData < 256 ||
        got.flashSize == 0 || got.sectorSize == 0)
        return false;
    got.chip.assign(reinterpret_cast<const char*>(p + 15), nameLen);
    got.maxData = std::min<uint16_t>(got.maxData, MAX_DATA);
    got.maxRaw = std::min<uint16_t>(got.maxRaw, MAX_RAW);
    return true;
}
}  // namespace

HostResult FlashHost::Sync(uint32_t waitMs, ReceiverInfo& info)
{
    static const uint8_t kSync[] = {OP_SYNC, 'S', 'Y', 'N', 'C', PROTOCOL_VERSION};
    const uint64_t deadline = Now() + waitMs;
    m_port.DiscardInput();
    m_decoder.Reset();
    uint8_t buf[512];
    const uint8_t firstSeq = uint8_t(m_seq + 1);
    // Bytes that came back without ever forming an intact frame: a receiver is there, but the
    // line or the speed damages everything it says.
    bool heardBytes = false, heardFrame = false;
    while (Now() < deadline) {
        const uint8_t seq = ++m_seq;
        const std::vector<uint8_t> frame = EncodeFrame(seq, kSync, sizeof kSync);
        if (!m_port.Write(frame.data(), frame.size()))
            return HostResult::PortFailed;
        const uint64_t attemptEnd =
            std::min<uint64_t>(deadline, Now() + m_opt.syncAttemptMs + LineMs(frame.size() + 96));
        for (;;) {
            Frame f;
            FrameDecoder::Result r;
            while ((r = m_decoder.Next(f)) != FrameDecoder::Result::None) {
                heardFrame = heardFrame || r == FrameDecoder::Result::Frame;
                // A slow receiver's answer to an earlier SYNC of this wait is as good as any.
                const bool ours = uint8_t(f.seq - firstSeq) <= uint8_t(seq - firstSeq);
                if (r != FrameDecoder::Result::Frame || !ours || f.payload.size() < 2 ||
                    f.payload[0] != (OP_SYNC | OP_REPLY) || f.payload[1] != ST_OK)
                    continue;
                ReceiverInfo got;
                if (!ParseSyncReply(f.payload, got))
                    return HostResult::BadReply;
                m_info = got;
                info = got;
                return HostResult::Ok;
            }
            const uint64_t now = Now();
            if (now >= attemptEnd)
                break;
            const int n = m_port.Read(buf, sizeof buf, uint32_t(attemptEnd - now));
            if (n < 0)
                return HostResult::PortFailed;
            if (n > 0) {
                heardBytes = true;
                m_decoder.Feed(buf, size_t(n));
            }
        }
    }
    return heardBytes && !heardFrame ? HostResult::Garbled : HostResult::NoAnswer;
}

HostResult FlashHost::Transact(const std::vector<uint8_t>& cmd,
                               size_t replyFields,
                               uint32_t extraMs,
                               std::vector<uint8_t>& reply,
                               uint32_t totalMs)
{
    const uint8_t seq = ++m_seq;
    const uint8_t op = cmd[0];
    const std::vector<uint8_t> frame = EncodeFrame(seq, cmd);
    const size_t replyFrame = replyFields + 2 + FRAME_OVERHEAD;
    const uint32_t timeoutMs = LineMs(frame.size() + replyFrame) * 3 / 2 + m_opt.marginMs + extraMs;
    uint8_t buf[4608];
    HostResult failure = HostResult::Lost;
    const uint64_t endOfAll = totalMs ? Now() + totalMs : UINT64_MAX;
    for (int attempt = 0; attempt < m_opt.attempts && Now() < endOfAll; ++attempt) {
        if (attempt > 0)
            ++m_resends;
        if (!m_port.Write(frame.data(), frame.size()))
            return HostResult::PortFailed;
        const uint64_t deadline = std::min(Now() + timeoutMs, endOfAll);
        bool resend = false;
        while (!resend) {
            Frame f;
            FrameDecoder::Result r;
            while (!resend && (r = m_decoder.Next(f)) != FrameDecoder::Result::None) {
                if (f.seq != seq)
                    continue;  // a late reply to an earlier command
                if (r == FrameDecoder::Result::Damaged || f.payload[0] == OP_NAK) {
                    resend = true;  // our reply arrived torn, or our command did
                    failure = HostResult::Garbled;
                    break;
                }
                if (f.payload.size() < 2 || f.payload[0] != (op | OP_REPLY))
                    continue;
                m_lastStatus = f.payload[1];
                if (m_lastStatus != ST_OK)
                    return HostResult::Refused;
                if (f.payload.size() != 2 + replyFields)
                    return HostResult::BadReply;
                reply.assign(f.payload.begin() + 2, f.payload.end());
                return HostResult::Ok;
            }
            if (resend)
                break;
            const uint64_t now = Now();
            if (now >= deadline) {
                // Nothing usable in time: drop any half frame so the repeat starts clean.
                failure = HostResult::Lost;
                m_decoder.Reset();
                m_port.DiscardInput();
                break;
            }
            // Ask for just the rest of the expected reply: a port that returns only when its
            // buffer is full or the line has gone quiet then returns as soon as it is complete.
            const size_t pending = m_decoder.Pending();
            const size_t want = pending < replyFrame ? replyFrame - pending : 1;
            const int n = m_port.Read(buf, std::min(want, sizeof buf), uint32_t(deadline - now));
            if (n < 0)
                return HostResult::PortFailed;
            if (n > 0)
                m_decoder.Feed(buf, size_t(n));
        }
    }
    return failure;
}

HostResult FlashHost::Read(uint32_t addr, uint16_t len, std::vector<uint8_t>& data)
{
    std::vector<uint8_t> cmd{OP_READ};
    AppendLE32(cmd, addr);
    AppendLE16(cmd, len);
    return Transact(cmd, len, 0, data);
}

HostResult FlashHost::EraseSector(uint32_t addr, uint32_t eraseMs)
{
    std::vector<uint8_t> cmd{OP_ERASE_SECTOR}, reply;
    AppendLE32(cmd, addr);
    return Transact(cmd, 0, eraseMs, reply);
}

HostResult FlashHost::EraseChip(uint32_t eraseMs)
{
    std::vector<uint8_t> reply;
    const uint32_t lineMs = LineMs(1 + FRAME_OVERHEAD + 2 + FRAME_OVERHEAD) * 3 / 2 + m_opt.marginMs;
    return Transact({OP_ERASE_CHIP}, 0, eraseMs, reply, eraseMs + lineMs);
}

HostResult FlashHost::Write(uint32_t addr, const uint8_t* data, size_t len, size_t& consumed)
{
    consumed = 0;
    std::vector<uint8_t> reply;
    const size_t maxData = m_info.maxData ? m_info.maxData : 256;
    if (m_opt.compress && (m_info.caps & CAP_ZLIB) && m_info.maxRaw > 0) {
        // Try the largest raw block whose stream still fits one frame; stop early on data
        // that hardly compresses, where a plain WRITE is as short.
        size_t raw = std::min<size_t>(len, m_info.maxRaw);
        std::vector<uint8_t> z;
        for (int tries = 0; tries < 4 && raw > 0; ++tries) {
            uLongf zlen = compressBound(uLong(raw));
            z.resize(zlen);
            if (compress2(z.data(), &zlen, data, uLong(raw), 9) != Z_OK)
                break;
            if (zlen <= maxData && zlen + 6 < raw) {
                std::vector<uint8_t> cmd{OP_WRITE_Z};
                AppendLE32(cmd, addr);
                AppendLE16(cmd, uint16_t(raw));
                cmd.insert(cmd.end(), z.begin(), z.begin() + long(zlen));
                const HostResult r = Transact(cmd, 0, 0, reply);
                if (r == HostResult::Ok)
                    consumed = raw;
                return r;
            }
            if (raw <= maxData || double(zlen) > 0.9 * double(raw))
                break;
            // Shrink towards a block whose stream fills one frame.
            size_t next = size_t(double(raw) * double(maxData) / double(zlen) * 0.95) & ~size_t(1023);
            raw = std::max(next, maxData);
            raw = std::min(raw, len);
        }
    }
    const size_t chunk = std::min(len, maxData);
    std::vector<uint8_t> cmd{OP_WRITE};
    AppendLE32(cmd, addr);
    cmd.insert(cmd.end(), data, data + chunk);
    const HostResult r = Transact(cmd, 0, 0, reply);
    if (r == HostResult::Ok)
        consumed = chunk;
    return r;
}

HostResult FlashHost::Crc(uint32_t addr, uint32_t len, uint32_t& crc, uint32_t computeMs)
{
    std::vector<uint8_t> cmd{OP_CRC}, reply;
    AppendLE32(cmd, addr);
    AppendLE32(cmd, len);
    const HostResult r = Transact(cmd, 4, computeMs, reply);
    if (r == HostResult::Ok)
        crc = LoadLE32(reply.data());
    return r;
}

HostResult FlashHost::Restart()
{
    std::vector<uint8_t> reply;
    return Transact({OP_RESTART}, 0, 0, reply);
}

}  // namespace flashproto
