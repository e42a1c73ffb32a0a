#pragma once
// What the in-process benchmarks share: a controller that does nothing, a window to stand for the
// game, and an overlay manager set up over it in this process.
#include <windows.h>

#include "core/OOPManager.h"
#include "tests/support/QuietController.h"

// A visible top-level window of this process: the game the overlay follows.
inline HWND CreateBenchGame() {
    return ::CreateWindowExW(0, L"STATIC", L"bench game", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 640, 480,
                             nullptr, nullptr, nullptr, nullptr);
}

// Puts `manager` over this process's game window with `controller` in place of a client library and
// the full-screen state marked read (so that placement does not wait for it).
inline bool AttachToBenchGame(OOPManager& manager, test::QuietController* controller, bool worker) {
    OOPManager::InProcessSetup setup;
    setup.gamePid = ::GetCurrentProcessId();
    setup.controller = controller;
    setup.worker = worker;
    setup.fullScreenStateKnown = true;
    return manager.AttachInProcess(::GetModuleHandleW(nullptr), setup);
}
