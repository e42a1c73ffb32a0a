#pragma once
#include <windows.h>

#include <cstdint>

#include "core/ForegroundForcer.h"
#include "core/FrameLoop.h"
#include "core/GameTracker.h"
#include "core/InputMode.h"
#include "core/OverlayWindow.h"
#include "core/Renderer.h"
#include "gamewindow/OverlayFacts.h"
#include "input/OOPHooksManager.h"

// The overlay's parts, each wired at construction to the few others it needs; the manager owns one
// set and conducts it. What the parts share is the facts: each publishes its own there, and the
// hooks and the client's threads read them without a lock.
struct OverlayParts {
    OverlayParts(uint32_t targetFrameRate, bool displayPaced) : frames(facts, targetFrameRate, displayPaced) {}
    OverlayParts(const OverlayParts&) = delete;
    OverlayParts& operator=(const OverlayParts&) = delete;

    // The overlay window, made where the game's client area is (else small, at the corner).
    bool MakeWindow(HINSTANCE instance, DWORD exStyle, OverlayWindow::Owner* owner);
    // Where the device draws now.
    RenderTarget Target();
    // What the next frame is drawn with; the cursor kinds asked for since the last one are applied
    // first, and the blocker hears of a new one.
    FrameInput NextFrame();
    // The overlay under the window it belongs under, as the pass read the game.
    void Place(bool force) { window.Place(tracker.ForPlacement(), force, frames.Width(), frames.Height()); }
    // Shown exactly while the game's window is shown (and the overlay is on over it): whatever hid
    // the overlay before, this puts it right. True when that changed.
    bool ShowOverGame(bool gameShown);

    OverlayFacts facts;
    OverlayWindow window;
    GameTracker tracker{facts};
    ForegroundForcer foreground{tracker.Windows(), facts};
    InputMode input{facts, window, foreground};
    OOPHooksManager session;
    FrameLoop frames;
};
