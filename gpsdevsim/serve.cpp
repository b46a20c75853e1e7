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

}  // namespace

void Serve(const Options& opt, Pty& pty, int sigFd, Receiver& receiver)
{
    Line line(pty.master, opt);
    int lineFd = pty.master;
    long long received = 0;
    int64_t idleUntil = 0;  // when the line was last seen empty
    std::vector<uint8_t> buf(65536), reply;
    auto nowMs = []() { return uint64_t(NowNs() / 1000000); };
    auto hostMatches = [&]() { return HostSettings(pty.slave) == receiver.Line(); };
    for (;;) {
        pollfd sig{sigFd, POLLIN, 0};
        if (poll(&sig, 1, 0) > 0)
            return;
        const bool mute = opt.silent || opt.loopback || (opt.silentAfter >= 0 && received >= opt.silentAfter);
        if (lineFd >= 0 && !mute) {
            // What the receiver sends on its own, once a second in its normal mode.
            reply.clear();
            receiver.Tick(nowMs(), int64_t(time(nullptr)), HostSettings(pty.slave), reply);
            line.SetBaud(receiver.Line().baud);
            if (!reply.empty())
                line.Send(reply, hostMatches, false);
        }
        ssize_t got = lineFd >= 0 ? read(lineFd, buf.data(), opt.pace ? 64 : buf.size()) : -1;
        if (got <= 0) {
            const bool wouldBlock = got < 0 && errno == EAGAIN;
            if (lineFd >= 0 && got < 0 && errno == EINTR)
                continue;
            if (lineFd >= 0 && !wouldBlock)
                usleep(10000);  // no program on the line at the moment
            // Wait for bytes, a signal or the receiver's next output; bytes that wake us up
            // have just arrived.
            const uint64_t next = receiver.NextTickMs(), now = nowMs();
            const int waitMs = mute || lineFd < 0 || next == UINT64_MAX ? -1 : next <= now ? 0 : int(next - now);
            pollfd fds[2] = {{sigFd, POLLIN, 0}, {lineFd, POLLIN, 0}};
            if (poll(fds, lineFd >= 0 ? 2 : 1, waitMs) < 0 && errno != EINTR)
                return;
            idleUntil = NowNs();
            continue;
        }
        if (opt.loopback) {
            reply.assign(buf.begin(), buf.begin() + got);
            line.Send(reply, [] { return true; });  // at any speed, as a wire does
        }
        if (mute)
            continue;
        bool drop = false, silence = false;
        if (opt.dropAfter >= 0 && received + got >= opt.dropAfter) {
            got = ssize_t(opt.dropAfter - received);
            drop = true;
        }
        if (opt.silentAfter >= 0 && received + got >= opt.silentAfter) {
            got = ssize_t(opt.silentAfter - received);
            silence = true;
        }
        received += got;
        // The host's settings while these bytes were on the line: taken before pacing them.
        const LineSettings host = HostSettings(pty.slave);
        Trace(host, receiver);
        line.SetBaud(receiver.Line().baud);
        line.PaceReceived(size_t(got), idleUntil);
        reply.clear();
        receiver.Receive(buf.data(), size_t(got), host, reply);
        Trace(host, receiver);
        if (drop) {
            // Unplugged: whatever the last bytes started is done, but no answer gets out.
            close(lineFd);
            if (pty.slave >= 0)
                close(pty.slave);
            lineFd = pty.slave = -1;
            std::fprintf(stderr, "gpsdevsim: line closed after %lld bytes\n", received);
            continue;
        }
        if (silence) {
            // Hung: what the last bytes started is done, but it never answers again.
            std::fprintf(stderr, "gpsdevsim: silent after %lld bytes\n", received);
            continue;
        }
        if (!reply.empty()) {
            line.SetBaud(receiver.Line().baud);
            line.Send(reply, hostMatches);
            idleUntil = NowNs();  // the next command cannot have started before this reply ended
        }
    }
}

}  // namespace gpsdevsim
