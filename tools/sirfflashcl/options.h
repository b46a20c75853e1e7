// SiRFflashcl's command line:
//   SiRFflashcl FILE -l LINE [-b SPEED] [-r [-f FIRST] [-t LAST]] [-e] [-wp H] [-rp H] [-wps H]
//   SiRFflashcl --identify -l LINE [-b SPEED]
#pragma once

#include <cstdint>
#include <string>

extern const char kFlashToolUsage[];

struct FlashToolOptions {
    std::string file;
    std::string lineText;  // as given after -l
    int line = 0;          // the port number; 0 when lineText names no port
    uint32_t baud = 115200;
    bool read = false;  // -r: read the flash into file instead of programming it
    uint32_t from = 0;  // -f, first address read
    bool haveTo = false;
    uint32_t to = 0;        // -t, last address read (included)
    bool eraseAll = false;  // -e
    bool identify = false;  // --identify: find the receiver, say what it is, leave it in normal mode
    bool haveWritePipe = false, haveReadPipe = false, haveSemaphore = false;
    long long writePipe = 0, readPipe = 0, semaphore = 0;  // handle values (Linux: descriptors)
};

// Parses the arguments after the program name. False with a reason on a bad command line; the
// handle options read so far are still set, so that the caller can report through the pipe.
bool ParseFlashToolOptions(int argc, const char* const* argv, FlashToolOptions& opt, std::string& error);
