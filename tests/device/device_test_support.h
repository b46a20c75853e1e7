// Helpers for the flash utility's tests: an in-process serial line to a FlashDevice with faults
// on demand, S-record text from bytes, and firmware-like test data.
#pragma once

#include "afx/little_endian.h"
#include "gpsdevsim/flash_device.h"
#include "gpsdevsim/receiver.h"
#include "tools/protocol/serial_port.h"
#include "tools/sirfflashcl/srec_reader.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace test_support {

// What can go wrong with one frame on the line.
struct LineFault {
    enum Direction { ToDevice, ToHost };
    enum Kind {
        DropFrame,    // the whole frame is lost
        DropByte,     // one byte at offset is lost
        CorruptByte,  // one byte at offset is inverted
        Truncate,     // the frame stops at offset
        Duplicate,    // the frame arrives twice
        Noise,        // bytes that look like the start of a frame come first
    };
    Direction direction;
    Kind kind;
    int frame;  // the index of the host's write (ToDevice) or of the device's reply (ToHost)
    size_t offset = 0;
};

inline void ApplyFault(const LineFault& f, std::vector<uint8_t>& bytes)
{
    switch (f.kind) {
        case LineFault::DropFrame:
            bytes.clear();
            break;
        case LineFault::DropByte:
            if (f.offset < bytes.size())
                bytes.erase(bytes.begin() + long(f.offset));
            break;
        case LineFault::CorruptByte:
            if (f.offset < bytes.size())
                bytes[f.offset] ^= 0xFF;
            break;
        case LineFault::Truncate:
            bytes.resize(std::min(bytes.size(), f.offset));
            break;
        case LineFault::Duplicate: {
            const std::vector<uint8_t> copy = bytes;
            bytes.insert(bytes.end(), copy.begin(), copy.end());
            break;
        }
        case LineFault::Noise: {
            const uint8_t noise[] = {0x00, 0xA5, 0x5A, 0x20, 0x00, 0x07, 0xA5, 0x33, 0xA5, 0x5A, 0xFF, 0xFF};
            bytes.insert(bytes.begin(), noise, noise + sizeof noise);
            break;
        }
    }
}

// A serial line straight into a FlashDevice. Time is virtual: a read that finds nothing moves
// the clock on by its whole timeout and returns at once, so the host's waits cost no real time.
class LoopbackLine : public flashproto::SerialPort {
public:
    explicit LoopbackLine(flashproto::FlashDevice& device) : m_device(device) {}

    std::vector<LineFault> faults;
    int deafAfterWrites = -1;  // from this write on the device hears nothing (unplugged)
    int failWritesAfter = -1;  // from this write on Write fails (the port itself broke)
    size_t readChunk = 7;      // deliver replies a few bytes at a time, as a real port does
    bool lateReplies = false;  // a reply arrives only after the host's next write (a slow receiver)
    uint64_t clockMs = 0;
    size_t bytesToDevice = 0;

    bool Write(const uint8_t* p, size_t n) override
    {
        const int index = m_writes++;
        if (failWritesAfter >= 0 && index >= failWritesAfter)
            return false;
        std::vector<uint8_t> bytes(p, p + n);
        for (const LineFault& f : faults) {
            if (f.direction == LineFault::ToDevice && f.frame == index)
                ApplyFault(f, bytes);
        }
        bytesToDevice += bytes.size();
        m_rx.insert(m_rx.end(), m_held.begin(), m_held.end());
        m_held.clear();
        if (deafAfterWrites >= 0 && index >= deafAfterWrites)
            return true;
        std::vector<uint8_t> reply;
        m_device.Receive(bytes.data(), bytes.size(), reply);
        if (!reply.empty()) {
            const int r = m_replies++;
            for (const LineFault& f : faults) {
                if (f.direction == LineFault::ToHost && f.frame == r)
                    ApplyFault(f, reply);
            }
            std::deque<uint8_t>& to = lateReplies ? m_held : m_rx;
            to.insert(to.end(), reply.begin(), reply.end());
        }
        return true;
    }

    int Read(uint8_t* p, size_t max, uint32_t timeoutMs) override
    {
        if (m_rx.empty()) {
            clockMs += timeoutMs;
            return 0;
        }
        const size_t n = std::min({max, readChunk, m_rx.size()});
        std::copy(m_rx.begin(), m_rx.begin() + long(n), p);
        m_rx.erase(m_rx.begin(), m_rx.begin() + long(n));
        clockMs += 1;
        return int(n);
    }

    void DiscardInput() override { m_rx.clear(); }

    int Writes() const { return m_writes; }

private:
    flashproto::FlashDevice& m_device;
    std::deque<uint8_t> m_rx, m_held;
    int m_writes = 0;
    int m_replies = 0;
};

// A serial line to a whole receiver, with the host's speed as the receiver sees it. Virtual time
// as above; the receiver's own output comes due as the clock passes its seconds.
class ReceiverLine : public flashproto::SerialPort {
public:
    explicit ReceiverLine(gpsdevsim::Receiver& r) : m_r(r) {}

    bool silent = false;      // nothing ever comes back
    bool deaf = false;        // hears nothing (an NMEA device that ignores what it is sent)
    bool deafInBoot = false;  // in boot mode hears nothing (a loader of another protocol)
    bool echo = false;        // sends back what it is sent (a loop-back plug), then afterEcho
    std::string afterEcho;    // ("\r\nOK\r\n": an AT modem)
    bool noise = false;       // random bytes all the time
    uint64_t clockMs = 0;
    gpsdevsim::LineSettings host{115200, true};
    std::string sent;  // every byte the host sent

    // The line as a start-state row has it: 0 the receiver alone, 1 silent, 2 deaf, 3 deaf in boot
    // mode; or no receiver but 4 a loop-back plug, 5 an AT modem (echo, then OK), 6 noise.
    void Put(int what)
    {
        silent = what == 1 || what >= 4;
        deaf = what == 2;
        deafInBoot = what == 3;
        echo = what == 4 || what == 5;
        afterEcho = what == 5 ? "\r\nOK\r\n" : "";
        noise = what == 6;
    }

    bool Write(const uint8_t* p, size_t n) override
    {
        sent.append(reinterpret_cast<const char*>(p), n);
        if (echo) {
            m_rx.insert(m_rx.end(), p, p + n);
            m_rx.insert(m_rx.end(), afterEcho.begin(), afterEcho.end());
            return true;
        }
        if (deaf || silent || (deafInBoot && m_r.CurrentMode() == gpsdevsim::Mode::Boot))
            return true;
        std::vector<uint8_t> out;
        m_r.Receive(p, n, host, out);
        m_rx.insert(m_rx.end(), out.begin(), out.end());
        return true;
    }

    int Read(uint8_t* p, size_t max, uint32_t timeoutMs) override
    {
        const uint64_t end = clockMs + timeoutMs;
        for (;;) {
            std::vector<uint8_t> out;
            m_r.Tick(clockMs, 1765000000 + int64_t(clockMs / 1000), host, out);
            if (!silent)
                m_rx.insert(m_rx.end(), out.begin(), out.end());
            for (int i = 0; noise && i < 16; ++i)
                m_rx.push_back(uint8_t((m_noise = m_noise * 1103515245u + 12345u) >> 16));
            if (!m_rx.empty()) {
                const size_t n = std::min({max, size_t(64), m_rx.size()});
                std::copy(m_rx.begin(), m_rx.begin() + long(n), p);
                m_rx.erase(m_rx.begin(), m_rx.begin() + long(n));
                clockMs += 1;
                return int(n);
            }
            if (clockMs >= end)
                return 0;
            clockMs = std::min(end, std::max(clockMs + 1, m_r.NextTickMs()));
        }
    }

    void DiscardInput() override { m_rx.clear(); }
    bool SetSpeed(uint32_t baud) override
    {
        host.baud = baud;
        return true;
    }

private:
    gpsdevsim::Receiver& m_r;
    std::deque<uint8_t> m_rx;
    uint32_t m_noise = 1;
};

// One FlashToolMessage record as the updater reads it.
struct ToolRecord {
    int32_t line = 0, code = 0;
    std::string text;  // the payload up to its NUL
};

// Splits the pipe's bytes into records; false when they do not split into whole records whose
// text payloads end with their NUL.
inline bool DecodeToolRecords(const std::string& bytes, std::vector<ToolRecord>& out)
{
    auto le = [&bytes](size_t at) { return int32_t(LoadLE32(bytes.data() + at)); };
    size_t pos = 0;
    while (pos + 12 <= bytes.size()) {
        const int32_t length = le(pos);
        if (length < 8 || pos + 4 + size_t(length) > bytes.size())
            return false;
        ToolRecord r;
        r.line = le(pos + 4);
        r.code = le(pos + 8);
        if (length > 8) {
            if (bytes[pos + 4 + size_t(length) - 1] != '\0')
                return false;
            r.text = std::string(bytes.c_str() + pos + 12);
        }
        out.push_back(r);
        pos += 4 + size_t(length);
    }
    return pos == bytes.size();
}

// S3 records of recordBytes data bytes each, CR LF, ending with the S7 record the shipped
// firmware ends with.
inline std::string ToSRecords(const std::vector<ImageSegment>& segments, size_t recordBytes = 32)
{
    std::string out = "S00600004844521B\r\n";
    char buf[16];
    for (const ImageSegment& s : segments) {
        for (size_t off = 0; off < s.data.size(); off += recordBytes) {
            const size_t n = std::min(recordBytes, s.data.size() - off);
            const uint32_t addr = s.address + uint32_t(off);
            unsigned sum = unsigned(n + 5);
            std::snprintf(buf, sizeof buf, "S3%02X%08X", unsigned(n + 5), unsigned(addr));
            out += buf;
            for (int i = 0; i < 4; ++i)
                sum += (addr >> (8 * i)) & 0xFF;
            for (size_t i = 0; i < n; ++i) {
                std::snprintf(buf, sizeof buf, "%02X", s.data[off + i]);
                out += buf;
                sum += s.data[off + i];
            }
            std::snprintf(buf, sizeof buf, "%02X\r\n", ~sum & 0xFF);
            out += buf;
        }
    }
    return out + "S70500000000FA\r\n";
}

// Bytes that compress about as well as program code does (zlib -9 keeps about half, as for the
// programs of a Linux system): 32-bit words drawn from a small vocabulary, random words, runs of
// constants and some text. The same variant number gives the same bytes.
inline std::vector<uint8_t> FirmwareLikeBytes(size_t n, uint32_t variant)
{
    uint32_t x = variant * 2654435761u + 1;
    auto next = [&x]() {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    std::vector<uint32_t> vocabulary(512);
    for (uint32_t& w : vocabulary)
        w = next();
    static const char kText[] = "GPS fix lost; searching satellites... almanac updated ";
    std::vector<uint8_t> out;
    out.reserve(n + 64);
    while (out.size() < n) {
        const uint32_t r = next() % 100;
        if (r < 64) {
            // Skewed choice: a few words are frequent, like common instructions.
            const uint32_t a = next() % 512, b = next() % 512;
            const uint32_t w = vocabulary[std::min(a, b) / ((r % 3) + 1)];
            AppendLE32(out, w);
        } else if (r < 88) {
            const uint32_t w = next();
            AppendLE32(out, w);
        } else if (r < 95) {
            out.insert(out.end(), 4 + next() % 24, uint8_t(r & 1 ? 0x00 : 0xFF));
        } else {
            const size_t len = 8 + next() % 24, at = next() % (sizeof kText - len);
            out.insert(out.end(), kText + at, kText + at + len);
        }
    }
    out.resize(n);
    return out;
}

}  // namespace test_support
