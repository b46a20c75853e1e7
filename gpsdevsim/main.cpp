// gpsdevsim: emulates one SiRF receiver on a pseudo-terminal, for SiRFflashcl, the updater and gpsd.
//
//   gpsdevsim --flash FILE [--chip NAME] [--link PATH] [--factory VERSION] [--protocol nmea|binary]
//             [--speed N] [--boot] [--baud N] [--pace] [--silent] [--silent-after N]
//             [--drop-after N] [--corrupt-every N] [--loopback]
//
// Prints the pty's device path as the first line on stdout, then serves until SIGTERM or
// SIGINT, when it saves FILE, removes its link and exits 0. FILE is also rewritten after every
// completed erase or write.
#include "gpsdevsim/flash_file.h"
#include "gpsdevsim/receiver.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

const char kUsage[] =
    "usage: gpsdevsim --flash FILE [--chip NAME] [--link PATH] [--factory VERSION]\n"
    "                 [--protocol nmea|binary] [--speed N] [--boot] [--baud N] [--pace] [--silent]\n"
    "                 [--silent-after N] [--drop-after N] [--corrupt-every N] [--loopback]\n"
    "\n"
    "  --flash FILE       the flash content (1 MiB); created erased when missing or of another size\n"
    "  --chip NAME        the chip family its loader names (default GSP3)\n"
    "  --link PATH        make PATH a symbolic link to the pty (removed again at exit)\n"
    "  --factory VERSION  a FILE created now holds a small firmware with this version string\n"
    "  --protocol P       the power-up protocol, nmea (default) or binary\n"
    "  --speed N          the power-up speed in bit/s, 8N1 (default 4800)\n"
    "  --boot             power up in boot mode, whatever the flash holds\n"
    "  --baud N           the loader's speed in boot mode, 8N1 (default 38400)\n"
    "  --pace             receive and send no faster than the current speed\n"
    "  --silent           never answer\n"
    "  --silent-after N   stop answering after N bytes received (the line stays open)\n"
    "  --drop-after N     close the line after N bytes received (the receiver unplugged)\n"
    "  --corrupt-every N  corrupt every Nth byte sent\n"
    "  --loopback         no receiver: every byte received goes straight back (a loop-back plug)\n"
    "\n"
    "Prints the pty's path on the first line; runs until SIGTERM or SIGINT.\n";

struct Options {
    std::string flash;
    std::string chip = "GSP3";
    std::string link;
    std::string factory;
    gpsdevsim::PowerUp powerUp;
    bool pace = false;
    bool silent = false;
    bool loopback = false;
    long long silentAfter = -1;
    long long dropAfter = -1;
    long long corruptEvery = 0;
};

const struct {
    uint32_t baud;
    speed_t constant;
} kSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
               {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};

speed_t SpeedConstant(uint32_t baud)
{
    for (const auto& s : kSpeeds) {
        if (s.baud == baud)
            return s.constant;
    }
    return B0;
}

// The host's settings as it left them on its end of the pty.
gpsdevsim::LineSettings HostSettings(int slave)
{
    gpsdevsim::LineSettings host{0, false};
    termios tio;
    if (slave < 0 || tcgetattr(slave, &tio) != 0)
        return host;
    const speed_t speed = cfgetospeed(&tio);
    for (const auto& s : kSpeeds) {
        if (s.constant == speed)
            host.baud = s.baud;
    }
    host.is8N1 = (tio.c_cflag & CSIZE) == CS8 && !(tio.c_cflag & PARENB);
    return host;
}

bool ParseCount(const char* text, long long& out)
{
    char* end = nullptr;
    errno = 0;
    out = std::strtoll(text, &end, 10);
    return *text && errno == 0 && *end == '\0' && out > 0;
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        long long n = 0;
        if (a == "--pace") {
            o.pace = true;
        } else if (a == "--silent") {
            o.silent = true;
        } else if (a == "--loopback") {
            o.loopback = true;
        } else if (a == "--boot") {
            o.powerUp.mode = gpsdevsim::Mode::Boot;
        } else if (!hasValue && (a == "--flash" || a == "--chip" || a == "--link" || a == "--baud" ||
                                 a == "--silent-after" || a == "--drop-after" || a == "--corrupt-every" ||
                                 a == "--factory" || a == "--protocol" || a == "--speed")) {
            error = a + " needs a value";
            return false;
        } else if (a == "--flash") {
            o.flash = argv[++i];
        } else if (a == "--chip") {
            o.chip = argv[++i];
            if (o.chip.empty() || o.chip.size() > 64) {
                error = "the chip name must have 1 to 64 characters";
                return false;
            }
        } else if (a == "--link") {
            o.link = argv[++i];
        } else if (a == "--factory") {
            o.factory = argv[++i];
            if (o.factory.size() < 8 || o.factory.size() > 80 || o.factory.compare(0, 2, "GS") != 0) {
                error = "the factory version must start with GSW or GSD and have 8 to 80 characters";
                return false;
            }
        } else if (a == "--protocol") {
            const std::string p = argv[++i];
            if (p != "nmea" && p != "binary") {
                error = "--protocol is nmea or binary";
                return false;
            }
            if (o.powerUp.mode != gpsdevsim::Mode::Boot)
                o.powerUp.mode = p == "nmea" ? gpsdevsim::Mode::Nmea : gpsdevsim::Mode::Binary;
        } else if (a == "--baud" || a == "--speed" || a == "--silent-after" || a == "--drop-after" ||
                   a == "--corrupt-every") {
            if (!ParseCount(argv[++i], n)) {
                error = a + " needs a positive number";
                return false;
            }
            if ((a == "--baud" || a == "--speed") && SpeedConstant(uint32_t(n)) == B0) {
                error = a + " needs a standard speed (1200 to 115200)";
                return false;
            }
            if (a == "--baud")
                o.powerUp.loaderBaud = uint32_t(n);
            else if (a == "--speed")
                o.powerUp.baud = uint32_t(n);
            else if (a == "--silent-after")
                o.silentAfter = n;
            else if (a == "--drop-after")
                o.dropAfter = n;
            else
                o.corruptEvery = n;
        } else {
            error = "unknown argument " + a;
            return false;
        }
    }
    if (o.flash.empty()) {
        error = "--flash FILE is required";
        return false;
    }
    return true;
}

int64_t NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void SleepUntil(int64_t ns)
{
    timespec ts{time_t(ns / 1000000000), long(ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// Makes path a symbolic link to target, replacing an earlier link but never a real file.
bool MakeLink(const std::string& path, const std::string& target, std::string& error)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = path + " exists and is not a symbolic link";
        return false;
    }
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot link " + path + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

void RemoveLinkIfOurs(const std::string& path, const std::string& target)
{
    char buf[PATH_MAX];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, size_t(n)) == target)
        unlink(path.c_str());
}

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

// The pseudo-terminal the receiver answers on.
struct Pty {
    int master = -1;
    int slave = -1;  // held open so the line stays up between two programs' sessions
    std::string path;
};

bool OpenPty(Pty& pty, std::string& error)
{
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char slaveName[256] = {};
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0 ||
        ptsname_r(pty.master, slaveName, sizeof slaveName) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    pty.path = slaveName;
    // Holding the other end keeps the line up, and it starts raw, so nothing is echoed back
    // before a program sets it up.
    pty.slave = open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio;
    if (pty.slave >= 0 && tcgetattr(pty.slave, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(pty.slave, TCSANOW, &tio);
    }
    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    return true;
}

// One line on stderr whenever the host's settings or the receiver's mode or speed change: what a
// test's log needs to tell garbage from a fault.
void Trace(const gpsdevsim::LineSettings& host, const gpsdevsim::Receiver& receiver)
{
    static gpsdevsim::LineSettings lastHost{1, false}, lastLine{1, false};
    static int lastMode = -1;
    const gpsdevsim::LineSettings line = receiver.Line();
    if (host == lastHost && line == lastLine && int(receiver.CurrentMode()) == lastMode)
        return;
    lastHost = host;
    lastLine = line;
    lastMode = int(receiver.CurrentMode());
    static const char* const kModes[] = {"NMEA", "SiRF binary", "boot mode"};
    std::fprintf(stderr, "gpsdevsim: host %u bit/s%s, receiver %s at %u bit/s\n", unsigned(host.baud),
                 host.is8N1 ? " 8N1" : " (not 8N1)", kModes[lastMode], unsigned(line.baud));
}

// Answers on the pty until a signal arrives on sigFd; the faults of the options are played here.
void Serve(const Options& opt, Pty& pty, int sigFd, gpsdevsim::Receiver& receiver)
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
        const gpsdevsim::LineSettings host = HostSettings(pty.slave);
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

// A small firmware ending with its version string, for a receiver that comes from the factory.
void PutFactoryFirmware(std::vector<uint8_t>& flash, const std::string& version)
{
    const std::string text = "SiRF factory firmware ";
    size_t at = 0;
    for (; at < 0x1000; ++at)
        flash[at] = uint8_t(text[at % text.size()]);
    std::copy(version.begin(), version.end(), flash.begin() + long(at));
    flash[at + version.size()] = 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    std::string error;
    if (!ParseOptions(argc, argv, opt, error)) {
        std::fprintf(stderr, "gpsdevsim: %s\n%s", error.c_str(), kUsage);
        return 2;
    }

    std::vector<uint8_t> content;
    bool created = false;
    if (!LoadOrCreateFlash(opt.flash, content, created, error)) {
        std::fprintf(stderr, "gpsdevsim: %s\n", error.c_str());
        return 1;
    }

    if (created && !opt.factory.empty()) {
        PutFactoryFirmware(content, opt.factory);
        if (!SaveFlash(opt.flash, content, error)) {
            std::fprintf(stderr, "gpsdevsim: %s\n", error.c_str());
            return 1;
        }
    }

    // SIGTERM and SIGINT arrive through a descriptor, so the loop saves and exits cleanly.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    const int sigFd = signalfd(-1, &mask, SFD_CLOEXEC);
    std::signal(SIGPIPE, SIG_IGN);

    Pty pty;
    if (!OpenPty(pty, error) || (!opt.link.empty() && !MakeLink(opt.link, pty.path, error))) {
        std::fprintf(stderr, "gpsdevsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", pty.path.c_str());
    std::fflush(stdout);
    gpsdevsim::Receiver receiver(opt.chip, content, kEmulatedSectorSize, opt.powerUp);
    static const char* const kModes[] = {"NMEA", "SiRF binary", "boot mode"};
    std::fprintf(stderr, "gpsdevsim: %s on %s, flash %s (%s), %s at %u bit/s, firmware %s\n", opt.chip.c_str(),
                 pty.path.c_str(), opt.flash.c_str(), created ? "new" : "loaded", kModes[int(receiver.CurrentMode())],
                 unsigned(receiver.Line().baud), receiver.Version().empty() ? "none" : receiver.Version().c_str());
    flashproto::FlashDevice& device = receiver.Loader();
    int status = 0;
    device.SetChangeHandler([&]() {
        std::string why;
        if (!SaveFlash(opt.flash, device.Flash(), why)) {
            std::fprintf(stderr, "gpsdevsim: %s\n", why.c_str());
            status = 1;
        }
    });
    Serve(opt, pty, sigFd, receiver);

    std::string why;
    if (!SaveFlash(opt.flash, device.Flash(), why)) {
        std::fprintf(stderr, "gpsdevsim: %s\n", why.c_str());
        status = 1;
    }
    if (!opt.link.empty())
        RemoveLinkIfOurs(opt.link, pty.path);
    return status;
}
