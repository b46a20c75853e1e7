// What one run of the utility posts, shows and leaves in the shared state, record by record.
#include "flash/flash_tool_run.h"
#include "flash/update_events.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records every call in order: "post K A", "box TEXT", "release".
class RecordingHost : public IFlashRunHost {
public:
    bool bCurrent = true;
    std::vector<std::string> calls;

    bool IfCurrent(const std::function<void()>& f) override
    {
        if (!bCurrent)
            return false;
        f();
        return true;
    }
    void PostUpdateEvent(int nKind, intptr_t lArg) override
    {
        calls.push_back("post " + std::to_string(nKind) + " " + std::to_string(lArg));
    }
    void ShowMessageBox(const CString& strText) override { calls.push_back("box " + strText.str()); }
    void ReleaseRun() override { calls.push_back("release"); }
};

typedef std::vector<std::string> Calls;

class FlashToolRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_chipType = CHIP_PENDING;
        g_portCursor = 2;
        g_firstPort = 1;
        g_lastToolError = 77;
    }

    // Feeds (code, text) records until the run ends; returns whether it ended.
    bool Feed(std::initializer_list<std::pair<int32_t, const char*>> records)
    {
        for (const auto& r : records)
            if (!run.Dispatch(r.first, r.second))
                return true;
        return false;
    }

    RecordingHost host;
    CFlashToolRun run{host};
};

}  // namespace

TEST_F(FlashToolRunTest, ProbeRunPostsProgressNamesTheChipAndEndsProbed)
{
    EXPECT_TRUE(Feed({{FTM_PROGRESS, "  45 100 reading flash now"},
                      {1000, "ignored"},
                      {1005, "ignored"},
                      {2000, ""},
                      {FTM_CHIP_NAME, "GSP3"},
                      {FTM_PROGRESS, "60 100 a b c"},
                      {FTM_DONE, ""}}));
    EXPECT_EQ(host.calls, (Calls{"post 2 45", "post 2 60", "release", "post 3 1"}));
    EXPECT_EQ(g_chipType.load(), CHIP_GSP3);
    EXPECT_EQ(run.GetExitCode(), 1);
    EXPECT_EQ(g_lastToolError.load(), 77);
}

TEST_F(FlashToolRunTest, ProbeWithoutChipNameStillEndsProbedWithChipPending)
{
    EXPECT_TRUE(Feed({{FTM_DONE, ""}}));
    EXPECT_EQ(host.calls, (Calls{"release", "post 3 1"}));
    EXPECT_EQ(g_chipType.load(), CHIP_PENDING);
}

TEST_F(FlashToolRunTest, FlashingRunIgnoresChipNamesAndEndsFinished)
{
    g_chipType = 0;
    EXPECT_TRUE(Feed({{FTM_CHIP_NAME, "GSP3"}, {FTM_PROGRESS, "100 100 a b c"}, {FTM_DONE, ""}}));
    EXPECT_EQ(host.calls, (Calls{"post 2 100", "release", "post 0 1"}));
    EXPECT_EQ(g_chipType.load(), 0);
    EXPECT_EQ(run.GetExitCode(), 1);
}

TEST(FlashToolChipName, EveryRowOfTheTable)
{
    const struct {
        const char* name;
        signed char type;
    } rows[] = {
        {"GSP3", 3},     {"GSP3LT", 3},     {"GSP3f/LPx", 3},   {"GSP2e/LPx", 2}, {"GSP2e/LPx rev B", 2},
        {"GSP2e/LP", 1}, {"GSP2e/LPy", 1},  {"GSP2e/LP\0x", 1}, {"GSP2", 1},      {"gsp3", 1},
        {"", 1},         {"SiRFstarIV", 1},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ChipTypeFromName(r.name), r.type) << r.name;
}

TEST_F(FlashToolRunTest, OnlyTheFirstChipNameOfACycleCounts)
{
    EXPECT_FALSE(Feed({{FTM_CHIP_NAME, "GSP2e/LPx extra"}, {FTM_CHIP_NAME, "GSP3"}}));
    EXPECT_EQ(g_chipType.load(), CHIP_GSP2E);
    EXPECT_TRUE(host.calls.empty()) << "a chip name posts nothing";
}

TEST_F(FlashToolRunTest, ProgressFigureKeepsItsValueWhenATextHasNone)
{
    EXPECT_FALSE(Feed({{FTM_PROGRESS, "no figure yet"},
                       {FTM_PROGRESS, "\t 12 100 a b c"},
                       {FTM_PROGRESS, "x 13"},
                       {FTM_PROGRESS, "-4"},
                       {FTM_PROGRESS, ""}}));
    EXPECT_EQ(host.calls, (Calls{"post 2 0", "post 2 12", "post 2 12", "post 2 -4", "post 2 -4"}));
}

TEST_F(FlashToolRunTest, LongWordsInTheProgressTextStayInTheirBuffers)
{
    const std::string text = "33 100 " + std::string(1000, 'w') + " " + std::string(10, 'v');
    EXPECT_FALSE(Feed({{FTM_PROGRESS, text.c_str()}}));
    EXPECT_EQ(host.calls, (Calls{"post 2 33"}));
}

TEST_F(FlashToolRunTest, PortFailureWithPortsLeftMovesOnSilently)
{
    for (int32_t nCode : {FTM_ERR_PORT_BUSY, FTM_ERR_NO_PORT}) {
        host.calls.clear();
        CFlashToolRun probe(host);
        EXPECT_FALSE(probe.Dispatch(nCode, "cannot open"));
        EXPECT_EQ(host.calls, (Calls{"release", "post 3 0"})) << nCode;
        EXPECT_EQ(probe.GetExitCode(), 0);
        EXPECT_EQ(g_lastToolError.load(), 77) << "left as it was";
    }
}

TEST_F(FlashToolRunTest, PortFailureWithNoPortLeftAsksToCloseTheOtherProgram)
{
    for (int32_t nCode : {FTM_ERR_PORT_BUSY, FTM_ERR_NO_PORT}) {
        host.calls.clear();
        g_portCursor = 1;
        CFlashToolRun probe(host);
        EXPECT_FALSE(probe.Dispatch(nCode, "cannot open"));
        // The event comes only after the box was closed.
        EXPECT_EQ(
            host.calls,
            (Calls{"release", "box Cierre el programa conectado con otro puerto e intentelo otra vez.", "post 0 0"}));
        EXPECT_EQ(g_lastToolError.load(), nCode);
    }
}

TEST_F(FlashToolRunTest, FlashingRunNeverProbesAgainOnAPortFailure)
{
    g_chipType = 0;  // even with the port rows apart, a failed flashing run ends the update
    EXPECT_TRUE(Feed({{FTM_ERR_NO_PORT, "gone"}}));
    EXPECT_EQ(host.calls,
              (Calls{"release", "box Cierre el programa conectado con otro puerto e intentelo otra vez.", "post 0 0"}));
    EXPECT_EQ(g_lastToolError.load(), FTM_ERR_NO_PORT);
}

TEST_F(FlashToolRunTest, OtherErrorsShowTheCodeAndTheUtilitysText)
{
    const struct {
        int32_t code;
        const char* text;
        const char* box;
    } rows[] = {
        {7, "verify failed", "box error desconocido(7).verify failed"},
        {0, "no answer", "box error desconocido(0).no answer"},
        {-3, "", "box error desconocido(-3)."},
        {999, "x", "box error desconocido(999).x"},
        {INT32_MIN, "min", "box error desconocido(-2147483648).min"},
    };
    for (const auto& r : rows) {
        host.calls.clear();
        CFlashToolRun probe(host);
        EXPECT_FALSE(probe.Dispatch(r.code, r.text));
        EXPECT_EQ(host.calls, (Calls{"release", r.box, "post 0 0"}));
        EXPECT_EQ(g_lastToolError.load(), r.code);
        EXPECT_EQ(probe.GetExitCode(), 0);
    }
}

TEST_F(FlashToolRunTest, ARunGivenUpOnChangesNothingAndShowsNothing)
{
    host.bCurrent = false;
    EXPECT_TRUE(Feed({{FTM_PROGRESS, "10 0 a b c"}, {FTM_CHIP_NAME, "GSP3"}, {7, "late"}}));
    EXPECT_EQ(host.calls, (Calls{"release"}));
    EXPECT_EQ(g_chipType.load(), CHIP_PENDING);
    EXPECT_EQ(g_lastToolError.load(), 77);

    host.calls.clear();
    CFlashToolRun done(host);
    EXPECT_FALSE(done.Dispatch(FTM_DONE, ""));
    EXPECT_EQ(host.calls, (Calls{"release"}));
}

TEST_F(FlashToolRunTest, UtilityEndingWithoutAFinalRecordEndsTheRunAsAnError)
{
    const std::string progress = EncodeFlashToolMessage(0, FTM_PROGRESS, "20 100 a b c");
    const std::string streams[] = {
        progress,                                                      // exited after a record
        progress + EncodeFlashToolMessage(0, 5, "cut").substr(0, 14),  // died inside a record
        "",                                                            // died before writing anything
    };
    for (const std::string& s : streams) {
        host.calls.clear();
        g_portCursor = 2;  // ports left: still an error that ends the update
        CMemoryByteSource source(s.data(), s.size());
        CFlashRecordReader reader(source);
        CFlashToolRun probe(host);
        EXPECT_EQ(probe.Run(reader), 0);
        Calls expected;
        if (!s.empty())
            expected.push_back("post 2 20");
        expected.push_back("release");
        expected.push_back("box error desconocido(-1).The flash utility ended without a result.");
        expected.push_back("post 0 0");
        EXPECT_EQ(host.calls, expected) << s.size();
        EXPECT_EQ(g_lastToolError.load(), FTM_ERR_NO_FINAL_RECORD);
    }
}

TEST_F(FlashToolRunTest, RunReadsUntilTheFinalRecord)
{
    const std::string s = EncodeFlashToolMessage(0, FTM_PROGRESS, ("50 100 a b " + std::string(3000, 'c')).c_str()) +
                          EncodeFlashToolMessage(0, FTM_CHIP_NAME, "GSP2e/LPx") +
                          EncodeFlashToolMessage(0, FTM_DONE, nullptr) +
                          EncodeFlashToolMessage(0, FTM_PROGRESS, "99 0 after the end");
    CMemoryByteSource source(s.data(), s.size(), 100);
    CFlashRecordReader reader(source);
    EXPECT_EQ(run.Run(reader), 1);
    EXPECT_EQ(host.calls, (Calls{"post 2 50", "release", "post 3 1"}));
    EXPECT_EQ(g_chipType.load(), CHIP_GSP2E);
}
