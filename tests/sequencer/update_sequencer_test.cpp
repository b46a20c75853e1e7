// The update sequencer driven natively: a fake dialog, a fake clock, and workers played by the
// test, over a real payload extracted into a real temporary directory.
#include "app/resource.h"
#include "app/update_sequencer.h"
#include "flash/flash_tool_run.h"
#include "flash/tool_message.h"
#include "tests/payload/payload_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace testing_payload;

namespace {

class FakeView : public IUpdaterView {
public:
    std::map<int, std::string> text;
    std::map<int, bool> shown, enabled;
    std::map<int, std::vector<std::string>> rows;
    std::map<int, int> selection;
    int progressLower = -1, progressUpper = -1, progressPos = -1;
    int radio = 0;  // the checked radio button: 0 keep, 1 erase
    int exchanges = 0;
    std::map<unsigned, unsigned> timers;  // running timers and their periods
    struct Box {
        std::string text, caption;  // caption "" for the application box
    };
    std::vector<Box> boxes;
    std::vector<std::string> log;  // texts, boxes and timers in the order they happened
    int repaints = 0;
    bool closed = false;

    void SetItemText(int nID, const CString& s) override
    {
        text[nID] = s.GetString();
        log.push_back("text " + std::to_string(nID) + " " + s.GetString());
    }
    void ShowItem(int nID, bool bShow) override { shown[nID] = bShow; }
    void EnableItem(int nID, bool bEnable) override { enabled[nID] = bEnable; }
    int AddListRow(int nID, const CString& s) override
    {
        rows[nID].push_back(s.GetString());
        return int(rows[nID].size()) - 1;
    }
    int GetListCount(int nID) const override
    {
        auto it = rows.find(nID);
        return it == rows.end() ? 0 : int(it->second.size());
    }
    int GetListSelection(int nID) const override
    {
        auto it = selection.find(nID);
        return it == selection.end() ? -1 : it->second;
    }
    void SetListSelection(int nID, int nRow) override
    {
        selection[nID] = nRow >= 0 && nRow < GetListCount(nID) ? nRow : -1;
        log.push_back("select " + std::to_string(nID) + " " + std::to_string(nRow));
    }
    CString GetListRow(int nID, int nRow) const override { return rows.at(nID).at(size_t(nRow)).c_str(); }
    void SetProgressRange(int lo, int hi) override { progressLower = lo, progressUpper = hi; }
    void SetProgressPos(int pos) override { progressPos = pos; }
    int ExchangeUserPositions(bool) override
    {
        ++exchanges;
        return radio;
    }
    void StartTimer(unsigned id, unsigned ms) override
    {
        timers[id] = ms;
        log.push_back("timer " + std::to_string(id) + " " + std::to_string(ms));
    }
    void StopTimer(unsigned id) override { timers.erase(id); }
    void Repaint() override { ++repaints; }
    CSize GetClientSize() const override { return CSize(485, 530); }
    void ShowMessage(const CString& t, const CString& c) override
    {
        boxes.push_back({t.GetString(), c.GetString()});
        log.push_back("box " + std::string(t.GetString()));
    }
    void ShowAppMessage(const CString& t) override
    {
        boxes.push_back({t.GetString(), ""});
        log.push_back("box " + std::string(t.GetString()));
    }
    void CloseDialog() override { closed = true; }
};

class FakeRunner : public IUpdateRunner {
public:
    uint32_t tick = 0xFFFFF000u;  // close to wrapping: waits must still last a second
    std::vector<std::string> commandLines;
    unsigned run = 0;
    unsigned stopped = 0;  // the last run given up on
    int stops = 0;
    unsigned StartRun() override
    {
        commandLines.push_back(g_toolCommandLine.GetString());
        return ++run;
    }
    void StopRun() override
    {
        ++stops;
        stopped = run;
    }
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
    fs::path root;
    std::string tempDir, release;
    FakeView view;
    FakeRunner runner;
    std::unique_ptr<CPayloadArchive> archive;
    std::unique_ptr<CFirmwareImage> firmware;
    std::unique_ptr<CUpdateSequencer> seq;
    std::vector<std::string> mergeErrors;

    void SetUp() override
    {
        seq.reset();
        view = FakeView();
        runner = FakeRunner();
        mergeErrors.clear();
        root = fs::temp_directory_path() /
               ("sequencer-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
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
        view.log.clear();
        g_lastToolError = 0;
        g_toolCommandLine.Empty();
        Rebuild();
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(root, ec);
    }

    void Rebuild(const std::string& releasePath = "")
    {
        seq.reset();
        firmware.reset();
        archive = std::make_unique<CPayloadArchive>((releasePath.empty() ? release : releasePath).c_str());
        firmware = std::make_unique<CFirmwareImage>(*archive, tempDir.c_str(),
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
        if (g_portCursor != g_firstPort) {
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
    view.radio = 1;
    seq->SetLogoShown(true);
    view.text[IDC_UPDATE_INFO2] = "before";
    seq->OnUpdateButton();
    g_chipType = CHIP_GSP2E;
    Post(UPD_PROBED, 1);
    Fire(TIMER_NEXT_STEP);
    ASSERT_EQ(2u, runner.commandLines.size());
    EXPECT_EQ(Probe("3", 115200), runner.commandLines[0]);
    EXPECT_EQ(Flash("fw_gsp2e.s2x", "3", 115200) + " -e", runner.commandLines[1]);
    EXPECT_EQ("before", view.text[IDC_UPDATE_INFO2]);  // the logo is shown: 1006 keeps its text
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
    // The flashing run gets a new watchdog; expiring ends the update at once.
    Fire(TIMER_WATCHDOG);
    EXPECT_EQ(1, runner.stops);
    EXPECT_EQ(0, seq->m_bBusy);
    EXPECT_EQ(2u, runner.commandLines.size());
    EXPECT_EQ("Recomprobacion de Actualizacion", view.text[IDC_UPDATE_BUTTON]);
}

TEST_F(SequencerTest, ProbeWithoutChipNameTakesTheDefaultFirmwareAndProbesTheNextPort)
{
    seq->OnUpdateButton();
    Post(UPD_PROBED, 1);  // completed, but no chip named: still pending
    EXPECT_EQ("fw_other.s2", std::string(firmware->m_strFirmware));
    EXPECT_EQ(1000u, view.timers[TIMER_NEXT_STEP]);
    Fire(TIMER_NEXT_STEP);
    ASSERT_EQ(2u, runner.commandLines.size());
    EXPECT_EQ(Probe("12", 115200), runner.commandLines[1]);
    // This receiver names its chip: its firmware is merged once, the earlier one is left.
    g_chipType = CHIP_GSP2E;
    Post(UPD_PROBED, 1);
    Fire(TIMER_NEXT_STEP);
    EXPECT_EQ(Flash("fw_gsp2e.s2x", "12", 115200), runner.commandLines.at(2));
    EXPECT_EQ(kFirmwareBody + kDatabase + kS7, Read("fw_gsp2e.s2x"));
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
    g_lastToolError = 0;
    Post(UPD_FINISH, 0);
    EXPECT_TRUE(seq->OnCancel());
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
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        seq->OnUpdateButton();
        g_chipType = CHIP_GSP3;
        Post(UPD_PROBED, 1);
        EXPECT_EQ(kFirmwareBody + kDatabase + kS7, Read("fw_gsp3.s3"));
        Fire(TIMER_NEXT_STEP);
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
    void ReleaseRun() override {}

private:
    SequencerTest& m_t;
    unsigned m_run;
};

// How a run ends, and what the update does next: one row per way a run can end, in a probe
// cycle with ports left, at the end of the cycle, and in the flashing run.
TEST_F(SequencerTest, HowARunEndsDecidesTheNextStep)
{
    enum Phase { PROBE_PORTS_LEFT, PROBE_LAST_PORT, FLASHING };
    enum Ending {
        FINAL_RECORDS,  // the records are written, then the pipe ends
        PIPE_ENDS,      // the utility dies after the records: no final record
        GOES_SILENT,    // the records, then the utility stays alive and silent
        NEVER_SPEAKS,   // nothing at all: the watchdog
    };
    const std::string kNoResult = "error desconocido(-1).The flash utility ended without a result.";
    const std::string kClosePort = "Cierre el programa conectado con otro puerto e intentelo otra vez.";
    const struct {
        const char* what;
        Phase phase;
        std::vector<std::pair<int32_t, const char*>> records;
        Ending ending;
        unsigned nextStepMs;             // 0: the update ended
        std::vector<std::string> boxes;  // before the sequencer's own failure box
        int stops;                       // runs given up on
    } rows[] = {
        {"probe done",
         PROBE_PORTS_LEFT,
         {{FTM_PROGRESS, "5 0 a b c"}, {FTM_CHIP_NAME, "GSP3"}, {FTM_DONE, ""}},
         FINAL_RECORDS,
         1000,
         {},
         0},
        {"probe, port busy", PROBE_PORTS_LEFT, {{FTM_ERR_PORT_BUSY, "busy"}}, FINAL_RECORDS, 5000, {}, 0},
        {"probe dies at once", PROBE_PORTS_LEFT, {}, PIPE_ENDS, 5000, {}, 0},
        {"probe dies after progress", PROBE_PORTS_LEFT, {{FTM_PROGRESS, "5 0 a b c"}}, PIPE_ENDS, 5000, {}, 0},
        {"probe goes silent", PROBE_PORTS_LEFT, {{FTM_PROGRESS, "5 0 a b c"}}, GOES_SILENT, 5000, {}, 1},
        {"probe never speaks", PROBE_PORTS_LEFT, {}, NEVER_SPEAKS, 0, {}, 1},
        {"last port busy", PROBE_LAST_PORT, {{FTM_ERR_PORT_BUSY, "busy"}}, FINAL_RECORDS, 0, {kClosePort}, 0},
        {"last port dies", PROBE_LAST_PORT, {{FTM_PROGRESS, "5 0 a b c"}}, PIPE_ENDS, 0, {kNoResult}, 0},
        {"last port goes silent",
         PROBE_LAST_PORT,
         {{FTM_PROGRESS, "5 0 a b c"}},
         GOES_SILENT,
         0,
         {SEQ_TEXT_STALLED},
         1},
        {"flashing done", FLASHING, {{FTM_PROGRESS, "50 0 a b c"}, {FTM_DONE, ""}}, FINAL_RECORDS, 0, {}, 0},
        {"flashing dies", FLASHING, {{FTM_PROGRESS, "50 0 a b c"}}, PIPE_ENDS, 0, {kNoResult}, 0},
        {"flashing goes silent",
         FLASHING,
         {{FTM_PROGRESS, "50 0 a b c"}, {FTM_PROGRESS, "60 0 a b c"}},
         GOES_SILENT,
         0,
         {SEQ_TEXT_STALLED},
         1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        SetUp();
        if (row.phase == PROBE_LAST_PORT) {
            view.rows[IDC_PORT_LIST] = {" COM7"};
            view.SetListSelection(IDC_PORT_LIST, 0);
        }
        seq->OnUpdateButton();
        if (row.phase == FLASHING) {
            g_chipType = CHIP_GSP3;
            Post(UPD_PROBED, 1);
            Fire(TIMER_NEXT_STEP);
        }
        const size_t runs = runner.commandLines.size();

        WorkerHost host(*this);
        CFlashToolRun worker(host);
        bool bGoesOn = true;
        for (const auto& r : row.records) {
            bGoesOn = worker.Dispatch(r.first, r.second);
            // Each report of a run restarts its minute; the first also ends the watchdog.
            if (r.first == FTM_PROGRESS) {
                EXPECT_EQ(0u, view.timers.count(TIMER_WATCHDOG));
                EXPECT_EQ(STALL_MS, view.timers[TIMER_STALL]);
            }
            if (!bGoesOn)
                break;
        }
        if (row.ending == PIPE_ENDS) {
            ASSERT_TRUE(bGoesOn);
            worker.EndWithoutFinalRecord();
        } else if (row.ending == GOES_SILENT) {
            ASSERT_TRUE(bGoesOn);
            EXPECT_EQ(0u, view.timers.count(TIMER_NEXT_STEP));
            Fire(TIMER_STALL);
            // The run was ended: what its worker sees next (the pipe closing) changes nothing.
            worker.EndWithoutFinalRecord();
        } else if (row.ending == NEVER_SPEAKS) {
            Fire(TIMER_WATCHDOG);
        }
        EXPECT_EQ(row.stops, runner.stops);
        EXPECT_EQ(0u, view.timers.count(TIMER_STALL));
        EXPECT_EQ(0u, view.timers.count(TIMER_WATCHDOG) && row.ending != NEVER_SPEAKS);

        std::vector<std::string> boxes;
        for (const auto& b : view.boxes)
            boxes.push_back(b.text);
        if (row.nextStepMs) {
            EXPECT_EQ(1, seq->m_bBusy);
            EXPECT_TRUE(boxes.empty());
            EXPECT_EQ(row.nextStepMs, view.timers[TIMER_NEXT_STEP]);
            Fire(TIMER_NEXT_STEP);
            ASSERT_EQ(runs + 1, runner.commandLines.size());
            if (row.nextStepMs == 5000) {
                EXPECT_EQ(Probe("12", 115200), runner.commandLines.back());  // the next port
            }
            continue;
        }
        // The update is over: the failure or success the user is told, the window free again.
        if (row.ending == NEVER_SPEAKS) {
            // The watchdog of a cycle with ports left probes the next port instead.
            EXPECT_EQ(runs + 1, runner.commandLines.size());
            EXPECT_EQ(6000u, view.timers[TIMER_WATCHDOG]);
            continue;
        }
        EXPECT_EQ(0, seq->m_bBusy);
        EXPECT_TRUE(view.timers.empty());
        EXPECT_EQ(runs, runner.commandLines.size());
        std::vector<std::string> expected = row.boxes;
        const bool bSuccess = row.ending == FINAL_RECORDS && row.records.back().first == FTM_DONE;
        expected.push_back(bSuccess ? SEQ_TEXT_DONE : SEQ_TEXT_FAILED);
        EXPECT_EQ(expected, boxes);
        if (!boxes.empty() && boxes[0] == SEQ_TEXT_STALLED) {
            EXPECT_EQ("Error", view.boxes[0].caption);
        }
        EXPECT_TRUE(view.enabled[IDC_UPDATE_BUTTON] && view.enabled[IDC_PORT_LIST]);
    }
}

TEST_F(SequencerTest, ARunThatKeepsReportingIsNeverGivenUp)
{
    seq->OnUpdateButton();
    g_chipType = CHIP_GSP3;
    Post(UPD_PROBED, 1);
    Fire(TIMER_NEXT_STEP);
    // A long flash reporting every few seconds: the minute starts again with every report.
    for (int percent = 0; percent <= 100; percent += 10) {
        Post(UPD_PROGRESS, percent);
        EXPECT_EQ(STALL_MS, view.timers[TIMER_STALL]);
        EXPECT_EQ("timer 4 60000", view.log.back());
    }
    Post(UPD_FINISH, 1);
    EXPECT_EQ(0, runner.stops);
    EXPECT_TRUE(view.timers.empty());
    // A late report of the finished run does not start a watch of its own.
    Post(UPD_PROGRESS, 100, runner.run);
    EXPECT_TRUE(view.timers.empty());
}

}  // namespace
