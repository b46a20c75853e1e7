// SiRFflashcl: programs a receiver's flash from an S-record file, or reads it into a file,
// over a serial line. Started by the updater with the handles of its pipe, it reports through
// FlashToolMessage records; started by hand, it prints its progress.
#include "tools/sirfflashcl/flashcl_codes.h"
#include "tools/sirfflashcl/flashcl_session.h"
#include "contract/flash_tool_contract.h"
#include "tools/sirfflashcl/chip_list.h"
#include "tools/sirfflashcl/reporter.h"
#include "tools/sirfflashcl/serial.h"
#include "tools/sirfflashcl/tool_os.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>

namespace {
const char kFlashToolUsage[] =
    "usage: SiRFflashcl FILE -l LINE [-b SPEED] [-e] [-wp H -rp H -wps H]\n"
    "       SiRFflashcl FILE -l LINE [-b SPEED] -r [-f FIRST] [-t LAST] [-wp H -rp H -wps H]\n"
    "       SiRFflashcl --identify -l LINE [-b SPEED]\n"
    "\n"
    "  FILE   the S-record firmware to program, or with -r the file that receives what is read\n"
    "  -l     the communication line, 1 to 9999: 1 for COM1 (on Linux the device named by the\n"
    "         environment variable SIRFFLASH_COM<LINE>, else /dev/ttyS<LINE-1>)\n"
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

// Test and benchmark settings from the environment; the updater sets none of them.
void ApplyEnvironment(SessionSettings& settings)
{
    auto milliseconds = [](const char* name, uint32_t& value) {
        if (const char* v = std::getenv(name)) {
            const long ms = std::strtol(v, nullptr, 10);
            if (ms > 0)
                value = uint32_t(ms);
        }
    };
    milliseconds("SIRFFLASH_NOANSWER_MS", settings.noAnswerMs);
    milliseconds("SIRFFLASH_ERASE_MS", settings.chipEraseMs);
    if (const char* v = std::getenv("SIRFFLASH_COMPRESS"))
        settings.compress = !(v[0] == '0' && v[1] == '\0');
}
}  // namespace

int main(int argc, char** argv)
{
    PrepareProcess();
    FlashToolOptions opt;
    std::string error;
    const bool ok = ParseFlashToolOptions(argc - 1, argv + 1, opt, error);

    // The updater's end of the pipe is inherited too; holding it would keep the pipe open.
    if (opt.haveReadPipe)
        CloseInheritedHandle(opt.readPipe, opt.haveWritePipe ? opt.writePipe : -1);

    std::unique_ptr<Reporter> out;
    if (opt.haveWritePipe) {
        const long long handle = opt.writePipe;
        out = std::make_unique<RecordReporter>(opt.line, [handle](const std::string& record) {
            WriteToHandle(handle, record);  // an updater that went away must not stop a flash halfway
        });
    } else {
        out = std::make_unique<ConsoleReporter>();
    }

    if (!ok) {
        std::fprintf(stderr, "SiRFflashcl: %s\n%s", error.c_str(), kFlashToolUsage);
        out->Error(FLASHCL_ERR_USAGE, "Bad command line: " + error + ".");
        return FLASHCL_ERR_USAGE;
    }

    // The updater counts on exactly one final record: whatever goes wrong inside ends as one.
    try {
        SessionSettings settings;
        settings.chipListPath = ExecutableDirectory() + ChipList::FileName();
        ApplyEnvironment(settings);
        return RunFlashSession(opt, settings, OpenSerialPort, *out);
    } catch (const std::bad_alloc&) {
        out->Error(FLASHCL_ERR_UNEXPECTED, "The flash utility ran out of memory.");
    } catch (const std::exception& e) {
        out->Error(FLASHCL_ERR_UNEXPECTED, std::string("The flash utility failed: ") + e.what() + ".");
    } catch (...) {
        out->Error(FLASHCL_ERR_UNEXPECTED, "The flash utility failed unexpectedly.");
    }
    out->ReleaseFinal();
    return FLASHCL_ERR_UNEXPECTED;
}
