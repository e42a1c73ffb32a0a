#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "common/Locks.h"
#include "common/ProcessWide.h"
#include "qm/ClientContract.h"

class OOPHooksManager;
struct OverlayFacts;

// Everything the input side keeps once per process: the hooks and the controller's threads read
// it without the manager at hand. Reset only while no hooks thread and no controller are alive.
struct InputState : base::ProcessWide<InputState> {
    InputState();

    // The session the low-level hooks answer for (the last made), and the facts of the overlay it serves.
    OOPHooksManager* hooks = nullptr;
    std::atomic<const OverlayFacts*> facts{nullptr};
    std::atomic<HHOOK> mouseHook{nullptr};
    std::atomic<HHOOK> keyboardHook{nullptr};

    std::atomic<bool> exclusive{false};
    // When exclusive mode last ended, and since when the cursor has been shown (ticks, 0: never).
    std::atomic<uint32_t> exclusiveExitTick{0};
    std::atomic<uint32_t> cursorVisibleSinceTick{0};
    // Overlay client coordinates, y in the high half.
    std::atomic<int64_t> lastMousePosition{0};
    // The Alt keys held, as the keyboard hook saw them go down and up (1 left, 2 right): some
    // systems (Wine) never mark Tab with LLKHF_ALTDOWN.
    std::atomic<uint8_t> altKeysDown{0};

    // The game configuration: the host's defaults until a controller has given one.
    qm::GameConfiguration configuration{};
    std::atomic<bool> configurationRead{false};
    base::SrwLock configurationReading;

    // Rows the input blocker's changes may still log.
    std::atomic<int> blockingLogBudget{10};
};
