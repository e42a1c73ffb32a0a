#pragma once
#include <cstdint>

// The frames' pace in one place: the gate (when the next frame is due), the cadence (each frame is
// due one interval after the last one was, so a late wake-up does not push every later frame back),
// the cap (the display's refresh rate while Present waits for the vertical blank, never below the
// target; the target where it does not), and when the main loop's next pass is due.
class FramePacer {
public:
    void SetTargetRate(uint32_t framesPerSecond) { targetRate_ = framesPerSecond ? framesPerSecond : 1; }
    uint32_t TargetRate() const { return targetRate_; }
    // The display's rate; whether Present waits for its blank is measured anew from here on.
    void SetRefreshRate(uint32_t hertz);
    uint32_t RefreshRate() const { return refreshRate_; }
    bool PresentWaits() const { return presentWaits_; }

    // One frame at the target rate, and at the rate in force now.
    int64_t TargetIntervalUs() const { return 1000000 / static_cast<int64_t>(targetRate_); }
    int64_t FrameIntervalUs() const;

    // The presenting managers' gate: false, with the next pass put off, until the frame is due.
    bool FrameDue(int64_t nowUs);
    // A frame's Present was called at `startUs` and came back at `endUs`; `synced`: sync interval 1.
    void Presented(int64_t startUs, int64_t endUs, bool synced);
    // The other managers' gate: whole milliseconds of the target interval since the last frame.
    bool TargetFrameDue(int64_t nowUs);

    // The main loop runs its next pass no earlier than `microseconds` after `nowUs`.
    void DelayNextPass(int64_t nowUs, int64_t microseconds);
    int64_t NextPassDue() const { return nextPassDue_; }

private:
    void MeasurePresent(int64_t microseconds);

    uint32_t targetRate_ = 60;
    uint32_t refreshRate_ = 60;
    bool presentWaits_ = true;
    bool lastPresentSynced_ = true;
    int64_t nextFrameDueUs_ = 0;
    int64_t presentTimeSumUs_ = 0;
    int presentSamples_ = 0;
    int64_t lastFrameMs_ = 0;
    int64_t nextPassDue_ = 0;
};
