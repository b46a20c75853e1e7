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
#include <sstream>
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
    uint32_t GetTickMs() override { return tick += 7; }
    void Pause(unsigned ms) override { tick += ms; }
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
    uint32_t tickBefore = 0;  // the fake tick count before the step under way

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

// The update as a machine: rows of (phase, input) -> (next phase, the run started, the boxes
// shown, the timers left running), each with what else the step must leave.
using P = UpdatePhase;
enum Act {
    PRESS,     // the update button
    PROGRESS,  // the current run reports arg percent
    PROBED,    // the current run posts UPD_PROBED arg
    NAMED,     // the current probe names chip arg, then completes (UPD_PROBED 1)
    CHIP,      // the current probe names chip arg (a record; no event)
    FINISH,    // the current run posts UPD_FINISH arg
    FAILS,     // the current probe's port cannot be opened (code arg): the worker's own end
    OLD,       // the run before the current one posts, late: progress 40, chip named and done, failure
    FIRE,      // timer arg fires
    WAIT,      // arg milliseconds pass without a record
    EXIT,      // the Exit button; a question is answered No
    EXIT_YES,  // the Exit button; the question is answered Yes
    ESCAPE,    // Escape or the close box; arg: whether the dialog may end
    GIVEN,     // the world changes as the row's function says; the sequencer sees nothing
};
typedef std::map<unsigned, unsigned> Timers;
const Timers kNone, kWatchdog{{TIMER_WATCHDOG, 6000}}, kStall{{TIMER_STALL, 60000}}, kNextStep{{TIMER_NEXT_STEP, 1000}},
    kNextPort{{TIMER_NEXT_STEP, 5000}};
typedef std::function<void(SequencerTest&)> Check;
struct Step {
    P from;
    Act act;
    intptr_t arg;
    P to;
    const char* run;                 // the run started: "probe PORT [RATE]", "flash FILE PORT [-e]"; null none
    std::vector<std::string> boxes;  // the boxes shown, in order
    Timers timers;                   // the timers running afterwards
    Check check;                     // what else the step leaves (GIVEN: what changes)
};
struct Case {
    const char* what;
    Check setup;
    std::vector<Step> steps;
};

const std::string kNoPart = "No se puede encontrar un elemento constitutivo.";
const std::string kCannotRun = "No se puede ejecutar el programa.";
const std::string kFailed = "existe Puerto de Serie Virtual. \r\n No se puede Abrir el Puerto de Serie.";
const std::string kSuccess = "Actualizacion Terminada. ";
const std::string kRefused = "Ahora Actualice....";
const std::string kRecheck = "Recomprobacion de Actualizacion";

// The command line that a row's run names.
std::string CommandOf(const SequencerTest& t, const std::string& described)
{
    std::istringstream in(described);
    std::string kind, a, b, c;
    in >> kind >> a >> b >> c;
    if (kind == "probe")
        return t.Probe(a, b.empty() ? 115200 : std::stoi(b));
    return t.Flash(a, b, 115200) + (c.empty() ? "" : " " + c);
}

void Do(SequencerTest& t, const Step& s)
{
    switch (s.act) {
        case PRESS:
            return t.seq->OnUpdateButton();
        case PROGRESS:
            return t.Post(UPD_PROGRESS, s.arg);
        case PROBED:
            return t.Post(UPD_PROBED, s.arg);
        case NAMED:
            g_chipType = ChipType(s.arg);
            return t.Post(UPD_PROBED, 1);
        case CHIP:
            g_chipType = ChipType(s.arg);
            return;
        case FINISH:
            return t.Post(UPD_FINISH, s.arg);
        case FAILS:
            return t.PortFails(int(s.arg));
        case OLD: {
            g_chipType = CHIP_GSP3;
            const std::pair<int, intptr_t> late[] = {{UPD_PROGRESS, 40}, {UPD_PROBED, 1}, {UPD_FINISH, 0}};
            for (const auto& e : late)
                t.Post(e.first, e.second, t.runner.run - 1);
            return;
        }
        case FIRE:
            return t.Fire(unsigned(s.arg));
        case WAIT:
            t.runner.now += uint32_t(s.arg);
            return;
        case EXIT:
            return t.seq->OnOK();
        case EXIT_YES:
            t.view.answers = {true};
            return t.seq->OnOK();
        case ESCAPE:
            EXPECT_EQ(s.arg != 0, t.seq->OnCancel());
            return;
        case GIVEN:
            return s.check(t);
    }
}

void Play(SequencerTest& t, const Step& s)
{
    EXPECT_EQ(int(s.from), int(t.seq->GetPhase()));
    const size_t runs = t.runner.commandLines.size(), boxes = t.view.boxes.size();
    t.tickBefore = t.runner.tick;
    Do(t, s);
    EXPECT_EQ(int(s.to), int(t.seq->GetPhase()));
    std::vector<std::string> started(t.runner.commandLines.begin() + long(runs), t.runner.commandLines.end());
    EXPECT_EQ(s.run ? std::vector<std::string>{CommandOf(t, s.run)} : std::vector<std::string>{}, started);
    std::vector<std::string> shown;
    for (size_t i = boxes; i < t.view.boxes.size(); ++i)
        shown.push_back(t.view.boxes[i].text);
    EXPECT_EQ(s.boxes, shown);
    EXPECT_EQ(s.timers, t.view.timers);
    if (s.check && s.act != GIVEN)
        s.check(t);
}

Check Pos(int pos)
{
    return [pos](SequencerTest& t) { EXPECT_EQ(pos, t.view.progressPos); };
}
// Only `file` of the three firmware files has the database merged in.
Check MergedOnly(const std::string& file)
{
    return [file](SequencerTest& t) {
        for (const char* f : {"fw_gsp3.s3", "fw_gsp2e.s2x", "fw_other.s2"})
            EXPECT_EQ(kFirmwareBody + (f == file ? kDatabase : "") + kS7, t.Read(f)) << f;
    };
}
// The controls after an update that ended: the button and the port list usable again.
Check EndedWith(const std::string& button, bool speed)
{
    return [button, speed](SequencerTest& t) {
        EXPECT_EQ(button, t.view.text[IDC_UPDATE_BUTTON]);
        EXPECT_TRUE(t.view.enabled[IDC_UPDATE_BUTTON] && t.view.enabled[IDC_PORT_LIST]);
        EXPECT_EQ(speed, t.view.enabled[IDC_SPEED_LIST]);
    };
}
// The radio button checked (-1: neither), with the logo shown.
Check CheckedWithLogo(int radio)
{
    return [radio](SequencerTest& t) {
        t.view.radio = radio;
        t.seq->SetLogoShown(true);
        t.view.text[IDC_UPDATE_INFO2] = "before";
    };
}
// A GSP2e/LPx named on the first probe, then its flashing run with this command line.
std::vector<Step> FlashedAsGsp2e(const char* run)
{
    return {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
            {P::PROBE_STARTING, NAMED, CHIP_GSP2E, P::CHIP_FOUND, nullptr, {}, kNextStep, nullptr},
            {P::CHIP_FOUND, FIRE, TIMER_NEXT_STEP, P::FLASH_STARTING, run, {}, kWatchdog, [](SequencerTest& t) {
                 EXPECT_EQ("before", t.view.text[IDC_UPDATE_INFO2]);
             }}};
}
Check SinglePort = [](SequencerTest& t) {
    t.view.rows[IDC_PORT_LIST] = {" COM7"};
    t.view.SetListSelection(IDC_PORT_LIST, 0);
};
Check ExtractionFailed = [](SequencerTest& t) {
    EXPECT_EQ("Error", t.view.boxes[0].caption);
    EXPECT_TRUE(t.view.shown[IDC_PROGRESS]);
    EXPECT_EQ(2, t.view.exchanges);
};
Check NothingUnpacked = [](SequencerTest& t) { EXPECT_FALSE(t.Exists("SiRFflashcl.exe")); };
Check StaysOpen = [](SequencerTest& t) {
    EXPECT_EQ("Advertencia", t.view.boxes.back().caption);
    EXPECT_FALSE(t.view.closed);
};

TEST_F(SequencerTest, EveryStepOfAnUpdateAsRowsOfPhaseAndInput)
{
    const Case cases[] = {
        {"successful update keeping the user positions",
         [](SequencerTest& t) { t.seq->SetLogoShown(false); },
         {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog,
           [](SequencerTest& t) {
               // Extracted, controls locked, the probe on the selected port.
               EXPECT_TRUE(t.Exists("SiRFflashcl.exe") && t.Exists("fw_gsp3.s3"));
               EXPECT_FALSE(t.Exists("Demo 1.40"));  // the label is shown, never written
               EXPECT_EQ(0, t.view.progressLower);
               EXPECT_EQ(105, t.view.progressUpper);
               EXPECT_EQ(5, t.view.progressPos);
               EXPECT_TRUE(t.view.shown[IDC_PROGRESS]);
               EXPECT_EQ("Ahora Actualice...", t.view.text[IDC_UPDATE_BUTTON]);
               EXPECT_FALSE(t.view.enabled[IDC_UPDATE_BUTTON] || t.view.enabled[IDC_PORT_LIST] ||
                            t.view.enabled[IDC_SPEED_LIST]);
               // The keep/erase choice was read at the press: it cannot change until the end.
               EXPECT_FALSE(t.view.enabled[IDC_KEEP_POSITIONS] || t.view.enabled[IDC_ERASE_POSITIONS]);
               EXPECT_EQ(CHIP_PENDING, g_chipType.load());
               EXPECT_EQ(1, g_firstPort.load());
               EXPECT_EQ(2, g_portCursor.load());
               EXPECT_EQ(4, g_speedSlot.load());
               EXPECT_EQ(2, t.view.exchanges);  // read at the press, shown again at its end
           }},
          // The first event of the probe stops the watchdog.
          {P::PROBE_STARTING, PROGRESS, 0, P::PROBING, nullptr, {}, kStall, Pos(10)},
          {P::PROBING, NAMED, CHIP_GSP3, P::CHIP_FOUND, nullptr, {}, kNextStep,
           [](SequencerTest& t) {
               EXPECT_EQ("fw_gsp3.s3", std::string(t.firmware->m_strFirmware));
               MergedOnly("fw_gsp3.s3")(t);
           }},
          {P::CHIP_FOUND, FIRE, TIMER_NEXT_STEP, P::FLASH_STARTING, "flash fw_gsp3.s3 3", {}, kWatchdog,
           [](SequencerTest& t) {
               EXPECT_EQ(0, g_chipType.load());
               EXPECT_EQ(1, g_portCursor.load());
               EXPECT_EQ(1, g_firstPort.load());
               EXPECT_EQ("fw_gsp3.s3", t.view.text[IDC_UPDATE_INFO2]);  // no logo shown
           }},
          {P::FLASH_STARTING, PROGRESS, 50, P::FLASHING, nullptr, {}, kNone, Pos(60)},
          {P::FLASHING, PROGRESS, 95, P::FLASHING, nullptr, {}, kNone, Pos(105)},
          {P::FLASHING, GIVEN, 0, P::FLASHING, nullptr, {}, kNone,
           [](SequencerTest& t) { ASSERT_TRUE(WriteFile(t.tempDir + "123.bin", ToBytes("dump"))); }},
          {P::FLASHING, FINISH, 1, P::IDLE, nullptr, {kSuccess}, kNone,
           [](SequencerTest& t) {
               EXPECT_GE(t.runner.tick - t.tickBefore, 1000u);
               EXPECT_FALSE(t.Exists("fw_gsp3.s3") || t.Exists("SiRFflashcl.exe") || t.Exists("Demo 1.40"));
               EXPECT_TRUE(t.Exists("123.bin"));  // until Exit
               EndedWith("\xA2\xAE" "Exito!!", false)(t);
               EXPECT_TRUE(t.view.enabled[IDC_KEEP_POSITIONS] && t.view.enabled[IDC_ERASE_POSITIONS]);
               EXPECT_EQ(105, t.view.progressPos);
               EXPECT_EQ(1, t.view.GetListSelection(IDC_PORT_LIST));
               EXPECT_EQ("\xA2\xAE" "Exito", t.view.boxes[0].caption);
               // The button changes only after the box was closed.
               EXPECT_EQ("text 1003 \xA2\xAE" "Exito!!", t.view.log.back());
           }},
          {P::IDLE, EXIT, 0, P::IDLE, nullptr, {}, kNone,
           [](SequencerTest& t) {
               EXPECT_TRUE(t.view.closed);
               EXPECT_FALSE(t.Exists("123.bin"));
           }}}},
        // The checked button (-1: neither): only "Borrar Posiciones de Usuario" erases. The logo is
        // shown: 1006 keeps its text.
        {"erasing the user positions adds the option to the flash run only",
         CheckedWithLogo(1),
         FlashedAsGsp2e("flash fw_gsp2e.s2x 3 -e")},
        {"keeping the user positions adds no option",
         CheckedWithLogo(0),
         FlashedAsGsp2e("flash fw_gsp2e.s2x 3")},
        {"neither button checked keeps the user positions",
         CheckedWithLogo(-1),
         FlashedAsGsp2e("flash fw_gsp2e.s2x 3")},
        {"ports are tried from the selected one around the list until the cycle ends",
         nullptr,
         {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, FAILS, FTM_ERR_PORT_BUSY, P::BETWEEN_PORTS, nullptr, {}, kNextPort, nullptr},
          {P::BETWEEN_PORTS, FIRE, TIMER_NEXT_STEP, P::PROBE_STARTING, "probe 12", {}, kWatchdog,
           [](SequencerTest& t) { EXPECT_EQ(2, t.view.GetListSelection(IDC_PORT_LIST)); }},
          {P::PROBE_STARTING, FAILS, FTM_ERR_NO_PORT, P::BETWEEN_PORTS, nullptr, {}, kNextPort, nullptr},
          {P::BETWEEN_PORTS, FIRE, TIMER_NEXT_STEP, P::PROBE_STARTING, "probe 1", {}, kWatchdog,
           [](SequencerTest& t) { EXPECT_EQ(0, t.view.GetListSelection(IDC_PORT_LIST)); }},
          // Back at the first port: the worker ends the update.
          {P::PROBE_STARTING, FAILS, FTM_ERR_PORT_BUSY, P::IDLE, nullptr, {kFailed}, kNone,
           [](SequencerTest& t) {
               EXPECT_EQ(1, t.view.GetListSelection(IDC_PORT_LIST));  // the middle row again
               EXPECT_EQ("", t.view.boxes[0].caption);                // the application's own box
               // The port could not be opened: the speed is not to blame.
               EndedWith(kRecheck, false)(t);
               EXPECT_FALSE(t.Exists("fw_gsp3.s3"));
           }}}},
        {"speed and port texts of the command line",
         [](SequencerTest& t) {
             t.view.SetListSelection(IDC_PORT_LIST, 2);
             t.view.SetListSelection(IDC_SPEED_LIST, 0);
         },
         {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 12 38400", {}, kWatchdog,
           [](SequencerTest&) { EXPECT_EQ(0, g_portCursor.load()); }}}},  // wrapped past the last row
        {"watchdog moves on, stops the silent run and ignores its late events",
         nullptr,
         {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, FIRE, TIMER_WATCHDOG, P::PROBE_STARTING, "probe 12", {}, kWatchdog,
           [](SequencerTest& t) {
               EXPECT_EQ(1, t.runner.stops);
               EXPECT_EQ(2, t.view.GetListSelection(IDC_PORT_LIST));
           }},
          // The silent run wakes up late: nothing it says may count; the current run is still awaited.
          {P::PROBE_STARTING, OLD, 0, P::PROBE_STARTING, nullptr, {}, kWatchdog, Pos(5)},
          // The last port stays silent too: the cycle ends in failure, and a timeout is not a port
          // error, so the speed list becomes usable.
          {P::PROBE_STARTING, FIRE, TIMER_WATCHDOG, P::PROBE_STARTING, "probe 1", {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, FIRE, TIMER_WATCHDOG, P::IDLE, nullptr, {kFailed}, kNone,
           [](SequencerTest& t) {
               EXPECT_EQ(3, t.runner.stops);
               EndedWith(kRecheck, true)(t);
           }}}},
        {"watchdog bounds only the time to a run's first event",
         nullptr,
         {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
          // Only the minute of silence is still watched.
          {P::PROBE_STARTING, PROGRESS, 1, P::PROBING, nullptr, {}, kStall, nullptr},
          {P::PROBING, NAMED, CHIP_GSP3, P::CHIP_FOUND, nullptr, {}, kNextStep, nullptr},
          // The flashing run gets a new watchdog. A utility that runs is never ended by it: it may
          // be erasing the chip without a word.
          {P::CHIP_FOUND, FIRE, TIMER_NEXT_STEP, P::FLASH_STARTING, "flash fw_gsp3.s3 3", {}, kWatchdog, nullptr},
          {P::FLASH_STARTING, FIRE, TIMER_WATCHDOG, P::FLASHING, nullptr, {}, kNone,
           [](SequencerTest& t) { EXPECT_EQ(0, t.runner.stops); }},
          {P::FLASHING, FINISH, 1, P::IDLE, nullptr, {kSuccess}, kNone, nullptr},
          // A utility that never started is given up, and the update ends at once.
          {P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, NAMED, CHIP_GSP3, P::CHIP_FOUND, nullptr, {}, kNextStep, nullptr},
          {P::CHIP_FOUND, FIRE, TIMER_NEXT_STEP, P::FLASH_STARTING, "flash fw_gsp3.s3 3", {}, kWatchdog, nullptr},
          {P::FLASH_STARTING, GIVEN, 0, P::FLASH_STARTING, nullptr, {}, kWatchdog,
           [](SequencerTest& t) { t.runner.utilityStarted = false; }},
          {P::FLASH_STARTING, FIRE, TIMER_WATCHDOG, P::IDLE, nullptr, {kFailed}, kNone,
           [](SequencerTest& t) {
               EXPECT_EQ(1, t.runner.stops);
               EXPECT_EQ(kRecheck, t.view.text[IDC_UPDATE_BUTTON]);
           }}}},
        {"probe without chip name is a failed port and chooses nothing",
         nullptr,
         {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
          // Completed, but no chip named: still pending.
          {P::PROBE_STARTING, PROBED, 1, P::BETWEEN_PORTS, nullptr, {}, kNextPort,
           [](SequencerTest& t) { EXPECT_TRUE(t.firmware->m_strFirmware.IsEmpty()); }},
          {P::BETWEEN_PORTS, FIRE, TIMER_NEXT_STEP, P::PROBE_STARTING, "probe 12", {}, kWatchdog, nullptr},
          // This receiver names its chip: its firmware is merged once, the others are left.
          {P::PROBE_STARTING, NAMED, CHIP_GSP2E, P::CHIP_FOUND, nullptr, {}, kNextStep, nullptr},
          {P::CHIP_FOUND, FIRE, TIMER_NEXT_STEP, P::FLASH_STARTING, "flash fw_gsp2e.s2x 12", {}, kWatchdog,
           MergedOnly("fw_gsp2e.s2x")}}},
        {"no firmware for the chip halts with only Exit useful",
         [](SequencerTest& t) {
             t.WritePayload({{"fw_gsp3.s3", kFirmwareBody + kS7},
                             {"database.db0", kDatabase},
                             {"SiRFflashcl.exe", "MZ"},
                             {"logo.bmp", "BM"},
                             {"Demo", ""}});
             t.Rebuild();
         },
         {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, NAMED, CHIP_GSP2E, P::HALTED, nullptr, {kNoPart}, kNone,
           [](SequencerTest& t) {
               EXPECT_TRUE(t.firmware->m_strFirmware.IsEmpty());
               EXPECT_EQ("Error", t.view.boxes[0].caption);
               EXPECT_FALSE(t.view.enabled[IDC_UPDATE_BUTTON] || t.view.enabled[IDC_PORT_LIST]);
               EXPECT_EQ("Ahora Actualice...", t.view.text[IDC_UPDATE_BUTTON]);
               EXPECT_FALSE(t.Exists("fw_gsp3.s3"));
           }},
          {P::HALTED, EXIT, 0, P::HALTED, nullptr, {}, kNone,
           [](SequencerTest& t) { EXPECT_TRUE(t.view.closed); }}}},
        // Extraction failures tell why and start nothing.
        {"no payload",
         [](SequencerTest& t) { WriteFile(t.release, ToBytes("MZ no payload")); },
         {{P::IDLE, PRESS, 0, P::IDLE, nullptr, {kNoPart}, kNone, ExtractionFailed}}},
        {"empty payload",
         [](SequencerTest& t) { WriteFile(t.release, PayloadBuilder().Build(0)); },
         {{P::IDLE, PRESS, 0, P::IDLE, nullptr, {kNoPart}, kNone, ExtractionFailed}}},
        {"missing program file",
         [](SequencerTest& t) { fs::remove(t.release); },
         {{P::IDLE, PRESS, 0, P::IDLE, nullptr, {kCannotRun}, kNone, ExtractionFailed}}},
        {"working folder replaced by a file",
         [](SequencerTest& t) {
             fs::remove_all(t.root / "tmp");
             WriteFile((t.root / "tmp").string(), Bytes());
         },
         {{P::IDLE, PRESS, 0, P::IDLE, nullptr, {"Reinicie el ordenador."}, kNone, ExtractionFailed}}},
        {"no right to write an entry's file",
         [](SequencerTest& t) { fs::create_directory(t.tempDir + "fw_gsp3.s3"); },
         {{P::IDLE, PRESS, 0, P::IDLE, nullptr, {SEQ_TEXT_ACCESS_DENIED}, kNone, ExtractionFailed}}},
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
         {{P::IDLE, PRESS, 0, P::IDLE, nullptr,
           {"El archivo de la actualizacion esta danado. Descarguelo de nuevo y vuelva a intentarlo."}, kNone,
           ExtractionFailed}}},
        // Nothing starts without a port to try.
        {"no port listed",
         [](SequencerTest& t) {
             t.view.rows[IDC_PORT_LIST].clear();
             t.view.selection[IDC_PORT_LIST] = -1;
         },
         {{P::IDLE, PRESS, 0, P::IDLE, nullptr, {SEQ_TEXT_NO_PORTS}, kNone, NothingUnpacked}}},
        {"no port row selected",
         [](SequencerTest& t) {
             t.view.rows[IDC_PORT_LIST] = {" COM4"};
             t.view.selection[IDC_PORT_LIST] = -1;
         },
         {{P::IDLE, PRESS, 0, P::IDLE, nullptr, {SEQ_TEXT_NO_PORT_ROW}, kNone, NothingUnpacked}}},
        {"no speed row selected",
         [](SequencerTest& t) { t.view.selection[IDC_SPEED_LIST] = -1; },
         {{P::IDLE, PRESS, 0, P::IDLE, nullptr, {SEQ_TEXT_NO_SPEED_ROW}, kNone, NothingUnpacked}}},
        {"without a temporary directory nothing is unpacked or deleted",
         [](SequencerTest& t) {
             t.tempDir.clear();
             t.Rebuild();
         },
         {{P::IDLE, PRESS, 0, P::IDLE, nullptr, {kCannotRun}, kNone, nullptr},
          {P::IDLE, EXIT, 0, P::IDLE, nullptr, {}, kNone, [](SequencerTest& t) { EXPECT_TRUE(t.view.closed); }}}},
        {"while busy the button is ignored and the dialog cannot be closed",
         nullptr,
         {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
          // Not even the data exchange.
          {P::PROBE_STARTING, PRESS, 0, P::PROBE_STARTING, nullptr, {}, kWatchdog,
           [](SequencerTest& t) { EXPECT_EQ(2, t.view.exchanges); }},
          {P::PROBE_STARTING, EXIT, 0, P::PROBE_STARTING, nullptr, {kRefused}, kWatchdog, StaysOpen},
          {P::PROBE_STARTING, ESCAPE, 0, P::PROBE_STARTING, nullptr, {kRefused}, kWatchdog,
           [](SequencerTest& t) {
               StaysOpen(t);
               EXPECT_TRUE(t.Exists("SiRFflashcl.exe"));
               EXPECT_TRUE(t.seq->OnQueryEndSession());  // no flashing yet: nothing to lose
           }},
          // Once idle, Escape closes without cleaning up; Exit cleans up.
          {P::PROBE_STARTING, FINISH, 0, P::IDLE, nullptr, {kFailed}, kNone, nullptr},
          {P::IDLE, ESCAPE, 1, P::IDLE, nullptr, {}, kNone, nullptr},
          // A flashing run is never ended for its silence; after a minute without a record,
          // leaving asks instead. No keeps waiting; Yes ends the utility, fails, cleans up and closes.
          // The update ended with the row after the failed one selected.
          {P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 12", {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, NAMED, CHIP_GSP3, P::CHIP_FOUND, nullptr, {}, kNextStep, nullptr},
          {P::CHIP_FOUND, FIRE, TIMER_NEXT_STEP, P::FLASH_STARTING, "flash fw_gsp3.s3 12", {}, kWatchdog, nullptr},
          {P::FLASH_STARTING, PROGRESS, 30, P::FLASHING, nullptr, {}, kNone,
           [](SequencerTest& t) { EXPECT_FALSE(t.seq->OnQueryEndSession()); }},
          {P::FLASHING, WAIT, STALL_MS - 1, P::FLASHING, nullptr, {}, kNone, nullptr},
          {P::FLASHING, EXIT, 0, P::FLASHING, nullptr, {kRefused}, kNone, nullptr},
          {P::FLASHING, WAIT, 1, P::FLASHING, nullptr, {}, kNone, nullptr},
          {P::FLASHING, ESCAPE, 0, P::FLASHING, nullptr, {SEQ_TEXT_ASK_LEAVE}, kNone, StaysOpen},
          {P::FLASHING, EXIT_YES, 0, P::IDLE, nullptr, {SEQ_TEXT_ASK_LEAVE, kFailed}, kNone,
           [](SequencerTest& t) {
               EXPECT_EQ(1, t.runner.stops);
               EXPECT_TRUE(t.view.closed);
               EXPECT_FALSE(t.Exists("SiRFflashcl.exe"));
           }}}},
        {"single port that cannot be opened ends at once",
         SinglePort,
         {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 7", {}, kWatchdog,
           [](SequencerTest&) { EXPECT_EQ(g_firstPort.load(), g_portCursor.load()); }},
          {P::PROBE_STARTING, FAILS, FTM_ERR_PORT_BUSY, P::IDLE, nullptr, {kFailed}, kNone,
           EndedWith(kRecheck, false)}}},
        {"an earlier update's error code does not decide the next failure",
         SinglePort,
         {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 7", {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, FAILS, FTM_ERR_PORT_BUSY, P::IDLE, nullptr, {kFailed}, kNone,
           EndedWith(kRecheck, false)},
          {P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 7", {}, kWatchdog,
           [](SequencerTest&) { EXPECT_EQ(0, g_lastToolError.load()); }},
          // This time nothing answers.
          {P::PROBE_STARTING, FIRE, TIMER_WATCHDOG, P::IDLE, nullptr, {kFailed}, kNone, EndedWith(kRecheck, true)}}},
        // Updates one after the other in the same window; each flashes only what it chose itself.
        {"each update merges the database into freshly extracted firmware once",
         nullptr,
         {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, NAMED, CHIP_GSP3, P::CHIP_FOUND, nullptr, {}, kNextStep, nullptr},
          {P::CHIP_FOUND, FIRE, TIMER_NEXT_STEP, P::FLASH_STARTING, "flash fw_gsp3.s3 3", {}, kWatchdog,
           MergedOnly("fw_gsp3.s3")},
          {P::FLASH_STARTING, FINISH, 1, P::IDLE, nullptr, {kSuccess}, kNone, nullptr},
          {P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, NAMED, CHIP_GSP3, P::CHIP_FOUND, nullptr, {}, kNextStep, nullptr},
          {P::CHIP_FOUND, FIRE, TIMER_NEXT_STEP, P::FLASH_STARTING, "flash fw_gsp3.s3 3", {}, kWatchdog,
           MergedOnly("fw_gsp3.s3")},
          {P::FLASH_STARTING, FINISH, 1, P::IDLE, nullptr, {kSuccess}, kNone, nullptr},
          {P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, NAMED, CHIP_GSP2E, P::CHIP_FOUND, nullptr, {}, kNextStep, nullptr},
          {P::CHIP_FOUND, FIRE, TIMER_NEXT_STEP, P::FLASH_STARTING, "flash fw_gsp2e.s2x 3", {}, kWatchdog,
           MergedOnly("fw_gsp2e.s2x")},
          {P::FLASH_STARTING, FINISH, 1, P::IDLE, nullptr, {kSuccess}, kNone, nullptr},
          // The probe named the chip, then the port failed: the next port is probed instead.
          {P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, CHIP, CHIP_GSP3, P::PROBE_STARTING, nullptr, {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, PROBED, 0, P::BETWEEN_PORTS, nullptr, {}, kNextPort, nullptr},
          {P::BETWEEN_PORTS, FIRE, TIMER_NEXT_STEP, P::PROBE_STARTING, "probe 12", {}, kWatchdog,
           [](SequencerTest& t) {
               EXPECT_EQ(kFirmwareBody + kS7, t.Read("fw_gsp2e.s2x"));
               EXPECT_TRUE(t.mergeErrors.empty());
           }}}},
        {"one firmware without database is flashed as extracted",
         [](SequencerTest& t) {
             t.WritePayload(
                 {{"Firmware.S", kFirmwareBody + kS7}, {"SiRFflashcl.exe", "MZ"}, {"logo.bmp", "BM"}, {"Demo", ""}});
             t.Rebuild();
         },
         {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, NAMED, CHIP_GSP3, P::CHIP_FOUND, nullptr, {}, kNextStep, nullptr},
          {P::CHIP_FOUND, FIRE, TIMER_NEXT_STEP, P::FLASH_STARTING, "flash firmware.s 3", {}, kWatchdog,
           [](SequencerTest& t) { EXPECT_EQ(kFirmwareBody + kS7, t.Read("Firmware.S")); }}}},
        // A long flash reporting every few seconds: its figures move the bar within its range, and
        // there is no watch on a flashing run's silence.
        {"a run that keeps reporting is never given up",
         nullptr,
         {{P::IDLE, PRESS, 0, P::PROBE_STARTING, "probe 3", {}, kWatchdog, nullptr},
          {P::PROBE_STARTING, NAMED, CHIP_GSP3, P::CHIP_FOUND, nullptr, {}, kNextStep, nullptr},
          {P::CHIP_FOUND, FIRE, TIMER_NEXT_STEP, P::FLASH_STARTING, "flash fw_gsp3.s3 3", {}, kWatchdog, nullptr},
          {P::FLASH_STARTING, PROGRESS, -5, P::FLASHING, nullptr, {}, kNone, Pos(10)},
          {P::FLASHING, PROGRESS, 0, P::FLASHING, nullptr, {}, kNone, Pos(10)},
          {P::FLASHING, PROGRESS, 50, P::FLASHING, nullptr, {}, kNone, Pos(60)},
          {P::FLASHING, PROGRESS, 100, P::FLASHING, nullptr, {}, kNone, Pos(110)},
          {P::FLASHING, PROGRESS, 250, P::FLASHING, nullptr, {}, kNone, Pos(110)},
          {P::FLASHING, FINISH, 1, P::IDLE, nullptr, {kSuccess}, kNone,
           [](SequencerTest& t) { EXPECT_EQ(0, t.runner.stops); }},
          // A late report of the finished run does not start a watch of its own.
          {P::IDLE, PROGRESS, 100, P::IDLE, nullptr, {}, kNone, nullptr}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        if (c.setup)
            c.setup(*this);
        for (const Step& s : c.steps) {
            SCOPED_TRACE(&s - c.steps.data());
            Play(*this, s);
        }
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

// Only a blank, COM and a number name a port for the command line.
TEST_F(SequencerTest, OnlyABlankComAndANumberNameAPort)
{
    const std::pair<const char*, int> rows[] = {{" COM1", 1},    {" COM9999", 9999}, {" COM10000", 0}, {" COM041", 0},
                                                {" com3", 0},    {" COM", 0},        {" COM3 ", 0},    {"COM3", 0},
                                                {" COM3 -r", 0}, {" COM-3", 0}};
    for (const auto& r : rows)
        EXPECT_EQ(r.second, PortNumberOfRow(r.first)) << r.first;
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
    P phase;    // PROBE_STARTING or FLASH_STARTING
    int ports;  // rows in the port list: with 1, a probe is the cycle's last
    std::vector<ToolRecord> records;
    RunEnding ending;
    unsigned nextStepMs;             // 0: the update ended (or the watchdog probed the next port)
    std::vector<std::string> boxes;  // before the sequencer's own failure box
    int stops;                       // runs given up on
};

// Starts the row's run: the probe of the selected port, or the flashing run after a probe
// that found the chip. Returns the number of runs started before it.
size_t StartRowRun(SequencerTest& t, const RunEndingRow& row)
{
    t.SetUp();
    if (row.ports == 1) {
        t.view.rows[IDC_PORT_LIST] = {" COM7"};
        t.view.SetListSelection(IDC_PORT_LIST, 0);
    }
    if (row.ending == NOT_A_PORT)
        t.view.rows[IDC_PORT_LIST][size_t(t.view.GetListSelection(IDC_PORT_LIST))] = " COM41 -r";
    t.seq->OnUpdateButton();
    if (row.phase == P::FLASH_STARTING) {
        g_chipType = CHIP_GSP3;
        t.Post(UPD_PROBED, 1);
        t.Fire(TIMER_NEXT_STEP);
    }
    if (row.ending != NOT_A_PORT) {
        EXPECT_EQ(int(row.phase), int(t.seq->GetPhase()));
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
            EXPECT_EQ(row.phase == P::FLASH_STARTING ? 0u : 1u, t.view.timers.count(TIMER_STALL));
        }
        if (!bGoesOn)
            break;
    }
    if (row.ending == PIPE_ENDS) {
        ASSERT_TRUE(bGoesOn);
        worker.EndWithoutFinalRecord();
    } else if (row.ending == GOES_SILENT && row.phase == P::FLASH_STARTING) {
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
    // The phase the run's end leads to: the next step's wait, the next probe, or idle again.
    const P next = row.nextStepMs == NEXT_STEP_MS                ? P::CHIP_FOUND
                   : row.nextStepMs                              ? P::BETWEEN_PORTS
                   : row.ending == NEVER_SPEAKS && row.ports > 1 ? P::PROBE_STARTING
                                                                 : P::IDLE;
    EXPECT_EQ(int(next), int(t.seq->GetPhase()));
    if (row.nextStepMs) {
        EXPECT_EQ(1, int(t.seq->IsBusy()));
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
    EXPECT_EQ(0, int(t.seq->IsBusy()));
    EXPECT_TRUE(t.view.timers.empty());
    EXPECT_EQ(runs, t.runner.commandLines.size());
    std::vector<std::string> expected = row.boxes;
    const bool bSuccess =
        row.phase == P::FLASH_STARTING && (row.ending == GOES_SILENT || row.records.back().first == FTM_DONE);
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
        {"probe done", P::PROBE_STARTING, 3, {kProgress, kChip, kDone}, FINAL_RECORDS, 1000, {}, 0},
        {"probe, port busy", P::PROBE_STARTING, 3, {kBusy}, FINAL_RECORDS, 5000, {}, 0},
        {"probe dies at once", P::PROBE_STARTING, 3, {}, PIPE_ENDS, 5000, {}, 0},
        {"probe dies after progress", P::PROBE_STARTING, 3, {kProgress}, PIPE_ENDS, 5000, {}, 0},
        {"probe goes silent", P::PROBE_STARTING, 3, {kProgress}, GOES_SILENT, 5000, {}, 1},
        {"probe never speaks", P::PROBE_STARTING, 3, {}, NEVER_SPEAKS, 0, {}, 1},
        {"chip named, then port busy", P::PROBE_STARTING, 3, {kChip, kBusy}, FINAL_RECORDS, 5000, {}, 0},
        {"chip named, then died", P::PROBE_STARTING, 3, {kChip}, PIPE_ENDS, 5000, {}, 0},
        {"chip named, then stalled", P::PROBE_STARTING, 3, {kProgress, kChip}, GOES_SILENT, 5000, {}, 1},
        {"chip named, then the watchdog", P::PROBE_STARTING, 3, {kChip}, NEVER_SPEAKS, 0, {}, 1},
        {"success without a chip", P::PROBE_STARTING, 3, {kProgress, kDone}, FINAL_RECORDS, 5000, {}, 0},
        {"other records count", P::PROBE_STARTING, 3, {kProgress, k40s, kOther, k40s, kChip}, GOES_SILENT, 5000, {}, 1},
        {"port text with a blank", P::PROBE_STARTING, 3, {}, NOT_A_PORT, 5000, {}, 0},
        {"no receiver: silent line", P::PROBE_STARTING, 3, {kSilent}, FINAL_RECORDS, NEXT_EMPTY_PORT_MS, {}, 0},
        {"no receiver: noise", P::PROBE_STARTING, 3, {kProgress, kNoise}, FINAL_RECORDS, NEXT_EMPTY_PORT_MS, {}, 0},
        {"no receiver: not SiRF",
         P::PROBE_STARTING,
         3,
         {kProgress, kNotSirf},
         FINAL_RECORDS,
         NEXT_EMPTY_PORT_MS,
         {},
         0},
        {"chip named, then noise", P::PROBE_STARTING, 3, {kChip, kNoise}, FINAL_RECORDS, 0, {box(kNoise)}, 0},
        {"loader of another protocol",
         P::PROBE_STARTING,
         3,
         {kProgress, kForeign},
         FINAL_RECORDS,
         0,
         {box(kForeign)},
         0},
        {"last port busy", P::PROBE_STARTING, 1, {kBusy}, FINAL_RECORDS, 0, {kClosePort}, 0},
        {"last port dies", P::PROBE_STARTING, 1, {kProgress}, PIPE_ENDS, 0, {kNoResult}, 0},
        {"last port goes silent", P::PROBE_STARTING, 1, {kProgress}, GOES_SILENT, 0, {SEQ_TEXT_STALLED}, 1},
        {"last port, success without a chip", P::PROBE_STARTING, 1, {kDone}, FINAL_RECORDS, 0, {}, 0},
        {"last port, text with a blank", P::PROBE_STARTING, 1, {}, NOT_A_PORT, 0, {kClosePort}, 0},
        {"last port, silent line", P::PROBE_STARTING, 1, {kSilent}, FINAL_RECORDS, 0, {box(kSilent)}, 0},
        {"last port, noise", P::PROBE_STARTING, 1, {kProgress, kNoise}, FINAL_RECORDS, 0, {box(kNoise)}, 0},
        {"last port, not SiRF", P::PROBE_STARTING, 1, {kProgress, kNotSirf}, FINAL_RECORDS, 0, {box(kNotSirf)}, 0},
        {"flashing done", P::FLASH_STARTING, 3, {kProgress, kDone}, FINAL_RECORDS, 0, {}, 0},
        {"flashing dies", P::FLASH_STARTING, 3, {kProgress}, PIPE_ENDS, 0, {kNoResult}, 0},
        {"flashing silent a minute, then done", P::FLASH_STARTING, 3, {kProgress, kProgress}, GOES_SILENT, 0, {}, 0},
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

}  // namespace
