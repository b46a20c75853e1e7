#include "gpsdevsim/flash_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::vector<uint8_t> FreshFlash()
{
    std::vector<uint8_t> flash(kEmulatedFlashSize, 0xFF);
    for (uint32_t a = kUserPositionsSector; a < kEmulatedFlashSize; a += 16) {
        char line[17];
        std::snprintf(line, sizeof line, "USERPOS %06X\r\n", unsigned(a));
        std::memcpy(flash.data() + a, line, 16);
    }
    return flash;
}

bool LoadOrCreateFlash(const std::string& path, std::vector<uint8_t>& flash, bool& created, std::string& error)
{
    created = false;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == off_t(kEmulatedFlashSize)) {
            flash.assign(kEmulatedFlashSize, 0);
            size_t got = 0;
            while (got < flash.size()) {
                const ssize_t r = read(fd, flash.data() + got, flash.size() - got);
                if (r < 0 && errno == EINTR)
                    continue;
                if (r <= 0)
                    break;
                got += size_t(r);
            }
            close(fd);
            if (got == flash.size())
                return true;
            error = "cannot read " + path;
            return false;
        }
        close(fd);
    }
    flash = FreshFlash();
    created = true;
    return SaveFlash(path, flash, error);
}

bool SaveFlash(const std::string& path, const std::vector<uint8_t>& data, std::string& error)
{
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + tmp + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t w = write(fd, data.data() + done, data.size() - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += size_t(w);
    }
    const bool closed = close(fd) == 0;
    const bool ok = done == data.size() && closed;
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(tmp.c_str());
        return false;
    }
    return true;
}
