#include "tools/sirfflashcl/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

const char kFlashToolUsage[] =
    "usage: SiRFflashcl FILE -l LINE [-b SPEED] [-e] [-wp H -rp H -wps H]\n"
    "       SiRFflashcl FILE -l LINE [-b SPEED] -r [-f FIRST] [-t LAST] [-wp H -rp H -wps H]\n"
    "       SiRFflashcl --identify -l LINE [-b SPEED]\n"
    "\n"
    "  FILE   the S-record firmware to program, or with -r the file that receives what is read\n"
    "  -l     the communication line: 1 for COM1 (on Linux the device named by the environment\n"
    "         variable SIRFFLASH_COM<LINE>, else /dev/ttyS<LINE-1>)\n"
    "  -b     the speed of our loader in bit/s, 8N1 (default 115200); 38400 is tried too. A\n"
    "         receiver in its normal mode is looked for at 4800 to 115200 bit/s\n"
    "  -r     read the flash instead of programming it, from FIRST to LAST (included; hex with\n"
    "         0x, or decimal; default the whole flash)\n"
    "  -e     erase the whole chip before programming, instead of only the sectors written\n"
    "  -wp    the pipe handle to write progress records to (Linux: a file descriptor); without\n"
    "         it the progress is printed\n"
    "  -rp    the updater's end of that pipe, closed at start\n"
    "  -wps   the updater's semaphore, not used\n"
    "  --identify  find the receiver and print its port, speed, protocol, software version and\n"
    "         chip family; it is left in its normal mode\n";

namespace {

bool ParseUnsigned(const char* text, unsigned long long max, unsigned long long& value)
{
    if (!*text || *text == '-' || *text == '+' || *text == ' ')
        return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoull(text, &end, 0);
    return errno == 0 && *end == '\0' && value <= max;
}

// Port numbers are decimal ("COM08" is port 8); 0 when the text is no port number.
int ParseDecimalLine(const char* text)
{
    long long n = 0;
    if (!*text)
        return 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return 0;
        n = n * 10 + (*p - '0');
        if (n > 0x7FFFFFFF)
            return 0;
    }
    return int(n);
}

bool ParseHandle(const char* text, long long& value)
{
    if (!*text)
        return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(text, &end, 10);
    return errno == 0 && *end == '\0';
}

// -wp, -rp or -wps with its value.
bool SetHandle(const std::string& arg, const char* v, FlashToolOptions& opt, std::string& error)
{
    long long h = 0;
    if (!ParseHandle(v, h)) {
        error = "bad handle value " + std::string(v) + " after " + arg;
        return false;
    }
    if (arg == "-wp") {
        opt.haveWritePipe = true;
        opt.writePipe = h;
    } else if (arg == "-rp") {
        opt.haveReadPipe = true;
        opt.readPipe = h;
    } else {
        opt.haveSemaphore = true;
        opt.semaphore = h;
    }
    return true;
}

bool IsStandardSpeed(unsigned long long baud)
{
    static const unsigned kSpeeds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
    for (unsigned s : kSpeeds) {
        if (s == baud)
            return true;
    }
    return false;
}

// The options that go together, once all are read.
bool CheckCombination(const FlashToolOptions& opt, bool haveLine, bool haveFrom, std::string& error)
{
    if (opt.identify && (!opt.file.empty() || opt.read || opt.eraseAll)) {
        error = "--identify takes no file, -r or -e";
        return false;
    }
    if (opt.file.empty() && !opt.identify) {
        error = "no file given";
        return false;
    }
    if (!haveLine) {
        error = "no communication line given (-l)";
        return false;
    }
    if ((haveFrom || opt.haveTo) && !opt.read) {
        error = "-f and -t go with -r";
        return false;
    }
    if (opt.read && opt.eraseAll) {
        error = "-e cannot be combined with -r";
        return false;
    }
    if (opt.haveTo && opt.to < opt.from) {
        error = "the last address lies before the first";
        return false;
    }
    return true;
}

// The first (-f) or last (-t) address of a dump.
bool SetAddress(const std::string& arg, const char* v, FlashToolOptions& opt, bool& haveFrom, std::string& error)
{
    unsigned long long n = 0;
    if (!ParseUnsigned(v, 0xFFFFFFFF, n)) {
        error = "bad address " + std::string(v) + " after " + arg;
        return false;
    }
    if (arg == "-f") {
        haveFrom = true;
        opt.from = uint32_t(n);
    } else {
        opt.haveTo = true;
        opt.to = uint32_t(n);
    }
    return true;
}

}  // namespace

bool ParseFlashToolOptions(int argc, const char* const* argv, FlashToolOptions& opt, std::string& error)
{
    opt = FlashToolOptions();
    bool haveLine = false, haveFrom = false;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc) {
                error = "option " + arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        unsigned long long n = 0;
        if (arg == "-l") {
            if (!value(v))
                return false;
            haveLine = true;
            opt.lineText = v;
            // A text that names no port is not a usage error: the port simply does not exist.
            opt.line = ParseDecimalLine(v);
        } else if (arg == "-b") {
            if (!value(v))
                return false;
            if (!ParseUnsigned(v, 0xFFFFFFFF, n) || !IsStandardSpeed(n)) {
                error = std::string("unsupported speed ") + v;
                return false;
            }
            opt.baud = uint32_t(n);
        } else if (arg == "-r") {
            opt.read = true;
        } else if (arg == "-e") {
            opt.eraseAll = true;
        } else if (arg == "--identify") {
            opt.identify = true;
        } else if (arg == "-f" || arg == "-t") {
            if (!value(v) || !SetAddress(arg, v, opt, haveFrom, error))
                return false;
        } else if (arg == "-wp" || arg == "-rp" || arg == "-wps") {
            if (!value(v) || !SetHandle(arg, v, opt, error))
                return false;
        } else if (!arg.empty() && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else if (opt.file.empty() && !arg.empty()) {
            opt.file = arg;
        } else {
            error = "unexpected argument " + arg;
            return false;
        }
    }
    return CheckCombination(opt, haveLine, haveFrom, error);
}
