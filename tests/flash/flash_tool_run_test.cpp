// What one run of the utility posts, shows and leaves in the shared state, record by record.
#include "flash/flash_tool_run.h"
#include "flash/update_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

typedef std::vector<std::string> Calls;
typedef std::vector<std::pair<int32_t, const char*>> Records;

// Records every call in order: "post KIND ARG", "box TEXT", "release".
class RecordingHost : public IFlashRunHost {
public:
    bool bCurrent = true;
    Calls calls;

    bool IfCurrent(const std::function<void()>& f) override
    {
        if (bCurrent)
            f();
        return bCurrent;
    }
    void PostUpdateEvent(int nKind, intptr_t lArg) override
    {
        calls.push_back("post " + std::to_string(nKind) + " " + std::to_string(lArg));
    }
    void ShowMessageBox(const CString& strText) override { calls.push_back("box " + strText.str()); }
    void ReleaseRun() override { calls.push_back("release"); }
};

// Shared state as the sequencer leaves it before a run; returns the run's calls.
Calls Drive(const Records& records, ChipType chip, int nCursor = 2, int nFirst = 1, int* pExit = nullptr)
{
    g_chipType = chip;
    g_portCursor = nCursor;
    g_firstPort = nFirst;
    g_lastToolError = 77;
    RecordingHost host;
    CFlashToolRun run(host);
    for (const auto& r : records)
        if (!run.Dispatch(r.first, r.second))
            break;
    if (pExit)
        *pExit = run.GetExitCode();
    return host.calls;
}

const char kCloseOther[] = "box Cierre el programa conectado con otro puerto e intentelo otra vez.";

}  // namespace

TEST(FlashToolRun, RecordsOfASuccessfulRun)
{
    const struct {
        const char* what;
        ChipType chip;
        Records records;
        Calls calls;
        ChipType chipAfter;
    } rows[] = {
        {"probe",
         CHIP_PENDING,
         {{FTM_PROGRESS, "  45 100 reading flash now"},
          {1000, "ignored"},
          {1005, "ignored"},
          {2000, ""},
          {FTM_CHIP_NAME, "GSP3"},
          {FTM_CHIP_NAME, "GSP2e/LPx"},  // only the first name of a cycle counts
          {FTM_PROGRESS, "60 100 a b c"},
          {FTM_DONE, ""},
          {FTM_PROGRESS, "99 after the end"}},
         {"post 2 45", "post 2 60", "release", "post 3 1"},
         CHIP_GSP3},
        {"probe naming no chip", CHIP_PENDING, {{FTM_DONE, ""}}, {"release", "post 3 1"}, CHIP_PENDING},
        {"flashing",
         0,
         {{FTM_CHIP_NAME, "GSP3"}, {FTM_PROGRESS, "100 100 a b c"}, {FTM_DONE, ""}},
         {"post 2 100", "release", "post 0 1"},
         0},
    };
    for (const auto& r : rows) {
        int nExit = -1;
        EXPECT_EQ(Drive(r.records, r.chip, 2, 1, &nExit), r.calls) << r.what;
        EXPECT_EQ(g_chipType.load(), r.chipAfter) << r.what;
        EXPECT_EQ(nExit, 1) << r.what;
        EXPECT_EQ(g_lastToolError.load(), 77) << r.what;
    }
}

TEST(FlashToolRun, EveryRowOfTheChipNameTable)
{
    const struct {
        const char* name;
        signed char type;
    } rows[] = {
        {"GSP3", 3}, {"GSP3LT", 3}, {"GSP2e/LPx", 2}, {"GSP2e/LPx rev B", 2}, {"GSP2e/LP", 1}, {"GSP2e/LPy", 1},
        {"GSP2", 1}, {"gsp3", 1},   {"", 1},          {"SiRFstarIV", 1},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ChipTypeFromName(r.name), r.type) << r.name;
}

TEST(FlashToolRun, ProgressFigureKeepsItsValueWhenATextHasNone)
{
    EXPECT_EQ(Drive({{FTM_PROGRESS, "no figure yet"},
                     {FTM_PROGRESS, "\t 12 100 a b c"},
                     {FTM_PROGRESS, "x 13"},
                     {FTM_PROGRESS, "-4"},
                     {FTM_PROGRESS, ""}},
                    CHIP_PENDING),
              (Calls{"post 2 0", "post 2 12", "post 2 12", "post 2 -4", "post 2 -4"}));
}

TEST(FlashToolRun, ErrorEnds)
{
    const struct {
        const char* what;
        Records records;
        ChipType chip;
        int cursor, first;
        Calls calls;
        int lastError;
    } rows[] = {
        {"busy port, ports left", {{14, "in use"}}, CHIP_PENDING, 2, 1, {"release", "post 3 0"}, 77},
        {"missing port, ports left", {{2, "gone"}}, CHIP_GSP3, 0, 1, {"release", "post 3 0"}, 77},
        {"busy port, none left", {{14, "in use"}}, CHIP_PENDING, 1, 1, {"release", kCloseOther, "post 0 0"}, 14},
        {"missing port, none left", {{2, "gone"}}, CHIP_PENDING, 1, 1, {"release", kCloseOther, "post 0 0"}, 2},
        // A flashing run that fails ends the update, whatever the port rows say.
        {"flashing, missing port", {{2, "gone"}}, 0, 2, 1, {"release", kCloseOther, "post 0 0"}, 2},
        {"other code",
         {{FTM_PROGRESS, "30 0 a b c"}, {7, "verify failed"}},
         CHIP_PENDING,
         2,
         1,
         {"post 2 30", "release", "box error desconocido(7).verify failed", "post 0 0"},
         7},
        {"code 0", {{0, "no answer"}}, 0, 1, 1, {"release", "box error desconocido(0).no answer", "post 0 0"}, 0},
        {"negative code", {{-3, ""}}, 0, 1, 1, {"release", "box error desconocido(-3).", "post 0 0"}, -3},
        {"lowest code",
         {{INT32_MIN, "min"}},
         0,
         1,
         1,
         {"release", "box error desconocido(-2147483648).min", "post 0 0"},
         INT32_MIN},
    };
    for (const auto& r : rows) {
        int nExit = -1;
        // The final event comes only after the box was closed.
        EXPECT_EQ(Drive(r.records, r.chip, r.cursor, r.first, &nExit), r.calls) << r.what;
        EXPECT_EQ(g_lastToolError.load(), r.lastError) << r.what;
        EXPECT_EQ(nExit, 0) << r.what;
    }
}

TEST(FlashToolRun, ARunGivenUpOnChangesNothingAndShowsNothing)
{
    for (const Records& records : {Records{{FTM_PROGRESS, "10 0 a b c"}, {FTM_CHIP_NAME, "GSP3"}, {7, "late"}},
                                   Records{{FTM_DONE, ""}}, Records{{14, "busy"}}}) {
        g_chipType = CHIP_PENDING;
        g_portCursor = g_firstPort = 1;
        g_lastToolError = 77;
        RecordingHost host;
        host.bCurrent = false;
        CFlashToolRun run(host);
        for (const auto& r : records)
            if (!run.Dispatch(r.first, r.second))
                break;
        EXPECT_EQ(host.calls, Calls{"release"});
        EXPECT_EQ(g_chipType.load(), CHIP_PENDING);
        EXPECT_EQ(g_lastToolError.load(), 77);
    }
}

TEST(FlashToolRun, UtilityEndingWithoutAFinalRecordFailsItsPortOrEndsTheUpdate)
{
    const std::string progress = EncodeFlashToolMessage(0, FTM_PROGRESS, "20 100 a b c");
    const std::string streams[] = {
        progress,                                                      // exited after a record
        progress + EncodeFlashToolMessage(0, 5, "cut").substr(0, 14),  // died inside a record
        "",                                                            // died before writing
    };
    const Calls kEndsUpdate = {"release", "box error desconocido(-1).The flash utility ended without a result.",
                               "post 0 0"};
    const struct {
        const char* what;
        ChipType chip;
        int cursor, first;
        Calls calls;
        int lastError;
    } rows[] = {
        // A probe that died on its port says nothing of the others: the next one is tried.
        {"probe, ports left", CHIP_PENDING, 2, 1, {"release", "post 3 0"}, 77},
        {"probe with a chip, ports left", CHIP_GSP3, 0, 1, {"release", "post 3 0"}, 77},
        {"probe, no port left", CHIP_PENDING, 1, 1, kEndsUpdate, FTM_ERR_NO_FINAL_RECORD},
        {"flashing", 0, 2, 1, kEndsUpdate, FTM_ERR_NO_FINAL_RECORD},
    };
    for (const auto& row : rows) {
        for (const std::string& s : streams) {
            g_chipType = row.chip;
            g_portCursor = row.cursor;
            g_firstPort = row.first;
            g_lastToolError = 77;
            RecordingHost host;
            CMemoryByteSource source(s.data(), s.size());
            CFlashRecordReader reader(source);
            CFlashToolRun run(host);
            EXPECT_EQ(run.Run(reader), 0);
            Calls expected = row.calls;
            if (!s.empty())
                expected.insert(expected.begin(), "post 2 20");
            EXPECT_EQ(host.calls, expected) << row.what << ", " << s.size() << " bytes";
            EXPECT_EQ(g_lastToolError.load(), row.lastError) << row.what;
        }
    }
}
