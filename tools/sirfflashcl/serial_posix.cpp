#include "tools/sirfflashcl/serial.h"

#include "contract/flash_tool_contract.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace {

speed_t SpeedConstant(uint32_t baud)
{
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        case 230400:
            return B230400;
        case 460800:
            return B460800;
        case 921600:
            return B921600;
        default:
            return B0;
    }
}

class PosixSerialPort : public flashproto::SerialPort {
public:
    explicit PosixSerialPort(int fd) : m_fd(fd) {}
    ~PosixSerialPort() override { close(m_fd); }

    bool Write(const uint8_t* p, size_t n) override
    {
        while (n > 0) {
            const ssize_t w = ::write(m_fd, p, n);
            if (w > 0) {
                p += w;
                n -= size_t(w);
                continue;
            }
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0 && errno != EAGAIN)
                return false;
            // The line is not draining: a stuck receiver must not hang the utility.
            pollfd pfd{m_fd, POLLOUT, 0};
            if (poll(&pfd, 1, 5000) <= 0 || (pfd.revents & (POLLERR | POLLHUP)))
                return false;
        }
        return true;
    }

    int Read(uint8_t* p, size_t max, uint32_t timeoutMs) override
    {
        for (;;) {
            pollfd pfd{m_fd, POLLIN, 0};
            const int pr = poll(&pfd, 1, int(timeoutMs > 0x7FFFFFFF ? 0x7FFFFFFF : timeoutMs));
            if (pr < 0 && errno == EINTR)
                continue;
            if (pr < 0)
                return -1;
            if (pr == 0)
                return 0;
            const ssize_t r = ::read(m_fd, p, max);
            if (r > 0)
                return int(r);
            if (r < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            return -1;  // end of file or an error: the other side is gone
        }
    }

    void DiscardInput() override { tcflush(m_fd, TCIFLUSH); }

    bool SetSpeed(uint32_t baud) override
    {
        termios tio;
        const speed_t speed = SpeedConstant(baud);
        return speed != B0 && tcdrain(m_fd) == 0 && tcgetattr(m_fd, &tio) == 0 && cfsetispeed(&tio, speed) == 0 &&
               cfsetospeed(&tio, speed) == 0 && tcsetattr(m_fd, TCSANOW, &tio) == 0;
    }

private:
    int m_fd;
};

}  // namespace

OpenedPort OpenSerialPort(const FlashToolOptions& opt)
{
    OpenedPort result;
    const std::string var = "SIRFFLASH_COM" + std::to_string(opt.line);
    const char* env = std::getenv(var.c_str());
    const std::string path = env && *env ? env : "/dev/ttyS" + std::to_string(opt.line - 1);
    result.name = path;

    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        const bool missing = e == ENOENT || e == ENODEV || e == ENXIO || e == ENOTDIR;
        result.code = missing ? FTM_ERR_NO_PORT : FTM_ERR_PORT_BUSY;
        result.text = (missing ? "The serial port " + path + " does not exist ("
                               : "The serial port " + path + " cannot be opened (") +
                      std::strerror(e) + ").";
        return result;
    }
    auto fail = [&](const std::string& why) {
        close(fd);
        result.code = FTM_ERR_PORT_BUSY;
        result.text = "The serial port " + path + " " + why;
        return std::move(result);
    };
    // Two programs on one line corrupt each other's frames: hold an exclusive lock.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
        return fail(errno == EWOULDBLOCK ? "is in use by another program."
                                         : "cannot be locked (" + std::string(std::strerror(errno)) + ").");
    termios tio;
    if (tcgetattr(fd, &tio) != 0)
        return fail("is not a serial port (" + std::string(std::strerror(errno)) + ").");
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const speed_t speed = SpeedConstant(opt.baud);
    errno = EINVAL;
    if (speed == B0 || cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0 ||
        tcsetattr(fd, TCSANOW, &tio) != 0)
        return fail("cannot be set to " + std::to_string(opt.baud) + " bit/s 8N1 (" + std::strerror(errno) + ").");
    tcflush(fd, TCIOFLUSH);
    result.port = std::make_unique<PosixSerialPort>(fd);
    return result;
}
