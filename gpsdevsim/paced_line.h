// The emulator's end of the line: replies paced to the line's speed and corrupted as asked.
#pragma once

#include "gpsdevsim/options.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace gpsdevsim {

// The monotonic clock in nanoseconds.
int64_t NowNs();
void SleepUntil(int64_t ns);

class Line {
public:
    Line(int master, const Options& o) : m_fd(master), m_opt(o) {}

    // The receiver's current speed, for the pacing.
    void SetBaud(uint32_t baud) { m_byteNs = 10'000'000'000LL / baud; }

    // Sends reply bytes, corrupted and paced as asked. Bytes nobody reads are dropped after a
    // while (at once when mayWait is false: what a receiver sends on its own), as on a real line.
    //
    // Paced bytes take their time on the line: a chunk that leaves while the host's settings
    // differ from the receiver's (hostMatches) arrives as garbage, though it was sent before
    // the host changed them.
    void Send(std::vector<uint8_t>& bytes, const std::function<bool()>& hostMatches, bool mayWait = true)
    {
        if (m_opt.corruptEvery > 0) {
            for (uint8_t& b : bytes) {
                if (++m_sent % m_opt.corruptEvery == 0)
                    b ^= 0xFF;
            }
        }
        const size_t step = m_opt.pace ? 64 : bytes.size();
        // One reply goes out back to back: late wake-ups must not add up from chunk to chunk.
        m_txClock = std::max(m_txClock, NowNs());
        for (size_t off = 0; off < bytes.size(); off += step) {
            const size_t n = std::min(step, bytes.size() - off);
            if (m_opt.pace) {
                m_txClock += int64_t(n) * m_byteNs;
                SleepUntil(m_txClock);
            }
            if (!hostMatches()) {
                for (size_t i = off; i < off + n; ++i) {
                    m_noise = m_noise * 1103515245u + 12345u;
                    bytes[i] ^= uint8_t((m_noise >> 16) | 1);
                }
            }
            WriteAll(bytes.data() + off, n, mayWait);
        }
    }

    // Delays delivery of n received bytes to the time they take on the line. idleUntil: the
    // last moment the line was seen empty; bytes that were already waiting follow the ones
    // before them without a gap.
    void PaceReceived(size_t n, int64_t idleUntil)
    {
        if (!m_opt.pace)
            return;
        m_rxClock = std::max(m_rxClock, idleUntil) + int64_t(n) * m_byteNs;
        SleepUntil(m_rxClock);
    }

private:
    void WriteAll(const uint8_t* p, size_t n, bool mayWait)
    {
        while (n > 0) {
            const ssize_t w = write(m_fd, p, n);
            if (w > 0) {
                p += w;
                n -= size_t(w);
            } else if (w < 0 && errno == EINTR) {
                continue;
            } else if (w < 0 && errno == EAGAIN) {
                pollfd pfd{m_fd, POLLOUT, 0};
                if (poll(&pfd, 1, mayWait ? 1000 : 0) <= 0)
                    return;
            } else {
                return;
            }
        }
    }

    int m_fd;
    const Options& m_opt;
    int64_t m_byteNs = 10'000'000'000LL / 38400;
    int64_t m_rxClock = 0, m_txClock = 0;
    long long m_sent = 0;
    uint32_t m_noise = 0x2468ACE1;
};

}  // namespace gpsdevsim
