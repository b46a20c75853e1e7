// The emulator's command line: what it emulates and which faults of a line it plays.
#pragma once

#include "gpsdevsim/receiver.h"

#include <string>

namespace gpsdevsim {

extern const char kUsage[];

struct Options {
    std::string flash;
    std::string chip = "GSP3";
    std::string link;
    std::string factory;
    gpsdevsim::PowerUp powerUp;
    bool pace = false;
    bool silent = false;
    bool loopback = false;
    long long silentAfter = -1;
    long long dropAfter = -1;
    long long corruptEvery = 0;
};

// Reads the arguments after the program name into o; false with a reason in error.
bool ParseOptions(int argc, char** argv, Options& o, std::string& error);

}  // namespace gpsdevsim
