#pragma once
#include <windows.h>

#include <cstdint>

#include "input/CursorImage.h"
#include "qm/ClientContract.h"

// Where the device draws.
struct RenderTarget {
    HWND window = nullptr;
    // The game's monitor (null while unknown): the device goes on the adapter driving it.
    HMONITOR monitor = nullptr;
    // The game's client size; 0 x 0 while there is no game window.
    uint32_t width = 0, height = 0;
};

// What one frame is drawn with.
struct FrameInput {
    qm::IOverlayManagerController* controller = nullptr;
    // 0xAARRGGBB, cleared to under the client's drawing.
    uint32_t backgroundColor = 0;
    bool clickThrough = true;
    // The cursor picture to draw (null when none was captured), and its version: a number that
    // changes whenever the picture does.
    const CursorImage* cursor = nullptr;
    uint32_t cursorVersion = 0;
    // The game's monitor now (null while unknown).
    HMONITOR monitor = nullptr;
};

// What happened inside a renderer since it was last asked.
struct RenderEvents {
    // A lost device was made again.
    bool deviceRecreated = false;
    // The main loop's next pass is no earlier than this from now; 0 when nothing was asked. The
    // latest wish wins.
    int64_t delayUs = 0;
    // How long the client library's RenderOverlay took in the last frame drawn; -1 when none was.
    int64_t clientUs = -1;
};

// Makes, resizes, draws and presents the overlay's device, and makes it again when it is lost. The
// overlay manager owns one; the plug-in hosts, which draw nothing, own none.
class Renderer {
public:
    virtual ~Renderer() = default;

    // The device and what draws into the overlay window; false (with its row logged) when the
    // overlay cannot be drawn.
    virtual bool Create(const RenderTarget& target) = 0;
    // Everything Create made; safe to call again.
    virtual void Release() = 0;
    // The back buffer at the game's size; a lost device is made again here. False while it is not.
    // A resize to the size the buffer has is skipped unless `again` asks for it.
    virtual bool Resize(uint32_t width, uint32_t height, bool again) = 0;
    // Clears, lets the client draw and presents. False when nothing could be presented.
    virtual bool RenderAndPresent(const FrameInput& frame) = 0;
    // Frames wait for a resize (the device was lost, or was made anew at its first size).
    virtual bool Suspended() const { return false; }
    virtual bool FirstFrameRendered() const { return false; }
    // Another adapter now drives the game's monitor.
    virtual bool AdapterChanged(HMONITOR /*gameMonitor*/) { return false; }
    // The window is drawn through composition (no redirection bitmap needed).
    virtual bool UsesComposition() const { return false; }
    // The overlay window was shown again.
    virtual void WindowShown() {}
    // What happened since the last call; each is reported once.
    virtual RenderEvents TakeEvents() { return {}; }
};
