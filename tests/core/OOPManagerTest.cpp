#include <gtest/gtest.h>

#include "core/CommandLineArgs.h"
#include "core/OOPManager.h"
#include "logging/FlushLogger.h"
#include "tests/support/OverlayTestSupport.h"
#include "tests/support/TestSupport.h"

TEST(OOPManagerRun, EndsByWmQuitStopRequestOrFailingInit) {
    {
        test::TestManager m;
        ::PostQuitMessage(-12345);
        EXPECT_EQ(m->RunStarted(&gLogger), -12345);  // WM_QUIT's code, signed
        EXPECT_EQ(m.renderer.releases, 1);
    }
    {
        test::TestManager m;
        m->RequestStop();
        EXPECT_EQ(m->RunStarted(&gLogger), 0);  // a stop request ends with zero
        EXPECT_EQ(m.renderer.renders, 0);
        EXPECT_EQ(m.renderer.releases, 1);
    }
    test::TestManager m;
    EXPECT_EQ(m->Run(nullptr, &gLogger, nullptr), -999);  // a failed start skips the loop and the shutdown
    EXPECT_EQ(m.renderer.releases, 0);
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
        OOPManager m(kManagerD3D11, 90);
        CommandLineArgs cmd = test::Parsed(c.line);
        EXPECT_EQ(m.ProcessCommandLine(&cmd), c.ok) << std::string(c.line, c.line + wcslen(c.line));
    }
    OOPManager m(kManagerD3D11, 90);
    EXPECT_FALSE(m.ProcessCommandLine(nullptr));
}

TEST(ProcessCommandLine, TheClientsEndStopsTheManager) {
    test::ChildProcess client(test::ChildCommand(L"sleep 300"));
    ASSERT_TRUE(client.Started());
    test::TestManager m;
    CommandLineArgs cmd = test::Parsed(L"x --qm-client=C:\\qm --game-pid=10 --qm-pid=" + std::to_wstring(client.Pid()));
    ASSERT_TRUE(m->ProcessCommandLine(&cmd));
    m->ProcessClosed(nullptr, client.Pid() + 4, 0);  // another process's end
    EXPECT_FALSE(m->StopRequested());
    // Nothing else ends the loop, which has no game to wait for: the client's end, in the same
    // wait, does.
    EXPECT_EQ(m->RunStarted(&gLogger), 0);
    EXPECT_TRUE(client.WaitExit(0));
    EXPECT_TRUE(m->StopRequested());
    EXPECT_EQ(m.renderer.releases, 1);
}

TEST(ProcessCommandLine, AClientThatCannotBeWatchedCountsAsEndedWithoutFailingTheStep) {
    test::TestManager m;
    CommandLineArgs cmd = test::Parsed(L"x --qm-client=C:\\qm --game-pid=10 --qm-pid=4294967280");
    EXPECT_FALSE(m->ProcessCommandLine(&cmd));  // out of range: missing
    cmd.Parse(L"x --qm-client=C:\\qm --game-pid=10 --qm-pid=-16");
    EXPECT_TRUE(m->ProcessCommandLine(&cmd));
    EXPECT_TRUE(m->StopRequested());
    EXPECT_EQ(m->RunStarted(&gLogger), 0);
    EXPECT_EQ(m.renderer.renders, 0);
    EXPECT_EQ(m.renderer.releases, 1);
}
