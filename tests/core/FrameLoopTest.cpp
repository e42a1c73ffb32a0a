#include <gtest/gtest.h>

#include <memory>

#include "common/MessageWait.h"
#include "core/FrameLoop.h"
#include "tests/support/OverlayTestSupport.h"

namespace {

// A frame loop over a counting renderer, the game shown at 640 x 480.
struct Loop {
    Loop() {
        facts.minimized = false;
        auto made = std::make_unique<test::CountingRenderer>();
        renderer = made.get();
        frames.SetRenderer(std::move(made));
    }
    OverlayFacts facts;
    FrameLoop frames{facts, 90, false};
    test::CountingRenderer* renderer = nullptr;
};

}  // namespace

TEST(FrameGate, SpacesFramesByTheTargetRate) {
    OverlayFacts facts;
    FrameLoop m(facts, 60, false);  // one frame every 16 ms at most
    int frames = 0;
    LARGE_INTEGER frequency, start, now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    do {
        if (m.Due(false)) ++frames;
        ::QueryPerformanceCounter(&now);
    } while ((now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart < 500);
    const int64_t elapsedMs = (now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
    EXPECT_GE(frames, 8);  // a busy machine may take the thread away for a while
    EXPECT_LE(frames, elapsedMs / 16 + 1);  // never more than one per 16 ms, the first at once
}

// A wait that the renderer asks for while resizing or drawing holds the main loop's next pass back.
TEST(FrameLoop, TheRenderersDelayHoldsTheNextPassBackAndARecreatedDeviceIsCounted) {
    Loop l;
    const int64_t start = base::NowMicroseconds();
    l.renderer->events.delayUs = 5000000;
    EXPECT_TRUE(l.frames.Resize(640, 480));
    EXPECT_GE(l.frames.Pacer().NextPassDue(), start + 5000000);
    l.renderer->events.delayUs = 9000000;
    l.renderer->events.deviceRecreated = true;
    EXPECT_EQ(l.frames.Frame(640, 480, FrameInput{}), FrameLoop::Outcome::kPresented);
    EXPECT_GE(l.frames.Pacer().NextPassDue(), start + 9000000);
    l.frames.SetStatistics(false, FrameLoop::kStatisticsPeriodUs);
    EXPECT_EQ(l.frames.Statistics().Close(base::NowMicroseconds(), 0).deviceRecreated, 1u);
}

// A frame at a new size resets first; a failed reset is tried again at the next frame, nothing
// presented meanwhile; over a minimised game or a full-screen one the overlay is off over, nothing
// is reset.
TEST(FrameLoop, ResetsComeBeforeFramesAndWaitForAGameThatCanBeDrawnOver) {
    Loop l;
    EXPECT_EQ(l.frames.Frame(640, 480, FrameInput{}), FrameLoop::Outcome::kReset);
    EXPECT_EQ(l.frames.Frame(640, 480, FrameInput{}), FrameLoop::Outcome::kPresented);
    l.renderer->resetResult = false;
    EXPECT_EQ(l.frames.Frame(800, 600, FrameInput{}), FrameLoop::Outcome::kFailed);
    EXPECT_EQ(l.renderer->renders, 1);
    EXPECT_TRUE(l.frames.HasSize(640, 480));
    EXPECT_FALSE(l.frames.SizeSettled(800, 600));
    l.renderer->resetResult = true;
    EXPECT_EQ(l.frames.Frame(800, 600, FrameInput{}), FrameLoop::Outcome::kReset);
    EXPECT_TRUE(l.frames.SizeSettled(800, 600));

    const int resets = l.renderer->resets;
    l.facts.minimized = true;
    EXPECT_FALSE(l.frames.Resize(1024, 768));
    l.facts.minimized = false;
    l.facts.fullScreen = true;
    l.facts.fullScreenRenderingOff = true;
    EXPECT_FALSE(l.frames.Resize(1024, 768));
    EXPECT_EQ(l.renderer->resets, resets);
}
