#include "gpsdevsim/serve.h"

#include "gpsdevsim/paced_line.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace gpsdevsim {

namespace {

// One line on stderr whenever the host's settings or the receiver's mode or speed change: what a
// test's log needs to tell garbage from a fault.
void Trace(const LineSettings& host, const Receiver& receiver)
{
    static LineSettings lastHost{1, false}, lastLine{1, false};
    static int lastMode = -1;
    const LineSettings line = receiver.Line();
    if (host == lastHost && line == lastLine && int(receiver.CurrentMode()) == lastMode)
        return;
    lastHost = host;
    lastLine = line;
    lastMode = int(receiver.CurrentMode());
    static const char* const kModes[] = {"NMEA", "SiRF binary", "boot mode"};
    std::fprintf(stderr, "gpsdevsim: host %u bit/s%s, receiver %s at %u bit/s\n", unsigned(host.baud),
                 host.is8N1 ? " 8N1" : " (not 8N1)", kModes[lastMode], unsigned(line.baud));
}

// One serving of the pty: the receiver's own output, the host's bytes and the faults played on them.
class Server {
public:
    Server(const Options& opt, Pty& pty, int sigFd, Receiver& receiver)
        : m_opt(opt), m_pty(pty), m_sigFd(sigFd), m_receiver(receiver), m_line(pty.master, opt), m_lineFd(pty.master)
    {
    }

    void Run()
    {
        for (;;) {
            pollfd sig{m_sigFd, POLLIN, 0};
            if (poll(&sig, 1, 0) > 0)
                return;
            const bool mute =
                m_opt.silent || m_opt.loopback || (m_opt.silentAfter >= 0 && m_received >= m_opt.silentAfter);
            if (m_lineFd >= 0 && !mute)
                SendOwnOutput();
            const ssize_t got = m_lineFd >= 0 ? read(m_lineFd, m_buf.data(), m_opt.pace ? 64 : m_buf.size()) : -1;
            if (got <= 0) {
                if (!WaitForLine(got, mute))
                    return;
                continue;
            }
            if (m_opt.loopback) {
                m_reply.assign(m_buf.begin(), m_buf.begin() + got);
                m_line.Send(m_reply, [] { return true; });  // at any speed, as a wire does
            }
            if (!mute)
                Answer(got);
        }
    }

private:
    static uint64_t NowMs() { return uint64_t(NowNs() / 1000000); }
    bool HostMatches() const { return HostSettings(m_pty.slave) == m_receiver.Line(); }

    // What the receiver sends on its own, once a second in its normal mode.
    void SendOwnOutput()
    {
        m_reply.clear();
        m_receiver.Tick(NowMs(), int64_t(time(nullptr)), HostSettings(m_pty.slave), m_reply);
        m_line.SetBaud(m_receiver.Line().baud);
        if (!m_reply.empty())
            m_line.Send(
                m_reply, [this]() { return HostMatches(); }, false);
    }

    // After a read that brought nothing: waits for bytes, a signal or the receiver's next
    // output. False when waiting fails.
    bool WaitForLine(ssize_t got, bool mute)
    {
        const bool wouldBlock = got < 0 && errno == EAGAIN;
        if (m_lineFd >= 0 && got < 0 && errno == EINTR)
            return true;
        if (m_lineFd >= 0 && !wouldBlock)
            usleep(10000);  // no program on the line at the moment
        // Bytes that wake us up have just arrived.
        const uint64_t next = m_receiver.NextTickMs(), now = NowMs();
        const int waitMs = mute || m_lineFd < 0 || next == UINT64_MAX ? -1 : next <= now ? 0 : int(next - now);
        pollfd fds[2] = {{m_sigFd, POLLIN, 0}, {m_lineFd, POLLIN, 0}};
        if (poll(fds, m_lineFd >= 0 ? 2 : 1, waitMs) < 0 && errno != EINTR)
            return false;
        m_idleUntil = NowNs();
        return true;
    }

    // The host's bytes: received at the line's pace, answered unless a fault stops the answer.
    void Answer(ssize_t got)
    {
        bool drop = false, silence = false;
        if (m_opt.dropAfter >= 0 && m_received + got >= m_opt.dropAfter) {
            got = ssize_t(m_opt.dropAfter - m_received);
            drop = true;
        }
        if (m_opt.silentAfter >= 0 && m_received + got >= m_opt.silentAfter) {
            got = ssize_t(m_opt.silentAfter - m_received);
            silence = true;
        }
        m_received += got;
        // The host's settings while these bytes were on the line: taken before pacing them.
        const LineSettings host = HostSettings(m_pty.slave);
        Trace(host, m_receiver);
        m_line.SetBaud(m_receiver.Line().baud);
        m_line.PaceReceived(size_t(got), m_idleUntil);
        m_reply.clear();
        m_receiver.Receive(m_buf.data(), size_t(got), host, m_reply);
        Trace(host, m_receiver);
        if (drop) {
            // Unplugged: whatever the last bytes started is done, but no answer gets out.
            close(m_lineFd);
            if (m_pty.slave >= 0)
                close(m_pty.slave);
            m_lineFd = m_pty.slave = -1;
            std::fprintf(stderr, "gpsdevsim: line closed after %lld bytes\n", m_received);
        } else if (silence) {
            // Hung: what the last bytes started is done, but it never answers again.
            std::fprintf(stderr, "gpsdevsim: silent after %lld bytes\n", m_received);
        } else if (!m_reply.empty()) {
            m_line.SetBaud(m_receiver.Line().baud);
            m_line.Send(m_reply, [this]() { return HostMatches(); });
            m_idleUntil = NowNs();  // the next command cannot have started before this reply ended
        }
    }

    const Options& m_opt;
    Pty& m_pty;
    const int m_sigFd;
    Receiver& m_receiver;
    Line m_line;
    int m_lineFd;
    long long m_received = 0;
    int64_t m_idleUntil = 0;  // when the line was last seen empty
    std::vector<uint8_t> m_buf = std::vector<uint8_t>(65536), m_reply;
};

}  // namespace

void Serve(const Options& opt, Pty& pty, int sigFd, Receiver& receiver)
{
    Server(opt, pty, sigFd, receiver).Run();
}

}  // namespace gpsdevsim
