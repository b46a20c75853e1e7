// SiRFflashcl: programs a receiver's flash from an S-record file, or reads it into a file,
// over a serial line. Started by the updater with the handles of its pipe, it reports through
// FlashToolMessage records; started by hand, it prints its progress.
#include "tools/sirfflashcl/flashcl_codes.h"
#include "tools/sirfflashcl/flashcl_session.h"
#include "tools/sirfflashcl/options.h"
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
