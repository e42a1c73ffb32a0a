#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "core/CommandLineArgs.h"
#include "plugins/GoopOOPManager.h"
#include "tests/support/TestSupport.h"

using Overlay::Common::QuoteArgument;

namespace {

// A game and a client to watch, and the host run as the client would run it.
struct PluginRun {
    test::TempDir dir;
    std::wstring record = dir / L"record.txt";

    int32_t Run(const std::wstring& arguments, uint32_t gamePid, uint32_t clientPid, const std::wstring& game = L"game.exe",
                DWORD* elapsedMs = nullptr) {
        const std::wstring line = QuoteArgument(test::InExeDir(L"qm-overlay.exe")) + L" " + arguments +
                                  L" --qm-client=C:\\qm --game-pid=" + std::to_wstring(gamePid) + L" --qm-pid=" +
                                  std::to_wstring(clientPid) + L" --game-process=" + game;
        const DWORD start = ::GetTickCount();
        const test::ProcessResult r =
            test::RunProcess(line, 60000, {{L"QMSAMPLE_GOOP_RECORD", record}, {L"QMSAMPLE_GEP_RECORD", record}});
        if (elapsedMs) *elapsedMs = ::GetTickCount() - start;
        EXPECT_TRUE(r.finished);
        return static_cast<int32_t>(r.exitCode);
    }
    std::string Record() const { return test::ReadFileBytes(record); }
};

std::wstring Plugin(const wchar_t* name) { return L"--plugin=" + QuoteArgument(test::InExeDir(name)); }

}  // namespace

TEST(GepManager, RefusesMissingOrBrokenPlugins) {
    test::ChildProcess game(test::ChildCommand(L"sleep 30000"));
    test::ChildProcess client(test::ChildCommand(L"sleep 30000"));
    PluginRun run;
    EXPECT_EQ(run.Run(L"--oopg --plugin=C:\\no\\such.dll", game.Pid(), client.Pid()), -993);
    EXPECT_EQ(run.Run(L"--oopg", game.Pid(), client.Pid()), -993);
    EXPECT_EQ(run.Run(L"--oopg " + Plugin(L"sample-no-exports.dll"), game.Pid(), client.Pid()), -991);
    EXPECT_EQ(run.Run(L"--oopg " + Plugin(L"sample-gep-plugin.dll"), game.Pid(), client.Pid(), L"fail.exe"), -991);
    EXPECT_EQ(run.Run(L"--oopg " + Plugin(L"sample-gep-plugin.dll"), 0, client.Pid()), -999);
}

TEST(GepManager, RunsUntilASecondAfterTheGameEnds) {
    const DWORD start = ::GetTickCount();
    test::ChildProcess game(test::ChildCommand(L"sleep 1500"));
    test::ChildProcess client(test::ChildCommand(L"sleep 60000"));
    PluginRun run;
    EXPECT_EQ(run.Run(L"--oopg " + Plugin(L"sample-gep-plugin.dll"), game.Pid(), client.Pid()), 0);
    const DWORD sinceTheGameStarted = ::GetTickCount() - start;
    EXPECT_GE(sinceTheGameStarted, 2400u);  // the game's 1.5 s, then one more
    EXPECT_LT(sinceTheGameStarted, 15000u);
    EXPECT_EQ(run.Record(), "StartPluginOOP game.exe 0\n");
}

TEST(GepManager, StopsAtOnceWhenTheClientEnds) {
    test::ChildProcess game(test::ChildCommand(L"sleep 60000"));
    test::ChildProcess client(test::ChildCommand(L"sleep 1000"));
    PluginRun run;
    DWORD elapsed = 0;
    EXPECT_EQ(run.Run(L"/OOPG " + Plugin(L"sample-gep-plugin.dll"), game.Pid(), client.Pid(), L"game.exe", &elapsed), 0);
    EXPECT_LT(elapsed, 10000u);
}

// Games protected against being opened are the ones plug-in hosts meet: such a game leaves the
// client's end to stop the host.
TEST(GepManager, AGameThatCannotBeWatchedLeavesTheClientsEndOnly) {
    PluginRun run;
    for (const wchar_t* host : {L"--oopg ", L"--goop --params=e30= "}) {
        test::ChildProcess client(test::ChildCommand(L"sleep 2000"));
        const std::wstring plugin = Plugin(std::wstring(host).find(L"oopg") != std::wstring::npos ? L"sample-gep-plugin.dll"
                                                                                                   : L"sample-goop-plugin.dll");
        DWORD elapsed = 0;
        EXPECT_EQ(run.Run(host + plugin, 0x7FFFFFF0u, client.Pid(), L"game.exe", &elapsed), 0) << host;
        EXPECT_TRUE(client.WaitExit(0)) << host << " ended after " << elapsed << " ms, before the client";
    }
}

// A plug-in named by a plain file name in the current folder: that file is the one loaded.
TEST(GepManager, APluginNamedPlainlyInTheCurrentFolderIsTheOneLoaded) {
    test::ChildProcess game(test::ChildCommand(L"sleep 1000"));
    test::ChildProcess client(test::ChildCommand(L"sleep 60000"));
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(test::InExeDir(L"").c_str()));
    PluginRun run;
    const int32_t code = run.Run(L"--oopg --plugin=sample-gep-plugin.dll", game.Pid(), client.Pid());
    ::SetCurrentDirectoryW(previous);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(run.Record(), "StartPluginOOP game.exe 0\n");
}

// The plug-in hosts wait without spinning and answer meanwhile: a window that the plug-in made on
// the host's main thread answers while the host waits for the game (GEP) or ticks (GOOP, at its rate).
TEST(GoopManager, PluginWindowsAnswerWhileTheHostWaitsAndTicksAtItsRate) {
    test::TempDir dir;
    const std::wstring ticks = dir / L"ticks.txt";
    for (const wchar_t* host : {L"--oopg", L"--goop --params=e30="}) {
        const bool goop = std::wstring(host).find(L"goop") != std::wstring::npos;
        test::ChildProcess game(test::ChildCommand(L"sleep 3000"));
        test::ChildProcess client(test::ChildCommand(L"sleep 60000"));
        test::ChildProcess run(QuoteArgument(test::InExeDir(L"qm-overlay.exe")) + L" " + host + L" " +
                                   Plugin(goop ? L"sample-goop-plugin.dll" : L"sample-gep-plugin.dll") +
                                   L" --qm-client=C:\\qm --game-pid=" + std::to_wstring(game.Pid()) + L" --qm-pid=" +
                                   std::to_wstring(client.Pid()) + L" --game-process=game.exe",
                               {{L"QMSAMPLE_PLUGIN_WINDOW", L"1"}, {L"QMSAMPLE_GOOP_TICKS", ticks}});
        HWND window = nullptr;
        ASSERT_TRUE(test::WaitUntil([&] {
            window = ::FindWindowW(L"STATIC", L"QMSamplePluginWindow");
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            return window && owner == run.Pid();
        }, 10000)) << host;
        for (int i = 0; i < 5; ++i, ::Sleep(100)) {
            DWORD_PTR result = 0;
            EXPECT_NE(::SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 2000, &result), 0) << host;
        }
        ASSERT_TRUE(run.WaitExit(15000)) << host;
        if (goop) {
            int count = 0;
            unsigned long ms = 0;
            ASSERT_EQ(std::sscanf(test::ReadFileBytes(ticks).c_str(), "%d %lu", &count, &ms), 2);
            const double perSecond = count * 1000.0 / static_cast<double>(ms ? ms : 1);
            EXPECT_GE(perSecond, 50.0);  // 62.5 asked for; a loaded machine may lose a few
            EXPECT_LE(perSecond, 70.0);
        }
    }
}

TEST(GoopManager, HandsThePluginItsBlockAndTicksItUntilTheGameEnds) {
    test::ChildProcess game(test::ChildCommand(L"sleep 1000"));
    test::ChildProcess client(test::ChildCommand(L"sleep 60000"));
    PluginRun run;
    const std::wstring params =
        test::Base64Text(R"({"game_id": 21216, "log_folder": "C:\\logs", "log_level": 4, "config_file": "cfg.json",)"
               R"( "channel_id": 4000000000, "vgep_file": "v.gep"})");
    EXPECT_EQ(run.Run(L"--goop " + Plugin(L"sample-goop-plugin.dll") + L" --params=" + params +
                          L" --goop-screen-tester=no",
                      game.Pid(), client.Pid()),
              0);
    const std::string expected = "Init pid=" + std::to_string(game.Pid()) +
                                 " game_id=21216 log_folder=\"C:\\logs\" log_level=4 config_file=\"cfg.json\" "
                                 "process=game.exe channel_id=4000000000 tester=1 zero=0 vgep_file=\"v.gep\"\n"
                                 "Tick\nShutdown ticks>1=1\nShutdown ticks>1=0\n";
    EXPECT_EQ(run.Record(), expected);
}

TEST(GoopManager, AbsentAndNullKeysTakeTheirDefaults) {
    test::ChildProcess game(test::ChildCommand(L"sleep 60000"));
    test::ChildProcess client(test::ChildCommand(L"sleep 800"));
    for (const char* json : {"{}", R"({"log_level": null, "vgep_file": null, "log_folder": null, "config_file": null})",
                             R"({"vgep_file": "", "log_folder": ""})"}) {
        PluginRun run;
        test::ChildProcess shortClient(test::ChildCommand(L"sleep 800"));
        EXPECT_EQ(run.Run(L"--oopo-type=2 " + Plugin(L"sample-goop-plugin.dll") + L" --params=" + test::Base64Text(json),
                          game.Pid(), shortClient.Pid()),
                  0)
            << json;
        const std::string record = run.Record();
        EXPECT_EQ(record.rfind("Init pid=" + std::to_string(game.Pid()) +
                                   " game_id=0 log_folder=null log_level=2 config_file=\"\" process=game.exe "
                                   "channel_id=0 tester=0 zero=0 vgep_file=null\n",
                               0),
                  0u)
            << json << "\n" << record;
    }
}

TEST(GoopManager, BadParametersEndWithTheDecodeError) {
    test::ChildProcess game(test::ChildCommand(L"sleep 60000"));
    test::ChildProcess client(test::ChildCommand(L"sleep 60000"));
    const std::wstring goop = L"--goop " + Plugin(L"sample-goop-plugin.dll");
    // Which texts fail to decode is checked below without a process; here the host's answer.
    const std::wstring bad[] = {L"--params=Zm9*", L"--params=" + test::Base64Text(R"({"game_id": "21216"})"), L""};
    for (const std::wstring& params : bad) {
        PluginRun run;
        EXPECT_EQ(run.Run(goop + L" " + params, game.Pid(), client.Pid()), -990)
            << std::string(params.begin(), params.end());
        EXPECT_EQ(run.Record().find("Tick"), std::string::npos);
    }
    PluginRun missing;
    EXPECT_EQ(missing.Run(L"--goop --plugin=C:\\no\\such.dll --params=e30=", game.Pid(), client.Pid()), -992);
    PluginRun noInit;
    EXPECT_EQ(noInit.Run(L"--goop " + Plugin(L"sample-no-exports.dll") + L" --params=e30=", game.Pid(), client.Pid()),
              -990);
}

TEST(GoopManager, ParameterTextsThatAreNoObjectOfTheRightTypesAreDecodeErrors) {
    qm::GoopInitParams block{};
    GoopStrings strings;
    // Deeper than the parser's nesting limit, as a value of a known key and alone.
    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    const std::wstring bad[] = {
        L"",
        L"abc",                                   // not a multiple of 4
        L"Zg==Zm9v",                              // padding in the middle
        L"e30\u0124",                             // beyond one byte: the low byte "$" is outside the alphabet
        std::wstring(1 << 20, L'A'),              // valid characters, no JSON
        test::Base64Text("not json at all"),
        test::Base64Text("[1, 2, 3]"),                      // not an object
        test::Base64Text(R"({"channel_id": -1})"),          // not unsigned
        test::Base64Text(R"({"log_level": [2]})"),
        test::Base64Text(R"({"game_id": )" + deep + "}"),
        test::Base64Text(deep),
        test::Base64Text(std::string(5000, '{')),
    };
    for (const std::wstring& text : bad) {
        EXPECT_FALSE(GoopOOPManager::InitGoopConfig(text, &block, &strings)) << std::string(text.begin(), text.begin() + std::min<size_t>(text.size(), 40));
    }
    const std::string json = R"({"config_file": ")" + std::string(700000, 'c') + R"("})";
    EXPECT_TRUE(GoopOOPManager::InitGoopConfig(test::Base64Text(json), &block, &strings));
    EXPECT_EQ(strings.configFile.size(), 700000u);
    EXPECT_TRUE(GoopOOPManager::InitGoopConfig(L"e30\u013d", &block, &strings));  // low byte "="
}

