#pragma once
#include <cstddef>
#include <cstdint>

// What the overlay's frames and placements did over a period, for the row that QA and support read
// in the log. Fixed histograms (0.1 ms buckets up to a second): collecting costs neither an
// allocation nor a lock per frame.
class FrameStatistics {
public:
    struct Period {
        double seconds = 0;
        uint32_t frames = 0;
        double fps = 0;
        double intervalP50Ms = 0;
        double intervalP99Ms = 0;
        uint32_t late = 0;
        uint32_t placements = 0;
        double placementP99Ms = 0;
        double hiddenSeconds = 0;
        uint32_t deviceRecreated = 0;
        uint32_t logDropped = 0;
        // Time inside the client library's RenderOverlay per frame it drew.
        double clientP50Ms = 0;
        double clientP99Ms = 0;
    };

    void SetTargetInterval(int64_t microseconds) { targetIntervalUs_ = microseconds; }
    // The first frame starts the first period: nothing is counted before there is something to show.
    void FramePresented(int64_t nowUs);
    // The overlay was placed over the game's new rectangle `latencyUs` after the pass that saw it.
    void Placed(int64_t latencyUs);
    // Whether the overlay is shown from `nowUs` on; only changes count.
    void OverlayShown(bool shown, int64_t nowUs);
    void DeviceRecreated() { ++deviceRecreated_; }
    // The client library took `microseconds` to draw a frame.
    void ClientDrew(int64_t microseconds) {
        if (!Started()) return;
        Count(clientHistogram_, microseconds);
        ++clientFrames_;
    }

    bool Started() const { return periodStartUs_ != 0; }
    bool Due(int64_t nowUs, int64_t periodUs) const { return Started() && nowUs - periodStartUs_ >= periodUs; }
    // The period up to `nowUs`, and a new one from there; `logDroppedTotal` is the logger's count so far.
    Period Close(int64_t nowUs, int64_t logDroppedTotal);

private:
    static constexpr size_t kBuckets = 10000;
    static void Count(uint32_t* histogram, int64_t microseconds);
    static double PercentileMs(const uint32_t* histogram, uint32_t count, double share);

    int64_t targetIntervalUs_ = 1000000 / 90;
    int64_t periodStartUs_ = 0;
    int64_t lastFrameUs_ = 0;
    uint32_t frames_ = 0;
    uint32_t intervals_ = 0;
    uint32_t late_ = 0;
    uint32_t placements_ = 0;
    bool hidden_ = false;
    int64_t hiddenSinceUs_ = 0;
    int64_t hiddenUs_ = 0;
    uint32_t deviceRecreated_ = 0;
    int64_t logDroppedBefore_ = 0;
    uint32_t intervalHistogram_[kBuckets + 1] = {};
    uint32_t placementHistogram_[kBuckets + 1] = {};
    uint32_t clientFrames_ = 0;
    uint32_t clientHistogram_[kBuckets + 1] = {};
};
