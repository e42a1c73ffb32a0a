#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "common/UniqueHandle.h"

// The host's side of the input blocker (qm/BlockerContract.h): has the product's helper inject the
// blocker library into the game, finds the blocker's window there and tells it when to block the
// game's input.
class InputBlockerProxy {
public:
    static constexpr int kMaxAttempts = 30;

    InputBlockerProxy() = default;
    ~InputBlockerProxy();
    InputBlockerProxy(const InputBlockerProxy&) = delete;
    InputBlockerProxy& operator=(const InputBlockerProxy&) = delete;

    // Starts the injection thread.
    void Init(uint32_t gamePid, uint32_t clientPid, const std::wstring& clientFolder);
    void Inject(uint32_t clientPid, const std::wstring& clientFolder);
    bool FindBlockerWindow(bool force, bool ignoreReady);
    void SetInputBlocking(bool block);
    // Joins the injection thread and forgets everything.
    void Reset();

    static std::wstring FindHelperPath(bool is32);
    // Where the blocker library of a game of that bitness lies for a client folder.
    static std::wstring LibraryPath(const std::wstring& clientFolder, bool is32);
    // The helper's command line.
    static std::wstring HelperCommandLine(uint32_t gamePid, const std::wstring& libraryPath, uint32_t clientPid);

    HWND BlockerWindow() const { return window_.load(); }
    int Attempts() const { return attempts_.load(); }
    bool Launched() const { return launched_.load(); }
    bool Ready() const { return ready_.load(); }
    bool SearchAllowed() const { return searchAllowed_.load(); }
    uint32_t BlockMessage() const { return blockMessage_; }
    uint32_t CursorMessage() const { return cursorMessage_; }

    // The blocker's window is written there too whenever it changes (the overlay's facts).
    void PublishWindowTo(std::atomic<HWND>* to) { publishedWindow_ = to; }
    // For a caller that has launched the helper itself: the window may be searched for now.
    void MarkLaunched(uint32_t gamePid);

private:
    void SetWindow(HWND window) {
        window_ = window;
        if (publishedWindow_) *publishedWindow_ = window;
    }
    void RegisterMessages();
    // Once, when the helper has ended: its exit code.
    void LogHelperExit();
    // A helper still running is ended, with a warning row.
    void EndHelper();

    std::atomic<bool> ready_{false};
    std::atomic<uint32_t> gamePid_{0};
    std::atomic<HWND> window_{nullptr};
    std::atomic<HWND>* publishedWindow_ = nullptr;
    uint32_t blockMessage_ = 0;
    uint32_t cursorMessage_ = 0;
    uint32_t hostPid_ = 0;
    std::atomic<int> attempts_{0};
    std::atomic<bool> launched_{false};
    base::UniqueHandle guardEvent_;
    base::UniqueHandle helper_;
    bool helperExitLogged_ = false;
    base::UniqueHandle stop_;  // ends the injection thread's wait at Reset
    std::thread thread_;
    std::atomic<bool> searchAllowed_{false};
};
