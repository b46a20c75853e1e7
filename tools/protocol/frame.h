// Framing of every packet on the line, both ways:
//
//   A5 5A | length (2, LE) | seq (1) | payload (length bytes) | CRC-32 (4, LE) | 7E
//
// The CRC is zlib's crc32 over length, seq and payload. A frame is only ever taken whole:
// a wrong CRC or end marker makes it damaged, never data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace flashproto {

constexpr uint8_t FRAME_START0 = 0xA5;
constexpr uint8_t FRAME_START1 = 0x5A;
constexpr uint8_t FRAME_END = 0x7E;
constexpr size_t FRAME_HEADER = 5;   // start marker, length, seq
constexpr size_t FRAME_TRAILER = 5;  // CRC, end marker
constexpr size_t FRAME_OVERHEAD = FRAME_HEADER + FRAME_TRAILER;
constexpr size_t MAX_PAYLOAD = 4160;  // a command or reply with 4096 data bytes and its fields

// zlib's crc32, continued from crc (0 to start).
uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc = 0);

// One whole frame around payload (1..MAX_PAYLOAD bytes).
std::vector<uint8_t> EncodeFrame(uint8_t seq, const uint8_t* payload, size_t n);
inline std::vector<uint8_t> EncodeFrame(uint8_t seq, const std::vector<uint8_t>& payload)
{
    return EncodeFrame(seq, payload.data(), payload.size());
}

struct Frame {
    uint8_t seq = 0;
    uint32_t crc = 0;  // as carried, identifies a repeated frame
    std::vector<uint8_t> payload;
};

// Finds frames in a byte stream that may hold noise, lost bytes and damaged frames. After a
// damaged frame it looks for the next start marker from the byte after the bad one.
//
// With lookBehind, while the frame at the front is still incomplete, a whole valid frame that
// starts after it is taken at once, so noise whose false length field claims the bytes that
// follow cannot hide a good reply behind it. The receiver does not use it: there a frame inside
// the data of a command still arriving must never be carried out.
class FrameDecoder {
public:
    explicit FrameDecoder(bool lookBehind = false) : m_lookBehind(lookBehind) {}

    enum class Result {
        None,     // no complete frame yet
        Frame,    // a good frame
        Damaged,  // a frame whose end marker was in place but whose CRC was wrong; seq as received
    };

    void Feed(const uint8_t* p, size_t n);
    Result Next(Frame& out);
    void Reset();
    size_t Pending() const { return m_buf.size() - m_pos; }

private:
    bool ValidAt(size_t at, Frame& out) const;
    // With lookBehind: a whole valid frame that starts behind the incomplete one at the front.
    bool FrameBehind(Frame& out);

    bool m_lookBehind;
    std::vector<uint8_t> m_buf;
    size_t m_pos = 0;
    size_t m_scanned = 0;              // start markers looked for up to here
    std::vector<size_t> m_candidates;  // later start markers whose frames are not complete yet
};

}  // namespace flashproto
