// flashstub: a scripted stand-in for the flash utility, for tests only (never packed into a
// release). It takes the utility's options, reports what it received, and writes the records
// of a scenario file into the pipe given with -wp.
//
// Files beside the program (tests copy it into a directory of its own, as SiRFflashcl.exe):
//   scenario.txt  read: one step per line (below); FLASHSTUB_SCENARIO names another file, and
//                 FLASHSTUB_FLASH_SCENARIO the file for a run without -r (the flashing run)
//   received.txt  written before the first record: key=value lines (cmdline, file, line, baud,
//                 read, from, to, erase, wp, rp, wps, flags, show, title, console, pid,
//                 wp_valid, rp_valid, wps_valid)
//
// Scenario steps ('#' starts a comment line):
//   record CODE [TEXT]       a record; TEXT (the rest of the line) is sent with its NUL
//   long CODE N TEXT         a record whose payload is TEXT padded with 'x' to N bytes, NUL last
//   raw LENGTH CODE          a header with this length field and no payload bytes
//   bytes HEX...             raw bytes, such as a header cut short
//   split on|off             write each later record one byte at a time
//   sleep MS                 wait
//   exit CODE                end now, without a final record
//   crash                    end abruptly, as a crashed program does
//   hang                     wait until ended from outside
// The end of the scenario exits with code 0.
#include "afx/little_endian.h"
#include "contract/flash_tool_contract.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Options {
    std::string file;
    long line = -1;
    long baud = -1;
    bool read = false;
    std::string from, to;
    bool erase = false;
    long long wp = -1, rp = -1, wps = -1;
};

const char kUsage[] = "usage: SiRFflashcl FILE -l LINE -b BAUD [-r -f FROM -t TO] [-e] -wp H -rp H -wps H\n";

bool ParseOptions(int argc, char** argv, Options& o)
{
    if (argc < 2 || argv[1][0] == '-')
        return false;
    o.file = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-r") {
            o.read = true;
        } else if (a == "-e") {
            o.erase = true;
        } else if (a == "-f") {
            if (!value(o.from))
                return false;
        } else if (a == "-t") {
            if (!value(o.to))
                return false;
        } else if (a == "-l" || a == "-b" || a == "-wp" || a == "-rp" || a == "-wps") {
            if (!value(v))
                return false;
            char* end = nullptr;
            long long n = std::strtoll(v.c_str(), &end, 10);
            if (*end != '\0')
                return false;
            if (a == "-l")
                o.line = long(n);
            else if (a == "-b")
                o.baud = long(n);
            else if (a == "-wp")
                o.wp = n;
            else if (a == "-rp")
                o.rp = n;
            else
                o.wps = n;
        } else {
            return false;
        }
    }
    return o.line >= 0 && o.baud > 0 && o.wp >= 0;
}

std::string OwnDirectory()
{
    char path[MAX_PATH];
    DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    size_t cut = s.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : s.substr(0, cut + 1);
}

HANDLE AsHandle(long long v)
{
    return reinterpret_cast<HANDLE>(intptr_t(v));
}

bool IsValidHandle(long long v)
{
    DWORD flags;
    return v > 0 && ::GetHandleInformation(AsHandle(v), &flags);
}

void WriteReceived(const std::string& dir, const Options& o)
{
    STARTUPINFOA si;
    ::GetStartupInfoA(&si);
    std::ofstream out(dir + "received.txt", std::ios::binary | std::ios::trunc);
    out << "cmdline=" << ::GetCommandLineA() << "\n"
        << "file=" << o.file << "\n"
        << "line=" << o.line << "\n"
        << "baud=" << o.baud << "\n"
        << "read=" << o.read << "\n"
        << "from=" << o.from << "\n"
        << "to=" << o.to << "\n"
        << "erase=" << o.erase << "\n"
        << "wp=" << o.wp << "\n"
        << "rp=" << o.rp << "\n"
        << "wps=" << o.wps << "\n"
        << "flags=" << si.dwFlags << "\n"
        << "show=" << si.wShowWindow << "\n"
        << "title=" << (si.lpTitle ? si.lpTitle : "") << "\n"
        << "console=" << (::GetConsoleWindow() != nullptr) << "\n"
        << "pid=" << ::GetCurrentProcessId() << "\n"
        << "wp_valid=" << IsValidHandle(o.wp) << "\n"
        << "rp_valid=" << IsValidHandle(o.rp) << "\n"
        << "wps_valid=" << IsValidHandle(o.wps) << "\n";
}

class RecordWriter {
public:
    explicit RecordWriter(HANDLE h) : m_h(h) {}
    void Split(bool on) { m_bSplit = on; }
    void Write(const std::string& bytes)
    {
        if (!m_bSplit) {
            Put(bytes.data(), bytes.size());
            return;
        }
        for (char c : bytes) {
            Put(&c, 1);
            ::Sleep(1);
        }
    }

private:
    void Put(const char* p, size_t n)
    {
        DWORD written = 0;
        ::WriteFile(m_h, p, DWORD(n), &written, nullptr);
    }
    HANDLE m_h;
    bool m_bSplit = false;
};

std::string Header(int32_t nLength, int32_t nCode)
{
    std::string s;
    for (int32_t v : {nLength, int32_t(0), nCode})
        AppendLE32(s, uint32_t(v));
    return s;
}

// The rest of the line after the first blank that follows the current position.
std::string RestOfLine(std::istringstream& in)
{
    std::string rest;
    std::getline(in, rest);
    if (!rest.empty() && rest[0] == ' ')
        rest.erase(0, 1);
    if (!rest.empty() && rest.back() == '\r')
        rest.pop_back();
    return rest;
}

int RunScenario(const std::string& path, RecordWriter& out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return 3;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream step(line);
        std::string verb;
        if (!(step >> verb) || verb[0] == '#')
            continue;
        if (verb == "record") {
            int32_t code = 0;
            step >> code;
            std::string text = RestOfLine(step);
            out.Write(EncodeFlashToolMessage(0, code, text.empty() ? nullptr : text.c_str()));
        } else if (verb == "long") {
            int32_t code = 0;
            long n = 0;
            step >> code >> n;
            std::string text = RestOfLine(step);
            if (long(text.size()) < n - 1)
                text.append(size_t(n - 1) - text.size(), 'x');
            text.push_back('\0');
            out.Write(Header(int32_t(8 + text.size()), code) + text);
        } else if (verb == "raw") {
            int32_t length = 0, code = 0;
            step >> length >> code;
            out.Write(Header(length, code));
        } else if (verb == "bytes") {
            std::string hex, bytes;
            while (step >> hex)
                bytes.push_back(char(std::strtoul(hex.c_str(), nullptr, 16)));
            out.Write(bytes);
        } else if (verb == "split") {
            std::string on;
            step >> on;
            out.Split(on == "on");
        } else if (verb == "sleep") {
            DWORD ms = 0;
            step >> ms;
            ::Sleep(ms);
        } else if (verb == "exit") {
            int code = 0;
            step >> code;
            return code;
        } else if (verb == "crash") {
            ::TerminateProcess(::GetCurrentProcess(), 0xC0000005u);
        } else if (verb == "hang") {
            ::Sleep(INFINITE);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseOptions(argc, argv, o)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string dir = OwnDirectory();
    WriteReceived(dir, o);
    // The read end is the updater's; ours would only keep the pipe open.
    if (IsValidHandle(o.rp))
        ::CloseHandle(AsHandle(o.rp));

    const char* env = std::getenv(o.read ? "FLASHSTUB_SCENARIO" : "FLASHSTUB_FLASH_SCENARIO");
    if (!env || !*env)
        env = std::getenv("FLASHSTUB_SCENARIO");
    RecordWriter out(AsHandle(o.wp));
    return RunScenario(env && *env ? std::string(env) : dir + "scenario.txt", out);
}
