#include <gtest/gtest.h>

#include "core/CommandLineArgs.h"
#include "core/OOPManager.h"
#include "logging/FlushLogger.h"
#include "tests/support/TestSupport.h"

namespace {
// A manager whose steps the tests script: Init's result, and what Update does on its n-th pass.
class ScriptedManager : public OOPManager {
public:
    int initResult = 0;
    int quitOnPass = -1;     // post WM_QUIT with quitCode on this pass
    int quitCode = 0;
    int stopOnPass = -1;     // set the stop flag on this pass
    int passes = 0;
    int shutdowns = 0;
    int64_t passDelayUs = 0;  // the loop's wait after each pass

    int GetManagerType() override { return kManagerD3D11; }
    bool InitD3D() override { return true; }
    void ShutdownD3D() override { ++shutdowns; }
    bool ResetD3D(uint32_t, uint32_t) override { return true; }
    bool Render() override { return true; }
    int Init(HINSTANCE, FlushLogger*, CommandLineArgs*) override { return initResult; }
    bool Update() override {
        ++passes;
        if (passes == quitOnPass) ::PostQuitMessage(quitCode);
        if (passes == stopOnPass) RequestStop();
        if (passDelayUs > 0) DelayNextPass(passDelayUs);
        return true;
    }
};

}  // namespace

TEST(OOPManagerRun, EndsByWmQuitStopRequestOrFailingInit) {
    const struct {
        int initResult, quitOnPass, stopOnPass, code, passes, shutdowns;
    } cases[] = {
        {0, 3, -1, -12345, 3, 1},  // WM_QUIT's code, signed
        {0, -1, 5, 0, 5, 1},       // a stop request ends with zero
        {-998, 1, 1, -998, 0, 0},  // a failed start skips the loop and the shutdown
    };
    for (const auto& c : cases) {
        ScriptedManager m;
        m.initResult = c.initResult;
        m.quitOnPass = c.quitOnPass;
        m.quitCode = c.code;
        m.stopOnPass = c.stopOnPass;
        EXPECT_EQ(m.Run(nullptr, &gLogger, nullptr), c.code);
        EXPECT_EQ(m.passes, c.passes) << c.code;
        EXPECT_EQ(m.shutdowns, c.shutdowns) << c.code;
    }
}

TEST(ProcessCommandLine, RequiresClientFolderAndBothProcessIds) {
    struct Case {
        const wchar_t* line;
        bool ok;
    } cases[] = {
        {L"x --qm-client=C:\\qm --game-pid=10 --qm-pid=20", true},
        {L"x --qm-client= --game-pid=10 --qm-pid=20", false},
        {L"x --qm-client=C:\\qm --game-pid=abc --qm-pid=20", false},
        {L"x --qm-client=C:\\qm --game-pid=99999999999 --qm-pid=20", false},
        {L"x --qm-client=C:\\qm --game-pid=10", false},
        {L"x --qm-client=C:\\qm --game-pid=10 --qm-pid=", false},
        {L"x", false},
    };
    for (const Case& c : cases) {
        ScriptedManager m;
        CommandLineArgs cmd = test::Parsed(c.line);
        EXPECT_EQ(m.ProcessCommandLine(&cmd), c.ok) << std::string(c.line, c.line + wcslen(c.line));
        EXPECT_EQ(m.Worker() != nullptr, c.ok);
    }
    ScriptedManager m;
    EXPECT_FALSE(m.ProcessCommandLine(nullptr));
}

TEST(ProcessCommandLine, StoresTheFieldsAndStartsTheWorker) {
    ScriptedManager m;
    CommandLineArgs cmd = test::Parsed(L"x --qm-client=C:\\qm \"--game-pid= 12 34\" --qm-pid=-2 \"--game-process=My Game.exe\"");
    ASSERT_TRUE(m.ProcessCommandLine(&cmd));
    EXPECT_EQ(m.GamePid(), 12u);
    EXPECT_EQ(m.ClientPid(), 0xFFFFFFFEu);  // negative ids are kept as given
    EXPECT_EQ(m.GameProcessName(), L"My Game.exe");
    ASSERT_NE(m.Worker(), nullptr);
    EXPECT_TRUE(m.Worker()->HasThread());
    EXPECT_EQ(m.Worker()->Name(), "worker thread");

    // A second run replaces the worker, and the first one's thread ends.
    base::UniqueHandle firstThread(::OpenThread(SYNCHRONIZE, FALSE, m.Worker()->ThreadId()));
    ASSERT_TRUE(firstThread);
    const DWORD firstId = m.Worker()->ThreadId();
    ASSERT_TRUE(m.ProcessCommandLine(&cmd));
    ASSERT_NE(m.Worker(), nullptr);
    EXPECT_TRUE(m.Worker()->HasThread());
    EXPECT_NE(m.Worker()->ThreadId(), firstId);
    EXPECT_EQ(::WaitForSingleObject(firstThread.Get(), 5000), WAIT_OBJECT_0);
}

TEST(FrameGate, SpacesFramesByTheTargetRate) {
    ScriptedManager m;  // 60 per second: one frame every 16 ms at most
    int frames = 0;
    LARGE_INTEGER frequency, start, now;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    do {
        if (m.ShouldRenderFrame()) ++frames;
        ::QueryPerformanceCounter(&now);
    } while ((now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart < 500);
    const int64_t elapsedMs = (now.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
    EXPECT_GE(frames, 8);  // a busy machine may take the thread away for a while
    EXPECT_LE(frames, elapsedMs / 16 + 1);  // never more than one per 16 ms, the first at once
}

TEST(ProcessCommandLine, TheClientsEndStopsTheManager) {
    test::ChildProcess client(test::ChildCommand(L"sleep 300"));
    ASSERT_TRUE(client.Started());
    ScriptedManager m;
    CommandLineArgs cmd = test::Parsed(L"x --qm-client=C:\\qm --game-pid=10 --qm-pid=" + std::to_wstring(client.Pid()));
    ASSERT_TRUE(m.ProcessCommandLine(&cmd));
    m.ProcessClosed(nullptr, client.Pid() + 4, 0);  // another process's end
    EXPECT_FALSE(m.StopRequested());
    // The loop waits a minute after its first pass (the second would stop it): the client's end,
    // in the same wait, ends it first.
    m.passDelayUs = 60000000;
    m.stopOnPass = 2;
    EXPECT_EQ(m.Run(nullptr, &gLogger, nullptr), 0);
    EXPECT_TRUE(client.WaitExit(0));
    EXPECT_TRUE(m.StopRequested());
    EXPECT_EQ(m.passes, 1);
    EXPECT_EQ(m.shutdowns, 1);
}

TEST(ProcessCommandLine, AClientThatCannotBeWatchedCountsAsEndedWithoutFailingTheStep) {
    ScriptedManager m;
    CommandLineArgs cmd = test::Parsed(L"x --qm-client=C:\\qm --game-pid=10 --qm-pid=4294967280");
    EXPECT_FALSE(m.ProcessCommandLine(&cmd));  // out of range: missing
    cmd.Parse(L"x --qm-client=C:\\qm --game-pid=10 --qm-pid=-16");
    EXPECT_TRUE(m.ProcessCommandLine(&cmd));
    EXPECT_TRUE(m.StopRequested());
    EXPECT_EQ(m.Run(nullptr, &gLogger, nullptr), 0);
    EXPECT_EQ(m.passes, 0);
    EXPECT_EQ(m.shutdowns, 1);
}
