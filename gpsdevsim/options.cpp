#include "gpsdevsim/options.h"

#include "gpsdevsim/pty.h"
#include "gpsdevsim/receiver.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace gpsdevsim {
namespace {
// Whether the receiver, finding this version in its flash, names it as it is (trailing blanks
// apart, which it drops).
bool NamedWhole(const std::string& version)
{
    const std::string nulled = std::string(1, '\0') + version + std::string(1, '\0');
    const std::vector<uint8_t> text(nulled.begin(), nulled.end());
    std::string named = version;
    while (!named.empty() && named.back() == ' ')
        named.pop_back();
    return Receiver::FirmwareVersion(text, 0) == named;
}
}  // namespace

const char kUsage[] =
    "usage: gpsdevsim --flash FILE [--chip NAME] [--link PATH] [--factory VERSION]\n"
    "                 [--protocol nmea|binary] [--speed N] [--boot] [--baud N] [--pace] [--silent]\n"
    "                 [--silent-after N] [--drop-after N] [--corrupt-every N] [--loopback]\n"
    "\n"
    "  --flash FILE       the flash content (1 MiB); created erased when missing or of another size\n"
    "  --chip NAME        the chip family its loader names (default GSP3)\n"
    "  --link PATH        make PATH a symbolic link to the pty (removed again at exit)\n"
    "  --factory VERSION  a FILE created now holds a small firmware with this version string\n"
    "  --protocol P       the power-up protocol, nmea (default) or binary\n"
    "  --speed N          the power-up speed in bit/s, 8N1 (default 4800)\n"
    "  --boot             power up in boot mode, whatever the flash holds\n"
    "  --baud N           the loader's speed in boot mode, 8N1 (default 38400)\n"
    "  --pace             receive and send no faster than the current speed\n"
    "  --silent           never answer\n"
    "  --silent-after N   stop answering after N bytes received (the line stays open)\n"
    "  --drop-after N     close the line after N bytes received (the receiver unplugged)\n"
    "  --corrupt-every N  corrupt every Nth byte sent\n"
    "  --loopback         no receiver: every byte received goes straight back (a loop-back plug)\n"
    "\n"
    "Prints the pty's path on the first line; runs until SIGTERM or SIGINT.\n";

namespace {

bool ParseCount(const char* text, long long& out)
{
    char* end = nullptr;
    errno = 0;
    out = std::strtoll(text, &end, 10);
    return *text && errno == 0 && *end == '\0' && out > 0;
}

// The options that take a number.
bool SetCount(const std::string& a, const char* value, Options& o, std::string& error)
{
    long long n = 0;
    if (!ParseCount(value, n)) {
        error = a + " needs a positive number";
        return false;
    }
    if ((a == "--baud" || a == "--speed") && SpeedConstant(uint32_t(n)) == B0) {
        error = a + " needs a standard speed (1200 to 115200)";
        return false;
    }
    if (a == "--baud")
        o.powerUp.loaderBaud = uint32_t(n);
    else if (a == "--speed")
        o.powerUp.baud = uint32_t(n);
    else if (a == "--silent-after")
        o.silentAfter = n;
    else if (a == "--drop-after")
        o.dropAfter = n;
    else
        o.corruptEvery = n;
    return true;
}

// The options that take a value; false with a reason for a bad value or an unknown option.
bool SetValue(const std::string& a, const char* value, Options& o, std::string& error)
{
    if (a == "--flash") {
        o.flash = value;
    } else if (a == "--chip") {
        o.chip = value;
        if (o.chip.empty() || o.chip.size() > 64) {
            error = "the chip name must have 1 to 64 characters";
            return false;
        }
    } else if (a == "--link") {
        o.link = value;
    } else if (a == "--factory") {
        o.factory = value;
        if (o.factory.size() > 80 || !NamedWhole(o.factory)) {
            error =
                "the factory version must start with GSW or GSD (a build such as 2.3.2- may stand before) and "
                "have 8 to 80 characters";
            return false;
        }
    } else if (a == "--protocol") {
        const std::string p = value;
        if (p != "nmea" && p != "binary") {
            error = "--protocol is nmea or binary";
            return false;
        }
        if (o.powerUp.mode != Mode::Boot)
            o.powerUp.mode = p == "nmea" ? Mode::Nmea : Mode::Binary;
    } else {
        return SetCount(a, value, o, error);
    }
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& o, std::string& error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool takesValue = a == "--flash" || a == "--chip" || a == "--link" || a == "--baud" ||
                                a == "--silent-after" || a == "--drop-after" || a == "--corrupt-every" ||
                                a == "--factory" || a == "--protocol" || a == "--speed";
        if (a == "--pace") {
            o.pace = true;
        } else if (a == "--silent") {
            o.silent = true;
        } else if (a == "--loopback") {
            o.loopback = true;
        } else if (a == "--boot") {
            o.powerUp.mode = Mode::Boot;
        } else if (!takesValue) {
            error = "unknown argument " + a;
            return false;
        } else if (i + 1 >= argc) {
            error = a + " needs a value";
            return false;
        } else if (!SetValue(a, argv[++i], o, error)) {
            return false;
        }
    }
    if (o.flash.empty()) {
        error = "--flash FILE is required";
        return false;
    }
    return true;
}

}  // namespace gpsdevsim
