// Faults around the real host, run as the client runs it: over the sample game, with the reference
// client library and a stand-in client process, logging everything into a profile of its own.
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/UniqueHandle.h"
#include "core/CommandLineArgs.h"
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

class HostRun {
public:
    explicit HostRun(bool logFolderUsable = true)
        : logs_(profile_.Path() + L"\\AppData\\Local\\QuillMar\\Log"),
          game_(L"--pos 200,150 --size 640x480"),
          client_(L"--hidden --title stand-in-client") {
        // An unusable log folder: a file stands where the folder belongs.
        ::SHCreateDirectoryExW(nullptr, (logFolderUsable ? logs_ : logs_.substr(0, logs_.rfind(L'\\'))).c_str(), nullptr);
        test::WriteFileBytes(logFolderUsable ? logs_ + L"\\QMLog.cfg" : logs_,
                             test::Utf16Bytes(L"SEVERITY_NORMAL +\r\nSEVERITY_MEDIUM +\r\nSEVERITY_HIGH +\r\nERROR H\r\n"
                                              L"OOPOHooksManager H\r\n"));
        ::SetEnvironmentVariableW(L"USERPROFILE", profile_.Path().c_str());
        host_ = std::make_unique<test::ChildProcess>(
            Overlay::Common::QuoteArgument(test::InExeDir(L"qm-overlay.exe")) + L" --game-pid=" +
            std::to_wstring(game_.Pid()) + L" --qm-pid=" + std::to_wstring(client_.Pid()) +
            L" --game-process=sample-game.exe --qm-client=" + Overlay::Common::QuoteArgument(test::InExeDir(L"client")));
        ::SetEnvironmentVariableW(L"USERPROFILE", nullptr);
    }

    // Waits until the overlay lies over the game.
    bool Running() {
        return game_.Window() && host_->Started() && test::WaitUntil([&] {
                   overlay_ = test::FindWindowOfProcess(L"OOPO_WINDOWS_CLASS", host_->Pid());
                   return overlay_ && ::IsWindowVisible(overlay_) &&
                          test::SameRect(test::WindowRect(overlay_), game_.ClientOnScreen());
               }, 20000);
    }

    // The host ended by itself within `ms`, with code 0, and left no process of its own behind.
    void ExpectCleanExit(DWORD ms) {
        ASSERT_TRUE(host_->WaitExit(ms));
        DWORD code = 1;
        ::GetExitCodeProcess(host_->Handle(), &code);
        EXPECT_EQ(code, 0u);
        base::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
            EXPECT_NE(entry.th32ParentProcessID, host_->Pid()) << "left running: " << entry.th32ProcessID;
        }
    }

    std::string Log() const {
        const std::vector<std::wstring> files = test::ListFiles(logs_, L"qm-overlay_sample-game.exe_*.Game.html");
        return files.size() == 1 ? test::ReadFileBytes(logs_ + L"\\" + files[0]) : std::string();
    }

    // The rows of a stop because the client ended, in order, and the footer.
    void ExpectStopRows() const {
        const std::string log = Log();
        size_t at = 0;
        for (const char* text : {"Quillmar terminated, stopping oopo", "shutting down: 0", "llhk thread stopped", ">exit<"}) {
            at = log.find(text, at);
            ASSERT_NE(at, std::string::npos) << text;
        }
        EXPECT_EQ(log.find("cannot be watched"), std::string::npos);
        EXPECT_EQ(log.substr(log.size() - 5), "html>");
    }

    test::TempDir profile_;
    const std::wstring logs_;
    test::SampleGame game_;
    test::SampleGame client_;
    std::unique_ptr<test::ChildProcess> host_;
    HWND overlay_ = nullptr;
};

}  // namespace

// A killed client ends as a closed one does: the host stops at once, cleanly.
TEST(FaultRun, TheGameKilledLeavesTheHostWaitingUntilTheClientIsKilled) {
    HostRun run;
    ASSERT_TRUE(run.Running());
    ASSERT_TRUE(Kill(run.game_.Pid()));
    ASSERT_TRUE(run.game_.Exited(5000));
    // The host does not watch the game: without its window it waits for one, answering its own.
    for (int i = 0; i < 5; ++i, ::Sleep(200)) EXPECT_LT(AnswerTime(run.overlay_, 1000), 1000u);
    EXPECT_FALSE(run.host_->WaitExit(0));
    ASSERT_TRUE(Kill(run.client_.Pid()));
    run.ExpectCleanExit(kStopLimitMs);
    run.ExpectStopRows();
}

// The game stops pumping its messages for 10 s; past the first 5 s the system counts it as hung.
// The host's window keeps answering, and the client's end stops the host before the game answers.
TEST(FaultRun, AHungGameNeitherStallsTheHostNorHoldsUpItsStop) {
    HostRun run;
    ASSERT_TRUE(run.Running());
    ASSERT_TRUE(::PostMessageW(run.game_.Window(), WM_APP + 1, 10000, 0));
    const DWORD start = ::GetTickCount();
    DWORD longest = 0;
    for (; ::GetTickCount() - start < 5500; ::Sleep(50)) longest = std::max(longest, AnswerTime(run.overlay_, 2000));
    std::printf("longest answer of the overlay while the game hangs: %lu ms\n", longest);
    EXPECT_LT(longest, 1000u);
    ASSERT_TRUE(Kill(run.client_.Pid()));
    run.ExpectCleanExit(std::min(kStopLimitMs, 10000 - (::GetTickCount() - start) - 300));
    run.ExpectStopRows();
}

// Where the log folder belongs lies a file: nothing can be logged, and the host works as usual.
TEST(FaultRun, AnUnusableLogFolderChangesNothingElse) {
    HostRun run(false);
    ASSERT_TRUE(run.Running());
    ASSERT_TRUE(Kill(run.client_.Pid()));
    run.ExpectCleanExit(kStopLimitMs);
}
