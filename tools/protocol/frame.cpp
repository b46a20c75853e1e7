#include "tools/protocol/frame.h"

#include "afx/little_endian.h"

#include <zlib.h>

#include <algorithm>

namespace flashproto {

uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc)
{
    // zlib takes uInt lengths; feed large buffers in slices.
    while (n > 0) {
        const uInt chunk = n > 0x40000000u ? 0x40000000u : uInt(n);
        crc = uint32_t(crc32(crc, p, chunk));
        p += chunk;
        n -= chunk;
    }
    return crc;
}

std::vector<uint8_t> EncodeFrame(uint8_t seq, const uint8_t* payload, size_t n)
{
    std::vector<uint8_t> out;
    out.reserve(n + FRAME_OVERHEAD);
    out.push_back(FRAME_START0);
    out.push_back(FRAME_START1);
    AppendLE16(out, uint16_t(n));
    out.push_back(seq);
    out.insert(out.end(), payload, payload + n);
    const uint32_t crc = Crc32(out.data() + 2, n + 3);
    AppendLE32(out, crc);
    out.push_back(FRAME_END);
    return out;
}

void FrameDecoder::Feed(const uint8_t* p, size_t n)
{
    if (m_pos > 0 && m_pos >= m_buf.size() / 2) {
        m_buf.erase(m_buf.begin(), m_buf.begin() + long(m_pos));
        m_scanned = m_scanned > m_pos ? m_scanned - m_pos : 0;
        // Candidates the decoder has already passed go with the bytes they pointed into.
        m_candidates.erase(
            std::remove_if(m_candidates.begin(), m_candidates.end(), [this](size_t c) { return c <= m_pos; }),
            m_candidates.end());
        for (size_t& c : m_candidates)
            c -= m_pos;
        m_pos = 0;
    }
    m_buf.insert(m_buf.end(), p, p + n);
}

void FrameDecoder::Reset()
{
    m_buf.clear();
    m_pos = 0;
    m_scanned = 0;
    m_candidates.clear();
}

bool FrameDecoder::ValidAt(size_t at, Frame& out) const
{
    const uint8_t* h = m_buf.data() + at;
    const size_t len = LoadLE16(h + 2);
    const uint8_t* t = h + FRAME_HEADER + len;
    const uint32_t carried = LoadLE32(t);
    if (t[4] != FRAME_END || Crc32(h + 2, len + 3) != carried)
        return false;
    out.seq = h[4];
    out.crc = carried;
    out.payload.assign(h + FRAME_HEADER, h + FRAME_HEADER + len);
    return true;
}

bool FrameDecoder::FrameBehind(Frame& out)
{
    // The frame at m_pos is incomplete: perhaps a false start. Look for a complete, valid frame
    // behind it, remembering the start markers seen so that each is checked once.
    m_scanned = std::max(m_scanned, m_pos + 1);
    for (; m_scanned + 1 < m_buf.size(); ++m_scanned) {
        if (m_buf[m_scanned] == FRAME_START0 && m_buf[m_scanned + 1] == FRAME_START1)
            m_candidates.push_back(m_scanned);
    }
    for (size_t i = 0; i < m_candidates.size();) {
        const size_t c = m_candidates[i];
        if (c <= m_pos || m_buf.size() - c < FRAME_HEADER) {
            if (c <= m_pos)
                m_candidates.erase(m_candidates.begin() + long(i));
            else
                ++i;
            continue;
        }
        const size_t clen = LoadLE16(m_buf.data() + c + 2);
        if (clen == 0 || clen > MAX_PAYLOAD) {
            m_candidates.erase(m_candidates.begin() + long(i));
            continue;
        }
        if (m_buf.size() - c < clen + FRAME_OVERHEAD) {
            ++i;
            continue;
        }
        if (ValidAt(c, out)) {
            m_pos = c + clen + FRAME_OVERHEAD;
            m_candidates.clear();
            m_scanned = m_pos;
            return true;
        }
        m_candidates.erase(m_candidates.begin() + long(i));
    }
    return false;
}

FrameDecoder::Result FrameDecoder::Next(Frame& out)
{
    for (;;) {
        // Skip to the next start marker.
        while (m_pos + 1 < m_buf.size() && !(m_buf[m_pos] == FRAME_START0 && m_buf[m_pos + 1] == FRAME_START1))
            ++m_pos;
        if (m_buf.size() - m_pos < FRAME_HEADER) {
            if (m_pos + 1 == m_buf.size() && m_buf[m_pos] != FRAME_START0)
                ++m_pos;
            return Result::None;
        }
        const uint8_t* h = m_buf.data() + m_pos;
        const size_t len = LoadLE16(h + 2);
        if (len == 0 || len > MAX_PAYLOAD) {
            ++m_pos;  // not a frame: a start marker inside noise
            continue;
        }
        const size_t total = len + FRAME_OVERHEAD;
        if (m_buf.size() - m_pos < total)
            return m_lookBehind && FrameBehind(out) ? Result::Frame : Result::None;
        if (ValidAt(m_pos, out)) {
            m_pos += total;
            return Result::Frame;
        }
        if (h[total - 1] != FRAME_END) {
            ++m_pos;  // length or marker torn: resynchronise silently
            continue;
        }
        out.seq = h[4];
        out.crc = 0;
        out.payload.clear();
        ++m_pos;
        return Result::Damaged;
    }
}

}  // namespace flashproto
