// The emulator's loop: the receiver answering on the pty until a signal arrives.
#pragma once

#include "gpsdevsim/options.h"
#include "gpsdevsim/pty.h"
#include "gpsdevsim/receiver.h"

namespace gpsdevsim {

// Answers on the pty until a signal arrives on sigFd; the faults of the options are played here.
void Serve(const Options& opt, Pty& pty, int sigFd, Receiver& receiver);

}  // namespace gpsdevsim
