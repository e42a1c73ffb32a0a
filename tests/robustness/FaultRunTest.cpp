// Faults around the real host, run as the client runs it.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include <gtest/gtest.h>

#include "common/UniqueHandle.h"
#include "tests/gamewindow/OverlayTestSupport.h"

namespace {

// From the client's end to the host's exit: the loop sees the stop at its next pass, and a
// placement may first wait out the 2 s full-screen check.
constexpr DWORD kStopLimitMs = 5000;

bool Kill(DWORD pid) {
    base::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    return process && ::TerminateProcess(process.Get(), 9);
}

// The round trip of a message to the window's thread, or `limitMs` when it did not answer.
DWORD AnswerTime(HWND window, DWORD limitMs) {
    const DWORD start = ::GetTickCount();
    DWORD_PTR result = 0;
    return ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, limitMs, &result) ? ::GetTickCount() - start : limitMs;
}

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
