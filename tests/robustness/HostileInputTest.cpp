// Generated hostile input through the code that reads it at start: each kind runs a warm-up and then
// kCases cases, every case from its own seed (the run's seed, printed, and the case's number), one
// case at a time under a time limit; the process must hold as many handles afterwards as before.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/ProcessUtils.h"
#include "common/UniqueHandle.h"
#include "core/CommandLineArgs.h"
#include "app/ManagerFactory.h"
#include "logging/FlushLogger.h"
#include "plugins/GoopOOPManager.h"
#include "tests/support/TestSupport.h"
#include "tests/support/OverlayTestSupport.h"

namespace {

constexpr int kCases = 10000;
constexpr int kWarmUp = 100;
constexpr DWORD kCaseLimitMs = 10000;

// One case's input: random units, or a few edits of a valid input. To warm up, valid inputs are
// left as they are, so that what the process sets up once is there before handles are counted.
struct Gen {
    std::mt19937_64 rng;
    bool warmUp;
    uint32_t Below(size_t n) { return n ? static_cast<uint32_t>(rng() % n) : 0; }
    bool OneIn(uint32_t n) { return Below(n) == 0; }
    // Mostly short, now and then long, rarely huge.
    size_t Length() { return OneIn(200) ? Below(300000) : OneIn(10) ? Below(5000) : Below(80); }
    template <class S> S Random() {
        S s(Length(), 0);
        for (auto& c : s) c = static_cast<typename S::value_type>(rng());
        return s;
    }
    template <class S> S Mutate(S s, const std::vector<S>& pieces) {
        for (uint32_t edits = warmUp ? 0 : 1 + Below(6); edits > 0; --edits) {
            const size_t at = Below(s.size() + 1);
            switch (Below(6)) {
                case 0: if (at < s.size()) s[at] = static_cast<typename S::value_type>(rng()); break;
                case 1: s.insert(at, pieces[Below(pieces.size())]); break;
                case 2: s.erase(at, Below(16)); break;
                case 3: s.resize(at); break;  // truncated
                case 4: s.insert(at, S(Length(), at < s.size() ? s[at] : static_cast<typename S::value_type>('"'))); break;
                default: s.insert(at, s.substr(Below(s.size() + 1), Below(64))); break;
            }
        }
        return s;
    }
    template <class S> const S& Pick(const std::vector<S>& from) { return from[Below(from.size())]; }
};

// Wine answers GetProcessHandleCount with 0: the handles are then counted one by one.
DWORD HandleCount() {
    DWORD n = 0, flags = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &n) && n > 0) return n;
    for (uintptr_t h = 4; h < 0x8000; h += 4) n += ::GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags) ? 1 : 0;
    return n;
}

// `one` answers whether the case was accepted (false: the code returned an error). A case that
// outlasts kCaseLimitMs ends the process with its number, so a hang is reported, not waited out.
void Fuzz(const char* kind, uint64_t salt, const std::function<bool(Gen&)>& one) {
    char text[32] = {};  // another seed, to look further or to replay
    const unsigned long long seed = ::GetEnvironmentVariableA("QM_FUZZ_SEED", text, 32) ? std::stoull(text) : 20261206;
    std::atomic<int> current{0};
    base::UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread limit([&] {
        for (int seen = -1; ::WaitForSingleObject(done.Get(), kCaseLimitMs) == WAIT_TIMEOUT; seen = current) {
            if (current != seen) continue;
            std::printf("%s: case %d of seed %llu did not end in %lu ms\n", kind, current.load(), seed, kCaseLimitMs);
            std::fflush(stdout);
            ::TerminateProcess(::GetCurrentProcess(), 3);
        }
    });
    int errors = 0;
    DWORD before = 0;
    const DWORD start = ::GetTickCount();
    for (int i = 0; i < kWarmUp + kCases && !::testing::Test::HasFailure(); ++i) {
        if (i == kWarmUp) before = HandleCount();
        current = i;
        Gen gen{std::mt19937_64(seed * 0x9E3779B97F4A7C15ull + salt * 1000003u + static_cast<uint64_t>(i)), i < kWarmUp};
        errors += !one(gen) && i >= kWarmUp;
        EXPECT_FALSE(::testing::Test::HasFailure()) << kind << ": case " << i << " of seed " << seed;
    }
    const DWORD after = HandleCount();
    ::SetEvent(done.Get());
    limit.join();
    std::printf("fuzz %s: %d cases (after %d to warm up), %d errors returned, handles %lu before, %lu after, "
                "seed %llu, %lu ms\n", kind, kCases, kWarmUp, errors, before, after, seed, ::GetTickCount() - start);
    EXPECT_EQ(after, before);
}

std::unique_ptr<OOPManager> D3D11Manager() {
    return std::unique_ptr<OOPManager>(static_cast<OOPManager*>(CreateManager(kManagerD3D11)));
}

}  // namespace

TEST(HostileInput, CommandLines) {
    const std::vector<std::wstring> seeds = {
        L"qm-overlay.exe --game-pid=1234 --qm-pid=5678 --game-process=game.exe --qm-client=C:\\Quillmar",
        L"\"C:\\Program Files\\QM\\qm-overlay.exe\" --oopg \"--plugin=C:\\p p\\x.dll\" /QM-CLIENT=\"C:\\a b\\\\\" "
        L"-game-pid=1 --qm-pid=2 --uwp",
        L"x --goop --params=eyJnYW1lX2lkIjoxfQ== --oopo-type=2 pos -- --oopg \"\" \\\\\"",
        L"qm-overlay.exe \"--diagnose=C:\\path with spaces\\r.json\" --game-pid=1 -DIAGNOSE",
    };
    const std::vector<std::wstring> pieces = {L" ", L"\"", L"\\", L"\\\"", L"=", L"--", L"-", L"/", L"\t",
                                              std::wstring(1, L'\0'), L"\xD800", L"\xDC00\xD800", L"--qm-pid=",
                                              L"--game-pid=", L"--oopo-type=", L"99999999999", L"-2147483648",
                                              L"--diagnose", L"/Diagnose="};
    Fuzz("command lines", 1, [&](Gen& g) {
        CommandLineArgs cmd;
        const std::wstring text = g.OneIn(4) ? g.Random<std::wstring>() : g.Mutate(g.Pick(seeds), pieces);
        cmd.Parse(text);
        // The logger decides before the parser has run; both must see the same report run.
        EXPECT_EQ(base::process::CommandLineHasSwitch(text, L"diagnose"), cmd.HasKey(L"diagnose"));
        const int type = SelectManagerType(cmd);
        EXPECT_TRUE(type >= kManagerD3D11 && type <= kManagerGoop) << type;
        // The logged text splits back into the same elements, unless a name (written as it is) is empty
        // or holds what splitting treats specially.
        bool plainNames = true;
        for (const auto& [name, value] : cmd.Keys()) plainNames &= !name.empty() && name.find_first_of(L" \t\n\"\\") == std::wstring::npos;
        CommandLineArgs again;
        again.Parse(L"x " + cmd.JoinedArguments());
        EXPECT_TRUE(!plainNames || (again.Keys() == cmd.Keys() &&
                                    std::equal(again.Arguments().begin() + 1, again.Arguments().end(),
                                               cmd.Arguments().begin() + 1, cmd.Arguments().end())))
            << cmd.JoinedArguments();
        // The manager's own reading starts threads, which costs Wine milliseconds: every 8th case.
        return !g.OneIn(8) || D3D11Manager()->ProcessCommandLine(&cmd);
    });
}

TEST(HostileInput, LogConfigurations) {
    test::TempDir folder;
    LoggerOptions options;
    options.configuredFolder = folder.Path();
    FlushLogger logger(options);
    const std::vector<std::string> seeds = {
        test::Utf16Bytes(L"SEVERITY_NORMAL +\r\nSEVERITY_HIGH +\r\nERROR H\r\nOOPOHooksManager H\r\n[MaxLinesPerFile] 3\r\n"),
        "\xFF\xFE" + test::Utf16Bytes(L"error\tA\n[MaxLogFiles]\t-7\r\x0001SEVERITY_LOW\t+x\r\n"),
        test::Utf16Bytes(std::wstring(200, L'k') + L" v\r\nkey " + std::wstring(1500, L'v') + L"\r\n"),
    };
    const std::vector<std::string> pieces = {"\r", std::string("\n\0\0\0\x00\xD8", 6), "\xFF\xFE", "A",
                                             std::string(" \0+\0", 4), std::string(300, ' ')};
    const wchar_t* keys[] = {L"[MaxLinesPerFile]", L"ERROR", L"SEVERITY_NORMAL", L"OOPOHooksManager", L"key", L""};
    // Rewritten in place through one handle: opening files is most of a case's time under Wine.
    base::UniqueHandle cfg(::CreateFileW((folder / L"QMLog.cfg").c_str(), GENERIC_WRITE,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(cfg);
    Fuzz("QMLog.cfg contents", 2, [&](Gen& g) {
        const std::string bytes = g.OneIn(4) ? g.Random<std::string>() : g.Mutate(g.Pick(seeds), pieces);
        DWORD written = 0;
        ::SetFilePointer(cfg.Get(), 0, nullptr, FILE_BEGIN);
        EXPECT_TRUE(::WriteFile(cfg.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
        ::SetEndOfFile(cfg.Get());
        const uint32_t size = g.Below(1100);
        std::vector<wchar_t> out(size + 1, L'#');
        const wchar_t first = logger.GetConfigValue(keys[g.Below(std::size(keys))], size ? out.data() : nullptr, size);
        EXPECT_EQ(out[size], L'#');  // nothing past the caller's buffer
        EXPECT_TRUE(size == 0 || wcsnlen(out.data(), size) < size);
        if (g.OneIn(200)) FlushLogger whole(options);  // every key, as at start
        return first != 0;
    });
}

TEST(HostileInput, GoopParameters) {
    const std::vector<std::string> json = {
        R"({"config_file":"C:\\qm\\goop.json","log_folder":"C:\\logs","game_id":21216,"log_level":3,"channel_id":7,"vgep_file":"x"})",
        R"({"game_id":1.5e300,"channel_id":-1,"log_level":"2","vgep_file":null,"config_file":{}})",
        R"([{"a":[1,2,{"b":"\ud800\u0000"}]}])",
    };
    const std::vector<std::string> pieces = {"{", "}", "[", "]", "\"", ":", ",", "null", "true", "-0", "1e999",
                                              "\\ud800", "\xC3\x28", "\xF4\x90\x80\x80", std::string(1, '\0'),
                                              std::string(3000, '['), "\"game_id\":", "\"channel_id\":", "/*"};
    const std::vector<std::wstring> textPieces = {L"=", L"==", L"*", L"\x013d", L"\x0124", L" ", std::wstring(1, L'\0')};
    Fuzz("GOOP params", 3, [&](Gen& g) {
        std::wstring params;
        switch (g.Below(4)) {
            case 0: params = g.Random<std::wstring>(); break;
            case 1: params = test::Base64Text(g.Random<std::string>()); break;
            case 2: params = test::Base64Text(g.Mutate(g.Pick(json), pieces)); break;
            default: params = g.Mutate(test::Base64Text(g.Pick(json)), textPieces); break;
        }
        qm::GoopInitParams block{};
        GoopStrings strings;
        return GoopOOPManager::InitGoopConfig(params, &block, &strings);
    });
}

namespace {
// Hands over the case's block (or a part of it) and keeps the host's replies.
class HostileController : public test::FakeController {
public:
    void SendData(uint32_t size, const void* data) override {
        replies += size == sizeof(reply) ? 1 : 100;  // an answer of another size counts as many
        if (size == sizeof(reply)) std::memcpy(&reply, data, size);
    }
    bool ReadGameConfiguration(qm::GameConfiguration* c) override {
        std::memcpy(c->bytes, block.bytes, written);
        return answer;
    }
    qm::GameConfiguration block{};
    size_t written = 0;
    bool answer = true;
    int replies = 0;
    qm::PluginLoadReply reply{};
};
}  // namespace

TEST(HostileInput, GameConfigurationBlocks) {
    HostileController controller;
    OverlayFacts facts;
    OOPHooksManager session;
    OOPHooksManager::Overlay overlay;
    overlay.facts = &facts;
    overlay.rendererKind = qm::GameConfiguration::kRendererD3D11;
    session.UseController(&controller, overlay);
    qm::GameConfiguration valid{};
    OOPHooksManager::ApplyConfigurationDefaults(&valid);
    const std::string validBytes(reinterpret_cast<const char*>(valid.bytes), sizeof(valid.bytes));
    const std::vector<std::string> pieces = {std::string(8, '\xFF'), std::string(4, '\0'), std::string("\x00\x00\xC0\x7F", 4)};
    using Config = qm::GameConfiguration;
    Fuzz("GameConfiguration blocks", 4, [&](Gen& g) {
        std::string bytes = g.OneIn(3) ? g.Random<std::string>() : g.Mutate(validBytes, pieces);
        bytes.resize(Config::kSize);
        std::memcpy(controller.block.bytes, bytes.data(), Config::kSize);
        controller.written = g.OneIn(4) ? g.Below(Config::kSize) : Config::kSize;  // a client that wrote a part
        controller.answer = !g.OneIn(8);
        Config c = valid;
        session.ApplayOOPOConfigurtion(&c);
        // The host marks its renderer, and the switches it reads later stay the client's.
        EXPECT_EQ(c.U32(Config::kRendererKind), 16u);
        for (size_t at : {Config::kAdapterChoice, Config::kFramePollingOff, Config::kForegroundHandling,
                          Config::kFullScreenRenderingOff, Config::kInputBlockerEnabled}) {
            EXPECT_EQ(c.Byte(at), (at < controller.written ? controller.block : valid).Byte(at)) << at;
        }
        return controller.answer;
    });
    session.UseController(nullptr, OOPHooksManager::Overlay{});
}

TEST(HostileInput, PluginLoadRequests) {
    HostileController controller;
    OverlayFacts facts;
    OOPHooksManager hooks;
    OOPHooksManager::Overlay overlay;
    overlay.facts = &facts;
    hooks.UseController(&controller, overlay);
    const std::vector<std::wstring> paths = {test::InExeDir(L"sample-gep-plugin.dll"), test::InExeDir(L"sample-no-exports.dll"),
                                             L"sample-gep-plugin.dll", L"C:\\no\\such\\plugin.dll", test::ExeDir(),
                                             L"..\\..\\x.dll", std::wstring(300, L'x')};
    const std::vector<std::wstring> pieces = {L"\\", L"/", L"..", L":", L"*", L"?", L"<", L"|", L" ", L".dll",
                                              std::wstring(1, L'\0'), L"\xD800", L"\\\\?\\", L"NUL", L"%s%n"};
    const uint32_t types[] = {qm::kMessageLoadPlugin, qm::kMessageLoadPlugin, qm::kMessageLoadPlugin,
                              qm::kMessagePluginLoaded, qm::kMessageNotHandled, 0xFFFFFFFF};
    Fuzz("type-52 requests", 5, [&](Gen& g) {
        qm::LoadPluginRequest request{};
        for (uint8_t& b : request.reserved) b = static_cast<uint8_t>(g.Below(256));
        const std::wstring path = g.OneIn(4) ? g.Random<std::wstring>() : g.Mutate(g.Pick(paths), pieces);
        std::memcpy(request.path, path.data(), std::min(path.size(), std::size(request.path)) * sizeof(wchar_t));
        request.type = types[g.Below(std::size(types))];
        request.requestId = static_cast<uint32_t>(g.Below(0x100000000ull));
        controller.replies = 0;
        const bool handled = hooks.HandleMessage(reinterpret_cast<const qm::ControllerMessage*>(&request));
        const bool loaded = hooks.PluginLibrary().IsLoaded();
        if (loaded) hooks.PluginLibrary().Free();  // the next case loads again
        if (request.type != qm::kMessageLoadPlugin) {
            EXPECT_FALSE(handled);
            EXPECT_EQ(controller.replies, 0);
            return true;
        }
        // Exactly one answer, whatever the path: the request's number, and the load's result.
        EXPECT_TRUE(handled);
        EXPECT_EQ(controller.replies, 1);
        EXPECT_EQ(controller.reply.type, qm::kMessagePluginLoaded);
        EXPECT_EQ(controller.reply.requestId, request.requestId);
        EXPECT_EQ(controller.reply.hostPid, ::GetCurrentProcessId());
        EXPECT_EQ(controller.reply.error == 0, loaded);
        return controller.reply.error == 0;
    });
    hooks.UseController(nullptr, OOPHooksManager::Overlay{});
}
