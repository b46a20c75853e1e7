#include "contract/flash_tool_contract.h"

#include "afx/little_endian.h"

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

std::string EncodeFlashToolMessage(int32_t nLine, int32_t nCode, const char* pszText)
{
    const size_t nPayload = pszText ? std::strlen(pszText) + 1 : 0;
    std::string out;
    out.reserve(FTM_HEADER_SIZE + nPayload);
    AppendLE32(out, uint32_t(8 + nPayload));
    AppendLE32(out, uint32_t(nLine));
    AppendLE32(out, uint32_t(nCode));
    if (pszText)
        out.append(pszText, nPayload);
    return out;
}

ChipType ChipTypeFromName(const char* pszName)
{
    for (const ChipFamily& family : CHIP_FAMILIES) {
        if (std::strncmp(pszName, family.name, std::strlen(family.name)) == 0)
            return family.chipType;
    }
    return CHIP_OTHER;
}

const char* FirmwareSuffixOfChip(int nChipType)
{
    for (const ChipFamily& family : CHIP_FAMILIES) {
        if (family.chipType == nChipType)
            return family.firmwareSuffix;
    }
    return "s2";
}

int PortNumberOfText(const std::string& text)
{
    // Only the plain form: a driver may name a port anything, and a leading zero or a sign
    // would let two texts name one port.
    if (text.empty() || text.size() > 4 || text[0] == '0')
        return 0;
    int nNumber = 0;
    for (const char ch : text) {
        if (ch < '0' || ch > '9')
            return 0;
        nNumber = nNumber * 10 + (ch - '0');
    }
    return nNumber;
}

namespace {

// One argument of the command line: quoted when a blank would split it.
std::string Argument(const std::string& text)
{
    return text.find(' ') == std::string::npos ? text : "\"" + text + "\"";
}

std::string Hex(uint32_t value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", unsigned(value));
    return buf;
}

}  // namespace

std::string FormatFlashToolCommand(const FlashToolOptions& opt)
{
    std::string out = Argument(opt.utility);
    if (!opt.file.empty())
        out += " " + Argument(opt.file);
    if (opt.identify)
        out += " --identify";
    out += " -l " + std::to_string(opt.line) + " -b " + std::to_string(opt.baud);
    if (opt.read)
        out += " -r -f " + Hex(opt.from) + (opt.haveTo ? " -t " + Hex(opt.to) : std::string());
    if (opt.eraseUserPositions)
        out += " -e";
    return out;
}

std::string FormatHandleOptions(long long writePipe, long long readPipe, long long semaphore)
{
    return " -wp " + std::to_string(writePipe) + " -rp " + std::to_string(readPipe) + " -wps " +
           std::to_string(semaphore);
}

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
    if (opt.identify && (!opt.file.empty() || opt.read || opt.eraseUserPositions)) {
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
    if (opt.read && opt.eraseUserPositions) {
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
            opt.line = PortNumberOfText(v);
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
            opt.eraseUserPositions = true;
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
