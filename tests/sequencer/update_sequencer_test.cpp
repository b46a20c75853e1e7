// The update sequencer driven natively: a fake dialog, a fake clock, and workers played by the
// test, over a real payload extracted into a real temporary directory.
#include "app/resource.h"
#include "app/update_sequencer.h"
#include "flash/flash_tool_run.h"
#include "contract/flash_tool_contract.h"
#include "flash/update_rules.h"
#include "tests/payload/payload_builder.h"
#include "tests/support/fake_view.h"
#include "tests/support/scratch_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace test_support;

namespace {

class FakeRunner : public IUpdateRunner {
public:
    uint32_t tick = 0xFFFFF000u;  // close to wrapping: waits must still last a second
    std::vector<std::string> commandLines;
    unsigned run = 0;
    unsigned stopped = 0;  // the last run given up on
    int stops = 0;
    uint32_t now = 0, lastRecord = 0;  // milliseconds, for the silence of the current run
    bool ending = false;               // the current run has stopped reading
    bool utilityStarted = true;        // the current run's child runs
    unsigned StartRun() override
    {
        commandLines.push_back(g_toolCommandLine.GetString());
        lastRecord = now;
        ending = false;
        return ++run;
    }
    bool StopRun(FlashRunStop when) override
    {
        if (ending || (when == STOP_IF_NOT_STARTED && utilityStarted))
            return false;
        ++stops;
        stopped = run;
        return true;
    }
    uint32_t GetRunSilence() override { return ending ? RUN_NOT_READING : now - lastRecord; }
    uint32_t GetTickCount() override { return tick += 7; }
    std::map<std::string, std::string> shortNames;  // the system's 8.3 forms; none by default
    CString ShortPath(const CString& strPath) override
    {
        auto it = shortNames.find(strPath.GetString());
        return it == shortNames.end() ? CString() : CString(it->second.c_str());
    }
};

const std::string kFirmwareBody =
    "S00600004844521B\r\n"
    "S1130000285F245F2212226A000424290008237C2A\r\n";
const std::string kS7 = "S70500000000FA\r\n";
const std::string kDatabase = "S1130100000102030405060708090A0B0C0D0E0F68\r\n";

class SequencerTest : public ::testing::Test {
public:
    std::unique_ptr<test_support::ScratchDir> scratch;
    fs::path root;
    std::string tempDir, release;
    FakeView view;
    FakeRunner runner;
    std::unique_ptr<CPayloadArchive> archive;
    std::unique_ptr<CFirmwareChoice> firmware;
    std::unique_ptr<CUpdateSequencer> seq;
    std::vector<std::string> mergeErrors;

    void SetUp() override
    {
        seq.reset();
        view = FakeView();
        runner = FakeRunner();
        view.clock = &runner.now;
        mergeErrors.clear();
        // Some tests start again within one case: the same folder, emptied.
        if (!scratch)
            scratch = std::make_unique<test_support::ScratchDir>("sequencer");
        root = scratch->Path();
        fs::remove_all(root);
        fs::create_directories(root / "tmp");
        tempDir = (root / "tmp").string() + AFX_PATH_SEPARATOR;
        release = (root / "Mirador.exe").string();
        WritePayload({{"fw_gsp3.s3", kFirmwareBody + kS7},
                      {"fw_gsp2e.s2x", kFirmwareBody + kS7},
                      {"fw_other.s2", kFirmwareBody + kS7},
                      {"SiRFflashcl.exe", "MZ tool"},
                      {"database.db0", kDatabase},
                      {"logo.bmp", "BM"},
                      {"Demo 1.40", ""}});
        for (const char* port : {" COM1", " COM3", " COM12"})
            view.AddListRow(IDC_PORT_LIST, port);
        for (const char* speed : {" 38400", " 57600", " 115200"})
            view.AddListRow(IDC_SPEED_LIST, speed);
        view.SetListSelection(IDC_PORT_LIST, 1);
        view.SetListSelection(IDC_SPEED_LIST, 2);
        view.enabled[IDC_SPEED_LIST] = false;
        view.enabled[IDC_KEEP_POSITIONS] = view.enabled[IDC_ERASE_POSITIONS] = true;
        view.log.clear();
        g_lastToolError = 0;
        g_toolCommandLine.Empty();
        Rebuild();
    }
    void TearDown() override { scratch.reset(); }

    void Rebuild(const std::string& releasePath = "")
    {
        seq.reset();
        firmware.reset();
        archive = std::make_unique<CPayloadArchive>((releasePath.empty() ? release : releasePath).c_str());
        firmware = std::make_unique<CFirmwareChoice>(*archive, tempDir.c_str(),
                                                     [this](const char* t) { mergeErrors.push_back(t); });
        seq = std::make_unique<CUpdateSequencer>(view, runner, *archive, *firmware, tempDir.c_str());
    }

    void WritePayload(const std::vector<std::pair<std::string, std::string>>& entries)
    {
        PayloadBuilder b;
        for (auto& e : entries)
            b.AddEntry(e.first, ToBytes(e.second));
        ASSERT_TRUE(WriteFile(release, b.Build()));
    }

    // What a worker posts: events carry the number of the run that is current.
    void Post(int kind, intptr_t arg, unsigned run = 0)
    {
        seq->OnUpdateEvent(MakeUpdateEventWParam(kind, run ? run : runner.run), arg);
    }
    // A probe worker whose port cannot be opened: moves the cycle on, or ends the update.
    void PortFails(int code)
    {
        if (ProbeCycleHasPortsLeft()) {
            Post(UPD_PROBED, 0);
        } else {
            g_lastToolError = code;
            Post(UPD_FINISH, 0);
        }
    }
    void Fire(unsigned id)
    {
        ASSERT_TRUE(view.timers.count(id)) << "timer " << id << " not running";
        seq->OnTimer(id);
    }
    bool Exists(const std::string& name) const { return fs::exists(tempDir + name); }
    std::string Read(const std::string& name) const
    {
        Bytes b;
        ReadFile(tempDir + name, b);
        return std::string(b.begin(), b.end());
    }
    std::string Probe(const std::string& port, int rate) const
    {
        return tempDir + "SiRFflashcl " + tempDir + "123.bin -l " + port + " -b " + std::to_string(rate) +
               " -r -f 0x0 -t 0xFF";
    }
    std::string Flash(const std::string& file, const std::string& port, int rate) const
    {
        return tempDir + "SiRFflashcl " + tempDir + file + " -l " + port + " -b " + std::to_string(rate);
    }
};

TEST_F(SequencerTest, SuccessfulUpdateKeepingTheUserPositions)
{
    seq->SetLogoShown(false);
    seq->OnUpdateButton();
    // Extracted, busy, controls locked, the probe on the selected port.
    EXPECT_TRUE(Exists("SiRFflashcl.exe") && Exists("fw_gsp3.s3"));
    EXPECT_FALSE(Exists("Demo 1.40"));  // the label is shown, never written
    EXPECT_EQ(1, seq->m_bBusy);
    EXPECT_EQ(0, view.progressLower);
    EXPECT_EQ(105, view.progressUpper);
    EXPECT_EQ(5, view.progressPos);
    EXPECT_TRUE(view.shown[IDC_PROGRESS]);
    EXPECT_EQ("Ahora Actualice...", view.text[IDC_UPDATE_BUTTON]);
    EXPECT_FALSE(view.enabled[IDC_UPDATE_BUTTON] || view.enabled[IDC_PORT_LIST] || view.enabled[IDC_SPEED_LIST]);
    // The keep/erase choice was read at the press: it cannot change until the end.
    EXPECT_FALSE(view.enabled[IDC_KEEP_POSITIONS] || view.enabled[IDC_ERASE_POSITIONS]);
    ASSERT_EQ(1u, runner.commandLines.size());
    EXPECT_EQ(Probe("3", 115200), runner.commandLines[0]);
    EXPECT_EQ(CHIP_PENDING, g_chipType.load());
    EXPECT_EQ(1, g_firstPort.load());
    EXPECT_EQ(2, g_portCursor.load());
    EXPECT_EQ(4, g_speedSlot.load());
    EXPECT_EQ(6000u, view.timers[TIMER_WATCHDOG]);
    EXPECT_EQ(2, view.exchanges);  // read at the press, shown again at its end

    // The probe worker: a chip, progress, done. The first event stops the watchdog.
    g_chipType = CHIP_GSP3;
    Post(UPD_PROGRESS, 0);
    EXPECT_EQ(0u, view.timers.count(TIMER_WATCHDOG));
    EXPECT_EQ(10, view.progressPos);
    Post(UPD_PROBED, 1);
    EXPECT_EQ("fw_gsp3.s3", std::string(firmware->m_strFirmware));
    EXPECT_EQ(kFirmwareBody + kDatabase + kS7, Read("fw_gsp3.s3"));
    EXPECT_EQ(1000u, view.timers[TIMER_NEXT_STEP]);

    Fire(TIMER_NEXT_STEP);
    ASSERT_EQ(2u, runner.commandLines.size());
    EXPECT_EQ(Flash("fw_gsp3.s3", "3", 115200), runner.commandLines[1]);
    EXPECT_EQ(0, g_chipType.load());
    EXPECT_EQ(1, g_portCursor.load());
    EXPECT_EQ(1, g_firstPort.load());
    EXPECT_EQ("fw_gsp3.s3", view.text[IDC_UPDATE_INFO2]);  // no logo shown
    EXPECT_EQ(6000u, view.timers[TIMER_WATCHDOG]);

    Post(UPD_PROGRESS, 50);
    EXPECT_EQ(60, view.progressPos);
    Post(UPD_PROGRESS, 95);
    ASSERT_TRUE(WriteFile(tempDir + "123.bin", ToBytes("dump")));  // the probe's dump
    uint32_t before = runner.tick;
    Post(UPD_FINISH, 1);
    EXPECT_GE(runner.tick - before, 1000u);
    EXPECT_FALSE(Exists("fw_gsp3.s3") || Exists("SiRFflashcl.exe") || Exists("Demo 1.40"));
    EXPECT_TRUE(Exists("123.bin"));  // until Exit
    EXPECT_EQ(0, seq->m_bBusy);
    EXPECT_TRUE(view.enabled[IDC_UPDATE_BUTTON] && view.enabled[IDC_PORT_LIST]);
    EXPECT_TRUE(view.enabled[IDC_KEEP_POSITIONS] && view.enabled[IDC_ERASE_POSITIONS]);
    EXPECT_FALSE(view.enabled[IDC_SPEED_LIST]);
    EXPECT_EQ(105, view.progressPos);
    EXPECT_EQ(1, view.GetListSelection(IDC_PORT_LIST));
    ASSERT_EQ(1u, view.boxes.size());
    EXPECT_EQ("Actualizacion Terminada. ", view.boxes[0].text);
    EXPECT_EQ(
        "\xA2\xAE"
        "Exito",
        view.boxes[0].caption);
    EXPECT_EQ(
        "\xA2\xAE"
        "Exito!!",
        view.text[IDC_UPDATE_BUTTON]);
    // The button changes only after the box was closed.
    EXPECT_EQ(
        "text 1003 \xA2\xAE"
        "Exito!!",
        view.log.back());

    seq->OnOK();
    EXPECT_TRUE(view.closed);
    EXPECT_FALSE(Exists("123.bin"));
}

TEST_F(SequencerTest, ErasingTheUserPositionsAddsTheOptionToTheFlashRunOnly)
{
    // The checked button (-1: neither): only "Borrar Posiciones de Usuario" erases.
    const struct {
        int radio;
        const char* option;
    } rows[] = {{1, " -e"}, {0, ""}, {-1, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.radio);
        SetUp();
        view.radio = row.radio;
        seq->SetLogoShown(true);
        view.text[IDC_UPDATE_INFO2] = "before";
        seq->OnUpdateButton();
        g_chipType = CHIP_GSP2E;
        Post(UPD_PROBED, 1);
        Fire(TIMER_NEXT_STEP);
        ASSERT_EQ(2u, runner.commandLines.size());
        EXPECT_EQ(Probe("3", 115200), runner.commandLines[0]);
        EXPECT_EQ(Flash("fw_gsp2e.s2x", "3", 115200) + row.option, runner.commandLines[1]);
        EXPECT_EQ("before", view.text[IDC_UPDATE_INFO2]);  // the logo is shown: 1006 keeps its text
    }
}

TEST_F(SequencerTest, PortsAreTriedFromTheSelectedOneAroundTheListUntilTheCycleEnds)
{
    seq->OnUpdateButton();
    PortFails(FTM_ERR_PORT_BUSY);
    EXPECT_EQ(5000u, view.timers[TIMER_NEXT_STEP]);
    Fire(TIMER_NEXT_STEP);
    EXPECT_EQ(2, view.GetListSelection(IDC_PORT_LIST));
    PortFails(FTM_ERR_NO_PORT);
    Fire(TIMER_NEXT_STEP);
    EXPECT_EQ(0, view.GetListSelection(IDC_PORT_LIST));
    PortFails(FTM_ERR_PORT_BUSY);  // back at the first port: the worker ends the update

    ASSERT_EQ(3u, runner.commandLines.size());
    EXPECT_EQ(Probe("3", 115200), runner.commandLines[0]);
    EXPECT_EQ(Probe("12", 115200), runner.commandLines[1]);
    EXPECT_EQ(Probe("1", 115200), runner.commandLines[2]);
    EXPECT_EQ(1, view.GetListSelection(IDC_PORT_LIST));  // the middle row again
    EXPECT_EQ("Recomprobacion de Actualizacion", view.text[IDC_UPDATE_BUTTON]);
    ASSERT_EQ(1u, view.boxes.size());
    EXPECT_EQ("existe Puerto de Serie Virtual. \r\n No se puede Abrir el Puerto de Serie.", view.boxes[0].text);
    EXPECT_EQ("", view.boxes[0].caption);        // the application's own box
    EXPECT_FALSE(view.enabled[IDC_SPEED_LIST]);  // the port could not be opened: the speed is not to blame
    EXPECT_TRUE(view.enabled[IDC_UPDATE_BUTTON] && view.enabled[IDC_PORT_LIST]);
    EXPECT_FALSE(Exists("fw_gsp3.s3"));
}

TEST_F(SequencerTest, SpeedAndPortTextsOfTheCommandLine)
{
    view.SetListSelection(IDC_PORT_LIST, 2);
    view.SetListSelection(IDC_SPEED_LIST, 0);
    seq->OnUpdateButton();
    EXPECT_EQ(Probe("12", 38400), runner.commandLines.at(0));
    EXPECT_EQ(0, g_portCursor.load());  // wrapped past the last row

    // Only a blank, COM and a number name a port for the command line.
    const std::pair<const char*, int> rows[] = {{" COM1", 1},    {" COM9999", 9999}, {" COM10000", 0}, {" COM041", 0},
                                                {" com3", 0},    {" COM", 0},        {" COM3 ", 0},    {"COM3", 0},
                                                {" COM3 -r", 0}, {" COM-3", 0}};
    for (const auto& r : rows)
        EXPECT_EQ(r.second, PortNumberOfRow(r.first)) << r.first;
}

TEST_F(SequencerTest, WatchdogMovesOnStopsTheSilentRunAndIgnoresItsLateEvents)
{
    seq->OnUpdateButton();
    unsigned silent = runner.run;
    Fire(TIMER_WATCHDOG);
    EXPECT_EQ(1, runner.stops);
    ASSERT_EQ(2u, runner.commandLines.size());
    EXPECT_EQ(Probe("12", 115200), runner.commandLines[1]);
    EXPECT_EQ(2, view.GetListSelection(IDC_PORT_LIST));
    EXPECT_EQ(6000u, view.timers[TIMER_WATCHDOG]);

    // The silent run wakes up late: nothing it says may count.
    g_chipType = CHIP_GSP3;
    Post(UPD_PROGRESS, 40, silent);
    Post(UPD_PROBED, 1, silent);
    Post(UPD_FINISH, 0, silent);
    EXPECT_EQ(6000u, view.timers[TIMER_WATCHDOG]);  // still waiting for the current run
    EXPECT_EQ(5, view.progressPos);
    EXPECT_EQ(0u, view.timers.count(TIMER_NEXT_STEP));
    EXPECT_EQ(1, seq->m_bBusy);
    EXPECT_TRUE(view.boxes.empty());

    // The last port stays silent too: the cycle ends in failure, and a timeout is not a port
    // error, so the speed list becomes usable.
    Fire(TIMER_WATCHDOG);
    Fire(TIMER_WATCHDOG);
    EXPECT_EQ(3, runner.stops);
    EXPECT_EQ(3u, runner.commandLines.size());
    EXPECT_EQ(0, seq->m_bBusy);
    EXPECT_TRUE(view.enabled[IDC_SPEED_LIST]);
    EXPECT_EQ("Recomprobacion de Actualizacion", view.text[IDC_UPDATE_BUTTON]);
}

TEST_F(SequencerTest, WatchdogBoundsOnlyTheTimeToARunsFirstEvent)
{
    seq->OnUpdateButton();
    Post(UPD_PROGRESS, 1);
    EXPECT_EQ(0, seq->m_bWatchdogArmed);
    EXPECT_EQ(0u, view.timers.count(TIMER_WATCHDOG));
    EXPECT_EQ(1u, view.timers.size());  // only the minute of silence is still watched
    g_chipType = CHIP_GSP3;
    Post(UPD_PROBED, 1);
    Fire(TIMER_NEXT_STEP);
    // The flashing run gets a new watchdog. A utility that runs is never ended by it: it may be
    // erasing the chip without a word.
    Fire(TIMER_WATCHDOG);
    EXPECT_EQ(0, runner.stops);
    EXPECT_EQ(1, seq->m_bBusy);
    Post(UPD_FINISH, 1);
    // A utility that never started is given up, and the update ends at once.
    seq->OnUpdateButton();
    g_chipType = CHIP_GSP3;
    Post(UPD_PROBED, 1);
    Fire(TIMER_NEXT_STEP);
    runner.utilityStarted = false;
    Fire(TIMER_WATCHDOG);
    EXPECT_EQ(1, runner.stops);
    EXPECT_EQ(0, seq->m_bBusy);
    EXPECT_EQ(4u, runner.commandLines.size());
    EXPECT_EQ("Recomprobacion de Actualizacion", view.text[IDC_UPDATE_BUTTON]);
}

TEST_F(SequencerTest, ProbeWithoutChipNameIsAFailedPortAndChoosesNothing)
{
    seq->OnUpdateButton();
    Post(UPD_PROBED, 1);  // completed, but no chip named: still pending
    EXPECT_TRUE(firmware->m_strFirmware.IsEmpty());
    EXPECT_EQ(5000u, view.timers[TIMER_NEXT_STEP]);
    Fire(TIMER_NEXT_STEP);
    ASSERT_EQ(2u, runner.commandLines.size());
    EXPECT_EQ(Probe("12", 115200), runner.commandLines[1]);
    // This receiver names its chip: its firmware is merged once, the others are left.
    g_chipType = CHIP_GSP2E;
    Post(UPD_PROBED, 1);
    Fire(TIMER_NEXT_STEP);
    EXPECT_EQ(Flash("fw_gsp2e.s2x", "12", 115200), runner.commandLines.at(2));
    EXPECT_EQ(kFirmwareBody + kDatabase + kS7, Read("fw_gsp2e.s2x"));
    EXPECT_EQ(kFirmwareBody + kS7, Read("fw_other.s2"));
}

TEST_F(SequencerTest, NoFirmwareForTheChipHaltsWithOnlyExitUseful)
{
    WritePayload({{"fw_gsp3.s3", kFirmwareBody + kS7},
                  {"database.db0", kDatabase},
                  {"SiRFflashcl.exe", "MZ"},
                  {"logo.bmp", "BM"},
                  {"Demo", ""}});
    Rebuild();
    seq->OnUpdateButton();
    g_chipType = CHIP_GSP2E;
    Post(UPD_PROBED, 1);
    EXPECT_TRUE(firmware->m_strFirmware.IsEmpty());
    ASSERT_EQ(1u, view.boxes.size());
    EXPECT_EQ("No se puede encontrar un elemento constitutivo.", view.boxes[0].text);
    EXPECT_EQ("Error", view.boxes[0].caption);
    EXPECT_EQ(0, seq->m_bBusy);
    EXPECT_FALSE(view.enabled[IDC_UPDATE_BUTTON] || view.enabled[IDC_PORT_LIST]);
    EXPECT_EQ("Ahora Actualice...", view.text[IDC_UPDATE_BUTTON]);
    EXPECT_FALSE(Exists("fw_gsp3.s3"));
    EXPECT_TRUE(view.timers.empty());
    EXPECT_EQ(1u, runner.commandLines.size());
    seq->OnOK();
    EXPECT_TRUE(view.closed);
}

TEST_F(SequencerTest, ExtractionFailuresTellWhyAndStartNothing)
{
    struct Row {
        const char* what;
        std::function<void(SequencerTest&)> prepare;
        const char* text;
    } rows[] = {
        {"no payload", [](SequencerTest& t) { WriteFile(t.release, ToBytes("MZ no payload")); },
         "No se puede encontrar un elemento constitutivo."},
        {"empty payload", [](SequencerTest& t) { WriteFile(t.release, PayloadBuilder().Build(0)); },
         "No se puede encontrar un elemento constitutivo."},
        {"missing program file", [](SequencerTest& t) { fs::remove(t.release); }, "No se puede ejecutar el programa."},
        {"working folder replaced by a file",
         [](SequencerTest& t) {
             fs::remove_all(t.root / "tmp");
             WriteFile((t.root / "tmp").string(), Bytes());
         },
         "Reinicie el ordenador."},
        {"no right to write an entry's file", [](SequencerTest& t) { fs::create_directory(t.tempDir + "fw_gsp3.s3"); },
         SEQ_TEXT_ACCESS_DENIED},
        {"a damaged stream, as a broken download leaves it",
         [](SequencerTest& t) {
             PayloadBuilder b;
             Bytes z = Deflate(ToBytes(kFirmwareBody + kS7));
             z.resize(z.size() / 2);
             b.AddRecord({"fw_gsp3.s3", kRealLength, b.AppendRaw(z), int32_t(kFirmwareBody.size() + kS7.size()),
                          int32_t(z.size())});
             b.AddEntry("Demo 1.40", Bytes());
             WriteFile(t.release, b.Build());
         },
         "El archivo de la actualizacion esta danado. Descarguelo de nuevo y vuelva a intentarlo."},
    };
    for (auto& row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        row.prepare(*this);
        seq->OnUpdateButton();
        ASSERT_EQ(1u, view.boxes.size());
        EXPECT_EQ(row.text, view.boxes[0].text);
        EXPECT_EQ("Error", view.boxes[0].caption);
        EXPECT_EQ(0, seq->m_bBusy);
        EXPECT_TRUE(view.shown[IDC_PROGRESS]);
        EXPECT_TRUE(runner.commandLines.empty());
        EXPECT_TRUE(view.timers.empty());
        EXPECT_EQ(2, view.exchanges);
    }
}

// Blanks in the working folder or in an entry's name: the utility is named and given its files
// by their short (8.3) forms, or quoted where the system has none.
TEST_F(SequencerTest, BlanksInPathsReachTheUtilityAsShortFormsOrQuoted)
{
    const std::string dir = (root / "Temp dir").string() + AFX_PATH_SEPARATOR;
    const std::string sdir = (root / "TEMPDI~1").string() + AFX_PATH_SEPARATOR;
    const std::string q = "\"";
    const struct {
        const char* what;
        std::map<std::string, std::string> shortNames;
        std::string tool, dump, file;
    } rows[] = {
        {"short forms",
         {{dir, sdir}, {dir + "fw gsp3.s", sdir + "FWGSP3~1.S"}},
         sdir + "SiRFflashcl",
         sdir + "123.bin",
         sdir + "FWGSP3~1.S"},
        {"the folder's only", {{dir, sdir}}, sdir + "SiRFflashcl", sdir + "123.bin", q + dir + "fw gsp3.s" + q},
        {"none", {}, q + dir + "SiRFflashcl" + q, q + dir + "123.bin" + q, q + dir + "fw gsp3.s" + q},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        WritePayload({{"fw gsp3.s", kFirmwareBody + kS7}, {"SiRFflashcl.exe", "MZ tool"}, {"Demo", ""}});
        tempDir = dir;  // made by the update
        Rebuild();
        runner.shortNames = row.shortNames;
        seq->OnUpdateButton();
        g_chipType = CHIP_GSP3;
        Post(UPD_PROBED, 1);
        Fire(TIMER_NEXT_STEP);
        ASSERT_EQ(2u, runner.commandLines.size());
        EXPECT_EQ(row.tool + " " + row.dump + " -l 3 -b 115200 -r -f 0x0 -t 0xFF", runner.commandLines[0]);
        EXPECT_EQ(row.tool + " " + row.file + " -l 3 -b 115200", runner.commandLines[1]);
        Post(UPD_FINISH, 1);
        EXPECT_FALSE(fs::exists(dir));  // nothing was left in it
    }
}

TEST_F(SequencerTest, NothingStartsWithoutAPortToTry)
{
    view.rows[IDC_PORT_LIST].clear();
    view.selection[IDC_PORT_LIST] = -1;
    seq->OnUpdateButton();
    ASSERT_EQ(1u, view.boxes.size());
    EXPECT_EQ(SEQ_TEXT_NO_PORTS, view.boxes[0].text);
    view.AddListRow(IDC_PORT_LIST, " COM4");
    seq->OnUpdateButton();
    EXPECT_EQ(SEQ_TEXT_NO_PORT_ROW, view.boxes.at(1).text);
    view.SetListSelection(IDC_PORT_LIST, 0);
    view.selection[IDC_SPEED_LIST] = -1;
    seq->OnUpdateButton();
    EXPECT_EQ(SEQ_TEXT_NO_SPEED_ROW, view.boxes.at(2).text);
    EXPECT_EQ(0, seq->m_bBusy);
    EXPECT_TRUE(runner.commandLines.empty());
    EXPECT_FALSE(Exists("SiRFflashcl.exe"));
}

TEST_F(SequencerTest, WithoutATemporaryDirectoryNothingIsUnpackedOrDeleted)
{
    tempDir.clear();
    Rebuild();
    seq->OnUpdateButton();
    ASSERT_EQ(1u, view.boxes.size());
    EXPECT_EQ("No se puede ejecutar el programa.", view.boxes[0].text);
    EXPECT_TRUE(runner.commandLines.empty());
    EXPECT_EQ(0, seq->m_bBusy);
    seq->OnOK();
    EXPECT_TRUE(view.closed);
}

TEST_F(SequencerTest, WhileBusyTheButtonIsIgnoredAndTheDialogCannotBeClosed)
{
    seq->OnUpdateButton();
    int exchanges = view.exchanges;
    seq->OnUpdateButton();
    EXPECT_EQ(exchanges, view.exchanges);  // not even the data exchange
    EXPECT_EQ(1u, runner.commandLines.size());

    seq->OnOK();
    EXPECT_FALSE(seq->OnCancel());
    EXPECT_FALSE(view.closed);
    ASSERT_EQ(2u, view.boxes.size());
    for (auto& box : view.boxes) {
        EXPECT_EQ("Ahora Actualice....", box.text);
        EXPECT_EQ("Advertencia", box.caption);
    }
    EXPECT_TRUE(Exists("SiRFflashcl.exe"));

    // Once idle, Escape closes without cleaning up; Exit cleans up.
    EXPECT_TRUE(seq->OnQueryEndSession());  // no flashing yet: nothing to lose
    g_lastToolError = 0;
    Post(UPD_FINISH, 0);
    EXPECT_TRUE(seq->OnCancel());

    // A flashing run is never ended for its silence; after a minute without a record, leaving
    // asks instead. No keeps waiting; Yes ends the utility, fails, cleans up and closes.
    seq->OnUpdateButton();
    g_chipType = CHIP_GSP3;
    Post(UPD_PROBED, 1);
    Fire(TIMER_NEXT_STEP);
    Post(UPD_PROGRESS, 30);
    EXPECT_FALSE(seq->OnQueryEndSession());
    EXPECT_EQ(0u, view.timers.count(TIMER_STALL));
    runner.now += STALL_MS - 1;
    seq->OnOK();
    EXPECT_EQ(SEQ_TEXT_BUSY, view.boxes.back().text);
    runner.now += 1;
    view.answers = {false};
    EXPECT_FALSE(seq->OnCancel());
    EXPECT_EQ(SEQ_TEXT_ASK_LEAVE, view.boxes.back().text);
    EXPECT_EQ("Advertencia", view.boxes.back().caption);
    EXPECT_EQ(1, seq->m_bBusy);
    view.answers = {true};
    seq->OnOK();
    EXPECT_EQ(1, runner.stops);
    EXPECT_EQ(SEQ_TEXT_FAILED, view.boxes.back().text);
    EXPECT_TRUE(view.closed);
    EXPECT_FALSE(Exists("SiRFflashcl.exe"));
}

TEST_F(SequencerTest, SinglePortThatCannotBeOpenedEndsAtOnce)
{
    view.rows[IDC_PORT_LIST] = {" COM7"};
    view.SetListSelection(IDC_PORT_LIST, 0);
    seq->OnUpdateButton();
    EXPECT_EQ(g_firstPort.load(), g_portCursor.load());
    PortFails(FTM_ERR_PORT_BUSY);
    EXPECT_EQ(0, seq->m_bBusy);
    EXPECT_FALSE(view.enabled[IDC_SPEED_LIST]);
    EXPECT_EQ(1u, runner.commandLines.size());
}

TEST_F(SequencerTest, AnEarlierUpdatesErrorCodeDoesNotDecideTheNextFailure)
{
    view.rows[IDC_PORT_LIST] = {" COM7"};
    view.SetListSelection(IDC_PORT_LIST, 0);
    seq->OnUpdateButton();
    PortFails(FTM_ERR_PORT_BUSY);
    EXPECT_FALSE(view.enabled[IDC_SPEED_LIST]);
    seq->OnUpdateButton();
    EXPECT_EQ(0, g_lastToolError.load());
    Fire(TIMER_WATCHDOG);  // this time nothing answers
    EXPECT_TRUE(view.enabled[IDC_SPEED_LIST]);
}

TEST_F(SequencerTest, EachUpdateMergesTheDatabaseIntoFreshlyExtractedFirmwareOnce)
{
    // Updates one after the other in the same window; each flashes only what it chose itself.
    const struct {
        ChipType chip;
        bool bPortFails;    // the probe named the chip, then the port failed
        const char* flash;  // the firmware flashed; null: the next port is probed instead
    } updates[] = {
        {CHIP_GSP3, false, "fw_gsp3.s3"},
        {CHIP_GSP3, false, "fw_gsp3.s3"},
        {CHIP_GSP2E, false, "fw_gsp2e.s2x"},
        {CHIP_GSP3, true, nullptr},
    };
    for (const auto& u : updates) {
        SCOPED_TRACE(int(&u - updates));
        seq->OnUpdateButton();
        g_chipType = u.chip;
        Post(UPD_PROBED, u.bPortFails ? 0 : 1);
        Fire(TIMER_NEXT_STEP);
        if (!u.flash) {
            EXPECT_EQ(Probe("12", 115200), runner.commandLines.back());
            EXPECT_EQ(kFirmwareBody + kS7, Read("fw_gsp2e.s2x"));
            continue;
        }
        EXPECT_EQ(Flash(u.flash, "3", 115200), runner.commandLines.back());
        EXPECT_EQ(kFirmwareBody + kDatabase + kS7, Read(u.flash));
        for (const char* other : {"fw_gsp3.s3", "fw_gsp2e.s2x", "fw_other.s2"}) {
            if (std::string(other) != u.flash) {
                EXPECT_EQ(kFirmwareBody + kS7, Read(other)) << other;
            }
        }
        Post(UPD_FINISH, 1);
    }
    EXPECT_TRUE(mergeErrors.empty());
}

TEST_F(SequencerTest, OneFirmwareWithoutDatabaseIsFlashedAsExtracted)
{
    WritePayload({{"Firmware.S", kFirmwareBody + kS7}, {"SiRFflashcl.exe", "MZ"}, {"logo.bmp", "BM"}, {"Demo", ""}});
    Rebuild();
    seq->OnUpdateButton();
    g_chipType = CHIP_GSP3;
    Post(UPD_PROBED, 1);
    Fire(TIMER_NEXT_STEP);
    EXPECT_EQ(Flash("firmware.s", "3", 115200), runner.commandLines.at(1));
    EXPECT_EQ(kFirmwareBody + kS7, Read("Firmware.S"));
}

// The worker of the current run played by the real record handling: what the utility writes
// reaches the sequencer as the dialog would receive it, boxes included.
class WorkerHost : public IFlashRunHost {
public:
    WorkerHost(SequencerTest& t) : m_t(t), m_run(t.runner.run) {}
    bool IfCurrent(const std::function<void()>& f) override
    {
        if (m_run != m_t.runner.run || m_run == m_t.runner.stopped)
            return false;
        f();
        return true;
    }
    void PostUpdateEvent(int nKind, intptr_t lArg) override
    {
        m_t.seq->OnUpdateEvent(MakeUpdateEventWParam(nKind, m_run), lArg);
    }
    void ShowMessageBox(const CString& strText) override { m_t.view.ShowAppMessage(strText); }
    void ReleaseRun() override
    {
        if (m_run == m_t.runner.run)
            m_t.runner.ending = true;
    }
    void RecordRead() override
    {
        if (m_run == m_t.runner.run)
            m_t.runner.lastRecord = m_t.runner.now;
    }

private:
    SequencerTest& m_t;
    unsigned m_run;
};

// How a run can end, for the table of HowARunEndsDecidesTheNextStep.
enum RunPhase { PROBE_PORTS_LEFT, PROBE_LAST_PORT, FLASHING };
enum RunEnding {
    FINAL_RECORDS,  // the records are written, then the pipe ends
    PIPE_ENDS,      // the utility dies after the records: no final record
    GOES_SILENT,    // the records, then the utility stays alive and silent (flashing: then done)
    NEVER_SPEAKS,   // nothing at all: the watchdog
    NOT_A_PORT,     // the selected row names no port the utility can be given
};
const int32_t kWait = 0x7FFFFFFF;  // not a record: 40 s pass
typedef std::pair<int32_t, const char*> ToolRecord;
struct RunEndingRow {
    const char* what;
    RunPhase phase;
    std::vector<ToolRecord> records;
    RunEnding ending;
    unsigned nextStepMs;             // 0: the update ended
    std::vector<std::string> boxes;  // before the sequencer's own failure box
    int stops;                       // runs given up on
};

// Starts the row's run: the probe of the selected port, or the flashing run after a probe
// that found the chip. Returns the number of runs started before it.
size_t StartRowRun(SequencerTest& t, const RunEndingRow& row)
{
    t.SetUp();
    if (row.phase == PROBE_LAST_PORT) {
        t.view.rows[IDC_PORT_LIST] = {" COM7"};
        t.view.SetListSelection(IDC_PORT_LIST, 0);
    }
    if (row.ending == NOT_A_PORT)
        t.view.rows[IDC_PORT_LIST][size_t(t.view.GetListSelection(IDC_PORT_LIST))] = " COM41 -r";
    t.seq->OnUpdateButton();
    if (row.phase == FLASHING) {
        g_chipType = CHIP_GSP3;
        t.Post(UPD_PROBED, 1);
        t.Fire(TIMER_NEXT_STEP);
    }
    return t.runner.commandLines.size();
}

// Plays the row's records through the worker, then its ending.
void PlayRowRun(SequencerTest& t, CFlashToolRun& worker, const RunEndingRow& row)
{
    bool bGoesOn = true;
    uint32_t lastRecord = t.runner.now;
    for (const auto& r : row.records) {
        if (r.first == kWait) {
            t.runner.now += 40000;
            continue;
        }
        lastRecord = t.runner.now;
        bGoesOn = worker.Dispatch(r.first, r.second);
        // Each report of a probe restarts its minute; the first also ends the watchdog. A
        // flashing run is never watched for silence.
        if (r.first == FTM_PROGRESS) {
            EXPECT_EQ(0u, t.view.timers.count(TIMER_WATCHDOG));
            EXPECT_EQ(row.phase == FLASHING ? 0u : 1u, t.view.timers.count(TIMER_STALL));
        }
        if (!bGoesOn)
            break;
    }
    if (row.ending == PIPE_ENDS) {
        ASSERT_TRUE(bGoesOn);
        worker.EndWithoutFinalRecord();
    } else if (row.ending == GOES_SILENT && row.phase == FLASHING) {
        EXPECT_TRUE(t.view.timers.empty());
        t.runner.now += STALL_MS + 5000;
        worker.Dispatch(FTM_DONE, "");
    } else if (row.ending == GOES_SILENT) {
        ASSERT_TRUE(bGoesOn);
        EXPECT_EQ(0u, t.view.timers.count(TIMER_NEXT_STEP));
        // The timer fires when due; a probe is ended a minute after its last record of any kind.
        while (t.view.timers.count(TIMER_STALL)) {
            t.runner.now = std::max(t.runner.now, t.view.due[TIMER_STALL]);
            t.Fire(TIMER_STALL);
        }
        EXPECT_EQ(STALL_MS, t.runner.now - lastRecord);
        // The run was ended: what its worker sees next (the pipe closing) changes nothing.
        worker.EndWithoutFinalRecord();
    } else if (row.ending == NEVER_SPEAKS) {
        t.Fire(TIMER_WATCHDOG);
    }
}

// What the update does after the row's run: the next step, or the end the user is told of.
void ExpectRowOutcome(SequencerTest& t, const RunEndingRow& row, size_t runs)
{
    EXPECT_EQ(row.stops, t.runner.stops);
    EXPECT_EQ(0u, t.view.timers.count(TIMER_STALL));
    EXPECT_EQ(0u, t.view.timers.count(TIMER_WATCHDOG) && row.ending != NEVER_SPEAKS);

    std::vector<std::string> boxes;
    for (const auto& b : t.view.boxes)
        boxes.push_back(b.text);
    if (row.nextStepMs) {
        EXPECT_EQ(1, t.seq->m_bBusy);
        EXPECT_TRUE(boxes.empty());
        EXPECT_EQ(row.nextStepMs, t.view.timers[TIMER_NEXT_STEP]);
        t.Fire(TIMER_NEXT_STEP);
        ASSERT_EQ(runs + 1, t.runner.commandLines.size());
        // A failed port leads to the next port, never to flashing; what it named is forgotten.
        if (row.nextStepMs != NEXT_STEP_MS) {
            EXPECT_EQ(t.Probe("12", 115200), t.runner.commandLines.back());
            EXPECT_EQ(CHIP_PENDING, g_chipType.load());
        }
        return;
    }
    // The update is over: the failure or success the user is told, the window free again.
    if (row.ending == NEVER_SPEAKS) {
        // The watchdog of a cycle with ports left probes the next port instead.
        EXPECT_EQ(runs + 1, t.runner.commandLines.size());
        EXPECT_EQ(t.Probe("12", 115200), t.runner.commandLines.back());
        EXPECT_EQ(CHIP_PENDING, g_chipType.load());
        EXPECT_EQ(6000u, t.view.timers[TIMER_WATCHDOG]);
        return;
    }
    EXPECT_EQ(0, t.seq->m_bBusy);
    EXPECT_TRUE(t.view.timers.empty());
    EXPECT_EQ(runs, t.runner.commandLines.size());
    std::vector<std::string> expected = row.boxes;
    const bool bSuccess = row.phase == FLASHING && (row.ending == GOES_SILENT || row.records.back().first == FTM_DONE);
    expected.push_back(bSuccess ? SEQ_TEXT_DONE : SEQ_TEXT_FAILED);
    EXPECT_EQ(expected, boxes);
    if (!boxes.empty() && boxes[0] == SEQ_TEXT_STALLED) {
        EXPECT_EQ("Error", t.view.boxes[0].caption);
    }
    EXPECT_TRUE(t.view.enabled[IDC_UPDATE_BUTTON] && t.view.enabled[IDC_PORT_LIST]);
}

// How a run ends, and what the update does next: one row per way a run can end, in a probe
// cycle with ports left, at the end of the cycle, and in the flashing run.
TEST_F(SequencerTest, HowARunEndsDecidesTheNextStep)
{
    const ToolRecord kProgress{FTM_PROGRESS, "5 0 a b c"}, kChip{FTM_CHIP_NAME, "GSP3"}, kDone{FTM_DONE, ""},
        kBusy{FTM_ERR_PORT_BUSY, "busy"}, kOther{2000, "ignored"}, k40s{kWait, ""};
    const std::string kNoResult = "error desconocido(-1).The flash utility ended without a result.";
    const std::string kClosePort = "Cierre el programa conectado con otro puerto e intentelo otra vez.";
    // Our utility's ends on a port where no receiver named itself, and one where a receiver did.
    const ToolRecord kSilent{20, "silent"}, kNoise{22, "noise"}, kNotSirf{25, "echo"}, kForeign{24, "foreign"};
    auto box = [](const ToolRecord& r) { return "error desconocido(" + std::to_string(r.first) + ")." + r.second; };
    const RunEndingRow rows[] = {
        {"probe done", PROBE_PORTS_LEFT, {kProgress, kChip, kDone}, FINAL_RECORDS, 1000, {}, 0},
        {"probe, port busy", PROBE_PORTS_LEFT, {kBusy}, FINAL_RECORDS, 5000, {}, 0},
        {"probe dies at once", PROBE_PORTS_LEFT, {}, PIPE_ENDS, 5000, {}, 0},
        {"probe dies after progress", PROBE_PORTS_LEFT, {kProgress}, PIPE_ENDS, 5000, {}, 0},
        {"probe goes silent", PROBE_PORTS_LEFT, {kProgress}, GOES_SILENT, 5000, {}, 1},
        {"probe never speaks", PROBE_PORTS_LEFT, {}, NEVER_SPEAKS, 0, {}, 1},
        {"chip named, then port busy", PROBE_PORTS_LEFT, {kChip, kBusy}, FINAL_RECORDS, 5000, {}, 0},
        {"chip named, then died", PROBE_PORTS_LEFT, {kChip}, PIPE_ENDS, 5000, {}, 0},
        {"chip named, then stalled", PROBE_PORTS_LEFT, {kProgress, kChip}, GOES_SILENT, 5000, {}, 1},
        {"chip named, then the watchdog", PROBE_PORTS_LEFT, {kChip}, NEVER_SPEAKS, 0, {}, 1},
        {"success without a chip", PROBE_PORTS_LEFT, {kProgress, kDone}, FINAL_RECORDS, 5000, {}, 0},
        {"other records count", PROBE_PORTS_LEFT, {kProgress, k40s, kOther, k40s, kChip}, GOES_SILENT, 5000, {}, 1},
        {"port text with a blank", PROBE_PORTS_LEFT, {}, NOT_A_PORT, 5000, {}, 0},
        {"no receiver: silent line", PROBE_PORTS_LEFT, {kSilent}, FINAL_RECORDS, NEXT_EMPTY_PORT_MS, {}, 0},
        {"no receiver: noise", PROBE_PORTS_LEFT, {kProgress, kNoise}, FINAL_RECORDS, NEXT_EMPTY_PORT_MS, {}, 0},
        {"no receiver: not SiRF", PROBE_PORTS_LEFT, {kProgress, kNotSirf}, FINAL_RECORDS, NEXT_EMPTY_PORT_MS, {}, 0},
        {"chip named, then noise", PROBE_PORTS_LEFT, {kChip, kNoise}, FINAL_RECORDS, 0, {box(kNoise)}, 0},
        {"loader of another protocol", PROBE_PORTS_LEFT, {kProgress, kForeign}, FINAL_RECORDS, 0, {box(kForeign)}, 0},
        {"last port busy", PROBE_LAST_PORT, {kBusy}, FINAL_RECORDS, 0, {kClosePort}, 0},
        {"last port dies", PROBE_LAST_PORT, {kProgress}, PIPE_ENDS, 0, {kNoResult}, 0},
        {"last port goes silent", PROBE_LAST_PORT, {kProgress}, GOES_SILENT, 0, {SEQ_TEXT_STALLED}, 1},
        {"last port, success without a chip", PROBE_LAST_PORT, {kDone}, FINAL_RECORDS, 0, {}, 0},
        {"last port, text with a blank", PROBE_LAST_PORT, {}, NOT_A_PORT, 0, {kClosePort}, 0},
        {"last port, silent line", PROBE_LAST_PORT, {kSilent}, FINAL_RECORDS, 0, {box(kSilent)}, 0},
        {"last port, noise", PROBE_LAST_PORT, {kProgress, kNoise}, FINAL_RECORDS, 0, {box(kNoise)}, 0},
        {"last port, not SiRF", PROBE_LAST_PORT, {kProgress, kNotSirf}, FINAL_RECORDS, 0, {box(kNotSirf)}, 0},
        {"flashing done", FLASHING, {kProgress, kDone}, FINAL_RECORDS, 0, {}, 0},
        {"flashing dies", FLASHING, {kProgress}, PIPE_ENDS, 0, {kNoResult}, 0},
        {"flashing silent a minute, then done", FLASHING, {kProgress, kProgress}, GOES_SILENT, 0, {}, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const size_t runs = StartRowRun(*this, row);
        WorkerHost host(*this);
        CFlashToolRun worker(host);
        PlayRowRun(*this, worker, row);
        ExpectRowOutcome(*this, row, runs);
    }
}

TEST_F(SequencerTest, ARunThatKeepsReportingIsNeverGivenUp)
{
    seq->OnUpdateButton();
    g_chipType = CHIP_GSP3;
    Post(UPD_PROBED, 1);
    Fire(TIMER_NEXT_STEP);
    // A long flash reporting every few seconds; its figures move the bar within its range.
    const struct {
        intptr_t percent;
        int pos;
    } reports[] = {{-5, 10}, {0, 10}, {50, 60}, {100, 110}, {250, 110}};
    for (const auto& r : reports) {
        Post(UPD_PROGRESS, r.percent);
        EXPECT_EQ(r.pos, view.progressPos) << r.percent;
        EXPECT_TRUE(view.timers.empty());  // no watch on a flashing run's silence
    }
    Post(UPD_FINISH, 1);
    EXPECT_EQ(0, runner.stops);
    EXPECT_TRUE(view.timers.empty());
    // A late report of the finished run does not start a watch of its own.
    Post(UPD_PROGRESS, 100, runner.run);
    EXPECT_TRUE(view.timers.empty());
}

}  // namespace
