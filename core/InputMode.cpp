#include "core/InputMode.h"

#include "input/OOPHooksManager.h"
#include "logging/Log.h"
#include "qm/OverlayWindowContract.h"

bool InputMode::SetClickThrough(bool clickThrough, bool force, qm::IOverlayManagerController* controller) {
    if (clickThrough == facts_.clickThrough.load() && !force) return false;
    Publish(clickThrough);
    const bool fullScreen = facts_.fullScreen.load();
    if (!clickThrough && !fullScreen && OOPHooksManager::IsExclusive()) {
        foreground_.Request(facts_.overlay.load(), true);
        if (controller) controller->OnOverlayActivated();
    }
    // Over a window the game stays free; over a full-screen game, blocking follows the mode.
    if (clickThrough || fullScreen) blocker_.SetInputBlocking(!clickThrough);
    window_.ApplyClickThroughStyle(clickThrough, fullScreen, false);
    return true;
}

void InputMode::ExclusiveChanged(bool exclusive, qm::IOverlayManagerController* controller) {
    if (exclusive) ApplyExclusiveStyle(false, controller);
    QM_LOG_WARNING(L"OOPManager::HandleExclusiveModeChanged", L"HandleExclusiveModeChanged %d", exclusive ? 1 : 0);
    SetClickThrough(!exclusive, false, controller);
    exclusiveNotice_ = exclusive;
    exclusiveNoticePost_.Post(facts_.overlay.load(), qm::overlay::kMsgExclusiveChanged, exclusive ? 1 : 0, kLatestValue);
}

void InputMode::ExclusiveNotice(WPARAM wParam, LPARAM lParam, qm::IOverlayManagerController* controller) {
    // The host's own notice carries no value: the latest one is read when it is taken.
    if (lParam == kLatestValue) exclusiveNoticePost_.Taken();
    const bool flag = lParam == kLatestValue ? exclusiveNotice_.load() : wParam != 0;
    foreground_.Request(flag ? facts_.overlay.load() : facts_.game.load(), flag);
    if (controller) controller->OnOverlayActivated();
}

void InputMode::FullScreenChanged() {
    if (OOPHooksManager::IsExclusive()) inputModePost_.Post(facts_.overlay.load(), kMsgApplyInputMode);
}

void InputMode::ApplyAfterFullScreenChange(qm::IOverlayManagerController* controller) {
    inputModePost_.Taken();
    if (!OOPHooksManager::IsExclusive()) return;
    QM_LOG_INFO(L"OOPManager::ApplyExclusiveInputMode", 1, L"exclusive mode over a %s game",
                facts_.fullScreen.load() ? L"full-screen" : L"windowed");
    ApplyExclusiveStyle(true, controller);
}

void InputMode::ApplyExclusiveStyle(bool again, qm::IOverlayManagerController* controller) {
    const bool fullScreen = facts_.fullScreen.load();
    Publish(false);
    if (fullScreen) {
        blocker_.SetInputBlocking(true);
    } else {
        // Entering, the game was not blocked.
        if (again) blocker_.SetInputBlocking(false);
        foreground_.Request(facts_.overlay.load(), true);
        if (controller) controller->OnOverlayActivated();
    }
    // Entering over a full-screen game, the style is the click-through one already.
    window_.ApplyClickThroughStyle(false, fullScreen, again);
}

void InputMode::TellBlockerCursor(int32_t type) {
    // The kind is only known to the blocker once the proxy has registered its messages.
    HWND blocker = blocker_.BlockerWindow();
    if (blocker && (blocker != blockerCursorWindow_ || type != blockerCursorType_) &&
        ::PostMessageW(blocker, blocker_.CursorMessage(), static_cast<WPARAM>(static_cast<intptr_t>(type)), 0)) {
        blockerCursorWindow_ = blocker;
        blockerCursorType_ = type;
    }
}

void InputMode::Release() {
    blocker_.SetInputBlocking(false);
    blocker_.Reset();
}
