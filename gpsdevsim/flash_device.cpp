#include "gpsdevsim/flash_device.h"

#include "afx/little_endian.h"
#include "tools/protocol/commands.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace flashproto {

FlashDevice::FlashDevice(std::string chipName, std::vector<uint8_t> flash, uint32_t sectorSize)
    : m_chip(std::move(chipName)), m_flash(std::move(flash)), m_sectorSize(sectorSize ? sectorSize : 1)
{
}

void FlashDevice::Receive(const uint8_t* p, size_t n, std::vector<uint8_t>& out)
{
    m_decoder.Feed(p, n);
    Frame f;
    for (;;) {
        const FrameDecoder::Result r = m_decoder.Next(f);
        if (r == FrameDecoder::Result::None)
            return;
        std::vector<uint8_t> reply;
        uint8_t seq = f.seq;
        if (r == FrameDecoder::Result::Damaged) {
            reply = {OP_NAK, ST_BAD_FRAME};
        } else if (m_haveLast && f.seq == m_lastSeq && f.crc == m_lastCrc && f.payload[0] != OP_SYNC) {
            ++m_replayed;
            reply = m_lastReply;
        } else {
            reply = Execute(f.payload);
            ++m_executed;
            m_haveLast = true;
            m_lastSeq = f.seq;
            m_lastCrc = f.crc;
            m_lastReply = reply;
        }
        const std::vector<uint8_t> frame = EncodeFrame(seq, reply);
        out.insert(out.end(), frame.begin(), frame.end());
    }
}

std::vector<uint8_t> FlashDevice::Reply(uint8_t op, uint8_t status, const std::vector<uint8_t>& fields) const
{
    std::vector<uint8_t> r;
    r.reserve(2 + fields.size());
    r.push_back(uint8_t(op | OP_REPLY));
    r.push_back(status);
    r.insert(r.end(), fields.begin(), fields.end());
    return r;
}

bool FlashDevice::InRange(uint32_t addr, uint32_t len) const
{
    return addr <= m_flash.size() && len <= m_flash.size() - addr;
}

uint8_t FlashDevice::Program(uint32_t addr, const uint8_t* data, size_t len)
{
    // NOR flash: programming only clears bits, so bytes over unerased flash come out wrong.
    bool ok = true;
    for (size_t i = 0; i < len; ++i) {
        uint8_t& cell = m_flash[addr + i];
        cell &= data[i];
        ok = ok && cell == data[i];
    }
    if (len > 0 && m_onChange)
        m_onChange();
    return ok ? ST_OK : ST_WRITE_FAILED;
}

namespace {
// Inflates one zlib stream into exactly rawLen bytes; false on any other outcome.
bool InflateBlock(const uint8_t* z, size_t zlen, size_t rawLen, std::vector<uint8_t>& out)
{
    out.assign(rawLen, 0);
    z_stream s;
    std::memset(&s, 0, sizeof s);
    if (inflateInit(&s) != Z_OK)
        return false;
    s.next_in = const_cast<Bytef*>(z);
    s.avail_in = uInt(zlen);
    s.next_out = out.data();
    s.avail_out = uInt(rawLen);
    int ret = inflate(&s, Z_FINISH);
    if (ret == Z_NEED_DICT)
        ret = Z_DATA_ERROR;
    const bool ok = ret == Z_STREAM_END && s.total_out == rawLen && s.avail_in == 0;
    inflateEnd(&s);
    return ok;
}
}  // namespace

std::vector<uint8_t> FlashDevice::Sync(const uint8_t* a, size_t n)
{
    if (n < 5 || std::memcmp(a, "SYNC", 4) != 0)
        return Reply(OP_SYNC, ST_BAD_LENGTH);
    m_synced = true;
    std::vector<uint8_t> f;
    f.push_back(PROTOCOL_VERSION);
    f.push_back(m_compression ? CAP_ZLIB : 0);
    AppendLE16(f, MAX_DATA);
    AppendLE16(f, MAX_RAW);
    AppendLE32(f, uint32_t(m_flash.size()));
    AppendLE32(f, m_sectorSize);
    const size_t nameLen = std::min<size_t>(m_chip.size(), 64);
    f.push_back(uint8_t(nameLen));
    f.insert(f.end(), m_chip.begin(), m_chip.begin() + long(nameLen));
    return Reply(OP_SYNC, ST_OK, f);
}

std::vector<uint8_t> FlashDevice::Erase(uint8_t op, const uint8_t* a, size_t n)
{
    uint32_t addr = 0, len = uint32_t(m_flash.size());
    if (op == OP_ERASE_SECTOR) {
        if (n != 4)
            return Reply(op, ST_BAD_LENGTH);
        addr = LoadLE32(a);
        len = m_sectorSize;
        if (addr % m_sectorSize != 0 || !InRange(addr, len))
            return Reply(op, ST_RANGE);
    } else if (n != 0) {
        return Reply(op, ST_BAD_LENGTH);
    }
    std::fill(m_flash.begin() + addr, m_flash.begin() + addr + len, 0xFF);
    if (m_onChange)
        m_onChange();
    return Reply(op, ST_OK);
}

std::vector<uint8_t> FlashDevice::Write(uint8_t op, const uint8_t* a, size_t n)
{
    if (op == OP_WRITE) {
        if (n < 5 || n - 4 > MAX_DATA)
            return Reply(op, ST_BAD_LENGTH);
        const uint32_t addr = LoadLE32(a);
        if (!InRange(addr, uint32_t(n - 4)))
            return Reply(op, ST_RANGE);
        return Reply(op, Program(addr, a + 4, n - 4));
    }
    if (!m_compression)
        return Reply(op, ST_UNKNOWN);
    if (n < 7)
        return Reply(op, ST_BAD_LENGTH);
    const uint32_t addr = LoadLE32(a), rawLen = LoadLE16(a + 4);
    if (rawLen == 0 || rawLen > MAX_RAW)
        return Reply(op, ST_BAD_LENGTH);
    if (!InRange(addr, rawLen))
        return Reply(op, ST_RANGE);
    std::vector<uint8_t> raw;
    if (!InflateBlock(a + 6, n - 6, rawLen, raw))
        return Reply(op, ST_BAD_DATA);
    return Reply(op, Program(addr, raw.data(), raw.size()));
}

std::vector<uint8_t> FlashDevice::Execute(const std::vector<uint8_t>& cmd)
{
    const uint8_t op = cmd[0];
    const uint8_t* a = cmd.data() + 1;
    const size_t n = cmd.size() - 1;

    if (op == OP_SYNC)
        return Sync(a, n);
    if (op < OP_READ || op > OP_RESTART)
        return Reply(op, ST_UNKNOWN);
    if (!m_synced)
        return Reply(op, ST_NOT_SYNCED);

    switch (op) {
        case OP_READ: {
            if (n != 6)
                return Reply(op, ST_BAD_LENGTH);
            const uint32_t addr = LoadLE32(a), len = LoadLE16(a + 4);
            if (len > MAX_DATA)
                return Reply(op, ST_BAD_LENGTH);
            if (!InRange(addr, len))
                return Reply(op, ST_RANGE);
            return Reply(op, ST_OK, std::vector<uint8_t>(m_flash.begin() + addr, m_flash.begin() + addr + len));
        }
        case OP_ERASE_SECTOR:
        case OP_ERASE_CHIP:
            return Erase(op, a, n);
        case OP_WRITE:
        case OP_WRITE_Z:
            return Write(op, a, n);
        case OP_CRC: {
            if (n != 8)
                return Reply(op, ST_BAD_LENGTH);
            const uint32_t addr = LoadLE32(a), len = LoadLE32(a + 4);
            if (!InRange(addr, len))
                return Reply(op, ST_RANGE);
            std::vector<uint8_t> f;
            AppendLE32(f, Crc32(m_flash.data() + addr, len));
            return Reply(op, ST_OK, f);
        }
        case OP_RESTART:
            if (n != 0)
                return Reply(op, ST_BAD_LENGTH);
            m_synced = false;  // back to the firmware: the next session synchronises again
            m_restart = true;
            return Reply(op, ST_OK);
        default:
            return Reply(op, ST_UNKNOWN);
    }
}

}  // namespace flashproto
