#pragma once
#include <windows.h>

#include <cstdint>

// What the system reports of the game's window between passes: out-of-context window events,
// delivered to the thread that started the watch while it takes its messages. A kind counts as
// delivered once one event of it has come; until then its owner looks for that change itself (under
// Wine, for one, no location change of another process's window is ever reported).
class GameWindowEvents {
public:
    enum Kind : uint32_t {
        kLocation = 1,    // the game's window moved, changed size, was minimised or restored
        kForeground = 2,  // another window has the foreground
        kOrder = 4,       // the game's windows were reordered, shown or hidden
    };

    GameWindowEvents() = default;
    ~GameWindowEvents() { Stop(); }
    GameWindowEvents(const GameWindowEvents&) = delete;
    GameWindowEvents& operator=(const GameWindowEvents&) = delete;

    // On the thread that takes the messages; one watch per process. False when no hook was set.
    bool Start(uint32_t gamePid);
    void Stop();
    // The window whose location counts.
    void SetWindow(HWND game) { window_ = game; }
    // Whether any of `kinds` changed since the last take; those are cleared.
    bool Take(uint32_t kinds);
    bool Pending(uint32_t kinds) const { return (changed_ & kinds) != 0; }
    bool Delivered(uint32_t kinds) const { return (delivered_ & kinds) == kinds; }

    // The hooks' entry, on the watching thread. Tests feed here what the system does not deliver.
    static void Deliver(DWORD event, HWND window, LONG object);

private:
    static void CALLBACK OnEvent(HWINEVENTHOOK hook, DWORD event, HWND window, LONG object, LONG child, DWORD thread,
                                 DWORD time);
    void Note(uint32_t kind) {
        changed_ |= kind;
        delivered_ |= kind;
    }

    HWINEVENTHOOK hooks_[3] = {};
    HWND window_ = nullptr;
    uint32_t changed_ = 0;
    uint32_t delivered_ = 0;
};
