// Whole utility runs in one process: the command line, the records the updater reads, and the
// receiver's flash afterwards, with the receiver on an in-process line.
#include "tests/device/device_test_support.h"
#include "tests/support/files.h"
#include "tests/support/scratch_dir.h"
#include "tools/sirfflashcl/flashcl_codes.h"
#include "tools/sirfflashcl/flashcl_session.h"
#include "contract/flash_tool_contract.h"
#include "tools/protocol/commands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace flashproto;
using namespace test_support;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kFlash = 0x100000, kSector = 0x10000, kUserSector = kFlash - kSector;

using Record = ToolRecord;

std::vector<Record> DecodeRecords(const std::string& bytes)
{
    std::vector<Record> out;
    EXPECT_TRUE(DecodeToolRecords(bytes, out));
    return out;
}

std::vector<uint8_t> UserPattern()
{
    std::vector<uint8_t> flash(kFlash, 0xFF);
    for (uint32_t a = kUserSector; a < kFlash; ++a)
        flash[a] = uint8_t(a * 7 + 3);
    return flash;
}

// Lends a test's line to the session, which wants to own its port.
class BorrowedPort : public SerialPort {
public:
    BorrowedPort(SerialPort& p, bool& open) : m_p(p), m_open(open) { m_open = true; }
    ~BorrowedPort() override { m_open = false; }
    bool Write(const uint8_t* p, size_t n) override { return m_p.Write(p, n); }
    int Read(uint8_t* p, size_t max, uint32_t t) override { return m_p.Read(p, max, t); }
    void DiscardInput() override { m_p.DiscardInput(); }
    bool SetSpeed(uint32_t baud) override { return m_p.SetSpeed(baud); }

private:
    SerialPort& m_p;
    bool& m_open;
};

class Session : public ::testing::Test {
protected:
    Session()
    {
        UseReceiver("GSP3");
        settings.host.now = [this]() { return Clock(); };
        settings.chipListPath = (dir / "chiplist.txt").string();  // absent: the built-in list
    }

    // A fresh receiver with this chip name, its flash erased but for the user positions.
    void UseReceiver(const char* chip)
    {
        line.reset();
        device = std::make_unique<FlashDevice>(chip, UserPattern(), kSector);
        line = std::make_unique<LoopbackLine>(*device);
    }

    std::string Path(const char* name) const { return (dir / name).string(); }

    // Runs the utility with these arguments (after the program name); returns its records.
    std::vector<Record> Run(std::vector<std::string> args)
    {
        args.insert(args.end(), {"-wp", "5", "-rp", "4", "-wps", "3"});
        std::vector<const char*> argv;
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        FlashToolOptions opt;
        std::string error;
        EXPECT_TRUE(ParseFlashToolOptions(int(argv.size()), argv.data(), opt, error)) << error;
        std::string pipe;
        recordTimes.clear();
        std::vector<bool> portOpenAt;
        RecordReporter out(opt.line, [this, &pipe, &portOpenAt](const std::string& r) {
            pipe += r;
            recordTimes.push_back(Clock());
            portOpenAt.push_back(portOpen);
        });
        portOpened = false;
        exitCode = RunFlashSession(
            opt, settings,
            [this](const FlashToolOptions&) {
                portOpened = true;
                OpenedPort p;
                p.port = std::make_unique<BorrowedPort>(Port(), portOpen);
                p.name = "COM3";
                return p;
            },
            out);
        const std::vector<Record> records = DecodeRecords(pipe);
        // Whatever happened, the run ends with exactly one final record, and only there, sent
        // once the port is closed: a run started on reading it finds the port free.
        EXPECT_FALSE(records.empty());
        EXPECT_FALSE(portOpenAt.empty() || portOpenAt.back());
        for (size_t i = 0; i < records.size(); ++i) {
            const bool final = records[i].code == FTM_DONE || records[i].code < 1000;
            EXPECT_EQ(final, i + 1 == records.size()) << "record " << i << " code " << records[i].code;
            EXPECT_EQ(records[i].line, 3);
        }
        return records;
    }

    // A whole receiver instead of the loader alone, powered up with this firmware version
    // (empty: none) in the flash.
    void UseWholeReceiver(gpsdevsim::PowerUp powerUp, const std::string& version)
    {
        std::vector<uint8_t> flash = UserPattern();
        const std::string code = "code " + version;
        std::copy(code.begin(), code.end(), flash.begin());
        flash[code.size()] = 0;
        wholeLine.reset();
        receiver = std::make_unique<gpsdevsim::Receiver>("GSP3", flash, kSector, powerUp);
        wholeLine = std::make_unique<ReceiverLine>(*receiver);
    }
    SerialPort& Port() { return wholeLine ? static_cast<SerialPort&>(*wholeLine) : *line; }
    uint64_t Clock() const { return wholeLine ? wholeLine->clockMs : line->clockMs; }

    test_support::ScratchDir scratch{"flashcl-session"};
    fs::path dir = scratch.Path();
    std::unique_ptr<FlashDevice> device;
    std::unique_ptr<LoopbackLine> line;
    std::unique_ptr<gpsdevsim::Receiver> receiver;
    std::unique_ptr<ReceiverLine> wholeLine;
    SessionSettings settings;
    bool portOpened = false;
    bool portOpen = false;
    int exitCode = -1;
    std::vector<uint64_t> recordTimes;  // the line's clock at each record of the last run
};

// The progress percentages, checked to be what the updater can scan.
std::vector<int> Percents(const std::vector<Record>& records)
{
    std::vector<int> out;
    for (const Record& r : records) {
        if (r.code != FTM_PROGRESS)
            continue;
        int a = -1, b = -1;
        char w1[64], w2[64], w3[64];
        EXPECT_EQ(std::sscanf(r.text.c_str(), "%d %d %63s %63s %63s", &a, &b, w1, w2, w3), 5) << r.text;
        out.push_back(a);
    }
    return out;
}

TEST_F(Session, ProbeNamesTheChipReadsTheRangeAndReportsEarly)
{
    const std::vector<Record> rec = Run({Path("123.bin"), "-l", "3", "-b", "115200", "-r", "-f", "0x0", "-t", "0xFF"});
    ASSERT_EQ(rec.back().code, FTM_DONE);
    EXPECT_EQ(exitCode, 0);
    ASSERT_GE(rec.size(), 3u);
    EXPECT_EQ(rec[0].code, FTM_CHIP_NAME);
    EXPECT_EQ(rec[0].text, "GSP3");
    EXPECT_EQ(rec[1].code, FTM_PROGRESS);  // the watchdog's first event comes right after the chip
    EXPECT_EQ(Percents(rec).back(), 100);
    EXPECT_EQ(std::count_if(rec.begin(), rec.end(), [](const Record& r) { return r.code == FTM_CHIP_NAME; }), 1);

    std::ifstream dump(Path("123.bin"), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(dump)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 256u);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), device->Flash().begin(),
                           [](char a, uint8_t b) { return uint8_t(a) == b; }));
    EXPECT_FALSE(device->Synced());  // restarted into its firmware
}

TEST_F(Session, FlashingKeepsOrErasesTheUserPositions)
{
    // Firmware across a sector boundary with a gap, and a database merged in after it.
    const std::vector<uint8_t> fw = FirmwareLikeBytes(150000, 1), db = FirmwareLikeBytes(5000, 2);
    std::string text = ToSRecords({{0x0, {fw.begin(), fw.begin() + 70000}}, {0x12000, {fw.begin() + 70000, fw.end()}}});
    const std::string dbText = ToSRecords({{0xE0000, db}});
    text.insert(text.size() - 16, dbText.substr(18, dbText.size() - 18 - 16));
    WriteFile(Path("fw.s3"), text);

    for (bool eraseAll : {false, true}) {
        SCOPED_TRACE(eraseAll ? "with -e" : "without -e");
        std::fill(device->MutableFlash().begin(), device->MutableFlash().end() - kSector, 0x00);
        std::vector<std::string> args = {Path("fw.s3"), "-l", "3", "-b", "38400"};
        if (eraseAll)
            args.push_back("-e");
        const std::vector<Record> rec = Run(args);
        ASSERT_EQ(rec.back().code, FTM_DONE) << rec.back().text;

        const std::vector<int> pct = Percents(rec);
        EXPECT_TRUE(std::is_sorted(pct.begin(), pct.end()));
        EXPECT_EQ(pct.back(), 100);

        std::vector<uint8_t> expected(kFlash, eraseAll ? 0xFF : 0x00);
        if (!eraseAll) {
            // Sectors 0 to 2 and 14 are written, so erased first; the others are left alone.
            std::fill(expected.begin(), expected.begin() + 3 * kSector, 0xFF);
            std::fill(expected.begin() + 14 * kSector, expected.begin() + 15 * kSector, 0xFF);
            const std::vector<uint8_t> user = UserPattern();
            std::copy(user.begin() + kUserSector, user.end(), expected.begin() + kUserSector);
        }
        std::copy(fw.begin(), fw.begin() + 70000, expected.begin());
        std::copy(fw.begin() + 70000, fw.end(), expected.begin() + 0x12000);
        std::copy(db.begin(), db.end(), expected.begin() + 0xE0000);
        EXPECT_TRUE(device->Flash() == expected);
    }
}

TEST_F(Session, FailuresOnTheLineAreNeverReportedAsFlashed)
{
    const std::vector<uint8_t> fw = FirmwareLikeBytes(60000, 5);
    WriteFile(Path("fw.s"), ToSRecords({{0x0, fw}}));

    // A flash cell that loses a bit right after it was programmed: only the CRC check sees it.
    uint32_t cell = 0x4321;
    while (fw[cell] == 0xFF)
        ++cell;
    device->SetChangeHandler([&]() {
        if (device->Flash()[cell] == fw[cell])
            device->MutableFlash()[cell] ^= 0x10;
    });
    std::vector<Record> rec = Run({Path("fw.s"), "-l", "3", "-b", "115200"});
    EXPECT_EQ(rec.back().code, FLASHCL_ERR_VERIFY) << rec.back().text;
    EXPECT_NE(rec.back().text.find("CRC-32"), std::string::npos);
    device->SetChangeHandler(nullptr);

    // Unplugged in the middle of writing: after the SYNC, the erase and one block.
    line->deafAfterWrites = line->Writes() + 3;
    rec = Run({Path("fw.s"), "-l", "3", "-b", "115200"});
    EXPECT_EQ(rec.back().code, FLASHCL_ERR_LINE_LOST);
    EXPECT_NE(rec.back().text.find("writing"), std::string::npos) << rec.back().text;
    EXPECT_EQ(exitCode, FLASHCL_ERR_LINE_LOST);
}

TEST_F(Session, SilentPortWaitsAtLeastFifteenSecondsWithoutARecord)
{
    // Now every speed is tried, for at most 8 s; without a record, so that the updater's 6 s
    // watchdog moves on to its next port as before.
    settings.noAnswerMs = SessionSettings().noAnswerMs;
    line->deafAfterWrites = 0;
    const std::vector<Record> rec = Run({Path("123.bin"), "-l", "3", "-b", "115200", "-r", "-f", "0x0", "-t", "0xFF"});
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec[0].code, FLASHCL_ERR_NO_ANSWER);
    EXPECT_NE(rec[0].text.find("COM3"), std::string::npos);
    EXPECT_GE(line->clockMs, 7000u);
    EXPECT_LE(line->clockMs, 8000u);
    EXPECT_FALSE(fs::exists(Path("123.bin")));
}

TEST_F(Session, UserPositionsAreKeptOrTheFirmwareIsRefusedBeforeAnyErase)
{
    struct Case {
        const char* what;
        uint32_t address;
        size_t bytes;
        bool eraseAll;
        int32_t code;
    };
    const Case cases[] = {
        {"up to the last byte before them", 0xE0000, 0x10000, false, FTM_DONE},
        {"a database reaching 8 KiB past 0xEF000", 0xEF000, 0x2000, false, FLASHCL_ERR_USER_POSITIONS},
        {"one byte, the very last of the flash", 0xFFFFF, 1, false, FLASHCL_ERR_USER_POSITIONS},
        {"with -e the firmware may cover them", 0xEF000, 0x11000, true, FTM_DONE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UseReceiver("GSP3");
        const std::vector<uint8_t> before = device->Flash();
        const std::vector<uint8_t> data = FirmwareLikeBytes(c.bytes, 21);
        WriteFile(Path("fw.s"), ToSRecords({{0x0, FirmwareLikeBytes(5000, 20)}, {c.address, data}}));
        std::vector<std::string> args = {Path("fw.s"), "-l", "3", "-b", "115200"};
        if (c.eraseAll)
            args.push_back("-e");
        const std::vector<Record> rec = Run(args);
        ASSERT_EQ(rec.back().code, c.code) << rec.back().text;
        if (c.code == FTM_DONE) {
            EXPECT_TRUE(std::equal(data.begin(), data.end(), device->Flash().begin() + c.address));
            const bool kept = std::equal(before.begin() + kUserSector, before.end(),
                                         device->Flash().begin() + kUserSector, device->Flash().end());
            EXPECT_EQ(kept, !c.eraseAll && c.address + c.bytes <= kUserSector);
        } else {
            EXPECT_NE(rec.back().text.find("user positions"), std::string::npos) << rec.back().text;
            EXPECT_EQ(device->Executed(), 1);  // the SYNC alone
            EXPECT_TRUE(device->Flash() == before);
        }
    }
}

// Runs decided by their input: refused with their own code before the receiver is touched (most
// before the port is even opened), or let through; a word of the final record's text.
TEST_F(Session, EveryInputIsCheckedBeforeTheReceiverIsTouched)
{
    fs::create_directories(Path("folder"));
#ifdef _WIN32
    const std::string nul = "NUL";
#else
    const std::string nul = "/dev/null";
    const std::string fifo = Path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);  // opened for reading, it would wait for a writer
#endif
    // The bound for the built-in list: 20 bytes of text per byte of a 1 MiB flash.
    std::ofstream(Path("huge.s")).close();
    fs::resize_file(Path("huge.s"), 20 * kFlash + 1);
    std::string bad = ToSRecords({{0x0, FirmwareLikeBytes(3000, 3)}});
    bad[bad.size() - 20] = bad[bad.size() - 20] == '0' ? '1' : '0';  // last data record's checksum
    WriteFile(Path("bad.s"), bad);
    WriteFile(Path("longlist.txt"), std::string(0x10001, '#'));
    const char* const gsp3 = "GSP3 0x100000 0x10000 0xF0000-0xFFFFF";
    const char* const gsp3And4 = "GSP3 0x100000 0x10000 0xF0000-0xFFFFF\nGSP4x 0x100000 0x10000 0xF0000-0xFFFFF";
    const char* const gsp3Big = "GSP3 0x200000 0x10000 0x1F0000-0x1FFFFF";
    struct Case {
        const char* what;
        int32_t code;
        const char* reason;
        std::string firmware;  // empty: 3000 bytes at firmwareAt; "probe": a probe's read instead
        uint32_t firmwareAt;
        const char* list;           // chiplist.txt; none: the built-in list
        std::string listPath;       // another file as the chip list
        bool eraseAll = false;      // -e
        const char* chip = "GSP3";  // the receiver, its flash and its sectors
        uint32_t flash = kFlash, sector = kSector;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"a checksum error", FLASHCL_ERR_FILE_BAD, "checksum", Path("bad.s"), 0, nullptr, "", true},
        {"missing firmware", FLASHCL_ERR_FILE_READ, "does not exist", Path("missing.s"), 0, nullptr, ""},
        {"firmware is a folder", FLASHCL_ERR_FILE_READ, "folder", Path("folder"), 0, nullptr, ""},
        {"firmware is a device", FLASHCL_ERR_FILE_READ, "device", nul, 0, nullptr, ""},
#ifndef _WIN32
        {"firmware is a FIFO", FLASHCL_ERR_FILE_READ, "device", fifo, 0, nullptr, ""},
#endif
        {"firmware past the bound", FLASHCL_ERR_FILE_BAD, "too large", Path("huge.s"), 0, nullptr, ""},
        {"firmware beyond the flash", FLASHCL_ERR_IMAGE_FIT, "", "", kFlash - 16, nullptr, "", true},
        {"chip list is a folder", FLASHCL_ERR_CHIP_LIST, "folder", "", 0, nullptr, Path("folder")},
        {"chip list is a device", FLASHCL_ERR_CHIP_LIST, "device", "", 0, nullptr, nul},
        {"chip list too long", FLASHCL_ERR_CHIP_LIST, "more than", "", 0, nullptr, Path("longlist.txt")},
        {"no chip list: the built-in one", FTM_DONE, "", "", 0, nullptr, Path("missing.txt")},
        {"a line without the user positions", FLASHCL_ERR_CHIP_LIST, "", "", 0, "GSP3 0x100000 0x10000", ""},
        {"a sector of 1", FLASHCL_ERR_CHIP_LIST, "", "", 0, "GSP3 0x100000 1 0xF0000-0xFFFFF", ""},
        {"sectors smaller than the receiver's", FLASHCL_ERR_CHIP_MISMATCH, "", "", 0x38000,
         "GSP3 0x100000 0x8000 0xF0000-0xFFFFF", ""},
        {"sectors larger than the receiver's", FLASHCL_ERR_CHIP_MISMATCH, "", "", 0,
         "GSP3 0x100000 0x20000 0xE0000-0xFFFFF", ""},
        {"a flash larger than the receiver's", FLASHCL_ERR_CHIP_MISMATCH, "", "", 0x100000, gsp3Big, ""},
        {"a flash smaller than the receiver's", FLASHCL_ERR_CHIP_MISMATCH, "", "", 0, gsp3, "", false, "GSP3", 2 * kFlash},
        {"a receiver of smaller sectors", FLASHCL_ERR_CHIP_MISMATCH, "", "", 0, gsp3, "", false, "GSP3", kFlash, 0x1000},
        {"a 2 MiB chip as listed", FTM_DONE, "", "", 0x100000, gsp3Big, "", false, "GSP3", 2 * kFlash},
        {"a chip the list does not name", FLASHCL_ERR_CHIP_UNKNOWN, "GSP4x", "", 0x20000, nullptr, "", false, "GSP4x"},
        {"an unknown chip can still be probed", FTM_DONE, "", "probe", 0, nullptr, "", false, "GSP4x"},
        {"a chip the list names", FTM_DONE, "", "", 0x20000, gsp3And4, "", false, "GSP4x"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t> before(c.flash, 0x5A);
        device = std::make_unique<FlashDevice>(c.chip, before, c.sector);
        line = std::make_unique<LoopbackLine>(*device);
        fs::remove(Path("chiplist.txt"));
        if (c.list)
            WriteFile(Path("chiplist.txt"), std::string(c.list) + "\n");
        settings.chipListPath = c.listPath.empty() ? Path("chiplist.txt") : c.listPath;
        WriteFile(Path("fw.s"), ToSRecords({{c.firmwareAt, FirmwareLikeBytes(3000, 22)}}));
        std::vector<std::string> args = {c.firmware.empty() ? Path("fw.s") : c.firmware, "-l", "3", "-b", "115200"};
        if (c.firmware == "probe")
            args = {Path("123.bin"), "-l", "3", "-b", "115200", "-r", "-f", "0x0", "-t", "0xFF"};
        if (c.eraseAll)
            args.push_back("-e");
        const std::vector<Record> rec = Run(args);
        ASSERT_EQ(rec.back().code, c.code) << rec.back().text;
        EXPECT_EQ(exitCode, c.code == FTM_DONE ? 0 : c.code);
        EXPECT_NE(rec.back().text.find(c.reason), std::string::npos) << rec.back().text;
        // The files are read before the port is opened; the receiver is checked before any erase.
        const bool beforeThePort =
            c.code == FLASHCL_ERR_FILE_READ || c.code == FLASHCL_ERR_FILE_BAD || c.code == FLASHCL_ERR_CHIP_LIST;
        EXPECT_EQ(portOpened, !beforeThePort);
        if (beforeThePort) {
            EXPECT_EQ(rec.size(), 1u);
        }
        if (c.code == FLASHCL_ERR_IMAGE_FIT) {
            EXPECT_EQ(device->Executed(), 1);  // the SYNC alone
        }
        if (c.firmware == "probe") {
            EXPECT_EQ(rec.front().text, c.chip);
        }
        EXPECT_EQ(device->Flash() == before, c.code != FTM_DONE || c.firmware == "probe");
    }
}

TEST_F(Session, EveryWaitEndsLongBeforeTheUpdatersStallLimit)
{
    // The slowest speed the updater offers, a 1 MiB image erased whole and verified, and the
    // receiver falling silent in each phase: no two records may be 60 s apart, and a silent
    // whole-chip erase is given up after its 30 s.
    const std::vector<uint8_t> fw = FirmwareLikeBytes(kFlash, 24);
    WriteFile(Path("fw.s"), ToSRecords({{0x0, fw}}, 64));
    const std::vector<std::string> flashAll = {Path("fw.s"), "-l", "3", "-b", "38400", "-e"};
    const std::vector<std::string> probe = {Path("123.bin"), "-l", "3", "-b", "38400", "-r"};
    struct Case {
        const char* phase;
        std::vector<std::string> args;
        int silentAfterWrites;  // host writes carried out before the receiver stops answering
    };
    const Case cases[] = {
        {"erasing the chip", flashAll, 1},
        {"writing", flashAll, 40},
        {"verifying", flashAll, -1},  // set below: after the last block
        {"reading", probe, 10},
    };
    // A clean run tells how many commands come before the first CRC: SYNC, the erase, the blocks.
    const std::vector<Record> clean = Run(flashAll);
    ASSERT_EQ(clean.back().code, FTM_DONE);
    const int writesToVerify = 2 + int(std::count_if(clean.begin(), clean.end(), [](const Record& r) {
                                   return r.text.find(" writing ") != std::string::npos;
                               }));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.phase);
        UseReceiver("GSP3");
        line->deafAfterWrites = c.silentAfterWrites < 0 ? writesToVerify : c.silentAfterWrites;
        const std::vector<Record> rec = Run(c.args);
        ASSERT_EQ(rec.back().code, FLASHCL_ERR_LINE_LOST) << rec.back().text;
        EXPECT_NE(rec.back().text.find(c.phase), std::string::npos) << rec.back().text;
        for (size_t i = 1; i < recordTimes.size(); ++i)
            EXPECT_LT(recordTimes[i] - recordTimes[i - 1], 60000u) << "before record " << i;
        if (std::string(c.phase) == "erasing the chip") {
            EXPECT_GE(recordTimes.back() - recordTimes[recordTimes.size() - 2], 30000u);
            EXPECT_LE(recordTimes.back() - recordTimes[recordTimes.size() - 2], 31000u);
        }
    }
    // The test setting shortens the erase wait.
    UseReceiver("GSP3");
    settings.chipEraseMs = 2000;
    line->deafAfterWrites = 1;
    Run(flashAll);
    EXPECT_LE(recordTimes.back() - recordTimes[recordTimes.size() - 2], 3000u);
}

TEST_F(Session, EveryStartStateIsFoundOrGetsItsOwnCode)
{
    using gpsdevsim::Mode;
    const std::string gsw3 = "GSW3.2.4_3.1.00.12-SDK003P1.00a";
    struct Case {
        const char* what;
        gpsdevsim::PowerUp powerUp;
        std::string version;
        int line;  // ReceiverLine::Put
        bool identify;
        int32_t code;
        uint64_t maxMs;  // from the open to the final record
    };
    const Case cases[] = {
        {"NMEA at 4800", {Mode::Nmea, 4800, 38400}, gsw3, 0, false, FTM_DONE, 4500},
        {"identified in NMEA at 4800", {Mode::Nmea, 4800, 38400}, gsw3, 0, true, FTM_DONE, 3000},
        {"NMEA at 9600",
         {Mode::Nmea, 9600, 38400},
         "GSWLT3.5.0MMT_3.5.00.00-CONFIG-CL31P2.00",
         0,
         false,
         FTM_DONE,
         5500},
        {"binary at 38400", {Mode::Binary, 38400, 38400}, gsw3, 0, false, FTM_DONE, 6500},
        {"boot mode, loader at 38400", {Mode::Boot, 4800, 38400}, gsw3, 0, false, FTM_DONE, 1500},
        {"no firmware: boot mode", {Mode::Nmea, 4800, 38400}, "", 0, false, FTM_DONE, 1500},
        {"silent", {Mode::Nmea, 4800, 38400}, gsw3, 1, false, FLASHCL_ERR_NO_ANSWER, 8000},
        {"NMEA that is not SiRF", {Mode::Nmea, 4800, 38400}, gsw3, 2, false, FLASHCL_ERR_NOT_SIRF, 4500},
        {"garbage at every speed tried", {Mode::Nmea, 2400, 38400}, gsw3, 0, false, FLASHCL_ERR_LINE_NOISY, 8000},
        {"a loop-back plug", {Mode::Nmea, 4800, 38400}, gsw3, 4, false, FLASHCL_ERR_NOT_SIRF, 1000},
        {"an AT modem: echo, then OK", {Mode::Nmea, 4800, 38400}, gsw3, 5, false, FLASHCL_ERR_NOT_SIRF, 1000},
        {"a noisy line", {Mode::Nmea, 4800, 38400}, gsw3, 6, false, FLASHCL_ERR_LINE_NOISY, 8000},
        {"a loader of another protocol", {Mode::Nmea, 4800, 38400}, gsw3, 3, false, FLASHCL_ERR_FOREIGN_LOADER, 6000},
        {"a SiRFstarIV, not in the chip list",
         {Mode::Nmea, 4800, 38400},
         "GSD4e_4.1.2-P1 R+ 11/15/2011",
         0,
         false,
         FLASHCL_ERR_CHIP_UNKNOWN,
         6000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UseWholeReceiver(c.powerUp, c.version);
        wholeLine->Put(c.line);
        const std::vector<Record> rec =
            Run(c.identify ? std::vector<std::string>{"--identify", "-l", "3", "-b", "115200"}
                           : std::vector<std::string>{Path("123.bin"), "-l", "3", "-b", "115200", "-r", "-t", "0xFF"});
        EXPECT_EQ(rec.back().code, c.code) << rec.back().text;
        EXPECT_LE(recordTimes.back(), c.maxMs);
        if (c.line >= 4) {
            EXPECT_EQ(rec.back().text.find("SiRF receiver on"), std::string::npos) << rec.back().text;
        }
        // The updater's watchdog: a first record within 6 s from anything that answers; none
        // from a silent port, which the updater then leaves for its next port.
        if (c.line == 1) {
            EXPECT_EQ(rec.size(), 1u);
        } else {
            EXPECT_LT(recordTimes.front(), 6000u);
        }
        // Whatever it was, a receiver with firmware is back in its normal mode, as it came.
        if (!c.version.empty() && c.powerUp.mode != Mode::Boot && c.line != 3) {
            EXPECT_EQ(receiver->CurrentMode(), c.powerUp.mode == Mode::Binary ? Mode::Binary : Mode::Nmea);
        }
        const size_t sw = wholeLine->sent.find("$PSRF100");
        if (c.line == 2) {  // an NMEA talker: nothing after the switch
            EXPECT_EQ(wholeLine->sent.find_first_of("$\xA0", sw + 1), std::string::npos) << "sent after the switch";
        }
    }
}

TEST_F(Session, RepliesThatAllArriveDamagedAreNoiseNotSilence)
{
    for (size_t offset : {size_t(0), size_t(8)}) {  // the start marker, or the reply's fields
        SCOPED_TRACE(offset);
        UseReceiver("GSP3");
        for (int i = 0; i < 200; ++i)
            line->faults.push_back({LineFault::ToHost, LineFault::CorruptByte, i, offset});
        const std::vector<Record> rec =
            Run({Path("123.bin"), "-l", "3", "-b", "115200", "-r", "-f", "0x0", "-t", "0xFF"});
        ASSERT_EQ(rec.size(), 2u);  // the hunt's record, then the error
        EXPECT_EQ(rec[1].code, FLASHCL_ERR_LINE_NOISY) << rec[1].text;
        EXPECT_NE(rec[1].text.find("cable"), std::string::npos);
    }
}

TEST(CommandLine, TheUpdatersCommandLinesAndBadOnes)
{
    auto parse = [](std::vector<const char*> argv, FlashToolOptions& opt, std::string& error) {
        return ParseFlashToolOptions(int(argv.size()), argv.data(), opt, error);
    };
    FlashToolOptions opt;
    std::string error;
    ASSERT_TRUE(parse({"C:\\TEMP\\123.bin", "-l", "3", "-b", "115200", "-r", "-f", "0x0", "-t", "0xFF", "-wp", "72",
                       "-rp", "68", "-wps", "64"},
                      opt, error))
        << error;
    EXPECT_TRUE(opt.read);
    EXPECT_EQ(opt.line, 3);
    EXPECT_EQ(opt.to, 0xFFu);
    EXPECT_EQ(opt.writePipe, 72);
    EXPECT_EQ(opt.readPipe, 68);
    EXPECT_EQ(opt.semaphore, 64);

    ASSERT_TRUE(
        parse({"C:\\TEMP\\fw.s3", "-l", "12", "-b", "38400", "-e", "-wp", "-1", "-rp", "8", "-wps", "9"}, opt, error));
    EXPECT_TRUE(opt.eraseUserPositions);
    EXPECT_FALSE(opt.read);
    EXPECT_EQ(opt.baud, 38400u);
    EXPECT_EQ(opt.writePipe, -1);

    // A port text that names no port is a missing port, for the updater to move on from.
    ASSERT_TRUE(parse({"f", "-l", "CNCA0", "-b", "57600"}, opt, error));
    EXPECT_EQ(opt.line, 0);
    // The updater's rule for a port number: no leading zero.
    ASSERT_TRUE(parse({"f", "-l", "08"}, opt, error));
    EXPECT_EQ(opt.line, 0);

    const std::vector<std::vector<const char*>> bad = {
        {"-l", "3"},
        {"f", "-b", "115200"},
        {"f", "-l"},
        {"f", "-l", "3", "-x"},
        {"f", "g", "-l", "3"},
        {"f", "-l", "3", "-b", "12345"},
        {"f", "-l", "3", "-f", "0x10"},
        {"f", "-l", "3", "-r", "-e"},
        {"f", "-l", "3", "-r", "-f", "0x100", "-t", "0xFF"},
        {"f", "-l", "3", "-r", "-t", "zz"},
        {"f", "-l", "3", "-wp", "7x"},
    };
    for (const auto& argv : bad) {
        SCOPED_TRACE(argv.back());
        EXPECT_FALSE(parse(argv, opt, error));
        EXPECT_FALSE(error.empty());
    }
    // The pipe handle read before the error is kept, so that the error can still be reported.
    EXPECT_FALSE(parse({"f", "-wp", "40", "-l", "3", "-b", "0"}, opt, error));
    EXPECT_TRUE(opt.haveWritePipe);
    EXPECT_EQ(opt.writePipe, 40);
}

TEST(Records, OneFinalRecordShortTextsAndScannableProgress)
{
    std::string pipe;
    RecordReporter out(7, [&pipe](const std::string& r) { pipe += r; });
    out.ChipName("GSP 3 X");
    out.Progress(150, 10, "writing now", 0x1234);
    out.Error(FLASHCL_ERR_WRITE, std::string(5000, 'x'));
    out.Done();
    out.Error(FLASHCL_ERR_READ, "late");
    const std::vector<Record> rec = DecodeRecords(pipe);
    ASSERT_EQ(rec.size(), 3u);
    EXPECT_EQ(rec[0].text, "GSP 3 X");
    EXPECT_EQ(rec[1].text, "100 10 writing_now 0x00001234 GSP_3_X");
    EXPECT_EQ(rec[2].code, FLASHCL_ERR_WRITE);
    EXPECT_LT(rec[2].text.size(), 1000u);
}

}  // namespace
