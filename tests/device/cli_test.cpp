// The Linux SiRFflashcl against gpsdevsim on a pseudo-terminal, as separate programs: the
// records on the pipe, the emulator's flash file, and the faults the emulator can play.
#include "tests/device/device_processes.h"
#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"
#include "tools/sirfflashcl/flashcl_codes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <thread>

using namespace test_support;
namespace fs = std::filesystem;

namespace {

const std::string kBin = UPDATER_BIN_DIR;
const std::string kTool = kBin + "/SiRFflashcl";
const std::string kSim = kBin + "/gpsdevsim";
constexpr size_t kFlash = 0x100000, kUser = 0xF0000;

class Cli : public ::testing::Test {
protected:
    std::string P(const char* name) const { return (dir / name).string(); }

    // Runs the utility on line 5, which the environment maps to port.
    ToolRun Tool(std::vector<std::string> args, const std::string& port, std::map<std::string, std::string> env = {})
    {
        env["SIRFFLASH_COM5"] = port;
        ToolRun run = RunFlashTool(kTool, std::move(args), env);
        EXPECT_TRUE(run.wellFormed);
        // Exactly one final record, the last one.
        for (size_t i = 0; i < run.records.size(); ++i) {
            const bool final = run.records[i].code == FTM_DONE || run.records[i].code < 1000;
            EXPECT_EQ(final, i + 1 == run.records.size()) << "record " << i;
        }
        EXPECT_FALSE(run.records.empty());
        return run;
    }
    int LastCode(const ToolRun& run) const { return run.records.empty() ? -1 : run.records.back().code; }

    std::vector<std::string> Probe() const
    {
        return {P("123.bin"), "-l", "5", "-b", "115200", "-r", "-f", "0x0", "-t", "0xFF"};
    }

    test_support::ScratchDir scratch{"flashcl-cli"};
    fs::path dir = scratch.Path();
};

TEST_F(Cli, ProbeThenFlashWithAndWithoutErasingTheUserPositions)
{
    const std::vector<uint8_t> fw = FirmwareLikeBytes(100000, 11), db = FirmwareLikeBytes(3000, 12);
    std::string text = ToSRecords({{0x0, fw}});
    const std::string dbText = ToSRecords({{0x40000, db}});
    text.insert(text.size() - 16, dbText.substr(18, dbText.size() - 18 - 16));  // merged as the updater does
    std::ofstream(P("fw.s3"), std::ios::binary) << text;

    // The loader at 38400: the probe (115200) and the flashing (57600) find it there.
    Emulator sim(kSim, {"--baud", "38400", "--flash", P("flash.bin"), "--chip", "GSP2e/LPx", "--link", P("ttyGPS")});
    ASSERT_TRUE(sim.Running());
    EXPECT_EQ(fs::read_symlink(P("ttyGPS")).string(), sim.pty);
    const std::string fresh = ReadText(P("flash.bin"));
    ASSERT_EQ(fresh.size(), kFlash);
    EXPECT_EQ(fresh.substr(kUser, 16), "USERPOS 0F0000\r\n");

    ToolRun run = Tool(Probe(), P("ttyGPS"));
    ASSERT_EQ(LastCode(run), FTM_DONE);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.records[0].code, FTM_CHIP_NAME);
    EXPECT_EQ(run.records[0].text, "GSP2e/LPx");
    EXPECT_GE(run.firstProgressMs, 0);
    EXPECT_LT(run.firstProgressMs, 6000);
    EXPECT_EQ(ReadText(P("123.bin")), fresh.substr(0, 256));

    for (bool eraseAll : {false, true}) {
        SCOPED_TRACE(eraseAll ? "-e" : "no -e");
        std::vector<std::string> args = {P("fw.s3"), "-l", "5", "-b", "57600"};
        if (eraseAll)
            args.push_back("-e");
        run = Tool(args, P("ttyGPS"));
        ASSERT_EQ(LastCode(run), FTM_DONE) << run.records.back().text;
        EXPECT_LT(run.firstProgressMs, 6000);
        // The file is already saved, before the emulator stops.
        const std::string flash = ReadText(P("flash.bin"));
        ASSERT_EQ(flash.size(), kFlash);
        EXPECT_EQ(flash.compare(0, fw.size(), std::string(fw.begin(), fw.end())), 0);
        EXPECT_EQ(flash.compare(0x40000, db.size(), std::string(db.begin(), db.end())), 0);
        EXPECT_EQ(flash.substr(kUser), eraseAll ? std::string(kFlash - kUser, '\xFF') : fresh.substr(kUser));
    }
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(P("ttyGPS"))));

    // A flash file of the right size is loaded, not recreated.
    Emulator again(kSim, {"--baud", "115200", "--flash", P("flash.bin")});
    run = Tool(Probe(), again.pty);
    ASSERT_EQ(LastCode(run), FTM_DONE);
    EXPECT_EQ(run.records[0].text, "GSP3");
    EXPECT_EQ(ReadText(P("123.bin")), std::string(fw.begin(), fw.begin() + 256));
}

TEST_F(Cli, PortsThatDoNotExistOrCannotBeOpened)
{
    ToolRun run = Tool(Probe(), P("no-such-tty"));
    EXPECT_EQ(LastCode(run), FTM_ERR_NO_PORT);
    EXPECT_EQ(run.exitCode, FTM_ERR_NO_PORT);
    EXPECT_NE(run.records.back().text.find("does not exist"), std::string::npos);

    // Without the variable, line N is /dev/ttyS(N-1).
    run = RunFlashTool(kTool, {P("123.bin"), "-l", "4000", "-b", "115200", "-r"}, {});
    ASSERT_FALSE(run.records.empty());
    EXPECT_EQ(run.records.back().code, FTM_ERR_NO_PORT);
    EXPECT_NE(run.records.back().text.find("/dev/ttyS3999"), std::string::npos);

    std::ofstream(P("plain-file")) << "not a tty";
    run = Tool(Probe(), P("plain-file"));
    EXPECT_EQ(LastCode(run), FTM_ERR_PORT_BUSY);

    // Another program holds the line.
    Emulator sim(kSim, {"--baud", "115200", "--flash", P("flash.bin")});
    const int holder = open(sim.pty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    run = Tool(Probe(), sim.pty);
    EXPECT_EQ(LastCode(run), FTM_ERR_PORT_BUSY);
    EXPECT_NE(run.records.back().text.find("in use"), std::string::npos);
    close(holder);
    EXPECT_EQ(LastCode(Tool(Probe(), sim.pty)), FTM_DONE);
}

TEST_F(Cli, SilentReceiverGetsNoRecordUntilTheNoAnswerCode)
{
    // Every speed is tried, in at most 8 s.
    Emulator sim(kSim, {"--baud", "115200", "--flash", P("flash.bin"), "--silent"});
    const ToolRun run = Tool(Probe(), sim.pty);
    ASSERT_EQ(run.records.size(), 1u);
    EXPECT_EQ(run.records[0].code, FLASHCL_ERR_NO_ANSWER);
    EXPECT_GE(run.elapsedMs, 7000);
    EXPECT_LE(run.elapsedMs, 8500);
    EXPECT_FALSE(fs::exists(P("123.bin")));
}

TEST_F(Cli, UnpluggedInTheMiddleOfWritingIsAnErrorNeverDone)
{
    const std::vector<uint8_t> fw = FirmwareLikeBytes(120000, 13);
    std::ofstream(P("fw.s"), std::ios::binary) << ToSRecords({{0x10000, fw}});
    Emulator sim(kSim, {"--baud", "115200", "--flash", P("flash.bin"), "--drop-after", "30000"});
    const ToolRun run = Tool({P("fw.s"), "-l", "5", "-b", "115200"}, sim.pty);
    EXPECT_EQ(LastCode(run), FLASHCL_ERR_LINE_LOST) << run.records.back().text;
    EXPECT_NE(run.records.back().text.find("writing"), std::string::npos) << run.records.back().text;
    EXPECT_GT(run.records.size(), 3u);  // it had got going
    EXPECT_EQ(sim.Stop(), 0);
    const std::string flash = ReadText(P("flash.bin"));
    EXPECT_NE(flash.compare(0x10000, fw.size(), std::string(fw.begin(), fw.end())), 0);
}

TEST_F(Cli, CorruptedBytesAreRecoveredAndBadFilesTouchNothing)
{
    const std::vector<uint8_t> fw = FirmwareLikeBytes(60000, 14);
    std::string text = ToSRecords({{0x20000, fw}});
    std::ofstream(P("fw.s"), std::ios::binary) << text;
    Emulator sim(kSim, {"--baud", "115200", "--flash", P("flash.bin"), "--corrupt-every", "41"});
    ToolRun run = Tool({P("fw.s"), "-l", "5", "-b", "115200", "-e"}, sim.pty);
    ASSERT_EQ(LastCode(run), FTM_DONE) << run.records.back().text;
    const std::string flashed = ReadText(P("flash.bin"));
    EXPECT_EQ(flashed.compare(0x20000, fw.size(), std::string(fw.begin(), fw.end())), 0);

    text[text.size() / 2] = 'Z';
    std::ofstream(P("bad.s"), std::ios::binary) << text;
    run = Tool({P("bad.s"), "-l", "5", "-b", "115200", "-e"}, sim.pty);
    EXPECT_EQ(LastCode(run), FLASHCL_ERR_FILE_BAD);
    EXPECT_EQ(ReadText(P("flash.bin")), flashed);
}

TEST_F(Cli, OneUtilityPerPortTheSecondGetsBusy)
{
    const std::vector<uint8_t> fw = FirmwareLikeBytes(60000, 15);
    std::ofstream(P("fw.s"), std::ios::binary) << ToSRecords({{0x10000, fw}});
    Emulator sim(kSim, {"--baud", "115200", "--flash", P("flash.bin"), "--pace"});  // the first run takes seconds
    ToolRun first;
    std::thread holder([&]() { first = Tool({P("fw.s"), "-l", "5", "-b", "115200"}, sim.pty); });
    usleep(800 * 1000);
    const ToolRun second = Tool(Probe(), sim.pty);
    holder.join();
    EXPECT_EQ(LastCode(second), FTM_ERR_PORT_BUSY) << second.records.back().text;
    ASSERT_EQ(LastCode(first), FTM_DONE) << first.records.back().text;
    EXPECT_EQ(ReadText(P("flash.bin")).compare(0x10000, fw.size(), std::string(fw.begin(), fw.end())), 0);
    EXPECT_EQ(LastCode(Tool(Probe(), sim.pty)), FTM_DONE);  // free again once the first has ended
}

TEST_F(Cli, DamagedRepliesSilentErasesAndNonFilesGetTheirOwnCodes)
{
    const std::vector<uint8_t> fw = FirmwareLikeBytes(20000, 16);
    std::ofstream(P("fw.s"), std::ios::binary) << ToSRecords({{0x0, fw}});
    fs::create_directories(P("folder"));
    std::ofstream(P("huge.s")).close();
    fs::resize_file(P("huge.s"), 1200ull * 1024 * 1024);  // sparse: refused before it is read
    struct Case {
        const char* what;
        std::vector<std::string> simArgs;
        std::vector<std::string> toolArgs;
        int32_t code;
        double maxMs;
    };
    const std::vector<Case> cases = {
        // Noise at the loader's speed may be a receiver in its normal mode at another: all are tried.
        {"every byte inverted", {"--corrupt-every", "1"}, Probe(), FLASHCL_ERR_LINE_NOISY, 11000},
        {"every 22nd byte inverted", {"--corrupt-every", "22"}, Probe(), FLASHCL_ERR_LINE_NOISY, 11000},
        // Silent right after the SYNC (16 bytes) and the ERASE_CHIP (11 bytes) arrived.
        {"silent during the chip erase",
         {"--silent-after", "27"},
         {P("fw.s"), "-l", "5", "-b", "115200", "-e"},
         FLASHCL_ERR_LINE_LOST,
         5000},
        {"firmware is a folder", {}, {P("folder"), "-l", "5", "-b", "115200"}, FLASHCL_ERR_FILE_READ, 5000},
        {"firmware of 1.2 GB", {}, {P("huge.s"), "-l", "5", "-b", "115200"}, FLASHCL_ERR_FILE_BAD, 5000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> simArgs = {"--baud", "115200", "--flash", P("flash.bin")};
        simArgs.insert(simArgs.end(), c.simArgs.begin(), c.simArgs.end());
        Emulator sim(kSim, simArgs);
        const ToolRun run =
            Tool(c.toolArgs, sim.pty, {{"SIRFFLASH_NOANSWER_MS", "1500"}, {"SIRFFLASH_ERASE_MS", "1500"}});
        ASSERT_EQ(LastCode(run), c.code) << run.records.back().text;
        EXPECT_EQ(run.exitCode, c.code);
        EXPECT_LT(run.elapsedMs, c.maxMs);
    }
}

TEST_F(Cli, BadCommandLinesAndEmulatorOptions)
{
    // By hand: the usage text and a nonzero exit; through the pipe: one error record too.
    ToolRun run = RunFlashTool(kTool, {"-l", "5"}, {});
    EXPECT_EQ(run.exitCode, FLASHCL_ERR_USAGE);
    ASSERT_EQ(run.records.size(), 1u);
    EXPECT_EQ(run.records[0].code, FLASHCL_ERR_USAGE);
    EXPECT_NE(run.records[0].text.find("no file"), std::string::npos);

    const std::string command = "'" + kTool + "' > '" + P("out.txt") + "' 2>&1";
    EXPECT_NE(std::system(command.c_str()), 0);
    EXPECT_NE(ReadText(P("out.txt")).find("usage: SiRFflashcl"), std::string::npos);

    for (const char* bad : {"--flash", "--corrupt-every 0", "--bogus", "--drop-after x"}) {
        const std::string cmd = "'" + kSim + "' " + bad + " --flash '" + P("f.bin") + "' >/dev/null 2>&1";
        const int st = std::system(cmd.c_str());
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 2) << bad;
    }
}

}  // namespace
