#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "common/CoalescedPost.h"
#include "common/MessageWait.h"
#include "core/FramePacer.h"
#include "core/FrameStatistics.h"
#include "core/Renderer.h"
#include "gamewindow/OverlayFacts.h"
#include "qm/OverlayWindowContract.h"

// The overlay's frames: when the next one is due, the renderer that draws and presents it, the back
// buffer kept at the game's size, the device made again when another adapter drives the game's
// monitor, and the statistics of the frames.
class FrameLoop {
public:
    // How often the Direct3D 11 host logs its frame statistics while it renders (and once at its stop).
    static constexpr int64_t kStatisticsPeriodUs = 60000000;

    // `displayPaced`: frames as the display takes them, up to the target rate.
    FrameLoop(const OverlayFacts& facts, uint32_t targetFrameRate, bool displayPaced);
    ~FrameLoop();
    FrameLoop(const FrameLoop&) = delete;
    FrameLoop& operator=(const FrameLoop&) = delete;

    // None for the plug-in hosts, which draw nothing: every step then succeeds.
    void SetRenderer(std::unique_ptr<Renderer> renderer) { renderer_ = std::move(renderer); }
    Renderer* GetRenderer() const { return renderer_.get(); }
    FramePacer& Pacer() { return pacer_; }
    FrameStatistics& Statistics() { return statistics_; }
    // Statistics rows go out this often (and only from the Direct3D 11 host, `logged`).
    void SetStatistics(bool logged, int64_t periodUs);

    // The device for `target`; false (its row logged) when the overlay cannot be drawn.
    bool Create(const RenderTarget& target);
    void Release();
    // The back buffer at `width` x `height`, unless the game is minimised or the overlay is off
    // over a full-screen game; `again` even at the size it has.
    bool Resize(uint32_t width, uint32_t height, bool again = false);
    // The back buffer made again at its size, from the queue (a full-screen change).
    void ResizeAgainLater(HWND overlay) { resizePost_.Post(overlay, qm::overlay::kMsgResizeDevice, 1, 1); }
    // At qm::overlay::kMsgResizeDevice.
    void ResizeAgainNow() {
        resizePost_.Taken();
        Resize(width_, height_, true);
    }

    // The overlay moved to another monitor: the adapter is looked at by the next pass.
    void CheckAdapterLater() { adapterCheckPending_ = true; }
    bool AdapterCheckPending() const { return adapterCheckPending_.load(); }
    // When a check is pending and another adapter drives `target`'s monitor now, the device is made
    // again there; true when it is and the back buffer has `target`'s size.
    bool FollowAdapter(const RenderTarget& target);

    bool DisplayPaced() const { return displayPaced_; }
    // The frame gate: the target rate's, or the display's while a display-paced loop's game is
    // not minimised.
    bool Due(bool minimized) {
        const int64_t now = base::NowMicroseconds();
        return displayPaced_ && !minimized ? pacer_.FrameDue(now) : pacer_.TargetFrameDue(now);
    }
    // 0xAARRGGBB, cleared to under the client's drawing.
    void SetBackgroundColor(uint32_t color) { backgroundColor_ = color; }
    uint32_t Width() const { return width_; }
    uint32_t Height() const { return height_; }
    // Whether the back buffer has that size.
    bool HasSize(uint32_t width, uint32_t height) const { return width == width_ && height == height_; }
    // The size settled at the back buffer's after a pass that found it different.
    bool SizeSettled(uint32_t width, uint32_t height);

    enum class Outcome { kPresented, kWaiting, kReset, kFailed };
    // One frame at the game's size, or the reset that must come first; a client with no new frame
    // is asked again a millisecond later.
    // The input's background colour is the loop's own.
    Outcome Frame(uint32_t width, uint32_t height, FrameInput input);

    // The statistics row when its period is over, or now when `now` asks for it.
    void LogStatistics(int64_t nowUs, bool now);

private:
    bool Render(const FrameInput& input);
    // What the renderer did inside: the next pass waits, a device made again is counted.
    void TakeRendererEvents();
    void DelayNextPass(int64_t microseconds) { pacer_.DelayNextPass(base::NowMicroseconds(), microseconds); }

    const OverlayFacts& facts_;
    const bool displayPaced_;
    uint32_t backgroundColor_ = 0;
    std::unique_ptr<Renderer> renderer_;
    FramePacer pacer_;
    FrameStatistics statistics_;
    bool statisticsLogged_ = false;
    int64_t statisticsPeriodUs_ = kStatisticsPeriodUs;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    bool needsReset_ = false;
    bool needsResetLogged_ = false;
    bool resetDone_ = false;
    bool sizeDiffered_ = false;
    std::atomic<bool> adapterCheckPending_{false};
    // The configuration's "no frame polling" byte, read at the first frame that asks.
    std::optional<bool> framePollingOff_;
    base::CoalescedPost resizePost_;
};
