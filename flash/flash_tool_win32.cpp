// The worker thread of one flash utility run: the pipe, the semaphore and the hidden child. The
// records are handled by CFlashToolRun; this file is only the Win32 shell around it.
#include "flash/flash_tool_win32.h"

#include "afx/afxwin.h"
#include "afx/scoped_handle_win32.h"
#include "flash/flash_record_reader.h"
#include "flash/flash_run_registry.h"
#include "flash/flash_tool_run.h"

#include <atomic>
#include <cstdint>
#include <memory>

std::atomic<HWND> g_hDlgWnd{nullptr};
std::atomic<HANDLE> g_hToolThread{nullptr};

namespace {

CFlashRunRegistry s_runs;

char s_szChildTitle[] = "Tavo flash";

// A handle's value as the command line carries it: in decimal, as _itoa writes an int.
long long HandleValue(HANDLE h)
{
    return int(intptr_t(h));
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

// The child's process handle, known to the registry so that StopFlashToolRun can end the child.
// It leaves the registry before it closes, so that no one ends a closed handle.
class CRegisteredChild {
public:
    CRegisteredChild() = default;
    CRegisteredChild(const CRegisteredChild&) = delete;
    CRegisteredChild& operator=(const CRegisteredChild&) = delete;
    ~CRegisteredChild()
    {
        if (m_hProcess.IsValid())
            s_runs.DetachChild(m_nRun);
    }

    // Called under the registry's lock (inside WhileCurrent).
    void AttachLocked(unsigned nRun, HANDLE hProcess)
    {
        m_nRun = nRun;
        m_hProcess.Attach(hProcess);
        s_runs.AttachChildLocked(nRun, intptr_t(hProcess));
    }

private:
    unsigned m_nRun = 0;
    CScopedHandle m_hProcess;
};

// Everything one run holds open. They close in the reverse of the order written here: the
// child's thread, the child's process, our write end (if the child never got its copy), the read
// end, the semaphore.
struct CRunHandles {
    CScopedHandle hSemaphore;
    CScopedHandle hRead;
    CScopedHandle hWrite;
    CRegisteredChild child;
    CScopedHandle hChildThread;
};

class CWorkerHost : public IFlashRunHost {
public:
    CWorkerHost(unsigned nRun, std::unique_ptr<CRunHandles> handles) : m_nRun(nRun), m_handles(std::move(handles)) {}

    bool IfCurrent(const std::function<void()>& f) override { return s_runs.WhileCurrent(m_nRun, f); }

    void PostUpdateEvent(int nKind, intptr_t lArg) override
    {
        ::PostMessageA(g_hDlgWnd.load(), UM_UPDATE_EVENT, WPARAM(MakeUpdateEventWParam(nKind, m_nRun)), LPARAM(lArg));
    }

    void ShowMessageBox(const CString& strText) override { AfxMessageBox(strText, MB_OK, 0); }

    void ReleaseRun() override
    {
        s_runs.NoteEnding(m_nRun);
        m_handles.reset();
    }

    void RecordRead() override { s_runs.NoteRecord(m_nRun, ::GetTickCount()); }

private:
    unsigned m_nRun;
    std::unique_ptr<CRunHandles> m_handles;
};

enum StartResult { START_OK, START_GIVEN_UP, START_NO_PIPE, START_NO_PROCESS };

// Creates the run's pipe and semaphore and starts the utility, unless the run was given up.
StartResult StartUtility(unsigned nRun, CRunHandles& h)
{
    // Not inheritable: the utility gets its value on the command line only. Without it the
    // run has no complete channel to the utility, so it fails as a pipe that cannot be made.
    h.hSemaphore.Attach(::CreateSemaphoreA(nullptr, 0, 1, nullptr));
    if (!h.hSemaphore.IsValid())
        return START_NO_PIPE;
    // Inheritable, with the default security descriptor: only our own account may open the
    // pipe (a NULL DACL would let any local process read or write it).
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = nullptr;
    sa.bInheritHandle = TRUE;

    StartResult result = START_GIVEN_UP;
    // Under the registry's lock: a run given up on never starts a child, and the child of
    // another run cannot inherit this pipe's write end (which would keep the pipe open).
    s_runs.WhileCurrent(nRun, [&] {
        if (!::CreatePipe(h.hRead.Receive(), h.hWrite.Receive(), &sa, 0)) {
            h.hRead.Detach();
            h.hWrite.Detach();
            result = START_NO_PIPE;
            return;
        }
        // This run's own command line: the sequencer's stays as it wrote it.
        CString strCommand = g_toolCommandLine;
        strCommand += FormatHandleOptions(HandleValue(h.hWrite.Get()), HandleValue(h.hRead.Get()),
                                          HandleValue(h.hSemaphore.Get()))
                          .c_str();

        STARTUPINFOA si;
        ::GetStartupInfoA(&si);
        si.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
        si.wShowWindow = SW_HIDE;
        si.lpTitle = s_szChildTitle;
        PROCESS_INFORMATION child = {};
        if (!::CreateProcessA(nullptr, strCommand.GetBuffer(), &sa, &sa, TRUE, DETACHED_PROCESS, nullptr, nullptr, &si,
                              &child)) {
            result = START_NO_PROCESS;
            return;
        }
        h.hChildThread.Attach(child.hThread);
        h.child.AttachLocked(nRun, child.hProcess);
        h.hWrite.Close();  // the child has its own copy
        result = START_OK;
    });
    return result;
}

// The run whose worker thread could not be made; its box is shown from the message loop.
std::atomic<unsigned> s_nRunWithoutWorker{0};

void CALLBACK ShowCannotStartBox(HWND, UINT, UINT_PTR nIDEvent, DWORD)
{
    ::KillTimer(nullptr, nIDEvent);
    const unsigned nRun = s_nRunWithoutWorker.exchange(0);
    AfxMessageBox("CreateProcess Error", MB_OK, 0);
    // As for a utility that cannot be started: the update ends once the box is read.
    if (nRun != 0 && s_runs.CurrentRun() == nRun)
        ::PostMessageA(g_hDlgWnd.load(), UM_UPDATE_EVENT, WPARAM(MakeUpdateEventWParam(UPD_FINISH, nRun)), 0);
}

}  // namespace

DWORD WINAPI FlashToolThreadProc(LPVOID lpParameter)
{
    const unsigned nRun = s_runs.ResolveRun(unsigned(uintptr_t(lpParameter) & 0xFFFFu), ::GetTickCount());

    auto handles = std::make_unique<CRunHandles>();
    const StartResult result = StartUtility(nRun, *handles);
    if (result == START_OK) {
        ::ReleaseSemaphore(handles->hSemaphore.Get(), 1, nullptr);
        CPipeSource source(handles->hRead.Get());
        CWorkerHost host(nRun, std::move(handles));
        CFlashRecordReader reader(source);
        CFlashToolRun run(host);
        return DWORD(run.Run(reader));
    }
    handles.reset();  // a run that did not start leaves nothing open behind its box
    // Marked as ending before the box, so that no one gives the run up while the box is open;
    // the update then ends once the user has read it.
    if (result != START_GIVEN_UP && s_runs.NoteEnding(nRun)) {
        AfxMessageBox(result == START_NO_PIPE ? "CreatePipe Error" : "CreateProcess Error", MB_OK, 0);
        if (s_runs.CurrentRun() == nRun)
            ::PostMessageA(g_hDlgWnd.load(), UM_UPDATE_EVENT, WPARAM(MakeUpdateEventWParam(UPD_FINISH, nRun)), 0);
    }
    return 0;
}

unsigned StartFlashToolRun()
{
    const unsigned nRun = s_runs.BeginRun(::GetTickCount());
    HANDLE hThread =
        ::CreateThread(nullptr, 0, FlashToolThreadProc, reinterpret_cast<LPVOID>(uintptr_t(nRun)), 0, nullptr);
    if (!hThread && s_runs.NoteEnding(nRun)) {
        // A run without a worker cannot start the utility: it is ending (so that no watchdog
        // gives it up behind its box) and says so as a worker would. The box waits for the
        // message loop, so that its own loop does not run the sequencer's timers while the
        // sequencer is still starting this run.
        s_nRunWithoutWorker = nRun;
        ::SetTimer(nullptr, 0, 0, &ShowCannotStartBox);
    }
    CScopedHandle previous(g_hToolThread.exchange(hThread));
    return nRun;
}

bool StopFlashToolRun(FlashRunStop when)
{
    return s_runs.StopCurrent([](intptr_t hChild) { ::TerminateProcess(reinterpret_cast<HANDLE>(hChild), 1); }, when) !=
           0;
}

uint32_t FlashToolRunSilence()
{
    return s_runs.GetSilence(::GetTickCount());
}

unsigned CurrentFlashToolRun()
{
    return s_runs.CurrentRun();
}
