#include "gpsdevsim/pty.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace gpsdevsim {

namespace {

const struct {
    uint32_t baud;
    speed_t constant;
} kSpeeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
               {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};

}  // namespace

speed_t SpeedConstant(uint32_t baud)
{
    for (const auto& s : kSpeeds) {
        if (s.baud == baud)
            return s.constant;
    }
    return B0;
}

LineSettings HostSettings(int slave)
{
    LineSettings host{0, false};
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

}  // namespace gpsdevsim
