#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "common/CoalescedPost.h"
#include "core/ForegroundForcer.h"
#include "core/OverlayWindow.h"
#include "gamewindow/OverlayFacts.h"
#include "input/InputBlockerProxy.h"
#include "qm/ClientContract.h"

// Click-through and exclusive mode as one state machine, on the overlay's thread: the overlay's
// style, the game's input blocked or free, and the foreground, for the game's state now. Over a
// window the overlay takes the input itself and the game is free; over a full-screen game the
// overlay stays click-through and the game's input is blocked. Either way the player's input
// reaches one of the two.
class InputMode {
public:
    // The full-screen state changed during exclusive mode: its rules are applied again.
    static constexpr UINT kMsgApplyInputMode = WM_USER + 13;

    InputMode(OverlayFacts& facts, const OverlayWindow& window, ForegroundForcer& foreground)
        : facts_(facts), window_(window), foreground_(foreground) {
        blocker_.PublishWindowTo(&facts.blocker);
    }
    InputMode(const InputMode&) = delete;
    InputMode& operator=(const InputMode&) = delete;

    InputBlockerProxy& Blocker() { return blocker_; }

    // `clickThrough` unless it is so already and `force` does not ask; true when it changed.
    bool SetClickThrough(bool clickThrough, bool force, qm::IOverlayManagerController* controller);
    // Exclusive mode became `exclusive` (the session's latest state): style, blocking and foreground
    // follow, the log and the client hear that value.
    void ExclusiveChanged(bool exclusive, qm::IOverlayManagerController* controller);
    // Exclusive mode went on and off again before it was applied: the click-through state the
    // session cleared at once is the applied one again.
    void ExclusiveUnchanged() { facts_.clickThrough = clickThrough_; }
    // At qm::overlay::kMsgExclusiveChanged: the foreground for the mode, the client activated.
    void ExclusiveNotice(WPARAM wParam, LPARAM lParam, qm::IOverlayManagerController* controller);
    // The game's full-screen state changed: exclusive mode's rules are applied again, from the queue.
    void FullScreenChanged();
    // At kMsgApplyInputMode.
    void ApplyAfterFullScreenChange(qm::IOverlayManagerController* controller);
    // The blocker hears of the cursor kind once per change.
    void TellBlockerCursor(int32_t type);
    // Input unblocked and the blocker's injection ended.
    void Release();

private:
    void Publish(bool clickThrough) {
        clickThrough_ = clickThrough;
        facts_.clickThrough = clickThrough;
    }
    // `again` when it was on before and the game's full-screen state changed.
    void ApplyExclusiveStyle(bool again, qm::IOverlayManagerController* controller);

    // lParam of the host's own kMsgExclusiveChanged: the value is the latest one, not wParam.
    static constexpr LPARAM kLatestValue = 0x514D;

    OverlayFacts& facts_;
    const OverlayWindow& window_;
    ForegroundForcer& foreground_;
    InputBlockerProxy blocker_;
    // Click-through as this thread last applied it.
    bool clickThrough_ = true;
    std::atomic<bool> exclusiveNotice_{false};
    base::CoalescedPost exclusiveNoticePost_;
    base::CoalescedPost inputModePost_;
    // The kind the blocker was last told, and which blocker.
    int32_t blockerCursorType_ = -1;
    HWND blockerCursorWindow_ = nullptr;
};
