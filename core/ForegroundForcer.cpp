#include "core/ForegroundForcer.h"

void ForegroundForcer::Request(HWND window, bool cancelMode) {
    target_ = window;
    cancelMode_ = cancelMode;
    if (!worker_ || !facts_.overlay.load()) {
        Run();
        return;
    }
    if (asking_.exchange(true)) return;
    if (!worker_->Post([this] { AskTheGame(); })) {
        asking_ = false;
        Run();
    }
}

void ForegroundForcer::Run() {
    post_.Taken();
    windows_.ForceForegroundWindow(target_.load(), cancelMode_.load());
}

void ForegroundForcer::AskTheGame() {
    // The system answers at once for a game it already counts as hung, so the worker then rests
    // before asking again.
    constexpr UINT kAnswerWithinMs = 200;
    constexpr DWORD kAskAgainAfterMs = 100;
    HWND game = facts_.game.load();
    DWORD_PTR result = 0;
    const bool answered = !game || !::IsWindow(game) ||
                          ::SendMessageTimeoutW(game, WM_NULL, 0, 0, SMTO_ABORTIFHUNG | SMTO_BLOCK, kAnswerWithinMs,
                                                &result) != 0;
    if (!answered && !stopping_) {
        if (::IsHungAppWindow(game)) ::Sleep(kAskAgainAfterMs);
        if (worker_->Post([this] { AskTheGame(); })) return;
    }
    asking_ = false;
    post_.Post(facts_.overlay.load(), kMsgForceForeground);
}
