// The command line between the updater and the utility, once: what the updater formats, the
// utility reads back as the same command.
#include "contract/flash_tool_contract.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Splits as the C runtime does for these lines: at blanks outside double quotes.
std::vector<std::string> SplitArguments(const std::string& line)
{
    std::vector<std::string> args(1);
    bool bQuoted = false;
    for (char ch : line) {
        if (ch == '"')
            bQuoted = !bQuoted;
        else if (ch == ' ' && !bQuoted)
            args.emplace_back();
        else
            args.back() += ch;
    }
    return args;
}

TEST(CommandLine, FormattedThenParsedGivesTheSameCommand)
{
    const struct {
        const char *utility, *file;
        int line;
        uint32_t baud;
        bool read, erase, identify, handles;
        const char* expected;
    } rows[] = {
        {"C:\\TEMP\\SiRFflashcl", "C:\\TEMP\\123.bin", 3, 115200, true, false, false, true,
         "C:\\TEMP\\SiRFflashcl C:\\TEMP\\123.bin -l 3 -b 115200 -r -f 0x0 -t 0xFF -wp 72 -rp 68 -wps 64"},
        {"C:\\TEMP\\SiRFflashcl", "C:\\TEMP\\gsp3.s3", 12, 57600, false, true, false, true,
         "C:\\TEMP\\SiRFflashcl C:\\TEMP\\gsp3.s3 -l 12 -b 57600 -e -wp 72 -rp 68 -wps 64"},
        {"C:\\My Temp\\SiRFflashcl", "C:\\My Temp\\fw.s2x", 9999, 38400, false, false, false, false,
         "\"C:\\My Temp\\SiRFflashcl\" \"C:\\My Temp\\fw.s2x\" -l 9999 -b 38400"},
        {"SiRFflashcl", "", 7, 115200, false, false, true, false, "SiRFflashcl --identify -l 7 -b 115200"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.expected);
        FlashToolOptions command;
        command.utility = r.utility;
        command.file = r.file;
        command.line = r.line;
        command.baud = r.baud;
        command.read = command.haveTo = r.read;
        command.to = r.read ? 0xFF : 0;
        command.eraseUserPositions = r.erase;
        command.identify = r.identify;
        std::string text = FormatFlashToolCommand(command);
        if (r.handles)
            text += FormatHandleOptions(72, 68, 64);
        EXPECT_EQ(text, r.expected);

        const std::vector<std::string> args = SplitArguments(text);
        std::vector<const char*> argv;
        for (size_t i = 1; i < args.size(); ++i)
            argv.push_back(args[i].c_str());
        FlashToolOptions parsed;
        std::string error;
        ASSERT_TRUE(ParseFlashToolOptions(int(argv.size()), argv.data(), parsed, error)) << error;
        EXPECT_EQ(args[0], command.utility);
        EXPECT_EQ(parsed.file, command.file);
        EXPECT_EQ(parsed.lineText, std::to_string(command.line));
        EXPECT_EQ(parsed.line, command.line);
        EXPECT_EQ(parsed.baud, command.baud);
        EXPECT_EQ(parsed.read, command.read);
        EXPECT_EQ(parsed.from, command.from);
        EXPECT_EQ(parsed.haveTo, command.haveTo);
        EXPECT_EQ(parsed.to, command.to);
        EXPECT_EQ(parsed.eraseUserPositions, command.eraseUserPositions);
        EXPECT_EQ(parsed.identify, command.identify);
        EXPECT_EQ(parsed.haveWritePipe && parsed.haveReadPipe && parsed.haveSemaphore, r.handles);
        if (r.handles) {
            EXPECT_EQ(std::vector<long long>({parsed.writePipe, parsed.readPipe, parsed.semaphore}),
                      std::vector<long long>({72, 68, 64}));
        }
    }
}

}  // namespace
