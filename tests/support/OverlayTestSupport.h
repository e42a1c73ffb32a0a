#pragma once
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "core/HostState.h"
#include "core/OOPManager.h"
#include "core/Renderer.h"
#include "gamewindow/GameWindowState.h"
#include "input/InputState.h"
#include "qm/ClientContract.h"
#include "tests/support/TestSupport.h"
#include "tests/support/WindowLookup.h"

namespace test {

// sample-game.exe as a separate process, with its window found.
class SampleGame {
public:
    explicit SampleGame(const std::wstring& arguments = L"");
    DWORD Pid() const { return process_.Pid(); }
    HWND Window() const { return window_; }
    // The client area in screen coordinates.
    RECT ClientOnScreen() const { return test::ClientOnScreen(window_); }
    bool Exited(DWORD timeoutMs) const { return process_.WaitExit(timeoutMs); }

private:
    ChildProcess process_;
    HWND window_ = nullptr;
};

// A controller that records what the host calls and answers as told.
class FakeController : public qm::IOverlayManagerController {
public:
    void SendData(uint32_t, const void*) override {}
    bool Start(qm::GameConfiguration*) override { return true; }
    void Stop() override { ++stops; }
    bool OnMouseMessage(uint64_t message, uint64_t, int64_t, bool*) override {
        lastMouseMessage = static_cast<uint32_t>(message);
        ++mouseMessages;
        return handleMouse;
    }
    bool OnKeyboardHook(int32_t, uint64_t, KBDLLHOOKSTRUCT* key) override {
        if (key && key->vkCode == VK_TAB) ++tabKeys;
        ++keys;
        if (key && (key->vkCode == VK_MENU || key->vkCode == VK_LMENU || key->vkCode == VK_RMENU)) ++altKeys;
        return swallowKeys.load();
    }
    bool OnMouseHook(uint32_t message, uint64_t flags, int64_t position) override {
        lastHookMessage = message;
        lastHookFlags = flags;
        lastHookPosition = position;
        ++mouseHooks;
        return handleMouse;
    }
    void OnClickOutside() override { ++clicksOutside; }
    void Unused7() override {}
    void OnHooksFailed() override { ++hooksFailed; }
    void SetDelegate(qm::IOverlayManagerControllerDelegate*) override {}
    void Unused10() override {}
    bool ReadGameConfiguration(qm::GameConfiguration*) override { return true; }
    bool IsFrameReady() override { return true; }
    void SetGameWindow(HWND window) override { gameWindow = window; }
    void OnWindowModeRestored() override { ++windowModeRestored; }
    void OnOverlayActivated() override { ++overlayActivated; }
    void Unused16() override {}
    void RenderOverlay(HWND, IDXGISwapChain*) override {}

    std::atomic<bool> handleMouse{false};
    std::atomic<bool> swallowKeys{false};
    std::atomic<int> mouseMessages{0}, mouseHooks{0}, clicksOutside{0}, keys{0}, tabKeys{0}, altKeys{0};
    std::atomic<int> hooksFailed{0}, stops{0}, windowModeRestored{0}, overlayActivated{0};
    std::atomic<uint32_t> lastMouseMessage{0}, lastHookMessage{0};
    std::atomic<uint64_t> lastHookFlags{0};
    std::atomic<int64_t> lastHookPosition{0};
    std::atomic<HWND> gameWindow{nullptr};
};

// The process-wide state of the host, the input side and the game-window side, fresh before a
// manager is made (a base listed first) and again once it is gone.
struct FreshProcessState {
    FreshProcessState() { ResetAll(); }
    ~FreshProcessState() { ResetAll(); }
    static void ResetAll() {
        HostState::Reset();
        InputState::Reset();
        GameWindowState::Reset();
    }
};

// A renderer that does nothing but count, answering as told.
class CountingRenderer : public Renderer {
public:
    bool Create(const RenderTarget&) override { return createResult; }
    void Release() override { ++releases; }
    bool Resize(uint32_t width, uint32_t height, bool /*again*/) override {
        lastResetWidth = width;
        lastResetHeight = height;
        ++resets;
        return resetResult;
    }
    bool RenderAndPresent(const FrameInput&) override {
        ++renders;
        return renderResult;
    }
    RenderEvents TakeEvents() override { return std::exchange(events, RenderEvents{}); }

    bool createResult = true;
    bool resetResult = true;
    bool renderResult = true;
    RenderEvents events;  // reported at the next take
    int resets = 0, renders = 0, releases = 0;
    uint32_t lastResetWidth = 0, lastResetHeight = 0;
};

// An overlay manager in this process over a counting renderer, with the process-wide state fresh
// before it is made and after it is gone.
class TestManager : private FreshProcessState {
    OOPManager manager_;  // made before the renderer that it owns

public:
    TestManager();
    ~TestManager();
    TestManager(const TestManager&) = delete;
    TestManager& operator=(const TestManager&) = delete;

    OOPManager* operator->() { return &manager_; }
    OOPManager& Manager() { return manager_; }

    // Over the game of `gamePid`: the tracker, the worker, the window and, when a controller is
    // given, the hooks thread unless `hooksThread` says otherwise.
    bool Prepare(DWORD gamePid, bool uwp, qm::IOverlayManagerController* controller, bool hooksThread = true);
    // Runs Update until `done` holds (messages pumped in between).
    bool UpdateUntil(const std::function<bool()>& done, DWORD timeoutMs);
    // One pass of the update step now, whatever the frame gate says.
    bool Pass() { return manager_.Step(true); }
    // What the loop does between passes: when the game moved since the last look, the overlay
    // follows at once. True when it moved.
    bool FollowGameNow() {
        if (!manager_.Parts().tracker.MovedSinceLastLook()) return false;
        manager_.Step(false);
        return true;
    }
    void Place(bool force) {
        manager_.Parts().window.Place(manager_.Parts().tracker.ForPlacement(), force, manager_.Parts().frames.Width(),
                                manager_.Parts().frames.Height());
    }
    bool SetClickThrough(bool clickThrough, bool force) {
        return manager_.Parts().input.SetClickThrough(clickThrough, force, manager_.Parts().session.Controller());
    }

    CountingRenderer& renderer;
};

RECT WindowRect(HWND window);
bool SameRect(const RECT& a, const RECT& b);
// Ends a process the way a crash or the task manager does.
bool Kill(DWORD pid);
// The round trip of a message to the window's thread, or `limitMs` when it did not answer.
DWORD AnswerTime(HWND window, DWORD limitMs);
// The screen's pixel as a player sees it.
COLORREF ScreenPixel(POINT at);
// A left click at `at` on the screen, as the player's mouse makes it; a move there.
void Click(POINT at);
void MoveMouse(POINT at);
// The left clicks the sample game's window has had.
uintptr_t GameClicks(HWND game);

// The real host run as the client runs it: over the sample game, with the reference client library
// and a stand-in client process, logging everything into a profile of its own (or, when the log
// folder is unusable, nothing: a file stands where the folder belongs). `clientFolder`, next to the
// test program, holds the client library.
class HostRun {
public:
    explicit HostRun(Environment environment = {}, bool logFolderUsable = true,
                     const std::wstring& gameArguments = L"--pos 200,150 --size 640x480",
                     const std::wstring& clientFolder = L"client");
    // Waits until the overlay lies over the game.
    bool Running();
    bool Covers() const { return Covers(game.Window()); }
    // The overlay is shown exactly over that window's client area.
    bool Covers(HWND gameWindow) const;
    // The host ended by itself within `ms`, with code 0, and left no process of its own behind.
    void ExpectCleanExit(DWORD ms) const;
    // The same with another exit code.
    void ExpectExit(DWORD ms, DWORD code) const;
    // The log's text; empty while there is no log file.
    std::string Log() const;
    // The rows of a stop because the client ended, in order, and the footer.
    void ExpectStopRows() const;

    LogProfile profile;
    SampleGame game;
    SampleGame client;
    std::unique_ptr<ChildProcess> host;
    HWND overlay = nullptr;
};

}  // namespace test
