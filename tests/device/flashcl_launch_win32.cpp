// flashcl_launch: starts the flash utility the way the updater does (an inheritable anonymous
// pipe, a semaphore that is not inherited, the three handle options appended in decimal, a
// hidden detached process) and prints every record it writes, for the Wine tests.
//
//   flashcl_launch TIMEOUT_MS PROGRAM [ARG...]
//
// Prints "record CODE LINE +MS TEXT" per record, then "exit CODE". Unlike the updater it closes
// its copy of the write end, so a utility that ends without a final record is seen. Exit status:
// 0 when the records ended with exactly one final record, 1 otherwise, 2 on a start failure.
#include "afx/little_endian.h"
#include "afx/scoped_handle_win32.h"
#include "contract/flash_tool_contract.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

int32_t LE32(const std::string& b, size_t at)
{
    return int32_t(LoadLE32(b.data() + at));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: flashcl_launch TIMEOUT_MS PROGRAM [ARG...]\n");
        return 2;
    }
    _setmode(_fileno(stdout), _O_BINARY);  // plain LF lines for the shell that reads them
    const DWORD timeoutMs = DWORD(std::strtoul(argv[1], nullptr, 10));
    std::string command = argv[2];
    for (int i = 3; i < argc; ++i)
        command += std::string(" ") + argv[i];

    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, TRUE};
    // Closed in the reverse of this order: the child's handles, then the pipe, then the semaphore.
    CScopedHandle semaphore(CreateSemaphoreA(nullptr, 0, 1, nullptr));
    CScopedHandle readEnd, writeEnd;
    if (!CreatePipe(readEnd.Receive(), writeEnd.Receive(), &sa, 0)) {
        std::printf("start-failed CreatePipe %lu\n", GetLastError());
        return 2;
    }
    char handles[96];
    std::snprintf(handles, sizeof handles, " -wp %d -rp %d -wps %d", int(intptr_t(writeEnd.Get())),
                  int(intptr_t(readEnd.Get())), int(intptr_t(semaphore.Get())));
    command += handles;

    STARTUPINFOA si;
    GetStartupInfoA(&si);
    si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi = {};
    const DWORD t0 = GetTickCount();
    if (!CreateProcessA(nullptr, &command[0], &sa, &sa, TRUE, DETACHED_PROCESS, nullptr, nullptr, &si, &pi)) {
        std::printf("start-failed CreateProcess %lu\n", GetLastError());
        return 2;
    }
    CScopedHandle process(pi.hProcess), thread(pi.hThread);
    ReleaseSemaphore(semaphore.Get(), 1, nullptr);
    writeEnd.Close();

    std::string bytes;
    size_t parsed = 0;
    int finals = 0;
    bool finalLast = false;
    for (;;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(readEnd.Get(), nullptr, 0, nullptr, &avail, nullptr))
            break;  // the utility has closed its end
        if (avail == 0) {
            if (GetTickCount() - t0 > timeoutMs) {
                std::printf("timeout\n");
                TerminateProcess(process.Get(), 255);
                break;
            }
            Sleep(10);
            continue;
        }
        char buf[4096];
        DWORD got = 0;
        if (!ReadFile(readEnd.Get(), buf, avail < sizeof buf ? avail : sizeof buf, &got, nullptr) || got == 0)
            break;
        bytes.append(buf, got);
        while (bytes.size() - parsed >= 12) {
            const int32_t length = LE32(bytes, parsed);
            if (length < 8 || length > 1 << 20) {
                std::printf("bad-record length %d\n", int(length));
                parsed = bytes.size();
                finals = 99;
                break;
            }
            if (bytes.size() - parsed < 4 + size_t(length))
                break;
            const int32_t line = LE32(bytes, parsed + 4), code = LE32(bytes, parsed + 8);
            const std::string text = length > 8 ? std::string(bytes.c_str() + parsed + 12) : std::string();
            std::printf("record %d %d +%lu %s\n", int(code), int(line), GetTickCount() - t0, text.c_str());
            std::fflush(stdout);
            const bool final = code == FTM_DONE || code < 1000;
            finals += final ? 1 : 0;
            finalLast = final;
            parsed += 4 + size_t(length);
        }
    }
    DWORD exitCode = 0;
    WaitForSingleObject(process.Get(), 5000);
    GetExitCodeProcess(process.Get(), &exitCode);
    std::printf("exit %lu\n", exitCode);
    std::fflush(stdout);
    return finals == 1 && finalLast && parsed == bytes.size() ? 0 : 1;
}
