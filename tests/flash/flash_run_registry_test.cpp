// Run numbers, the current run, and giving up on it while its worker starts the child.
#include "flash/flash_run_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

TEST(FlashRunRegistry, NumbersRunsFromOneAndWrapsPastZero)
{
    CFlashRunRegistry runs;
    EXPECT_EQ(runs.CurrentRun(), 0u);
    EXPECT_EQ(runs.BeginRun(), 1u);
    EXPECT_EQ(runs.BeginRun(), 2u);
    EXPECT_EQ(runs.CurrentRun(), 2u);
    for (unsigned n = 3; n <= 0xFFFF; ++n)
        runs.BeginRun();
    EXPECT_EQ(runs.CurrentRun(), 0xFFFFu);
    EXPECT_EQ(runs.BeginRun(), 1u) << "0 is kept for the sequencer's own events";
}

TEST(FlashRunRegistry, AWorkerWithoutNumberDrivesTheCurrentRunOrANewOne)
{
    CFlashRunRegistry runs;
    EXPECT_EQ(runs.ResolveRun(0), 1u) << "none current: a new run";
    EXPECT_EQ(runs.CurrentRun(), 1u);
    EXPECT_EQ(runs.ResolveRun(0), 1u);
    EXPECT_EQ(runs.ResolveRun(9), 9u) << "a number given is kept";
    runs.StopCurrent([](intptr_t) {});
    EXPECT_EQ(runs.ResolveRun(0), 2u);
}

TEST(FlashRunRegistry, GivingUpEndsOnlyTheCurrentRunsChild)
{
    CFlashRunRegistry runs;
    std::vector<intptr_t> ended;
    auto end = [&](intptr_t h) { ended.push_back(h); };

    unsigned first = runs.BeginRun();
    EXPECT_TRUE(runs.WhileCurrent(first, [&] { runs.AttachChildLocked(first, 101); }));
    unsigned second = runs.BeginRun();  // superseded without stopping: its child is not ours to end
    EXPECT_FALSE(runs.WhileCurrent(first, [] { FAIL() << "not current any more"; }));
    EXPECT_EQ(runs.StopCurrent(end), second);
    EXPECT_TRUE(ended.empty());
    EXPECT_EQ(runs.CurrentRun(), 0u);

    unsigned third = runs.BeginRun();
    runs.WhileCurrent(third, [&] { runs.AttachChildLocked(third, 303); });
    runs.DetachChild(first);  // a late worker of another run forgets nothing of this one
    EXPECT_EQ(runs.StopCurrent(end), third);
    EXPECT_EQ(ended, std::vector<intptr_t>{303});
    EXPECT_EQ(runs.StopCurrent(end), 0u);
    EXPECT_EQ(ended.size(), 1u);

    unsigned fourth = runs.BeginRun();
    runs.WhileCurrent(fourth, [&] { runs.AttachChildLocked(fourth, 404); });
    runs.DetachChild(fourth);  // the worker ended and closed its handle
    runs.StopCurrent(end);
    EXPECT_EQ(ended.size(), 1u) << "a closed handle is never ended";
}

TEST(FlashRunRegistry, ARunThatStoppedReadingOrWhoseUtilityRunsIsSparedAsAsked)
{
    CFlashRunRegistry runs;
    std::vector<intptr_t> ended;
    auto end = [&](intptr_t h) { ended.push_back(h); };
    unsigned run = runs.BeginRun(1000);
    EXPECT_EQ(runs.GetSilence(1500), 500u) << "silent since it began";
    EXPECT_EQ(runs.StopCurrent(end, STOP_IF_NOT_STARTED), run) << "its utility never started";

    run = runs.BeginRun(0xFFFFFF00u);
    runs.WhileCurrent(run, [&] { runs.AttachChildLocked(run, 7); });
    runs.NoteRecord(run, 0x100u);
    EXPECT_EQ(runs.GetSilence(0x300u), 0x200u) << "from the last record, across the wrap";
    EXPECT_EQ(runs.StopCurrent(end, STOP_IF_NOT_STARTED), 0u) << "its utility runs";
    runs.NoteEnding(run);
    EXPECT_EQ(runs.GetSilence(0x300u), RUN_NOT_READING);
    EXPECT_EQ(runs.StopCurrent(end), 0u) << "it is ending: its final event will come";
    EXPECT_TRUE(ended.empty());
    EXPECT_EQ(runs.CurrentRun(), run);
    EXPECT_EQ(runs.ResolveRun(0), run + 1) << "a worker without number never joins an ending run";
}

TEST(FlashRunRegistry, GivingUpWhileTheChildStartsStillEndsIt)
{
    // The worker starts its child inside WhileCurrent; a stop that comes meanwhile must wait
    // for it and end that child, never leave it running.
    for (int round = 0; round < 20; ++round) {
        CFlashRunRegistry runs;
        unsigned run = runs.BeginRun();
        std::atomic<bool> inside{false};
        std::atomic<bool> started{false};
        std::thread worker([&] {
            runs.WhileCurrent(run, [&] {
                inside = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                runs.AttachChildLocked(run, 55);
                started = true;
            });
        });
        if (round % 2 == 0)
            while (!inside)
                std::this_thread::yield();
        intptr_t ended = 0;
        runs.StopCurrent([&](intptr_t h) { ended = h; });
        worker.join();
        EXPECT_EQ(ended != 0, started.load()) << "a started child is ended; round " << round;
    }
}
