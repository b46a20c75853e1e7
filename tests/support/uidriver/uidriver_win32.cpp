// uidriver: looks at and works the windows of another process from outside, through their
// handles, as a person would see and use them. For window and end-to-end tests under Wine.
#include "afx/scoped_handle_win32.h"

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: uidriver [--pid PID | --exe NAME] [--timeout MS] COMMAND [ARG...]\n"
    "       uidriver [--pid PID | --exe NAME] [--timeout MS] -      (commands from stdin, one a line)\n"
    "\n"
    "The process is given by its Windows process id or its program file name (the newest when\n"
    "several run). WINDOW is the caption of a visible top-level dialog of the process; without\n"
    "it, the process's dialog that no other window owns. Every command waits up to the timeout\n"
    "(default 10000 ms) for the process and the window it needs.\n"
    "\n"
    "  start PATH [ARG...]       start a program; prints pid=PID\n"
    "  windows                   list the process's visible dialogs: hwnd, owner, caption\n"
    "  dump [WINDOW]             the window and each of its controls: id, class, visible,\n"
    "                            enabled, checked (radio buttons, check boxes), text; then the\n"
    "                            rows of each combo box\n"
    "  text ID [WINDOW]          the text of control ID\n"
    "  state ID [WINDOW]         visible=0|1 enabled=0|1 of control ID\n"
    "  style ID [WINDOW]         style=0x... exstyle=0x... of control ID (0: the window itself)\n"
    "  combo ID [WINDOW]         count, selection and rows of combo box ID\n"
    "  select ID ROW [WINDOW]    selects row ROW of combo box ID, as the arrow keys do\n"
    "  radio ID [WINDOW]         checked=0|1 of button ID\n"
    "  geometry [WINDOW]         the client area in screen pixels: x y width height\n"
    "  click ID [WINDOW]         post BN_CLICKED of button ID\n"
    "  press ID [WINDOW]         post BM_CLICK to button ID, as a mouse click: a radio\n"
    "                            button becomes checked\n"
    "  progress ID [WINDOW]      pos=N lower=N upper=N of progress bar ID\n"
    "  syscommand VALUE [WINDOW] post WM_SYSCOMMAND VALUE (0x10, 0xF060, ...)\n"
    "  focus [WINDOW]            the id of the control that has the keyboard focus\n"
    "  key NAME [WINDOW]         post a key press (escape, enter, tab, space) to the focus\n"
    "  msgboxes                  list dialogs owned by another window (message boxes, About\n"
    "                            box): caption and the text of their static 0xFFFF\n"
    "  msgbox-ok [CAPTION]       press OK (IDOK) on such a dialog\n"
    "  msgbox-yes [CAPTION], msgbox-no [CAPTION]  press Yes (IDYES) or No (IDNO) on it\n"
    "  query-end-session [WINDOW]  send WM_QUERYENDSESSION; prints answer=0|1\n"
    "  wait CONDITION            wait for: window [WINDOW] | no-window [WINDOW] | msgbox\n"
    "                            [CAPTION] | no-msgbox | exit | text ID VALUE [WINDOW] |\n"
    "                            visible ID 0|1 [WINDOW] | enabled ID 0|1 [WINDOW]\n"
    "  sleep MS                  wait (for scripts that must let time pass)\n"
    "\n"
    "Texts are printed in double quotes, with \\\", \\\\ and \\xNN for other bytes outside 0x20..0x7E;\n"
    "arguments (but those of start) and script words take \\\\ and \\xNN the same way.\n"
    "Exit status: 0 success, 1 a command failed (nothing found, timeout), 2 usage error.\n";

struct Options {
    DWORD pid = 0;
    std::string exe;
    DWORD timeoutMs = 10000;
};

Options g_options;

struct Failure {
    std::string what;
};

[[noreturn]] void Fail(const std::string& what)
{
    throw Failure{what};
}

std::string Quote(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out + "\"";
}

std::string Hex(uintptr_t v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
    return buf;
}

long ParseNumber(const std::string& s)
{
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0')
        Fail("not a number: " + s);
    return v;
}

// Waits until pred() holds or the timeout passes; returns whether it held.
template <typename Pred>
bool WaitFor(Pred pred, DWORD timeoutMs = g_options.timeoutMs)
{
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (pred())
            return true;
        if (::GetTickCount() - start >= timeoutMs)
            return false;
        ::Sleep(50);
    }
}

// ---------------------------------------------------------------------------------------------
// Processes and windows

std::string Lower(std::string s)
{
    for (char& c : s)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

DWORD FindProcessByName(const std::string& name)
{
    CScopedHandle snap(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snap.IsValid())
        return 0;
    PROCESSENTRY32 pe;
    pe.dwSize = sizeof pe;
    DWORD found = 0;
    const std::string want = Lower(name);
    for (BOOL ok = ::Process32First(snap.Get(), &pe); ok; ok = ::Process32Next(snap.Get(), &pe)) {
        std::string exe = Lower(pe.szExeFile);
        size_t cut = exe.find_last_of("\\/");
        if (cut != std::string::npos)
            exe = exe.substr(cut + 1);
        if (exe == want)
            found = pe.th32ProcessID;  // the snapshot lists older processes first
    }
    return found;
}

DWORD CurrentPid()
{
    if (g_options.pid)
        return g_options.pid;
    if (g_options.exe.empty())
        Fail("no process given (--pid or --exe)");
    return FindProcessByName(g_options.exe);
}

DWORD RequirePid()
{
    DWORD pid = 0;
    if (!WaitFor([&] { return (pid = CurrentPid()) != 0; }))
        Fail("process not found: " + g_options.exe);
    return pid;
}

bool ProcessEnded(DWORD pid)
{
    if (pid == 0)
        return true;
    CScopedHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process.IsValid())
        return true;
    return ::WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
}

std::string ClassOf(HWND hWnd)
{
    char buf[256] = {0};
    ::GetClassNameA(hWnd, buf, sizeof buf);
    return buf;
}

// The text of a window of another process: WM_GETTEXT, with a timeout so that a busy target
// cannot hang the driver.
std::string TextOf(HWND hWnd)
{
    DWORD_PTR len = 0;
    if (!::SendMessageTimeoutA(hWnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &len))
        return std::string();
    std::vector<char> buf(len + 2, 0);
    DWORD_PTR got = 0;
    if (!::SendMessageTimeoutA(hWnd, WM_GETTEXT, WPARAM(buf.size()), reinterpret_cast<LPARAM>(buf.data()),
                               SMTO_ABORTIFHUNG, 2000, &got))
        return std::string();
    return std::string(buf.data(), got < buf.size() ? size_t(got) : std::strlen(buf.data()));
}

LRESULT Send(HWND hWnd, UINT msg, WPARAM wParam = 0, LPARAM lParam = 0)
{
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutA(hWnd, msg, wParam, lParam, SMTO_ABORTIFHUNG, 2000, &result))
        Fail("window does not answer (message " + Hex(msg) + ")");
    return LRESULT(result);
}

struct TopWindow {
    HWND hWnd;
    HWND hOwner;
    std::string caption;
};

struct DialogSearch {
    DWORD pid;
    std::vector<TopWindow> found;
};

BOOL CALLBACK CollectDialog(HWND hWnd, LPARAM lParam)
{
    DialogSearch* search = reinterpret_cast<DialogSearch*>(lParam);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(hWnd, &owner);
    if (owner == search->pid && ::IsWindowVisible(hWnd) && ClassOf(hWnd) == "#32770")
        search->found.push_back(TopWindow{hWnd, ::GetWindow(hWnd, GW_OWNER), TextOf(hWnd)});
    return TRUE;
}

// The visible dialogs of the process, top-most first.
std::vector<TopWindow> DialogsOf(DWORD pid)
{
    DialogSearch search{pid, {}};
    ::EnumWindows(&CollectDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The window named by caption, or the dialog no other window owns.
HWND FindDialog(DWORD pid, const std::string& caption)
{
    for (const TopWindow& w : DialogsOf(pid)) {
        if (caption.empty() ? w.hOwner == nullptr : w.caption == caption)
            return w.hWnd;
    }
    return nullptr;
}

HWND RequireDialog(const std::string& caption)
{
    DWORD pid = RequirePid();
    HWND hWnd = nullptr;
    if (!WaitFor([&] { return (hWnd = FindDialog(pid, caption)) != nullptr; }))
        Fail(caption.empty() ? "no main dialog" : "no window " + Quote(caption));
    return hWnd;
}

std::vector<TopWindow> OwnedDialogs(DWORD pid)
{
    std::vector<TopWindow> out;
    for (const TopWindow& w : DialogsOf(pid))
        if (w.hOwner)
            out.push_back(w);
    return out;
}

HWND RequireControl(HWND hDlg, long id)
{
    HWND hCtl = id == 0 ? hDlg : ::GetDlgItem(hDlg, int(id));
    if (!hCtl)
        Fail("no control " + std::to_string(id));
    return hCtl;
}

bool IsCheckable(HWND hCtl)
{
    if (ClassOf(hCtl) != "Button")
        return false;
    switch (::GetWindowLongA(hCtl, GWL_STYLE) & BS_TYPEMASK) {
        case BS_CHECKBOX:
        case BS_AUTOCHECKBOX:
        case BS_RADIOBUTTON:
        case BS_3STATE:
        case BS_AUTO3STATE:
        case BS_AUTORADIOBUTTON:
            return true;
        default:
            return false;
    }
}

bool IsCombo(HWND hCtl)
{
    return Lower(ClassOf(hCtl)) == "combobox";
}

// Rows of a combo box of another process. CB_GETLBTEXT sent as ANSI comes back as UTF-16 under
// Wine across processes, so it is asked for as UTF-16 and converted to the ANSI code page.
std::string ComboRow(HWND hCombo, int index)
{
    DWORD_PTR len = 0;
    if (!::SendMessageTimeoutW(hCombo, CB_GETLBTEXTLEN, WPARAM(index), 0, SMTO_ABORTIFHUNG, 2000, &len) ||
        LONG_PTR(len) < 0)
        return std::string();
    std::vector<wchar_t> wbuf(len + 2, 0);
    DWORD_PTR got = 0;
    ::SendMessageTimeoutW(hCombo, CB_GETLBTEXT, WPARAM(index), reinterpret_cast<LPARAM>(wbuf.data()), SMTO_ABORTIFHUNG,
                          2000, &got);
    int n = ::WideCharToMultiByte(CP_ACP, 0, wbuf.data(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_ACP, 0, wbuf.data(), -1, &out[0], n, nullptr, nullptr);
    if (!out.empty() && out.back() == '\0')
        out.pop_back();
    return out;
}

void PrintCombo(HWND hCombo)
{
    const int id = ::GetDlgCtrlID(hCombo);
    const int count = int(Send(hCombo, CB_GETCOUNT));
    const int sel = int(Send(hCombo, CB_GETCURSEL));
    std::printf("combo id=%d count=%d sel=%d\n", id, count, sel);
    for (int i = 0; i < count; ++i)
        std::printf("row id=%d index=%d text=%s\n", id, i, Quote(ComboRow(hCombo, i)).c_str());
}

void PrintControl(HWND hCtl)
{
    std::printf("control id=%d class=%s visible=%d enabled=%d", ::GetDlgCtrlID(hCtl), ClassOf(hCtl).c_str(),
                ::IsWindowVisible(hCtl) ? 1 : 0, ::IsWindowEnabled(hCtl) ? 1 : 0);
    if (IsCheckable(hCtl))
        std::printf(" checked=%d", Send(hCtl, BM_GETCHECK) == BST_CHECKED ? 1 : 0);
    std::printf(" text=%s\n", Quote(TextOf(hCtl)).c_str());
}

std::vector<HWND> ChildrenOf(HWND hDlg)
{
    // Direct children only, in z (tab) order: a combo box's own edit field is not a control.
    std::vector<HWND> out;
    for (HWND h = ::GetWindow(hDlg, GW_CHILD); h; h = ::GetWindow(h, GW_HWNDNEXT))
        out.push_back(h);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Commands

using Args = std::vector<std::string>;

std::string Arg(const Args& a, size_t i)
{
    return i < a.size() ? a[i] : std::string();
}

void NeedArgs(const Args& a, size_t min, size_t max)
{
    if (a.size() < min + 1 || a.size() > max + 1)
        Fail("wrong number of arguments for " + a[0]);
}

// start's program and arguments as our command line gave them, in UTF-16: a path with a letter
// outside the ANSI code page starts that file, not the look-alike its ANSI form may name.
std::vector<std::wstring> g_startWide;

void CmdStart(const Args& a)
{
    if (a.size() < 2)
        Fail("start needs a program");
    std::wstring cmd;
    for (size_t i = 1; i < a.size(); ++i) {
        std::wstring w = g_startWide.size() == a.size() - 1 ? g_startWide[i - 1] : std::wstring();
        if (w.empty() && !a[i].empty()) {
            w.resize(a[i].size());
            w.resize(size_t(::MultiByteToWideChar(CP_ACP, 0, a[i].data(), int(a[i].size()), &w[0], int(w.size()))));
        }
        cmd += (i > 1 ? L" \"" : L"\"") + w + L'"';
    }
    STARTUPINFOW si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    // Not inheriting our handles: the program must not hold the caller's output pipe open.
    if (!::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        Fail("cannot start " + a[1] + " (error " + std::to_string(::GetLastError()) + ")");
    std::printf("pid=%lu\n", static_cast<unsigned long>(pi.dwProcessId));
    g_options.pid = pi.dwProcessId;
    CScopedHandle process(pi.hProcess), thread(pi.hThread);  // we watch it by its id
}

void CmdWindows(const Args& a)
{
    NeedArgs(a, 0, 0);
    for (const TopWindow& w : DialogsOf(RequirePid()))
        std::printf("window hwnd=%s owner=%s caption=%s\n", Hex(uintptr_t(w.hWnd)).c_str(),
                    Hex(uintptr_t(w.hOwner)).c_str(), Quote(w.caption).c_str());
}

void CmdDump(const Args& a)
{
    NeedArgs(a, 0, 1);
    HWND hDlg = RequireDialog(Arg(a, 1));
    std::printf("window caption=%s visible=%d enabled=%d\n", Quote(TextOf(hDlg)).c_str(),
                ::IsWindowVisible(hDlg) ? 1 : 0, ::IsWindowEnabled(hDlg) ? 1 : 0);
    std::vector<HWND> children = ChildrenOf(hDlg);
    for (HWND h : children)
        PrintControl(h);
    for (HWND h : children)
        if (IsCombo(h))
            PrintCombo(h);
}

void CmdText(const Args& a)
{
    NeedArgs(a, 1, 2);
    HWND hCtl = RequireControl(RequireDialog(Arg(a, 2)), ParseNumber(a[1]));
    std::printf("%s\n", Quote(TextOf(hCtl)).c_str());
}

void CmdState(const Args& a)
{
    NeedArgs(a, 1, 2);
    HWND hCtl = RequireControl(RequireDialog(Arg(a, 2)), ParseNumber(a[1]));
    std::printf("visible=%d enabled=%d\n", ::IsWindowVisible(hCtl) ? 1 : 0, ::IsWindowEnabled(hCtl) ? 1 : 0);
}

void CmdStyle(const Args& a)
{
    NeedArgs(a, 1, 2);
    HWND hCtl = RequireControl(RequireDialog(Arg(a, 2)), ParseNumber(a[1]));
    std::printf("style=0x%08lX exstyle=0x%08lX\n", static_cast<unsigned long>(::GetWindowLongA(hCtl, GWL_STYLE)),
                static_cast<unsigned long>(::GetWindowLongA(hCtl, GWL_EXSTYLE)));
}

void CmdCombo(const Args& a)
{
    NeedArgs(a, 1, 2);
    HWND hCtl = RequireControl(RequireDialog(Arg(a, 2)), ParseNumber(a[1]));
    if (!IsCombo(hCtl))
        Fail("control " + a[1] + " is not a combo box");
    PrintCombo(hCtl);
}

void CmdSelect(const Args& a)
{
    NeedArgs(a, 2, 3);
    HWND hCtl = RequireControl(RequireDialog(Arg(a, 3)), ParseNumber(a[1]));
    if (!IsCombo(hCtl) || Send(hCtl, CB_SETCURSEL, WPARAM(ParseNumber(a[2]))) == CB_ERR)
        Fail("cannot select row " + a[2] + " of control " + a[1]);
    PrintCombo(hCtl);
}

void CmdRadio(const Args& a)
{
    NeedArgs(a, 1, 2);
    HWND hCtl = RequireControl(RequireDialog(Arg(a, 2)), ParseNumber(a[1]));
    std::printf("checked=%d\n", Send(hCtl, BM_GETCHECK) == BST_CHECKED ? 1 : 0);
}

void CmdGeometry(const Args& a)
{
    NeedArgs(a, 0, 1);
    HWND hDlg = RequireDialog(Arg(a, 1));
    RECT rc;
    ::GetClientRect(hDlg, &rc);
    POINT origin = {0, 0};
    ::ClientToScreen(hDlg, &origin);
    std::printf("x=%ld y=%ld width=%ld height=%ld\n", long(origin.x), long(origin.y), long(rc.right), long(rc.bottom));
}

void CmdClick(const Args& a)
{
    NeedArgs(a, 1, 2);
    HWND hDlg = RequireDialog(Arg(a, 2));
    const long id = ParseNumber(a[1]);
    HWND hCtl = RequireControl(hDlg, id);
    // Posted, not sent: the handler may open a modal box and not return for a long time.
    if (!::PostMessageA(hDlg, WM_COMMAND, MAKEWPARAM(WORD(id), BN_CLICKED), reinterpret_cast<LPARAM>(hCtl)))
        Fail("cannot post to the window");
}

void CmdPress(const Args& a)
{
    NeedArgs(a, 1, 2);
    HWND hCtl = RequireControl(RequireDialog(Arg(a, 2)), ParseNumber(a[1]));
    if (!::PostMessageA(hCtl, BM_CLICK, 0, 0))
        Fail("cannot post to the button");
}

void CmdProgress(const Args& a)
{
    NeedArgs(a, 1, 2);
    HWND hCtl = RequireControl(RequireDialog(Arg(a, 2)), ParseNumber(a[1]));
    // Limits one at a time, as return values: a structure would not cross the process boundary.
    const long lower = long(Send(hCtl, PBM_GETRANGE, TRUE));
    const long upper = long(Send(hCtl, PBM_GETRANGE, FALSE));
    std::printf("pos=%ld lower=%ld upper=%ld\n", long(Send(hCtl, PBM_GETPOS)), lower, upper);
}

void CmdSysCommand(const Args& a)
{
    NeedArgs(a, 1, 2);
    HWND hDlg = RequireDialog(Arg(a, 2));
    if (!::PostMessageA(hDlg, WM_SYSCOMMAND, WPARAM(ParseNumber(a[1])), 0))
        Fail("cannot post to the window");
}

HWND FocusOf(HWND hDlg)
{
    GUITHREADINFO gti;
    std::memset(&gti, 0, sizeof gti);
    gti.cbSize = sizeof gti;
    if (::GetGUIThreadInfo(::GetWindowThreadProcessId(hDlg, nullptr), &gti))
        return gti.hwndFocus;
    return nullptr;
}

void CmdFocus(const Args& a)
{
    NeedArgs(a, 0, 1);
    HWND hDlg = RequireDialog(Arg(a, 1));
    HWND hFocus = FocusOf(hDlg);
    // The edit field inside a combo box counts as the combo box.
    if (hFocus && ::GetParent(hFocus) != hDlg && ::GetParent(::GetParent(hFocus)) == hDlg)
        hFocus = ::GetParent(hFocus);
    std::printf("focus id=%d\n", hFocus ? ::GetDlgCtrlID(hFocus) : 0);
}

void CmdKey(const Args& a)
{
    NeedArgs(a, 1, 2);
    const std::string name = Lower(a[1]);
    WPARAM vk = name == "escape"  ? VK_ESCAPE
                : name == "enter" ? VK_RETURN
                : name == "tab"   ? VK_TAB
                : name == "space" ? VK_SPACE
                                  : 0;
    if (!vk)
        Fail("unknown key " + a[1]);
    HWND hDlg = RequireDialog(Arg(a, 2));
    // The dialog's message loop turns keys into commands for the control that has the focus.
    HWND hTarget = FocusOf(hDlg);
    if (!hTarget)
        hTarget = hDlg;
    const UINT scan = ::MapVirtualKeyA(UINT(vk), MAPVK_VK_TO_VSC);
    ::PostMessageA(hTarget, WM_KEYDOWN, vk, LPARAM(1 | (scan << 16)));
    ::PostMessageA(hTarget, WM_KEYUP, vk, LPARAM(1 | (scan << 16) | (1u << 30) | (1u << 31)));
}

std::string BoxText(HWND hBox)
{
    HWND hText = ::GetDlgItem(hBox, 0xFFFF);
    return hText ? TextOf(hText) : std::string();
}

void CmdMsgBoxes(const Args& a)
{
    NeedArgs(a, 0, 0);
    for (const TopWindow& w : OwnedDialogs(RequirePid()))
        std::printf("msgbox caption=%s text=%s\n", Quote(w.caption).c_str(), Quote(BoxText(w.hWnd)).c_str());
}

HWND FindOwned(DWORD pid, const std::string& caption)
{
    for (const TopWindow& w : OwnedDialogs(pid))
        if (caption.empty() || w.caption == caption)
            return w.hWnd;
    return nullptr;
}

void CmdMsgBoxButton(const Args& a, int nButton)
{
    NeedArgs(a, 0, 1);
    const DWORD pid = RequirePid();
    HWND hBox = nullptr;
    if (!WaitFor([&] { return (hBox = FindOwned(pid, Arg(a, 1))) != nullptr; }))
        Fail("no message box " + Quote(Arg(a, 1)));
    if (!::PostMessageA(hBox, WM_COMMAND, MAKEWPARAM(nButton, BN_CLICKED),
                        reinterpret_cast<LPARAM>(::GetDlgItem(hBox, nButton))))
        Fail("cannot post to the message box");
}

void CmdQueryEndSession(const Args& a)
{
    NeedArgs(a, 0, 1);
    HWND hDlg = RequireDialog(Arg(a, 1));
    DWORD_PTR answer = 0;
    if (!::SendMessageTimeoutA(hDlg, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer))
        Fail("no answer to WM_QUERYENDSESSION");
    std::printf("answer=%d\n", answer ? 1 : 0);
}

void CmdWait(const Args& a)
{
    if (a.size() < 2)
        Fail("wait needs a condition");
    const std::string what = a[1];
    bool ok = false;
    if (what == "exit") {
        NeedArgs(a, 1, 1);
        DWORD pid = CurrentPid();
        ok = WaitFor([&] { return ProcessEnded(pid); });
    } else if (what == "window" || what == "no-window") {
        NeedArgs(a, 1, 2);
        const bool want = what == "window";
        ok = WaitFor([&] {
            DWORD pid = CurrentPid();
            return (pid && FindDialog(pid, Arg(a, 2)) != nullptr) == want;
        });
    } else if (what == "msgbox" || what == "no-msgbox") {
        NeedArgs(a, 1, what == "msgbox" ? 2 : 1);
        const bool want = what == "msgbox";
        ok = WaitFor([&] {
            DWORD pid = CurrentPid();
            return (pid && FindOwned(pid, Arg(a, 2)) != nullptr) == want;
        });
    } else if (what == "text") {
        NeedArgs(a, 3, 4);
        HWND hCtl = RequireControl(RequireDialog(Arg(a, 4)), ParseNumber(a[2]));
        ok = WaitFor([&] { return TextOf(hCtl) == a[3]; });
    } else if (what == "visible" || what == "enabled") {
        NeedArgs(a, 3, 4);
        HWND hCtl = RequireControl(RequireDialog(Arg(a, 4)), ParseNumber(a[2]));
        const bool want = ParseNumber(a[3]) != 0;
        ok = WaitFor(
            [&] { return (what == "visible" ? ::IsWindowVisible(hCtl) != 0 : ::IsWindowEnabled(hCtl) != 0) == want; });
    } else {
        Fail("unknown condition " + what);
    }
    if (!ok)
        Fail("timeout waiting for " + what);
    std::printf("ok %s\n", what.c_str());
}

void Run(const Args& a)
{
    const std::string& c = a[0];
    if (c == "start")
        CmdStart(a);
    else if (c == "windows")
        CmdWindows(a);
    else if (c == "dump")
        CmdDump(a);
    else if (c == "text")
        CmdText(a);
    else if (c == "state")
        CmdState(a);
    else if (c == "style")
        CmdStyle(a);
    else if (c == "combo")
        CmdCombo(a);
    else if (c == "radio")
        CmdRadio(a);
    else if (c == "select")
        CmdSelect(a);
    else if (c == "geometry")
        CmdGeometry(a);
    else if (c == "click")
        CmdClick(a);
    else if (c == "press")
        CmdPress(a);
    else if (c == "progress")
        CmdProgress(a);
    else if (c == "syscommand")
        CmdSysCommand(a);
    else if (c == "focus")
        CmdFocus(a);
    else if (c == "key")
        CmdKey(a);
    else if (c == "msgboxes")
        CmdMsgBoxes(a);
    else if (c == "msgbox-ok")
        CmdMsgBoxButton(a, IDOK);
    else if (c == "msgbox-yes")
        CmdMsgBoxButton(a, IDYES);
    else if (c == "msgbox-no")
        CmdMsgBoxButton(a, IDNO);
    else if (c == "query-end-session")
        CmdQueryEndSession(a);
    else if (c == "wait")
        CmdWait(a);
    else if (c == "sleep") {
        NeedArgs(a, 1, 1);
        ::Sleep(DWORD(ParseNumber(a[1])));
    } else {
        Fail("unknown command " + c);
    }
}

// Splits a script line into words. Double quotes group words; inside them \", \\ and \xNN
// stand for one byte each, as the output prints texts.
Args SplitLine(const std::string& line)
{
    Args out;
    std::string cur;
    bool inWord = false, quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char ch = line[i];
        if (quoted) {
            if (ch == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                cur += line[++i];
            } else if (ch == '\\' && i + 3 < line.size() && line[i + 1] == 'x' && std::isxdigit(line[i + 2]) &&
                       std::isxdigit(line[i + 3])) {
                cur += char(std::strtol(line.substr(i + 2, 2).c_str(), nullptr, 16));
                i += 3;
            } else if (ch == '"') {
                quoted = false;
            } else {
                cur += ch;
            }
        } else if (ch == '"') {
            quoted = inWord = true;
        } else if (ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n') {
            if (inWord)
                out.push_back(cur);
            cur.clear();
            inWord = false;
        } else {
            cur += ch;
            inWord = true;
        }
    }
    if (inWord)
        out.push_back(cur);
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    // Plain LF line ends, so that scripts can compare the output as it is.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);

    int i = 1;
    for (; i < argc; ++i) {
        std::string opt = argv[i];
        if ((opt == "--pid" || opt == "--exe" || opt == "--timeout") && i + 1 < argc) {
            std::string v = argv[++i];
            try {
                if (opt == "--pid")
                    g_options.pid = DWORD(ParseNumber(v));
                else if (opt == "--timeout")
                    g_options.timeoutMs = DWORD(ParseNumber(v));
                else
                    g_options.exe = v;
            } catch (const Failure&) {
                std::fputs(kUsage, stderr);
                return 2;
            }
        } else if (opt == "--help" || opt == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else {
            break;
        }
    }
    if (i >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    std::vector<Args> script;
    if (std::string(argv[i]) == "-" && i + 1 == argc) {
        char buf[4096];
        while (std::fgets(buf, sizeof buf, stdin)) {
            Args words = SplitLine(buf);
            if (!words.empty() && words[0][0] != '#')
                script.push_back(words);
        }
    } else {
        // Arguments take the same escapes as script words (Wine hands a program its arguments in
        // the ANSI code page, so bytes such as 0xA2 are best written as \xA2); a program's path
        // and arguments for start are taken as they are.
        Args words;
        const bool raw = std::string(argv[i]) == "start";
        int nWide = 0;
        LPWSTR* wide = raw ? ::CommandLineToArgvW(::GetCommandLineW(), &nWide) : nullptr;
        for (int k = i + 1; wide && nWide == argc && k < argc; ++k)
            g_startWide.push_back(wide[k]);
        ::LocalFree(wide);
        for (int k = i; k < argc; ++k) {
            if (raw) {
                words.push_back(argv[k]);
                continue;
            }
            std::string quoted = "\"";
            for (const char* p = argv[k]; *p; ++p)
                quoted += *p == '"' ? std::string("\\\"") : std::string(1, *p);
            Args one = SplitLine(quoted + "\"");
            words.push_back(one.empty() ? std::string() : one[0]);
        }
        script.push_back(words);
    }

    for (const Args& a : script) {
        try {
            Run(a);
        } catch (const Failure& f) {
            std::fflush(stdout);
            std::fprintf(stderr, "uidriver: %s: %s\n", a[0].c_str(), f.what.c_str());
            return 1;
        }
        std::fflush(stdout);
    }
    return 0;
}
