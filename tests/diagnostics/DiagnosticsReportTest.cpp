#include <windows.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <cwchar>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "common/DllHelper.h"
#include "common/StringUtils.h"
#include "core/CommandLineArgs.h"
#include "tests/support/TestSupport.h"

using Microsoft::WRL::ComPtr;
using Overlay::Common::ToUtf8;

namespace {

// The report is due within 10 s.
constexpr DWORD kReportMs = 10000;

test::ProcessResult Diagnose(const std::wstring& argument, const test::LogProfile& profile) {
    return test::RunProcess(Overlay::Common::QuoteArgument(test::InExeDir(L"qm-overlay.exe")) + L" " + argument,
                            kReportMs, profile.Env());
}

Json::Value Parse(const std::string& text) {
    Json::Value root;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors)) << errors;
    return root;
}

bool SameFolder(const std::string& a, const std::wstring& b) { return ::lstrcmpiA(a.c_str(), ToUtf8(b).c_str()) == 0; }

}  // namespace

// What the host reports against what this process reads itself; and the run leaves the log folder
// exactly as it was, though the process's own logger looks there at start.
TEST(DiagnosticsReport, ShowsWhatTheSystemShowsAndLeavesTheLogFolderAlone) {
    const test::LogProfile profile;
    const std::string config = test::ReadFileBytes(profile.Folder() + L"\\QMLog.cfg");
    const test::TempDir dir;
    const std::wstring path = dir / L"report with spaces.json";

    const test::ProcessResult r = Diagnose(L"--diagnose=" + Overlay::Common::QuoteArgument(path), profile);
    ASSERT_TRUE(r.finished) << "no report within " << kReportMs << " ms";
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_NE(r.output.find(ToUtf8(path)), std::string::npos) << r.output;
    const Json::Value report = Parse(test::ReadFileBytes(path));
    ASSERT_TRUE(report.isObject());

    ComPtr<IDXGIFactory1> factory;
    ASSERT_HRESULT_SUCCEEDED(::CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(factory.GetAddressOf())));
    ComPtr<IDXGIAdapter1> adapter;
    UINT adapters = 0;
    for (; factory->EnumAdapters1(adapters, adapter.ReleaseAndGetAddressOf()) != DXGI_ERROR_NOT_FOUND; ++adapters) {
        const Json::Value& reported = report["adapters"][adapters];
        DXGI_ADAPTER_DESC1 desc{};
        ASSERT_HRESULT_SUCCEEDED(adapter->GetDesc1(&desc));
        EXPECT_EQ(reported["description"].asString(), ToUtf8(desc.Description));
        EXPECT_EQ(reported["vendor_id"].asUInt(), desc.VendorId);
        ComPtr<IDXGIOutput> output;
        UINT outputs = 0;
        for (; adapter->EnumOutputs(outputs, output.ReleaseAndGetAddressOf()) != DXGI_ERROR_NOT_FOUND; ++outputs) {
            DXGI_OUTPUT_DESC od{};
            ASSERT_HRESULT_SUCCEEDED(output->GetDesc(&od));
            const Json::Value& rect = reported["outputs"][outputs]["desktop_rect"];
            EXPECT_EQ(rect[0].asInt(), od.DesktopCoordinates.left);
            EXPECT_EQ(rect[1].asInt(), od.DesktopCoordinates.top);
            EXPECT_EQ(rect[2].asInt(), od.DesktopCoordinates.right);
            EXPECT_EQ(rect[3].asInt(), od.DesktopCoordinates.bottom);
            EXPECT_GT(reported["outputs"][outputs]["dpi"].asUInt(), 0u);
        }
        EXPECT_EQ(reported["outputs"].size(), outputs);
    }
    EXPECT_GT(adapters, 0u);
    EXPECT_EQ(report["adapters"].size(), adapters);

    const Json::Value& d3d = report["direct3d11"];
    EXPECT_TRUE(d3d["feature_level"].isString()) << d3d.toStyledString();
    // Where composition is missing (Wine), the entry carries the failure.
    EXPECT_EQ(d3d["composition"]["device_created"].asBool(), d3d["composition"]["hresult"].asString() == "0x00000000");
    // And the host then presents through a layered window, as its log says at start.
    EXPECT_EQ(d3d["presentation"].asString(), d3d["composition"]["device_created"].asBool() ? "composition" : "layered");
    HMODULE compiler = base::dll_helper::LoadSystemLibrary(L"d3dcompiler_47.dll");
    if (!compiler) compiler = base::dll_helper::LoadSystemLibrary(L"d3dcompiler_43.dll");
    if (compiler) {
        wchar_t compilerPath[MAX_PATH] = {};
        ::GetModuleFileNameW(compiler, compilerPath, MAX_PATH);
        ::FreeLibrary(compiler);
        EXPECT_TRUE(SameFolder(d3d["shader_compiler"]["path"].asString(), compilerPath)) << d3d.toStyledString();
    } else {
        EXPECT_TRUE(d3d["shader_compiler"].isNull());
    }
    EXPECT_TRUE(report["hooks"]["mouse"]["installed"].asBool());
    EXPECT_TRUE(report["hooks"]["keyboard"]["installed"].asBool());

    const Json::Value& log = report["log"];
    EXPECT_TRUE(SameFolder(log["folder"].asString(), profile.Folder())) << log["folder"].asString();
    EXPECT_TRUE(log["config_exists"].asBool());
    ASSERT_EQ(log["severities"].size(), 3u);
    EXPECT_EQ(log["severities"][0].asString(), "SEVERITY_NORMAL");
    EXPECT_EQ(log["severities"][2].asString(), "SEVERITY_HIGH");
    EXPECT_EQ(test::ReadFileBytes(profile.Folder() + L"\\QMLog.cfg"), config);
    EXPECT_EQ(test::ListFiles(profile.Folder()), std::vector<std::wstring>{L"QMLog.cfg"});
    EXPECT_TRUE(report["registry"]["HKCU\\Software\\QuillmarQA\\Overlay"].isMember("OOPOSimulateInitError"));
}

// Without a path the report goes to the log folder, which is made for it and gets nothing else;
// a path that cannot be written gives 1 and says why.
TEST(DiagnosticsReport, GoesToTheLogFolderOrFailsWithOne) {
    const test::LogProfile profile(false);
    const test::ProcessResult r = Diagnose(L"--diagnose", profile);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    const std::vector<std::wstring> files = test::ListFiles(profile.Folder());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].rfind(L"qm-overlay-diagnostics_", 0), 0u);
    EXPECT_NE(r.output.find(ToUtf8(files[0])), std::string::npos) << r.output;
    EXPECT_FALSE(Parse(test::ReadFileBytes(profile.Folder() + L"\\" + files[0]))["log"]["config_exists"].asBool());

    const test::TempDir dir;
    for (const std::wstring& bad : {dir / L"missing\\r.json", dir.Path()}) {
        const test::ProcessResult failed = Diagnose(L"/DIAGNOSE=" + Overlay::Common::QuoteArgument(bad), profile);
        ASSERT_TRUE(failed.finished);
        EXPECT_EQ(failed.exitCode, 1u);
        EXPECT_EQ(test::Count(failed.output, "\n"), 1u) << failed.output;
        EXPECT_NE(failed.output.find("cannot write the diagnostics report to " + ToUtf8(bad)), std::string::npos)
            << failed.output;
    }
}

// A report of the same second as another (two started together) gets a name of its own and leaves
// the other's file as it was.
TEST(DiagnosticsReport, NeverReplacesAnotherReportOfTheSameSecond) {
    const test::LogProfile profile;
    // Reports planted for each of the next seconds: whenever the run writes, its name is taken.
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    FILETIME start{};
    ::SystemTimeToFileTime(&now, &start);
    std::vector<std::wstring> planted;
    for (int second = 0; second < 15; ++second) {
        ULARGE_INTEGER at{};
        at.LowPart = start.dwLowDateTime;
        at.HighPart = start.dwHighDateTime;
        at.QuadPart += static_cast<ULONGLONG>(second) * 10000000;
        const FILETIME time{at.LowPart, at.HighPart};
        SYSTEMTIME t{};
        ::FileTimeToSystemTime(&time, &t);
        wchar_t name[80];
        std::swprintf(name, 80, L"qm-overlay-diagnostics_%04u-%02u-%02u_%02u-%02u-%02u", t.wYear, t.wMonth, t.wDay,
                      t.wHour, t.wMinute, t.wSecond);
        planted.push_back(profile.Folder() + L"\\" + name + L".json");
        ASSERT_TRUE(test::WriteFileBytes(planted.back(), "planted"));
    }
    const test::ProcessResult r = Diagnose(L"--diagnose", profile);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_NE(r.output.find("_2.json"), std::string::npos) << r.output;
    for (const std::wstring& path : planted) EXPECT_EQ(test::ReadFileBytes(path), "planted");
    EXPECT_EQ(test::ListFiles(profile.Folder(), L"*_2.json").size(), 1u);
}
