#pragma once
#include <windows.h>

#include <cstdint>

#include "core/CursorImage.h"
#include "core/FramePacer.h"
#include "qm/ClientContract.h"

// What a renderer asks of the overlay it draws: the overlay manager answers, a test's stand-in
// may answer instead.
class RenderHost {
public:
    virtual HWND OverlayWindow() const = 0;
    // The monitor the game is on (null while unknown): the device goes on the adapter driving it.
    virtual HMONITOR GameMonitor() = 0;
    // The game's client size now; false while there is no game window.
    virtual bool GameClientSize(uint32_t* width, uint32_t* height) = 0;
    virtual qm::IOverlayManagerController* Controller() = 0;
    // 0xAARRGGBB, cleared to under the client's drawing.
    virtual uint32_t BackgroundColor() const = 0;
    virtual bool ClickThrough() const = 0;
    virtual bool Minimized() const = 0;
    // The cursor picture to draw (null when none was captured), and whether it changed since the
    // last call.
    virtual const CursorImage* CursorToDraw(bool* changed) = 0;
    virtual FramePacer& Pacer() = 0;
    // The main loop's next pass is no earlier than this from now.
    virtual void DelayNextPass(int64_t microseconds) = 0;
    // A lost device was made again.
    virtual void DeviceRecreated() = 0;

protected:
    ~RenderHost() = default;
};

// Makes, resizes, draws and presents the overlay's device, and makes it again when it is lost. The
// overlay manager owns one; the plug-in hosts, which draw nothing, own none.
class Renderer {
public:
    virtual ~Renderer() = default;

    // The device and what draws into the overlay window; false (with its row logged) when the
    // overlay cannot be drawn.
    virtual bool Create() = 0;
    // Everything Create made; safe to call again.
    virtual void Release() = 0;
    // The back buffer at the game's size; a lost device is made again here. False while it is not.
    // A resize to the size the buffer has is skipped unless `again` asks for it.
    virtual bool Resize(uint32_t width, uint32_t height, bool again) = 0;
    // Clears, lets the client draw and presents. False when nothing could be presented.
    virtual bool RenderAndPresent() = 0;
    // Frames wait for a resize (the device was lost, or was made anew at its first size).
    virtual bool Suspended() const { return false; }
    virtual bool FirstFrameRendered() const { return false; }
    // Another adapter now drives the game's monitor.
    virtual bool AdapterChanged() { return false; }
    // The window is drawn through composition (no redirection bitmap needed).
    virtual bool UsesComposition() const { return false; }
    // The overlay window was shown again.
    virtual void WindowShown() {}
};
