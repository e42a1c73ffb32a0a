#include "core/FrameStatistics.h"

#include <cstring>

void FrameStatistics::Count(uint32_t* histogram, int64_t microseconds) {
    const int64_t bucket = microseconds < 0 ? 0 : microseconds / 100;
    ++histogram[bucket < static_cast<int64_t>(kBuckets) ? bucket : kBuckets];
}

double FrameStatistics::PercentileMs(const uint32_t* histogram, uint32_t count, double share) {
    if (count == 0) return 0;
    // The smallest bucket that holds at least that share of the values; its upper edge.
    const double wanted = share * count;
    uint64_t seen = 0;
    for (size_t i = 0; i <= kBuckets; ++i) {
        seen += histogram[i];
        if (static_cast<double>(seen) >= wanted) return static_cast<double>(i + 1) / 10.0;
    }
    return static_cast<double>(kBuckets) / 10.0;
}

void FrameStatistics::FramePresented(int64_t nowUs) {
    if (!Started()) {
        periodStartUs_ = nowUs;
        hiddenSinceUs_ = nowUs;
    } else if (lastFrameUs_ != 0) {
        const int64_t interval = nowUs - lastFrameUs_;
        Count(intervalHistogram_, interval);
        ++intervals_;
        // More than half an interval after it was due.
        if (interval > targetIntervalUs_ + targetIntervalUs_ / 2) ++late_;
    }
    lastFrameUs_ = nowUs;
    ++frames_;
}

void FrameStatistics::Placed(int64_t latencyUs) {
    if (!Started()) return;
    Count(placementHistogram_, latencyUs);
    ++placements_;
}

void FrameStatistics::OverlayShown(bool shown, int64_t nowUs) {
    if (shown != hidden_) return;
    hidden_ = !shown;
    if (!Started()) return;
    if (hidden_) {
        hiddenSinceUs_ = nowUs;
    } else {
        hiddenUs_ += nowUs - hiddenSinceUs_;
        // A frame after a pause is no late frame.
        lastFrameUs_ = 0;
    }
}

FrameStatistics::Period FrameStatistics::Close(int64_t nowUs, int64_t logDroppedTotal) {
    Period p;
    if (!Started()) return p;
    if (hidden_) {
        hiddenUs_ += nowUs - hiddenSinceUs_;
        hiddenSinceUs_ = nowUs;
    }
    p.seconds = static_cast<double>(nowUs - periodStartUs_) / 1e6;
    p.frames = frames_;
    p.fps = p.seconds > 0 ? frames_ / p.seconds : 0;
    p.intervalP50Ms = PercentileMs(intervalHistogram_, intervals_, 0.5);
    p.intervalP99Ms = PercentileMs(intervalHistogram_, intervals_, 0.99);
    p.late = late_;
    p.placements = placements_;
    p.placementP99Ms = PercentileMs(placementHistogram_, placements_, 0.99);
    p.hiddenSeconds = static_cast<double>(hiddenUs_) / 1e6;
    p.deviceRecreated = deviceRecreated_;
    p.logDropped = static_cast<uint32_t>(logDroppedTotal - logDroppedBefore_);
    p.clientP50Ms = PercentileMs(clientHistogram_, clientFrames_, 0.5);
    p.clientP99Ms = PercentileMs(clientHistogram_, clientFrames_, 0.99);

    periodStartUs_ = nowUs;
    frames_ = intervals_ = late_ = placements_ = deviceRecreated_ = clientFrames_ = 0;
    hiddenUs_ = 0;
    logDroppedBefore_ = logDroppedTotal;
    std::memset(intervalHistogram_, 0, sizeof(intervalHistogram_));
    std::memset(placementHistogram_, 0, sizeof(placementHistogram_));
    std::memset(clientHistogram_, 0, sizeof(clientHistogram_));
    return p;
}
