// The pseudo-terminal the emulated receiver answers on, its link, and the host's settings on it.
#pragma once

#include "gpsdevsim/receiver.h"

#include <string>
#include <termios.h>

namespace gpsdevsim {

// The termios constant of a standard speed; B0 for any other.
speed_t SpeedConstant(uint32_t baud);

// The host's settings as it left them on its end of the pty.
LineSettings HostSettings(int slave);

// The pseudo-terminal the receiver answers on.
struct Pty {
    int master = -1;
    int slave = -1;  // held open so the line stays up between two programs' sessions
    std::string path;
};

bool OpenPty(Pty& pty, std::string& error);

// Makes path a symbolic link to target, replacing an earlier link but never a real file.
bool MakeLink(const std::string& path, const std::string& target, std::string& error);

// Removes the link at path if it still points to target.
void RemoveLinkIfOurs(const std::string& path, const std::string& target);

}  // namespace gpsdevsim
