// The host with libraries built in MSVC's ABI (samples/msvc): the client controller library and a
// plug-in that takes base::CriticalSection from the executable by MSVC's decorated names.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/CommandLineArgs.h"
#include "qm/ClientContract.h"
#include "tests/support/OverlayTestSupport.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool StartsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }

// A configuration block as the client recorded it: its name, a space, the bytes as hex.
qm::GameConfiguration Block(const std::string& line) {
    qm::GameConfiguration block{};
    const std::string hex = line.substr(line.find(' ') + 1);
    EXPECT_EQ(hex.size(), 2 * sizeof(block.bytes)) << line;
    for (size_t i = 0; i < sizeof(block.bytes) && 2 * i + 1 < hex.size(); ++i) {
        block.bytes[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
    }
    return block;
}

std::string Hex(const void* data, size_t size) {
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        char two[3];
        std::snprintf(two, sizeof(two), "%02x", static_cast<const uint8_t*>(data)[i]);
        text += two;
    }
    return text;
}

}  // namespace

// The Direct3D 11 host drives the client from start to end; the client's type-52 request loads the
// plug-in, whose lock works inside the host.
TEST(MsvcLibraries, TheHostDrivesTheClientWhichDrawsOverTheGameAndLoadsThePlugin) {
    test::TempDir dir;
    const std::wstring record = dir / L"client.txt", pluginRecord = dir / L"plugin.txt";
    test::HostRun run({{L"QMSAMPLE_RECORD", record},
                       {L"QMSAMPLE_LOAD_PLUGIN", test::InExeDir(L"msvc\\sample-plugin.dll")},
                       {L"QMSAMPLE_GEP_RECORD", pluginRecord}},
                      true, L"--pos 200,150 --size 640x480", L"msvc\\client");
    ASSERT_TRUE(run.Running());

    // The client's opaque green square, 16 pixels in from the overlay's corner, on the screen.
    const auto squarePixel = [&] {
        const RECT area = run.game.ClientOnScreen();
        HDC screen = ::GetDC(nullptr);
        const COLORREF c = ::GetPixel(screen, area.left + 16 + 32, area.top + 16 + 32);
        ::ReleaseDC(nullptr, screen);
        return c;
    };
    EXPECT_TRUE(test::WaitUntil([&] { return squarePixel() == RGB(0x30, 0xC0, 0x60); }, 10000))
        << std::hex << squarePixel();
    EXPECT_TRUE(test::WaitUntil([&] { return test::ReadFileBytes(record).find("SendData") != std::string::npos; },
                                10000));
    EXPECT_EQ(test::ReadFileBytes(pluginRecord), "StartPluginOOP sample-game.exe 0 lock=ok\n");

    ::PostMessageW(run.client.Window(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(run.client.Exited(5000));
    run.ExpectCleanExit(5000);
    run.ExpectStopRows();

    // The documented order: created, delegate set, configuration read, started; the game window,
    // frames and the answer to the request; delegate cleared, stopped, "clearClient". Nothing else.
    const std::vector<std::string> calls = Lines(test::ReadFileBytes(record));
    ASSERT_GE(calls.size(), 10u) << test::ReadFileBytes(record);
    EXPECT_EQ(calls[0], "GetOverlayManagerController " + std::to_string(run.client.Pid()) + " .overlay");
    EXPECT_EQ(calls[1], "SetDelegate host");
    EXPECT_TRUE(StartsWith(calls[2], "ReadGameConfiguration "));
    EXPECT_TRUE(StartsWith(calls[3], "Start "));
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"SetDelegate null", "Stop", "clearClient"}));
    char window[32];
    std::snprintf(window, sizeof(window), "SetGameWindow %lx",
                  static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(run.game.Window())));
    const RECT area = run.game.ClientOnScreen();
    const std::string overlayInfo = "Delegate info=1 " + std::to_string(area.right - area.left) + "x" +
                                    std::to_string(area.bottom - area.top) + " fullscreen=0 input=1 show=1";
    size_t firstWindow = 0, frame = 0, replies = 0, reads = 0;
    for (size_t i = 4; i + 3 < calls.size(); ++i) {
        const std::string& call = calls[i];
        if (call == window) {
            if (!firstWindow) firstWindow = i;
        } else if (call == "SetGameWindow 0") {
            // At start, before the window manager has found the game.
        } else if (call == overlayInfo) {
            frame = i;
        } else if (call == "SendData 540 type=53 two=2 pid=host request=52052 error=0 text=empty") {
            ++replies;
        } else {
            // The process-wide copy of the configuration, read once.
            EXPECT_TRUE(StartsWith(call, "ReadGameConfiguration ")) << call;
            ++reads;
        }
    }
    EXPECT_NE(firstWindow, 0u);
    EXPECT_GT(frame, firstWindow);
    EXPECT_EQ(replies, 1u);
    EXPECT_EQ(reads, 1u);

    // The block the client reads into holds the host's defaults; Start gets it back with what the
    // client wrote and the host's overrides on top, every other byte as it was.
    using Config = qm::GameConfiguration;
    for (size_t i = 2; i < calls.size(); ++i) {
        if (!StartsWith(calls[i], "ReadGameConfiguration ")) continue;
        const Config read = Block(calls[i]);
        for (size_t offset : Config::kZeroedU32s) EXPECT_EQ(read.U32(offset), 0u) << offset;
        for (size_t offset : Config::kZeroedBytes) EXPECT_EQ(read.Byte(offset), 0u) << offset;
        for (const Config::Range& range : Config::kZeroedRanges) {
            for (size_t offset = range.first; offset <= range.last; ++offset) {
                EXPECT_EQ(read.Byte(offset), 0u) << offset;
            }
        }
        EXPECT_EQ(read.Byte(Config::kPresetByte), 1u);
        EXPECT_EQ(read.Float(Config::kScale), 1.0f);
        EXPECT_EQ(read.U32(Config::kAllOnesU32), 0xFFFFFFFFu);
    }
    Config expected = Block(calls[2]);
    std::memcpy(expected.bytes, "MSVC", 4);
    expected.SetU32(Config::kRendererKind, Config::kRendererD3D11);
    for (size_t offset : Config::kHostSetBytes) expected.SetByte(offset, 1);
    for (size_t offset : Config::kHostClearedBytes) expected.SetByte(offset, 0);
    EXPECT_EQ(calls[3], "Start " + Hex(expected.bytes, sizeof(expected.bytes)));
}

// The GEP and GOOP hosts: the plug-in's lock works in both, and the GOOP plug-in reads every field
// of its block as the host filled it.
TEST(MsvcLibraries, ThePluginHostsRunThePluginWhoseLockWorks) {
    // The host ends with the client (GEP) or a second after the game (GOOP, whose plug-in then sees
    // "Shutdown" from the update and again from the host's shutdown).
    const auto run = [](const std::wstring& arguments, const wchar_t* gameSleep, const wchar_t* clientSleep,
                        DWORD* gamePid) {
        test::TempDir dir;
        const std::wstring record = dir / L"record.txt";
        test::ChildProcess game(test::ChildCommand(std::wstring(L"sleep ") + gameSleep));
        test::ChildProcess client(test::ChildCommand(std::wstring(L"sleep ") + clientSleep));
        *gamePid = game.Pid();
        const test::ProcessResult r = test::RunProcess(
            Overlay::Common::QuoteArgument(test::InExeDir(L"qm-overlay.exe")) + L" " + arguments + L" --plugin=" +
                Overlay::Common::QuoteArgument(test::InExeDir(L"msvc\\sample-plugin.dll")) +
                L" --qm-client=C:\\qm --game-pid=" + std::to_wstring(game.Pid()) + L" --qm-pid=" +
                std::to_wstring(client.Pid()) + L" --game-process=game.exe",
            60000, {{L"QMSAMPLE_GEP_RECORD", record}, {L"QMSAMPLE_GOOP_RECORD", record}});
        EXPECT_TRUE(r.finished);
        EXPECT_EQ(r.exitCode, 0u);
        return test::ReadFileBytes(record);
    };
    DWORD gamePid = 0;
    EXPECT_EQ(run(L"--oopg", L"60000", L"1000", &gamePid), "StartPluginOOP game.exe 0 lock=ok\n");

    const std::wstring params = test::Base64Text(
        R"({"game_id": -21216, "log_folder": "C:\\logs", "log_level": 4, "config_file": "cfg.json",)"
        R"( "channel_id": 4000000000, "vgep_file": "v.gep"})");
    const std::string record = run(L"--goop --goop-screen-tester --params=" + params, L"1000", L"60000", &gamePid);
    EXPECT_EQ(record, "Init pid=" + std::to_string(gamePid) +
                          " game_id=-21216 log_folder=\"C:\\logs\" log_level=4 config_file=\"cfg.json\" "
                          "process=game.exe channel_id=4000000000 tester=1 zero=0 vgep_file=\"v.gep\"\n"
                          "lock=ok\nTick\nShutdown\nShutdown\n");
}
