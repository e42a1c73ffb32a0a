#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "common/UniqueHandle.h"

namespace base {

// Watches that one thread comes back from a call in time. The watched thread only stamps two
// atomics per call (no system call, no lock); a thread of its own looks four times a second and,
// once per call that overstays its limit, runs the reaction there. Only time the watch saw pass
// counts: a process that was paused as a whole (sleep, a debugger) is not hung.
class HangWatch {
public:
    using Reaction = void (*)(void* context, const wchar_t* what, uint32_t limitMs);

    HangWatch() = default;
    ~HangWatch() { Stop(); }
    HangWatch(const HangWatch&) = delete;
    HangWatch& operator=(const HangWatch&) = delete;

    bool Start(Reaction reaction, void* context);
    // Bounded: a reaction that is still running is left to end the process itself.
    void Stop();
    bool Running() const { return static_cast<bool>(thread_); }

    // The calling thread goes into `what` (a text that outlives the call) for at most `limitMs`.
    void Enter(const wchar_t* what, uint32_t limitMs);
    void Leave() { since_.store(0, std::memory_order_release); }

    class Scope {
    public:
        Scope(HangWatch* watch, const wchar_t* what, uint32_t limitMs) : watch_(watch) {
            if (watch_) watch_->Enter(what, limitMs);
        }
        ~Scope() {
            if (watch_) watch_->Leave();
        }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        HangWatch* watch_;
    };

    // One look's view of the current call, for the watch's thread.
    struct Look {
        uint64_t at = 0;  // tick of the previous look
        bool watching = false;
        uint32_t entry = 0;
        uint64_t counted = 0;  // milliseconds of the call that the looks saw pass
    };
    // Takes the look at `now` of the call entered at `since` (0: none) as entry number `entry`;
    // returns how long the call has been seen running.
    static uint64_t Observe(Look& look, uint64_t now, uint64_t since, uint32_t entry);

private:
    static DWORD WINAPI Main(void* self);

    Reaction reaction_ = nullptr;
    void* context_ = nullptr;
    std::atomic<uint64_t> since_{0};  // tick of the entry; 0 while the thread is not inside a call
    std::atomic<uint32_t> limit_{0};
    std::atomic<const wchar_t*> what_{nullptr};
    std::atomic<uint32_t> entries_{0};
    UniqueHandle stop_;
    UniqueHandle thread_;
};

}  // namespace base
