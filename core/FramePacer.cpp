#include "core/FramePacer.h"

#include <algorithm>

void FramePacer::SetRefreshRate(uint32_t hertz) {
    refreshRate_ = hertz ? hertz : 60;
    presentWaits_ = true;
    presentTimeSumUs_ = 0;
    presentSamples_ = 0;
}

int64_t FramePacer::FrameIntervalUs() const {
    const uint32_t rate = lastPresentSynced_ && presentWaits_ && refreshRate_ > targetRate_ ? refreshRate_ : targetRate_;
    return 1000000 / static_cast<int64_t>(rate);
}

bool FramePacer::FrameDue(int64_t nowUs) {
    if (nowUs >= nextFrameDueUs_) return true;
    DelayNextPass(nowUs, nextFrameDueUs_ - nowUs);
    return false;
}

void FramePacer::Presented(int64_t startUs, int64_t endUs, bool synced) {
    lastPresentSynced_ = synced;
    const int64_t interval = FrameIntervalUs();
    nextFrameDueUs_ = nextFrameDueUs_ == 0 ? startUs + interval : std::max(nextFrameDueUs_ + interval, startUs);
    // The loop goes straight to its wait instead of a pass that would only find the frame not due.
    if (nextFrameDueUs_ > nextPassDue_) nextPassDue_ = nextFrameDueUs_;
    if (synced) MeasurePresent(endUs - startUs);
}

void FramePacer::MeasurePresent(int64_t microseconds) {
    // Judged over a few dozen synced presents: one that waits for the blank takes a good part of a
    // refresh period once the queue is full, one that does not returns in a fraction of it.
    constexpr int kSamples = 32;
    presentTimeSumUs_ += microseconds;
    if (++presentSamples_ < kSamples) return;
    const int64_t period = 1000000 / static_cast<int64_t>(refreshRate_);
    presentWaits_ = presentTimeSumUs_ / kSamples >= period / 4;
    presentTimeSumUs_ = 0;
    presentSamples_ = 0;
}

bool FramePacer::TargetFrameDue(int64_t nowUs) {
    const int64_t interval = 1000 / static_cast<int64_t>(targetRate_);
    const int64_t now = nowUs / 1000;
    if (now - lastFrameMs_ < interval) {
        DelayNextPass(nowUs, (lastFrameMs_ + interval - now) * 1000);
        return false;
    }
    lastFrameMs_ = now;
    return true;
}

void FramePacer::DelayNextPass(int64_t nowUs, int64_t microseconds) {
    const int64_t due = nowUs + microseconds;
    if (due > nextPassDue_) nextPassDue_ = due;
}
