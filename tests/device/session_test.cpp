// Whole utility runs in one process: the command line, the records the updater reads, and the
// receiver's flash afterwards, with the receiver on an in-process line.
#include "device_test_support.h"
#include "flashcl_codes.h"
#include "flashcl_session.h"
#include "options.h"
#include "protocol/commands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

using namespace flashproto;
using namespace device_test;
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
    explicit BorrowedPort(SerialPort& p) : m_p(p) {}
    bool Write(const uint8_t* p, size_t n) override { return m_p.Write(p, n); }
    int Read(uint8_t* p, size_t max, uint32_t t) override { return m_p.Read(p, max, t); }
    void DiscardInput() override { m_p.DiscardInput(); }

private:
    SerialPort& m_p;
};

class Session : public ::testing::Test {
protected:
    Session()
    {
        UseReceiver("GSP3");
        dir = fs::temp_directory_path() /
              ("flashcl-session-" + std::to_string(reinterpret_cast<uintptr_t>(this) & 0xFFFFFF));
        fs::create_directories(dir);
        settings.host.now = [this]() { return line->clockMs; };
        settings.chipListPath = (dir / "chiplist.txt").string();  // absent: the built-in list
    }
    ~Session() override
    {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    // A fresh receiver with this chip name, its flash erased but for the user positions.
    void UseReceiver(const char* chip)
    {
        line.reset();
        device = std::make_unique<FlashDevice>(chip, UserPattern(), kSector);
        line = std::make_unique<LoopbackLine>(*device);
    }

    std::string Path(const char* name) const { return (dir / name).string(); }
    void WriteFile(const std::string& path, const std::string& text) const
    {
        std::ofstream(path, std::ios::binary) << text;
    }

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
        RecordReporter out(opt.line, [&pipe](const std::string& r) { pipe += r; });
        portOpened = false;
        exitCode = RunFlashSession(
            opt, settings,
            [this](const FlashToolOptions&) {
                portOpened = true;
                OpenedPort p;
                p.port = std::make_unique<BorrowedPort>(*line);
                p.name = "COM3";
                return p;
            },
            out);
        const std::vector<Record> records = DecodeRecords(pipe);
        // Whatever happened, the run ends with exactly one final record, and only there.
        EXPECT_FALSE(records.empty());
        for (size_t i = 0; i < records.size(); ++i) {
            const bool final = records[i].code == FTM_DONE || records[i].code < 1000;
            EXPECT_EQ(final, i + 1 == records.size()) << "record " << i << " code " << records[i].code;
            EXPECT_EQ(records[i].line, 3);
        }
        return records;
    }

    fs::path dir;
    std::unique_ptr<FlashDevice> device;
    std::unique_ptr<LoopbackLine> line;
    SessionSettings settings;
    bool portOpened = false;
    int exitCode = -1;
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

TEST_F(Session, BadInputStopsTheRunBeforeTheReceiverIsTouched)
{
    const std::vector<uint8_t> before = device->Flash();
    std::string text = ToSRecords({{0x0, FirmwareLikeBytes(3000, 3)}});
    text[text.size() - 20] = text[text.size() - 20] == '0' ? '1' : '0';  // last data record's checksum
    WriteFile(Path("bad.s"), text);
    std::vector<Record> rec = Run({Path("bad.s"), "-l", "3", "-b", "115200", "-e"});
    EXPECT_EQ(rec.back().code, FLASHCL_ERR_FILE_BAD);
    EXPECT_NE(rec.back().text.find("checksum"), std::string::npos) << rec.back().text;
    EXPECT_FALSE(portOpened);

    rec = Run({Path("missing.s"), "-l", "3", "-b", "115200"});
    EXPECT_EQ(rec.back().code, FLASHCL_ERR_FILE_READ);
    EXPECT_FALSE(portOpened);

    WriteFile(Path("chiplist.txt"), "GSP3 0x100000\n");
    WriteFile(Path("fw.s"), ToSRecords({{0x0, FirmwareLikeBytes(3000, 3)}}));
    rec = Run({Path("fw.s"), "-l", "3", "-b", "115200"});
    EXPECT_EQ(rec.back().code, FLASHCL_ERR_CHIP_LIST);
    EXPECT_FALSE(portOpened);
    EXPECT_EQ(rec.size(), 1u);

    // Firmware beyond the flash: refused after connecting, before any erase.
    fs::remove(Path("chiplist.txt"));
    WriteFile(Path("big.s"), ToSRecords({{kFlash - 16, FirmwareLikeBytes(32, 3)}}));
    rec = Run({Path("big.s"), "-l", "3", "-b", "115200", "-e"});
    EXPECT_EQ(rec.back().code, FLASHCL_ERR_IMAGE_FIT);
    EXPECT_EQ(device->Executed(), 1);  // the SYNC alone
    EXPECT_TRUE(device->Flash() == before);
}

TEST_F(Session, ChipLayoutComesFromTheChipList)
{
    UseReceiver("GSP4x");
    WriteFile(Path("fw.s"), ToSRecords({{0x20000, FirmwareLikeBytes(9000, 4)}}));
    std::vector<Record> rec = Run({Path("fw.s"), "-l", "3", "-b", "115200"});
    EXPECT_EQ(rec.back().code, FLASHCL_ERR_CHIP_UNKNOWN);
    EXPECT_NE(rec.back().text.find("GSP4x"), std::string::npos);
    EXPECT_EQ(device->Flash()[0x20000], UserPattern()[0x20000]);

    // An unknown chip can still be probed; the updater then decides what fits it.
    rec = Run({Path("123.bin"), "-l", "3", "-b", "115200", "-r", "-f", "0x0", "-t", "0xFF"});
    EXPECT_EQ(rec.back().code, FTM_DONE);
    EXPECT_EQ(rec.front().text, "GSP4x");

    WriteFile(Path("chiplist.txt"), "GSP3 0x100000 0x10000\nGSP4x 0x100000 0x10000\n");
    rec = Run({Path("fw.s"), "-l", "3", "-b", "115200"});
    EXPECT_EQ(rec.back().code, FTM_DONE) << rec.back().text;

    // A list with a sector size the receiver does not have makes the erase fail, not succeed.
    WriteFile(Path("chiplist.txt"), "GSP4x 0x100000 0x8000\n");
    WriteFile(Path("fw.s"), ToSRecords({{0x38000, FirmwareLikeBytes(9000, 4)}}));
    rec = Run({Path("fw.s"), "-l", "3", "-b", "115200"});
    EXPECT_EQ(rec.back().code, FLASHCL_ERR_ERASE);
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
    settings.noAnswerMs = SessionSettings().noAnswerMs;
    line->deafAfterWrites = 0;
    const std::vector<Record> rec = Run({Path("123.bin"), "-l", "3", "-b", "115200", "-r", "-f", "0x0", "-t", "0xFF"});
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec[0].code, FLASHCL_ERR_NO_ANSWER);
    EXPECT_NE(rec[0].text.find("COM3"), std::string::npos);
    EXPECT_GE(line->clockMs, 15000u);
    EXPECT_FALSE(fs::exists(Path("123.bin")));
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
    EXPECT_TRUE(opt.eraseAll);
    EXPECT_FALSE(opt.read);
    EXPECT_EQ(opt.baud, 38400u);
    EXPECT_EQ(opt.writePipe, -1);

    // A port text that names no port is a missing port, for the updater to move on from.
    ASSERT_TRUE(parse({"f", "-l", "CNCA0", "-b", "57600"}, opt, error));
    EXPECT_EQ(opt.line, 0);
    ASSERT_TRUE(parse({"f", "-l", "08"}, opt, error));
    EXPECT_EQ(opt.line, 8);

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
