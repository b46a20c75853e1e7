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

// The path in the ANSI code page, exactly (no best-fit look-alikes, no question marks); empty
// when a character has no place in it.
static std::string ExactAnsi(const wchar_t* pszPath)
{
    const UINT codePage = GetACP();
    const bool utf8 = codePage == CP_UTF8;  // holds every character, and refuses the question
    BOOL lost = FALSE;
    char buf[MAX_PATH * 4];
    const int n = WideCharToMultiByte(codePage, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, pszPath, -1, buf, sizeof buf, nullptr,
                                      utf8 ? nullptr : &lost);
    return n > 0 && !lost ? std::string(buf) : std::string();
}

std::string ExecutableDirectory()
{
    wchar_t wide[MAX_PATH * 2];
    const DWORD n = GetModuleFileNameW(nullptr, wide, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2)
        return std::string();
    // A folder whose name the ANSI code page cannot hold (a temporary folder of a user with
    // such a name) is reached by its short form, as the updater started us.
    std::string path = ExactAnsi(wide);
    wchar_t shortPath[MAX_PATH * 2];
    if (path.empty()) {
        const DWORD s = GetShortPathNameW(wide, shortPath, MAX_PATH * 2);
        if (s == 0 || s >= MAX_PATH * 2)
            return std::string();
        path = ExactAnsi(shortPath);
    }
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
