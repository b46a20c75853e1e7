// The worker thread against a scripted stand-in of the flash utility: the command line the child
// received, how it was started, the events posted to a hidden window, the shared state, and the
// message boxes, closed as a person would (find the box, read its text, press OK).
#include "afx/afxwin.h"
#include "flash/flash_tool_win32.h"
#include "contract/flash_tool_contract.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Event {
    int nKind;
    unsigned nRun;
    LPARAM lArg;
    size_t nBoxesBefore;  // boxes closed when the event arrived
};

std::vector<Event> s_events;
std::vector<std::string> s_boxes;     // texts of the boxes closed, in order
std::vector<std::string> s_captions;  // their captions
std::vector<std::string> s_icons;     // their icons: "exclamation", "question", "none" or "other"

// The system icon a message box shows.
std::string IconOf(HWND hBox)
{
    HICON hIcon = nullptr;
    for (HWND hChild = ::GetWindow(hBox, GW_CHILD); hChild && !hIcon; hChild = ::GetWindow(hChild, GW_HWNDNEXT)) {
        char cls[32] = {};
        ::GetClassNameA(hChild, cls, sizeof cls);
        if (_stricmp(cls, "Static") == 0 && (::GetWindowLongA(hChild, GWL_STYLE) & SS_TYPEMASK) == SS_ICON &&
            ::IsWindowVisible(hChild))
            hIcon = reinterpret_cast<HICON>(::SendMessageA(hChild, STM_GETICON, 0, 0));
    }
    if (!hIcon)
        return "none";
    if (hIcon == ::LoadIconA(nullptr, IDI_EXCLAMATION))
        return "exclamation";
    if (hIcon == ::LoadIconA(nullptr, IDI_QUESTION))
        return "question";
    return "other";
}

LRESULT CALLBACK CollectorProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    if (nMsg == UM_UPDATE_EVENT) {
        s_events.push_back({UpdateEventKindOf(wParam), UpdateEventRunOf(wParam), lParam, s_boxes.size()});
        return 0;
    }
    return ::DefWindowProcA(hWnd, nMsg, wParam, lParam);
}

HWND CollectorWindow()
{
    static HWND s_hWnd = [] {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = CollectorProc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = "FlashRunCollector";
        ::RegisterClassA(&wc);
        // Never shown: it only receives the posted events, like the hidden dialog would.
        return ::CreateWindowExA(0, "FlashRunCollector", "collector", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                 nullptr, wc.hInstance, nullptr);
    }();
    return s_hWnd;
}

BOOL CALLBACK CollectBox(HWND hWnd, LPARAM lParam)
{
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hWnd, &pid);
    char cls[32] = {};
    ::GetClassNameA(hWnd, cls, sizeof cls);
    if (pid == ::GetCurrentProcessId() && ::IsWindowVisible(hWnd) && std::string(cls) == "#32770")
        reinterpret_cast<std::vector<HWND>*>(lParam)->push_back(hWnd);
    return TRUE;
}

// Reads and closes every message box of this process that is not already being closed.
void PressBoxes()
{
    static std::set<HWND> s_pressed;
    for (auto it = s_pressed.begin(); it != s_pressed.end();)
        it = ::IsWindow(*it) ? std::next(it) : s_pressed.erase(it);
    std::vector<HWND> boxes;
    ::EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&boxes));
    for (HWND hBox : boxes) {
        if (!s_pressed.insert(hBox).second)
            continue;
        char text[4096] = {};
        ::GetDlgItemTextA(hBox, 0xFFFF, text, sizeof text);
        char caption[256] = {};
        ::GetWindowTextA(hBox, caption, sizeof caption);
        s_boxes.push_back(text);
        s_captions.push_back(caption);
        s_icons.push_back(IconOf(hBox));
        ::PostMessageA(hBox, WM_COMMAND, IDOK, 0);
    }
}

// Handles messages and presses boxes until done() holds; false after nLimitMs.
bool PumpUntil(const std::function<bool()>& done, DWORD nLimitMs = 20000)
{
    const DWORD start = ::GetTickCount();
    for (;;) {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        if (done())
            return true;
        if (::GetTickCount() - start > nLimitMs)
            return false;
        PressBoxes();
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

bool HasEnded(HANDLE h)
{
    return ::WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
}

std::string OwnDirectory()
{
    char path[MAX_PATH];
    DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

class FlashToolWorkerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int s_nSerial = 0;
        char temp[MAX_PATH];
        ::GetTempPathA(MAX_PATH, temp);
        m_dir = std::string(temp) + "flashrun_" + std::to_string(::GetCurrentProcessId()) + "_" +
                std::to_string(++s_nSerial) + "\\";
        ::CreateDirectoryA(m_dir.c_str(), nullptr);
        ASSERT_TRUE(::CopyFileA((OwnDirectory() + "flashstub.exe").c_str(), (m_dir + "SiRFflashcl.exe").c_str(), FALSE))
            << "flashstub.exe must be built beside the test";
        g_hDlgWnd = CollectorWindow();
        s_events.clear();
        s_boxes.clear();
        s_captions.clear();
        s_icons.clear();
        g_chipType = CHIP_PENDING;
        g_portCursor = 1;
        g_firstPort = 0;
        g_lastToolError = 0;
        ProbeCommand("3", 115200);
    }
    void TearDown() override
    {
        StopFlashToolRun();
        for (const char* name : {"SiRFflashcl.exe", "scenario.txt", "received.txt"})
            ::DeleteFileA((m_dir + name).c_str());
        ::RemoveDirectoryA(m_dir.c_str());
    }

    // The command lines as the sequencer formats them.
    void ProbeCommand(const char* pszPort, int nBaud)
    {
        g_toolCommandLine.Format("%sSiRFflashcl %s -l %s -b %d -r -f 0x0 -t 0xFF", m_dir.c_str(),
                                 (m_dir + "123.bin").c_str(), pszPort, nBaud);
    }
    void FlashCommand(const char* pszPort, int nBaud, bool bErase)
    {
        g_toolCommandLine.Format("%sSiRFflashcl %s -l %s -b %d", m_dir.c_str(), (m_dir + "gsp3.s3").c_str(), pszPort,
                                 nBaud);
        if (bErase)
            g_toolCommandLine += " -e";
    }
    void Scenario(const std::string& text) { std::ofstream(m_dir + "scenario.txt", std::ios::binary) << text; }

    // Starts a run and handles messages until its worker has ended; returns the exit code.
    DWORD RunToEnd()
    {
        m_nRun = StartFlashToolRun();
        return WaitForWorker();
    }
    DWORD WaitForWorker()
    {
        HANDLE hThread = g_hToolThread.load();
        EXPECT_TRUE(PumpUntil([&] { return HasEnded(hThread); })) << "the worker never ended";
        PumpUntil([] { return true; });  // collect what it posted last
        DWORD code = 99;
        ::GetExitCodeThread(hThread, &code);
        return code;
    }

    std::map<std::string, std::string> Received() const
    {
        std::map<std::string, std::string> values;
        std::istringstream in(test_support::ReadText(m_dir + "received.txt"));
        std::string line;
        while (std::getline(in, line)) {
            size_t eq = line.find('=');
            if (eq != std::string::npos)
                values[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return values;
    }

    // Kinds and arguments of the events, as "kind:arg"; every event must carry the run number.
    std::vector<std::string> Events() const
    {
        std::vector<std::string> out;
        for (const Event& e : s_events) {
            EXPECT_EQ(e.nRun, m_nRun);
            out.push_back(std::to_string(e.nKind) + ":" + std::to_string(e.lArg));
        }
        return out;
    }

    std::string m_dir;
    unsigned m_nRun = 0;
};

typedef std::vector<std::string> Strings;

// The child the stand-in recorded, if it started, ends (or has ended) within 5 s.
void ExpectChildEnded(const std::map<std::string, std::string>& received)
{
    HANDLE hChild = received.count("pid") ? ::OpenProcess(SYNCHRONIZE, FALSE, std::stoul(received.at("pid"))) : nullptr;
    if (hChild) {
        EXPECT_EQ(::WaitForSingleObject(hChild, 5000), WAIT_OBJECT_0) << "the child must not live on";
        ::CloseHandle(hChild);
    }
}

}  // namespace

// One run of the worker against a scenario of the stand-in utility, from the globals the
// sequencer left: what the run posts, which boxes it shows (closed as a person would), the chip
// and error it leaves, and what the child received. Every run appends the handle options to the
// command line and ends the update only once its box is closed.
TEST_F(FlashToolWorkerTest, EachRunEndsAsItsRecordsSay)
{
    enum Command { kProbe, kFlashWithErase, kNoSuchUtility, kProbeOnAPlainThread };
    struct Case {
        const char* what;
        Command command;
        ChipType chip, chipAfter;  // g_chipType before and after the run
        int portCursor, firstPort, lastError, lastErrorAfter;
        std::string scenario;
        DWORD exitCode;
        Strings events, boxes, icons;  // icons: not checked when empty
        std::string received;          // "key=value" lines of what the child got
    };
    const ChipType kPending = CHIP_PENDING;
    const std::string kNoResult = "error desconocido(-1).The flash utility ended without a result.";
    const std::string kInherited = "wp_valid=1\nrp_valid=1\n";  // both ends of the pipe
    const std::string kProbeReceived =
        kInherited + "file=" + m_dir +
        "123.bin\nline=3\nbaud=115200\nread=1\nfrom=0x0\nto=0xFF\n"
        "erase=0\nflags=257\nshow=0\ntitle=Tavo flash\nconsole=0\n";  // console 0: detached
    // clang-format off
    std::vector<Case> cases = {
        {"a probe reports the chip", kProbe, kPending, CHIP_GSP3, 1, 0, 0, 0,
         "sleep 20\nrecord 1004   45 100 reading flash\nrecord 1000 ignored\nraw 8 1005\n"
         "long 2000 3000 ignored, and longer than the buffer\nrecord 1009 GSP3LT\nrecord 1009 GSP2e/LPx\n"
         "split on\nlong 1004 2000 70 100 a b c\nsplit off\nrecord 1006\n",
         1, {"2:45", "2:70", "3:1"}, {}, {}, kProbeReceived},
        {"a flashing run with -e ignores chip names", kFlashWithErase, 0, 0, 2, 2, 0, 0,
         "record 1009 GSP3\nrecord 1004 10 100 a b c\nrecord 1004 100 100 a b c\nrecord 1006\n",
         1, {"2:10", "2:100", "0:1"}, {}, {}, kInherited + "erase=1\nread=0\nline=12\nbaud=57600\nfile=" + m_dir + "gsp3.s3\n"},
        {"a port in use moves on, keeping the last error", kProbe, kPending, kPending, 1, 0, 5, 5,
         "record 14 COM3 is in use\n", 0, {"3:0"}, {}, {}, ""},
        {"a port error with no port left asks to close the other program", kProbe, kPending, kPending, 0, 0, 5, 2,
         "record 2 COM3 does not exist\n", 0, {"0:0"},
         {"Cierre el programa conectado con otro puerto e intentelo otra vez."}, {}, ""},
        {"another error shows its code with the utility's text", kProbe, kPending, kPending, 1, 0, 0, 7,
         "record 1004 30 100 a b c\nrecord 7 Verify failed at 0x1000\n", 0, {"2:30", "0:0"},
         {"error desconocido(7).Verify failed at 0x1000"}, {}, ""},
        {"a text far longer than the worker's buffer is cut, never overrun", kProbe, kPending, kPending, 1, 0, 0, 9,
         "long 9 5000 T\n", 0, {"0:0"}, {"error desconocido(9).T" + std::string(1023, 'x')}, {}, ""},
        {"a utility that cannot start", kNoSuchUtility, kPending, kPending, 1, 0, 0, 0,
         "", 0, {"0:0"}, {"CreateProcess Error"}, {}, ""},
        {"a plain thread without a parameter drives a new run", kProbeOnAPlainThread, kPending, CHIP_GSP2E, 1, 0, 0, 0,
         "record 1009 GSP2e/LPx\nrecord 1004 50 100 a b c\nrecord 1006\n", 1, {"2:50", "3:1"}, {}, {}, ""},
    };
    // A utility that stops without a final record: with no port left to try, the update ends,
    // saying so; with ports left in the probe cycle, this port failed, without a word.
    for (const char* ending : {"exit 3\n", "crash\n", "bytes 10 00 00 00 00 00\nexit 0\n"}) {
        const std::string scenario = std::string("record 1004 10 100 a b c\n") + ending;
        cases.push_back({"no final record, no port left", kProbe, kPending, kPending, 0, 0, 0, FTM_ERR_NO_FINAL_RECORD,
                         scenario, 0, {"2:10", "0:0"}, {kNoResult}, {"exclamation"}, ""});
        cases.push_back({"no final record, ports left", kProbe, kPending, kPending, 1, 0, 0, 0,
                         scenario, 0, {"2:10", "3:0"}, {}, {}, ""});
    }
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ": " + c.scenario);
        s_events.clear(), s_boxes.clear(), s_captions.clear(), s_icons.clear();
        g_chipType = c.chip;
        g_portCursor = c.portCursor;
        g_firstPort = c.firstPort;
        g_lastToolError = c.lastError;
        if (c.command == kFlashWithErase)
            FlashCommand("12", 57600, true);
        else if (c.command == kNoSuchUtility)
            g_toolCommandLine = (m_dir + "NoSuchUtility x -l 3 -b 115200").c_str();
        else
            ProbeCommand("3", 115200);
        const std::string base = std::string(g_toolCommandLine);
        Scenario(c.scenario);

        if (c.command == kProbeOnAPlainThread) {
            StopFlashToolRun();
            HANDLE hThread = ::CreateThread(nullptr, 0, FlashToolThreadProc, nullptr, 0, nullptr);
            ASSERT_TRUE(hThread);
            EXPECT_TRUE(PumpUntil([&] { return HasEnded(hThread); }));
            PumpUntil([] { return true; });
            DWORD code = 99;
            ::GetExitCodeThread(hThread, &code);
            ::CloseHandle(hThread);
            EXPECT_EQ(code, c.exitCode);
            m_nRun = CurrentFlashToolRun();
        } else {
            EXPECT_EQ(RunToEnd(), c.exitCode);
        }
        EXPECT_NE(m_nRun, 0u);
        EXPECT_EQ(Events(), c.events);
        EXPECT_EQ(s_boxes, c.boxes);
        EXPECT_EQ(s_captions, Strings(c.boxes.size(), std::string(AfxGetAppName())));
        if (!c.boxes.empty() && !s_events.empty()) {
            EXPECT_EQ(s_events.back().nBoxesBefore, c.boxes.size()) << "the update ends only once the box is closed";
        }
        if (!c.icons.empty()) {
            EXPECT_EQ(s_icons, c.icons);
        }
        EXPECT_EQ(g_chipType.load(), c.chipAfter);
        EXPECT_EQ(g_lastToolError.load(), c.lastErrorAfter);
        // The shared string stays as the sequencer wrote it; the child gets a copy with the three
        // handle options in decimal.
        EXPECT_EQ(std::string(g_toolCommandLine), base) << "the handles went to a copy";
        if (!c.received.empty()) {
            const auto got = Received();
            const std::string cmdline = got.at("cmdline");
            EXPECT_TRUE(std::regex_search(cmdline, std::regex(" -wp [1-9][0-9]* -rp [1-9][0-9]* -wps [1-9][0-9]*$")));
            EXPECT_EQ(cmdline, base + " -wp " + got.at("wp") + " -rp " + got.at("rp") + " -wps " + got.at("wps"));
            std::istringstream want(c.received);
            for (std::string line; std::getline(want, line);)
                EXPECT_EQ(line.substr(line.find('=') + 1), got.at(line.substr(0, line.find('=')))) << line;
        }
    }
}

// Boxes raised through AfxMessageBox get the icon the class library gives them when the caller
// names none; an icon the caller names is kept.
TEST(AfxMessageBoxTest, IconFollowsTheButtonsWhenNoneIsNamed)
{
    const struct {
        UINT nType;
        const char* icon;
    } rows[] = {
        {MB_OK, "exclamation"},
        {MB_OKCANCEL, "exclamation"},
        {MB_YESNO, "question"},
        {MB_YESNOCANCEL, "question"},
        {MB_RETRYCANCEL, "none"},
        {MB_OK | MB_ICONQUESTION, "question"},
        {MB_YESNO | MB_ICONEXCLAMATION, "exclamation"},
        {MB_OK | MB_ICONINFORMATION, "other"},
    };
    AfxSetMainWindowHandle(nullptr);
    for (const auto& row : rows) {
        s_boxes.clear();
        s_icons.clear();
        std::atomic<bool> bDone{false};
        std::thread asker([&] {
            AfxMessageBox("icon?", row.nType);
            bDone = true;
        });
        EXPECT_TRUE(PumpUntil([&] { return bDone.load(); })) << row.nType;
        asker.join();
        EXPECT_EQ(s_icons, (Strings{row.icon})) << std::hex << row.nType;
    }
}

TEST_F(FlashToolWorkerTest, StoppingARunEndsItsChildAndSilencesIt)
{
    Scenario("record 1004 5 100 a b c\nhang\n");
    m_nRun = StartFlashToolRun();
    EXPECT_EQ(CurrentFlashToolRun(), m_nRun);
    ASSERT_TRUE(PumpUntil([] { return !s_events.empty(); }));
    StopFlashToolRun();
    EXPECT_EQ(CurrentFlashToolRun(), 0u);
    EXPECT_EQ(WaitForWorker(), 0u);
    EXPECT_EQ(Events(), (Strings{"2:5"})) << "nothing after the stop";
    EXPECT_TRUE(s_boxes.empty());
    EXPECT_EQ(g_lastToolError.load(), 0);

    ASSERT_EQ(Received().count("pid"), 1u) << "the child started";
    ExpectChildEnded(Received());
}

TEST_F(FlashToolWorkerTest, RunStoppedWhileStartingLeavesNoChild)
{
    Scenario("hang\n");
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ::DeleteFileA((m_dir + "received.txt").c_str());
        m_nRun = StartFlashToolRun();
        if (round % 2)
            ::Sleep(DWORD(round));  // let the worker get a little further
        StopFlashToolRun();
        EXPECT_EQ(WaitForWorker(), 0u);
        EXPECT_TRUE(s_events.empty());
        EXPECT_TRUE(s_boxes.empty());
        ExpectChildEnded(Received());  // a child that did start was ended
    }
}
