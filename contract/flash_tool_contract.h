// What the updater and the flash utility must agree on, written once for both programs: the
// records of the pipe and their codes, the chip families, the port number, and the command
// line (its description, the updater's formatter and the utility's parser, side by side).
// Neither program owns this file; each includes it, and nothing in it depends on either.
#pragma once

#include <cstdint>
#include <string>

// ---- Records ----------------------------------------------------------------------------------
// The record that the flash utility writes into its pipe (FlashToolMessage). All integers are
// 32-bit signed little-endian, without gaps:
//   length (bytes after this field: 8 + payload), line, code, payload (length - 8 bytes).
// A text payload counts its terminating NUL.

enum FlashToolRecordCode : int32_t {
    FTM_PROGRESS = 1004,   // payload "%d %d %s %s %s": percent first
    FTM_DONE = 1006,       // the run succeeded; no payload
    FTM_CHIP_NAME = 1009,  // payload: the chip family name ("GSP3", "GSP2e/LPx", ...)
};
// Codes below 1000 end a run with an error; the payload is the utility's text.
constexpr int32_t FTM_ERR_NO_PORT = 2;     // the serial port does not exist
constexpr int32_t FTM_ERR_PORT_BUSY = 14;  // the port exists but cannot be opened
// Our utility's codes for a port where no receiver was found (docs/sirfflashcl.md).
constexpr int32_t FTM_ERR_NO_ANSWER = 20;   // nothing answered at any speed
constexpr int32_t FTM_ERR_LINE_NOISY = 22;  // only unreadable data came back
constexpr int32_t FTM_ERR_NOT_SIRF = 25;    // a device that is no SiRF receiver
// Never written by the utility: the updater's own code for a run whose utility ended (exited,
// crashed, was ended) without a final record.
constexpr int32_t FTM_ERR_NO_FINAL_RECORD = -1;

constexpr int FTM_HEADER_SIZE = 12;
constexpr int FTM_PAYLOAD_BUFFER = 1024;  // the reader's payload buffer

// One whole record; pszText null gives a record without payload.
std::string EncodeFlashToolMessage(int32_t nLine, int32_t nCode, const char* pszText);

// ---- Chip families ----------------------------------------------------------------------------
// The updater's chip type (g_chipType) holds one of these once a probe has named the chip.
typedef signed char ChipType;
constexpr ChipType CHIP_OTHER = 1;
constexpr ChipType CHIP_GSP2E = 2;  // "GSP2e/LPx"
constexpr ChipType CHIP_GSP3 = 3;   // "GSP3"

// A family as the receiver names it, the chip type the updater gives it, and the ending of the
// payload's firmware entry for it. The utility's built-in chip list names the same families.
struct ChipFamily {
    const char* name;
    ChipType chipType;
    const char* firmwareSuffix;
};
inline constexpr ChipFamily CHIP_FAMILIES[] = {
    {"GSP3", CHIP_GSP3, "s3"},
    {"GSP2e/LPx", CHIP_GSP2E, "s2x"},
    {"GSP2t", CHIP_OTHER, "s2"},  // as every name not listed
};
constexpr int CHIP_FAMILY_COUNT = int(sizeof CHIP_FAMILIES / sizeof CHIP_FAMILIES[0]);

// The chip type of a chip-name record: the first family whose name begins the text
// ("GSP3LT" is a GSP3), CHIP_OTHER for any other text.
ChipType ChipTypeFromName(const char* pszName);
// The firmware entry's ending for a chip type: the first family of that type, else "s2".
const char* FirmwareSuffixOfChip(int nChipType);

// ---- Port number ------------------------------------------------------------------------------
// The one rule for a port number, on both sides of the command line: a decimal number from 1 to
// 9999 without a leading zero or sign ("3", "12"), and nothing else. Returns it, or 0 for any
// other text: no port the utility can be given.
int PortNumberOfText(const std::string& text);

// ---- Command line -----------------------------------------------------------------------------
//   SiRFflashcl FILE -l LINE [-b SPEED] [-r [-f FIRST] [-t LAST]] [-e] [-wp H] [-rp H] [-wps H]
//   SiRFflashcl --identify -l LINE [-b SPEED]
struct FlashToolOptions {
    std::string utility;  // the program, as the command line names it; not set by the parser
    std::string file;
    std::string lineText;  // as given after -l
    int line = 0;          // the port number; 0 when lineText names no port
    uint32_t baud = 115200;
    bool read = false;  // -r: read the flash into file instead of programming it
    uint32_t from = 0;  // -f, first address read
    bool haveTo = false;
    uint32_t to = 0;                  // -t, last address read (included)
    bool eraseUserPositions = false;  // -e: erase the whole chip, user positions included
    bool identify = false;            // --identify: find the receiver, say what it is, leave it in normal mode
    bool haveWritePipe = false, haveReadPipe = false, haveSemaphore = false;
    long long writePipe = 0, readPipe = 0, semaphore = 0;  // handle values (Linux: descriptors)
};

// The command line of opt without the handle options, as the updater hands it to the utility:
// the program, the file, -l, -b, then -r with -f (and -t when set), or -e. A program or file
// with a blank is quoted, so that it stays one argument.
std::string FormatFlashToolCommand(const FlashToolOptions& opt);
// " -wp W -rp R -wps S", the values in decimal: what the worker appends for its run.
std::string FormatHandleOptions(long long writePipe, long long readPipe, long long semaphore);

// Parses the arguments after the program name. False with a reason on a bad command line; the
// handle options read so far are still set, so that the caller can report through the pipe.
// A -l text that names no port is no error: line stays 0, for a port that does not exist.
bool ParseFlashToolOptions(int argc, const char* const* argv, FlashToolOptions& opt, std::string& error);
