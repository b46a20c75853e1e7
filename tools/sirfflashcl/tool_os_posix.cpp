#include "tools/sirfflashcl/tool_os.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <unistd.h>

void PrepareProcess()
{
    std::signal(SIGPIPE, SIG_IGN);
}

bool WriteToHandle(long long handle, const std::string& bytes)
{
    if (handle < 0 || handle > INT_MAX)
        return false;
    const char* p = bytes.data();
    size_t n = bytes.size();
    while (n > 0) {
        const ssize_t w = write(int(handle), p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

void CloseInheritedHandle(long long handle, long long keep)
{
    if (handle > 2 && handle <= INT_MAX && handle != keep)
        close(int(handle));
}

std::string ExecutableDirectory()
{
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return std::string();
    std::string path(buf, size_t(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
