// The worker thread of one flash utility run: the pipe, the semaphore and the hidden child. The
// records are handled by CFlashToolRun; this file is only the Win32 shell around it.
#include "flash/flash_tool_win32.h"

#include "afx/afxwin.h"
#include "flash/flash_record_reader.h"
#include "flash/flash_run_registry.h"
#include "flash/flash_tool_run.h"

#include <cstdint>
#include <cstdio>

std::atomic<HWND> g_hDlgWnd{nullptr};
std::atomic<HANDLE> g_hToolThread{nullptr};

namespace {

CFlashRunRegistry s_runs;

char s_szChildTitle[] = "Tavo flash";

void CloseIfOpen(HANDLE& h)
{
    if (h) {
        ::CloseHandle(h);
        h = nullptr;
    }
}

// Handle values go on the command line in decimal, as _itoa writes them.
void AppendHandleOption(CString& strCommand, const char* pszOption, HANDLE h)
{
    char szValue[16];
    std::snprintf(szValue, sizeof szValue, "%d", int(intptr_t(h)));
    strCommand += pszOption;
    strCommand += szValue;
}

// The read end of the run's pipe. Once the child has started we hold no write end, so the
// child's exit (or its end by StopFlashToolRun) ends the data.
class CPipeSource : public IFlashByteSource {
public:
    explicit CPipeSource(HANDLE hRead) : m_hRead(hRead) {}
    int ReadSome(void* pBuffer, unsigned nCount) override
    {
        for (;;) {
            DWORD nRead = 0;
            if (!::ReadFile(m_hRead, pBuffer, nCount, &nRead, nullptr))
                return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
            if (nRead > 0)
                return int(nRead);
            // A zero-byte write of the child arrives as an empty read: wait for real data.
        }
    }

private:
    HANDLE m_hRead;
};

class CWorkerHost : public IFlashRunHost {
public:
    CWorkerHost(unsigned nRun, const PROCESS_INFORMATION& child, HANDLE hRead, HANDLE hSemaphore)
        : m_nRun(nRun), m_hThread(child.hThread), m_hProcess(child.hProcess), m_hRead(hRead), m_hSemaphore(hSemaphore)
    {
    }
    ~CWorkerHost() override { ReleaseRun(); }

    bool IfCurrent(const std::function<void()>& f) override { return s_runs.WhileCurrent(m_nRun, f); }

    void PostUpdateEvent(int nKind, intptr_t lArg) override
    {
        ::PostMessageA(g_hDlgWnd.load(), UM_UPDATE_EVENT, WPARAM(MakeUpdateEventWParam(nKind, m_nRun)), LPARAM(lArg));
    }

    void ShowMessageBox(const CString& strText) override { AfxMessageBox(strText, MB_OK, 0); }

    void ReleaseRun() override
    {
        CloseIfOpen(m_hThread);
        if (m_hProcess) {
            s_runs.DetachChild(m_nRun);  // before the handle goes, so that no one ends a closed handle
            CloseIfOpen(m_hProcess);
        }
        CloseIfOpen(m_hRead);
        CloseIfOpen(m_hSemaphore);
    }

private:
    unsigned m_nRun;
    HANDLE m_hThread;
    HANDLE m_hProcess;
    HANDLE m_hRead;
    HANDLE m_hSemaphore;
};

enum StartResult { START_OK, START_GIVEN_UP, START_NO_PIPE, START_NO_PROCESS };

}  // namespace

DWORD WINAPI FlashToolThreadProc(LPVOID lpParameter)
{
    const unsigned nRun = s_runs.ResolveRun(unsigned(uintptr_t(lpParameter) & 0xFFFFu));

    // Not inheritable: the utility gets its value on the command line only.
    HANDLE hSemaphore = ::CreateSemaphoreA(nullptr, 0, 1, nullptr);
    // Inheritable, with the default security descriptor: only our own account may open the
    // pipe (a NULL DACL would let any local process read or write it).
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = TRUE;

    HANDLE hRead = nullptr;
    HANDLE hWrite = nullptr;
    PROCESS_INFORMATION child = {};
    StartResult result = START_GIVEN_UP;
    // Under the registry's lock: a run given up on never starts a child, and the child of
    // another run cannot inherit this pipe's write end (which would keep the pipe open).
    s_runs.WhileCurrent(nRun, [&] {
        if (!::CreatePipe(&hRead, &hWrite, &sa, 0)) {
            hRead = hWrite = nullptr;
            result = START_NO_PIPE;
            return;
        }
        AppendHandleOption(g_toolCommandLine, " -wp ", hWrite);
        AppendHandleOption(g_toolCommandLine, " -rp ", hRead);
        AppendHandleOption(g_toolCommandLine, " -wps ", hSemaphore);

        STARTUPINFOA si;
        ::GetStartupInfoA(&si);
        si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
        si.wShowWindow = SW_HIDE;
        si.lpTitle = s_szChildTitle;
        CString strCommand = g_toolCommandLine;  // CreateProcessA may write into its buffer
        if (!::CreateProcessA(nullptr, strCommand.GetBuffer(), &sa, &sa, TRUE, DETACHED_PROCESS, nullptr, nullptr, &si,
                              &child)) {
            result = START_NO_PROCESS;
            return;
        }
        s_runs.AttachChildLocked(nRun, intptr_t(child.hProcess));
        CloseIfOpen(hWrite);  // the child has its own copy
        result = START_OK;
    });

    switch (result) {
        case START_OK:
            break;
        case START_GIVEN_UP:
            CloseIfOpen(hSemaphore);
            return 0;
        case START_NO_PIPE:
            CloseIfOpen(hSemaphore);
            if (s_runs.CurrentRun() == nRun)
                AfxMessageBox("CreatePipe Error", MB_OK, 0);
            return 0;
        case START_NO_PROCESS:
            CloseIfOpen(hWrite);
            CloseIfOpen(hRead);
            CloseIfOpen(hSemaphore);
            if (s_runs.CurrentRun() == nRun)
                AfxMessageBox("CreateProcess Error", MB_OK, 0);
            return 0;
    }

    ::ReleaseSemaphore(hSemaphore, 1, nullptr);
    CWorkerHost host(nRun, child, hRead, hSemaphore);
    CPipeSource source(hRead);
    CFlashRecordReader reader(source);
    CFlashToolRun run(host);
    return DWORD(run.Run(reader));
}

unsigned StartFlashToolRun()
{
    const unsigned nRun = s_runs.BeginRun();
    HANDLE hThread =
        ::CreateThread(nullptr, 0, FlashToolThreadProc, reinterpret_cast<LPVOID>(uintptr_t(nRun)), 0, nullptr);
    HANDLE hPrevious = g_hToolThread.exchange(hThread);
    if (hPrevious)
        ::CloseHandle(hPrevious);
    return nRun;
}

void StopFlashToolRun()
{
    s_runs.StopCurrent([](intptr_t hChild) { ::TerminateProcess(reinterpret_cast<HANDLE>(hChild), 1); });
}

unsigned CurrentFlashToolRun()
{
    return s_runs.CurrentRun();
}
