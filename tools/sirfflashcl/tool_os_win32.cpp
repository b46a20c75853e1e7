#include "tools/sirfflashcl/tool_os.h"

#include <windows.h>

#include <cstdint>

namespace {
HANDLE ToHandle(long long value)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value));
}
}  // namespace

void PrepareProcess()
{
    // Started detached by the updater: no error boxes that nobody could close.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

bool WriteToHandle(long long handle, const std::string& bytes)
{
    const char* p = bytes.data();
    size_t n = bytes.size();
    while (n > 0) {
        DWORD written = 0;
        if (!WriteFile(ToHandle(handle), p, DWORD(n), &written, nullptr) || written == 0)
            return false;
        p += written;
        n -= written;
    }
    return true;
}

void CloseInheritedHandle(long long handle, long long keep)
{
    const HANDLE h = ToHandle(handle);
    if (handle == 0 || handle == keep || h == INVALID_HANDLE_VALUE || h == GetStdHandle(STD_INPUT_HANDLE) ||
        h == GetStdHandle(STD_OUTPUT_HANDLE) || h == GetStdHandle(STD_ERROR_HANDLE))
        return;
    CloseHandle(h);
}

std::string ExecutableDirectory()
{
    char buf[MAX_PATH * 2];
    const DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf)
        return std::string();
    std::string path(buf, n);
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
