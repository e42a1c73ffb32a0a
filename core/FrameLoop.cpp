#include "core/FrameLoop.h"

#include "input/OOPHooksManager.h"
#include "logging/Log.h"

FrameLoop::FrameLoop(const OverlayFacts& facts, uint32_t targetFrameRate, bool displayPaced)
    : facts_(facts), displayPaced_(displayPaced) {
    pacer_.SetTargetRate(targetFrameRate);
}

// The renderer may still hold the window's swap chain: it goes first, and by name.
FrameLoop::~FrameLoop() { renderer_.reset(); }

void FrameLoop::SetStatistics(bool logged, int64_t periodUs) {
    statisticsLogged_ = logged;
    statisticsPeriodUs_ = periodUs;
    statistics_.SetTargetInterval(pacer_.TargetIntervalUs());
}

bool FrameLoop::Create(const RenderTarget& target) {
    if (!renderer_) return true;
    // Chosen for the game's monitor as it is now: a check queued for that monitor has nothing left
    // to find.
    if (target.monitor) adapterCheckPending_ = false;
    return renderer_->Create(target);
}

void FrameLoop::Release() {
    if (renderer_) renderer_->Release();
}

bool FrameLoop::Resize(uint32_t width, uint32_t height, bool again) {
    if (facts_.minimized.load()) return false;
    if (width_ != 0 && height_ != 0 && facts_.RenderingOff()) return false;
    if (renderer_) {
        const bool resized = renderer_->Resize(width, height, again);
        TakeRendererEvents();
        if (!resized) return false;
    }
    resetDone_ = true;
    width_ = width;
    height_ = height;
    return true;
}

bool FrameLoop::FollowAdapter(const RenderTarget& target) {
    constexpr const wchar_t* kFn = L"OOPManager::VerifyAdapterUpdated";
    if (!adapterCheckPending_.exchange(false)) return false;
    if (!renderer_ || !renderer_->AdapterChanged(target.monitor)) return false;
    QM_LOG_INFO(kFn, 1, L"adapter changed, reseting D3Device");
    Release();
    if (!Create(target)) QM_LOG_ERROR(kFn, L"[adapter changed] init D3D error");
    if (Resize(target.width, target.height)) return true;
    if (facts_.minimized.load()) {
        QM_LOG_WARNING(kFn, L"[adapter changed] reset skipped due to minimized state");
    } else {
        QM_LOG_ERROR(kFn, L"[adapter changed] reset error");
    }
    needsReset_ = true;
    return false;
}

bool FrameLoop::SizeSettled(uint32_t width, uint32_t height) {
    const bool differs = !HasSize(width, height);
    const bool settled = sizeDiffered_ && !differs;
    sizeDiffered_ = differs;
    return settled;
}

FrameLoop::Outcome FrameLoop::Frame(uint32_t width, uint32_t height, FrameInput input) {
    input.backgroundColor = backgroundColor_;
    bool reset = !HasSize(width, height);
    if (needsReset_) {
        // Once per run of failed resets: they are retried every pass.
        if (!needsResetLogged_) {
            QM_LOG_INFO(L"OOPManager::Update", 1, L"needs reset, try to reset device [%d, %d]", width_, height_);
            needsResetLogged_ = true;
        }
        reset = true;
    }
    if (!reset) {
        if (!framePollingOff_) {
            framePollingOff_ = GetGameConfiguration()->Byte(qm::GameConfiguration::kFramePollingOff) != 0;
        }
        if (!resetDone_ && !*framePollingOff_ && input.controller && !input.controller->IsFrameReady()) {
            DelayNextPass(1000);
            return Outcome::kWaiting;
        }
        if (!renderer_ || !renderer_->Suspended()) {
            resetDone_ = false;
            if (Render(input)) {
                const int64_t presented = base::NowMicroseconds();
                statistics_.FramePresented(presented);
                LogStatistics(presented, false);
                return Outcome::kPresented;
            }
        }
        if (facts_.RenderingOff()) {
            DelayNextPass(pacer_.TargetIntervalUs());
            return Outcome::kWaiting;
        }
    }
    if (!Resize(width, height)) {
        // Nothing presented and nothing reset: the next try is a frame away.
        DelayNextPass(pacer_.TargetIntervalUs());
        return Outcome::kFailed;
    }
    needsReset_ = false;
    needsResetLogged_ = false;
    return Outcome::kReset;
}

bool FrameLoop::Render(const FrameInput& input) {
    if (!renderer_) return true;
    const bool presented = renderer_->RenderAndPresent(input);
    TakeRendererEvents();
    return presented;
}

void FrameLoop::TakeRendererEvents() {
    const RenderEvents events = renderer_->TakeEvents();
    if (events.deviceRecreated) statistics_.DeviceRecreated();
    if (events.delayUs > 0) DelayNextPass(events.delayUs);
    if (events.clientUs >= 0) statistics_.ClientDrew(events.clientUs);
}

void FrameLoop::LogStatistics(int64_t nowUs, bool now) {
    if (!statisticsLogged_ || !(now ? statistics_.Started() : statistics_.Due(nowUs, statisticsPeriodUs_))) return;
    const FrameStatistics::Period p = statistics_.Close(nowUs, gLogger.DroppedRows());
    QM_LOG_INFO(L"OOPManager::Statistics", 1,
                L"stats seconds=%.1f frames=%u fps=%.1f interval_p50_ms=%.1f interval_p99_ms=%.1f late=%u "
                L"placements=%u placement_p99_ms=%.1f hidden_s=%.1f device_recreated=%u log_dropped=%u "
                L"client_ms_p50=%.1f client_ms_p99=%.1f",
                p.seconds, p.frames, p.fps, p.intervalP50Ms, p.intervalP99Ms, p.late, p.placements, p.placementP99Ms,
                p.hiddenSeconds, p.deviceRecreated, p.logDropped, p.clientP50Ms, p.clientP99Ms);
}
