#include "tests/support/OverlayTestSupport.h"

#include <tlhelp32.h>

#include <filesystem>
#include <utility>

#include <gtest/gtest.h>

#include "core/CommandLineArgs.h"

namespace test {

SampleGame::SampleGame(const std::wstring& arguments)
    : process_(L"\"" + InExeDir(L"sample-game.exe") + L"\" " + arguments) {
    WaitUntil([this] { return (window_ = FindWindowOfProcess(L"QMSampleGame", Pid())) != nullptr; }, 10000);
    // The window exists a moment before it is shown.
    if (window_ && arguments.find(L"--hidden") == std::wstring::npos) {
        WaitUntil([this] { return ::IsWindowVisible(window_) != FALSE; }, 5000);
    }
}

namespace {
CountingRenderer* MadeRenderer(OOPManager& manager) {
    auto renderer = std::make_unique<CountingRenderer>();
    CountingRenderer* made = renderer.get();
    manager.Parts().frames.SetRenderer(std::move(renderer));
    return made;
}
}  // namespace

TestManager::TestManager() : manager_(kManagerGep, 60), renderer(*MadeRenderer(manager_)) {}

TestManager::~TestManager() {
    manager_.Parts().session.StopHooksThread();
    // Dispatched, not dropped: the window still lives, and its paint requests stay until answered.
    PumpMessages();
}

bool TestManager::Prepare(DWORD gamePid, bool uwp, qm::IOverlayManagerController* controller, bool hooksThread) {
    OOPManager::InProcessSetup setup;
    setup.gamePid = gamePid;
    setup.uwp = uwp;
    setup.controller = controller;
    setup.hooksThread = controller != nullptr && hooksThread;
    return manager_.AttachInProcess(::GetModuleHandleW(nullptr), setup);
}

bool TestManager::UpdateUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        PumpMessages();
        manager_.Update();
        if (done()) return true;
        if (::GetTickCount() - start >= timeoutMs) return false;
    }
}

RECT WindowRect(HWND window) {
    RECT r{};
    ::GetWindowRect(window, &r);
    return r;
}

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

HostRun::HostRun(Environment environment, bool logFolderUsable, const std::wstring& gameArguments,
                 const std::wstring& clientFolder)
    : profile(logFolderUsable), game(gameArguments), client(L"--hidden --title stand-in-client") {
    // Without either the host has nothing to follow or no one to stop it.
    EXPECT_TRUE(game.Window()) << "the sample game made no window";
    EXPECT_TRUE(client.Window()) << "the stand-in client did not start";
    if (!logFolderUsable) {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(profile.Folder()).parent_path(), ignored);
        EXPECT_TRUE(WriteFileBytes(profile.Folder(), "a file where the folder belongs"));
    }
    host = std::make_unique<ChildProcess>(
        Overlay::Common::QuoteArgument(InExeDir(L"qm-overlay.exe")) + L" --game-pid=" + std::to_wstring(game.Pid()) +
            L" --qm-pid=" + std::to_wstring(client.Pid()) + L" --game-process=sample-game.exe --qm-client=" +
            Overlay::Common::QuoteArgument(InExeDir(clientFolder)),
        profile.Env(std::move(environment)));
}

bool Kill(DWORD pid) {
    base::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
    return process && ::TerminateProcess(process.Get(), 9);
}

DWORD AnswerTime(HWND window, DWORD limitMs) {
    const DWORD start = ::GetTickCount();
    DWORD_PTR result = 0;
    return ::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, limitMs, &result) ? ::GetTickCount() - start : limitMs;
}

COLORREF ScreenPixel(POINT at) {
    HDC screen = ::GetDC(nullptr);
    const COLORREF c = ::GetPixel(screen, at.x, at.y);
    ::ReleaseDC(nullptr, screen);
    return c;
}

void Click(POINT at) {
    ::SetCursorPos(at.x, at.y);
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    ::SendInput(2, input, sizeof(INPUT));
}

void MoveMouse(POINT at) {
    ::SetCursorPos(at.x, at.y);
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = MOUSEEVENTF_MOVE;
    ::SendInput(1, &input, sizeof(INPUT));
}

uintptr_t GameClicks(HWND game) { return reinterpret_cast<uintptr_t>(::GetPropW(game, L"QMSampleGame.Clicks")); }

bool HostRun::Covers(HWND gameWindow) const {
    return overlay && ::IsWindowVisible(overlay) && SameRect(WindowRect(overlay), ClientOnScreen(gameWindow));
}

bool HostRun::Running() {
    return game.Window() && host->Started() && WaitUntil([&] {
               overlay = FindWindowOfProcess(L"OOPO_WINDOWS_CLASS", host->Pid());
               return Covers();
           }, 20000);
}

void HostRun::ExpectCleanExit(DWORD ms) const { ExpectExit(ms, 0); }

void HostRun::ExpectExit(DWORD ms, DWORD expectedCode) const {
    ASSERT_TRUE(host->WaitExit(ms));
    DWORD code = 1;
    ::GetExitCodeProcess(host->Handle(), &code);
    EXPECT_EQ(code, expectedCode);
    FILETIME created{}, ended{}, kernel{}, user{};
    ::GetProcessTimes(host->Handle(), &created, &ended, &kernel, &user);
    base::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
        if (entry.th32ParentProcessID != host->Pid()) continue;
        // Process ids come round again: only a process made during the host's life can be its child, and one
        // that can no longer be opened has ended.
        base::UniqueHandle child(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, entry.th32ProcessID));
        FILETIME childCreated{}, childEnded{};
        if (!child || !::GetProcessTimes(child.Get(), &childCreated, &childEnded, &kernel, &user)) continue;
        if (::CompareFileTime(&childCreated, &created) < 0 || ::CompareFileTime(&childCreated, &ended) > 0) continue;
        if (::WaitForSingleObject(child.Get(), 0) == WAIT_OBJECT_0) continue;
        ADD_FAILURE() << "left running: " << entry.th32ProcessID;
    }
}

std::string HostRun::Log() const { return profile.Log(L"qm-overlay_sample-game.exe_*.Game.html"); }

void HostRun::ExpectStopRows() const {
    const std::string log = Log();
    size_t at = 0;
    for (const char* text : {"Quillmar terminated, stopping oopo", "shutting down: 0", "llhk thread stopped", ">exit<"}) {
        at = log.find(text, at);
        ASSERT_NE(at, std::string::npos) << text;
    }
    EXPECT_EQ(log.find("cannot be watched"), std::string::npos);
    EXPECT_EQ(log.find("SetProcessDpiAwareness Fail"), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 5), "html>");
}

}  // namespace test
