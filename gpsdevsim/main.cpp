// gpsdevsim: emulates one SiRF receiver on a pseudo-terminal, for SiRFflashcl, the updater and gpsd.
//
//   gpsdevsim --flash FILE [--chip NAME] [--link PATH] [--factory VERSION] [--protocol nmea|binary]
//             [--speed N] [--boot] [--baud N] [--pace] [--silent] [--silent-after N]
//             [--drop-after N] [--corrupt-every N] [--loopback]
//
// Prints the pty's device path as the first line on stdout, then serves until SIGTERM or
// SIGINT, when it saves FILE, removes its link and exits 0. FILE is also rewritten after every
// completed erase or write.
#include "gpsdevsim/flash_file.h"
#include "gpsdevsim/options.h"
#include "gpsdevsim/pty.h"
#include "gpsdevsim/receiver.h"
#include "gpsdevsim/serve.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <sys/signalfd.h>
#include <vector>

using namespace gpsdevsim;

namespace {

// A small firmware ending with its version string, for a receiver that comes from the factory.
void PutFactoryFirmware(std::vector<uint8_t>& flash, const std::string& version)
{
    const std::string text = "SiRF factory firmware ";
    size_t at = 0;
    for (; at < 0x1000; ++at)
        flash[at] = uint8_t(text[at % text.size()]);
    flash[at++] = 0;  // the version is a text of its own, a build in front of its family token included
    std::copy(version.begin(), version.end(), flash.begin() + long(at));
    flash[at + version.size()] = 0;
}

// SIGTERM and SIGINT arrive through a descriptor, so the loop saves and exits cleanly.
int SignalDescriptor()
{
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    const int sigFd = signalfd(-1, &mask, SFD_CLOEXEC);
    std::signal(SIGPIPE, SIG_IGN);
    return sigFd;
}

// One line on stderr: what is emulated, where, and how it powered up.
void Announce(const Options& opt, const Pty& pty, bool created, const Receiver& receiver)
{
    static const char* const kModes[] = {"NMEA", "SiRF binary", "boot mode"};
    std::fprintf(stderr, "gpsdevsim: %s on %s, flash %s (%s), %s at %u bit/s, firmware %s\n", opt.chip.c_str(),
                 pty.path.c_str(), opt.flash.c_str(), created ? "new" : "loaded", kModes[int(receiver.CurrentMode())],
                 unsigned(receiver.Line().baud), receiver.Version().empty() ? "none" : receiver.Version().c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    std::string error;
    if (!ParseOptions(argc, argv, opt, error)) {
        std::fprintf(stderr, "gpsdevsim: %s\n%s", error.c_str(), kUsage);
        return 2;
    }

    std::vector<uint8_t> content;
    bool created = false;
    if (!LoadOrCreateFlash(opt.flash, content, created, error)) {
        std::fprintf(stderr, "gpsdevsim: %s\n", error.c_str());
        return 1;
    }

    if (created && !opt.factory.empty()) {
        PutFactoryFirmware(content, opt.factory);
        if (!SaveFlash(opt.flash, content, error)) {
            std::fprintf(stderr, "gpsdevsim: %s\n", error.c_str());
            return 1;
        }
    }

    const int sigFd = SignalDescriptor();

    Pty pty;
    if (!OpenPty(pty, error) || (!opt.link.empty() && !MakeLink(opt.link, pty.path, error))) {
        std::fprintf(stderr, "gpsdevsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", pty.path.c_str());
    std::fflush(stdout);
    gpsdevsim::Receiver receiver(opt.chip, content, kEmulatedSectorSize, opt.powerUp);
    Announce(opt, pty, created, receiver);
    flashproto::FlashDevice& device = receiver.Loader();
    int status = 0;
    device.SetChangeHandler([&]() {
        std::string why;
        if (!SaveFlash(opt.flash, device.Flash(), why)) {
            std::fprintf(stderr, "gpsdevsim: %s\n", why.c_str());
            status = 1;
        }
    });
    Serve(opt, pty, sigFd, receiver);

    std::string why;
    if (!SaveFlash(opt.flash, device.Flash(), why)) {
        std::fprintf(stderr, "gpsdevsim: %s\n", why.c_str());
        status = 1;
    }
    if (!opt.link.empty())
        RemoveLinkIfOurs(opt.link, pty.path);
    return status;
}
