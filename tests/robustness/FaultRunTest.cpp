// Faults around the real host, run as the client runs it.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "common/StringUtils.h"
#include "common/UniqueHandle.h"
#include "input/InputBlockerProxy.h"
#include "tests/support/OverlayTestSupport.h"

namespace {

using test::AnswerTime;
using test::Kill;

// From the client's end to the host's exit: the loop sees the stop at its next pass, and a
// placement may first wait out the 2 s full-screen check.
constexpr DWORD kStopLimitMs = 5000;

}  // namespace

// A killed client ends as a closed one does: the host stops at once, cleanly.
TEST(FaultRun, TheGameKilledLeavesTheHostWaitingUntilTheClientIsKilled) {
    test::HostRun run;
    ASSERT_TRUE(run.Running());
    ASSERT_TRUE(Kill(run.game.Pid()));
    ASSERT_TRUE(run.game.Exited(5000));
    // The host does not watch the game: without its window it waits for one, answering its own.
    for (int i = 0; i < 5; ++i, ::Sleep(200)) EXPECT_LT(AnswerTime(run.overlay, 1000), 1000u);
    EXPECT_FALSE(run.host->WaitExit(0));
    ASSERT_TRUE(Kill(run.client.Pid()));
    run.ExpectCleanExit(kStopLimitMs);
    run.ExpectStopRows();
}

// The game stops pumping its messages for 15 s; past the first 5 s the system counts it as hung.
// The host's window keeps answering, three seconds of that state included, and the client's end
// stops the host before the game answers.
TEST(FaultRun, AHungGameNeitherStallsTheHostNorHoldsUpItsStop) {
    test::HostRun run;
    ASSERT_TRUE(run.Running());
    ASSERT_TRUE(::PostMessageW(run.game.Window(), WM_APP + 1, 15000, 0));
    const DWORD start = ::GetTickCount();
    DWORD longest = 0;
    bool hung = false;
    for (; ::GetTickCount() - start < 8000; ::Sleep(50)) {
        longest = std::max(longest, AnswerTime(run.overlay, 2000));
        hung = hung || ::IsHungAppWindow(run.game.Window());
    }
    std::printf("longest answer of the overlay while the game hangs: %lu ms\n", longest);
    EXPECT_TRUE(hung);
    EXPECT_LT(longest, 1000u);
    ASSERT_TRUE(Kill(run.client.Pid()));
    run.ExpectCleanExit(std::min(kStopLimitMs, 15000 - (::GetTickCount() - start) - 300));
    run.ExpectStopRows();
}

// Where the log folder belongs lies a file: nothing can be logged, and the host works as usual.
TEST(FaultRun, AnUnusableLogFolderChangesNothingElse) {
    test::HostRun run({}, false);
    ASSERT_TRUE(run.Running());
    ASSERT_TRUE(Kill(run.client.Pid()));
    run.ExpectCleanExit(kStopLimitMs);
}

// A client library that never comes back from RenderOverlay: the host ends with its documented
// code rather than leave a frozen overlay over the game, and its log says why, footer included.
TEST(FaultRun, AClientLibraryThatHangsEndsTheHostInsteadOfFreezingItsOverlay) {
    test::HostRun run(test::Environment{{L"QMSAMPLE_RENDER_FAULT", L"hang"}});
    ASSERT_TRUE(run.host->Started());
    run.ExpectExit(OOPManager::kPassLimitMs + 15000, static_cast<DWORD>(kExitHung));
    const std::string log = run.Log();
    EXPECT_NE(log.find("has not come back from the update step in 10000 ms"), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 5), "html>");
}

// A Stop that takes 20 s: the overlay leaves the game at once, the exit goes on after the bound
// with a row about it, and the host's code is the one it had.
TEST(FaultRun, AClientLibraryThatBlocksInStopDoesNotHoldTheExit) {
    test::HostRun run(test::Environment{{L"QMSAMPLE_STOP_MS", L"20000"}});
    ASSERT_TRUE(run.Running());
    ASSERT_TRUE(Kill(run.client.Pid()));
    EXPECT_TRUE(test::WaitUntil([&] { return !::IsWindowVisible(run.overlay); }, kStopLimitMs));
    run.ExpectCleanExit(kStopLimitMs + OOPHooksManager::kClientExitLimitMs + 2000);
    const std::string log = run.Log();
    EXPECT_NE(log.find("the client library's Stop did not return in 3000 ms: the exit goes on"), std::string::npos);
    EXPECT_NE(log.find(">exit<"), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 5), "html>");
}

// Games hide their window, destroy and re-create it when they change display modes, and hand over
// from a launcher to the game's own window: the overlay follows the window that is shown.
TEST(FaultRun, TheOverlayGoesWhereTheGamesShownWindowGoes) {
    test::HostRun run;
    ASSERT_TRUE(run.Running());
    const HWND first = run.game.Window();
    ::ShowWindow(first, SW_HIDE);
    EXPECT_TRUE(test::WaitUntil([&] { return !::IsWindowVisible(run.overlay); }, 5000));
    ::ShowWindow(first, SW_SHOWNA);
    EXPECT_TRUE(test::WaitUntil([&] { return run.Covers(first); }, 5000));

    ASSERT_TRUE(::PostMessageW(first, WM_APP + 2, 300, 0));  // re-created in place, 300 ms apart
    HWND second = nullptr;
    EXPECT_TRUE(test::WaitUntil([&] {
        second = test::FindWindowOfProcess(L"QMSampleGame", run.game.Pid(), true);
        return second && second != first && run.Covers(second);
    }, 10000));

    ASSERT_TRUE(::PostMessageW(second, WM_APP + 3, 0, 0));  // hands over to a window further on
    HWND third = nullptr;
    EXPECT_TRUE(test::WaitUntil([&] {
        third = test::FindWindowOfProcess(L"QMSampleGame", run.game.Pid(), true);
        return third && third != second && !::IsWindowVisible(second) && run.Covers(third);
    }, 10000));
    ASSERT_TRUE(Kill(run.client.Pid()));
    run.ExpectCleanExit(kStopLimitMs);
}

// The blocker's helper hangs after its work: it is kept by its handle, ended with the host (which
// leaves nothing running), and the rows come in the order things happened.
TEST(FaultRun, AHangingHelperDoesNotOutliveTheHost) {
    test::ChildProcess resident(Overlay::Common::QuoteArgument(test::InExeDir(L"QuillmarHelper64.exe")) + L" --stay 60000");
    ASSERT_TRUE(test::WaitUntil([] { return !InputBlockerProxy::FindHelperPath(false).empty(); }, 10000));
    test::HostRun run(test::Environment{{L"QMSAMPLE_BLOCKER", L"1"}, {L"QMHELPER_STAY_MS", L"60000"}});
    ASSERT_TRUE(run.Running());
    ASSERT_TRUE(test::WaitUntil([&] { return run.Log().find("found ipt window") != std::string::npos; }, 15000));
    ASSERT_TRUE(Kill(run.client.Pid()));
    run.ExpectCleanExit(kStopLimitMs + 2000);
    const std::string log = run.Log();
    const size_t started = log.find("injection started (game pid: ");
    const size_t waiting = log.find("waiting for injt");
    const size_t found = log.find("found ipt window");
    const size_t ended = log.find("helper still running at stop: ended");
    EXPECT_LT(started, waiting);
    EXPECT_LT(waiting, found);
    EXPECT_LT(found, ended);
    EXPECT_NE(ended, std::string::npos);
}

// A client that enters and leaves exclusive mode in a tight loop for two seconds: at most one change
// is on its way to the window at a time, each applied with its own value, and the frames keep their
// pace meanwhile and after.
TEST(FaultRun, ADelegateFloodNeitherStopsTheFramesNorMixesUpTheValues) {
    test::TempDir dir;
    const std::wstring frames = dir / L"frames.txt";
    test::HostRun run(test::Environment{{L"QMSAMPLE_DELEGATE_FLOOD_MS", L"2000"}, {L"QMSAMPLE_FRAME_COUNT", frames}});
    ASSERT_TRUE(run.Running());
    ::Sleep(5000);
    ASSERT_TRUE(Kill(run.client.Pid()));
    run.ExpectCleanExit(kStopLimitMs);
    // Up to five seconds at the host's 90 frames per second (fewer on a loaded machine); a loop
    // starved by the flood, which starts with the client, drew next to none.
    const int drawn = std::atoi(test::ReadFileBytes(frames).c_str());
    EXPECT_GT(drawn, 60) << drawn;
    const std::string log = run.Log();
    // The values in the order applied; rows the writer dropped under the flood break the sequence.
    std::string values;
    const std::string applied = "HandleExclusiveModeChanged ";
    const std::string dropped = "log lines dropped";
    for (size_t at = 0;;) {
        const size_t value = log.find(applied, at);
        const size_t drop = log.find(dropped, at);
        if (value == std::string::npos) break;
        if (drop < value) values += '|';
        values += log[value + applied.size()];
        at = value + 1;
    }
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.find("11"), std::string::npos);
    EXPECT_EQ(values.find("00"), std::string::npos);
    EXPECT_EQ(values.back(), '0');
}

// Two monitors side by side (the test bed's screen): a game on the second one, then across the
// boundary, then back on the first, has its overlay over it all the way, on the game's monitor.
TEST(FaultRun, TheOverlayFollowsTheGameOntoTheSecondMonitorAcrossTheBoundaryAndBack) {
    ASSERT_GE(::GetSystemMetrics(SM_CMONITORS), 2);
    test::HostRun run({}, true, L"--pos 1500,150 --size 640x480");
    ASSERT_TRUE(run.Running());
    const HWND game = run.game.Window();
    for (const POINT at : {POINT{1500, 150}, POINT{1000, 200}, POINT{200, 150}}) {
        ::SetWindowPos(game, nullptr, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        EXPECT_TRUE(test::WaitUntil([&] { return run.Covers(game); }, 5000)) << at.x;
        EXPECT_EQ(::MonitorFromWindow(run.overlay, MONITOR_DEFAULTTONULL), ::MonitorFromWindow(game, MONITOR_DEFAULTTONULL))
            << at.x;
    }
    ASSERT_TRUE(Kill(run.client.Pid()));
    run.ExpectCleanExit(kStopLimitMs);
}
