#include <windows.h>
#include <dbghelp.h>
#include <shlobj.h>

#include <json/json.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/StringUtils.h"
#include "core/CommandLineArgs.h"
#include "crash/CrashHandlerReport.h"
#include "crash/FatalEnd.h"
#include "common/GuardedStep.h"
#include "tests/support/OverlayTestSupport.h"

namespace {

// The two crash switches, for one test.
struct CrashSwitches {
    CrashSwitches(bool sendExceptions, bool createDumps)
        : send(L"Software\\Quillmar\\Quillmar", L"OverlaySendExceptions", sendExceptions ? 1 : 0),
          dumps(L"Software\\QuillmarQA\\Overlay", L"CreateCrashDumps", createDumps ? 1 : 0) {}
    test::ScopedRegistryValue send;
    test::ScopedRegistryValue dumps;
};

std::wstring LocalAppData() {
    wchar_t folder[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder);
    return folder;
}

std::vector<std::wstring> Subfolders(const std::wstring& folder) { return test::ListFiles(folder, L"*", true); }

// Faulting children. Reports go to the prefix's own Local AppData (the system resolves it from the
// user's profile, not from anything a test could point elsewhere), so a test looks at what its
// children add there: the crash tests run one at a time.
struct Crash {
    std::wstring appData = LocalAppData();
    std::wstring crashes = appData + L"\\Quillmar\\Crashes";
    std::wstring dumps = appData + L"\\Quillmar\\CrashDumps";
    std::vector<std::wstring> before = Subfolders(crashes);

    Crash() {
        ::DeleteFileW((dumps + L"\\CrashDump.dmp").c_str());
        ::DeleteFileW((dumps + L"\\ERRORLOG.TXT").c_str());
    }
    test::ProcessResult Run(const std::wstring& kind, const std::wstring& where) {
        return test::RunProcess(
            Overlay::Common::QuoteArgument(test::InExeDir(L"crash-child.exe")) + L" " + kind + L" " + where, 180000);
    }
    // The report folders that this test's children made.
    std::vector<std::wstring> ReportFolders() const {
        std::vector<std::wstring> added;
        for (const std::wstring& name : Subfolders(crashes)) {
            if (std::find(before.begin(), before.end(), name) == before.end()) added.push_back(name);
        }
        return added;
    }
};


const char* kPreview = "crash-child.exe caused an Access Violation (0xc0000005)";

// The summary line, then the faulting module (the child itself), then the ids.
bool StartsAsAReport(const std::string& log) {
    const std::string head = std::string(kPreview) + "\r\nFaulting module: ";
    const size_t ids = log.find("\r\nProcessId=");
    return log.rfind(head, 0) == 0 && ids != std::string::npos &&
           std::regex_match(log.substr(head.size(), ids - head.size()), std::regex(R"(.*\\crash-child\.exe \(offset 0x[0-9a-f]+\))"));
}

}  // namespace

TEST(CrashReport, WithBothSwitchesOffNothingIsWrittenAndTheFaultStillBecomesAnException) {
    CrashSwitches switches(false, false);
    Crash crash;
    const test::ProcessResult direct = crash.Run(L"write", L"direct");
    ASSERT_TRUE(direct.finished);
    EXPECT_EQ(direct.exitCode, 0u);
    EXPECT_NE(direct.output.find("type=StructuredException"), std::string::npos) << direct.output;
    EXPECT_NE(direct.output.find(std::string("what=") + kPreview), std::string::npos) << direct.output;

    const test::ProcessResult queue = crash.Run(L"write", L"queue");
    ASSERT_TRUE(queue.finished);
    EXPECT_EQ(queue.exitCode, 0u);
    EXPECT_NE(queue.output.find("thread-exit=0"), std::string::npos) << queue.output;
    EXPECT_TRUE(crash.ReportFolders().empty());
    EXPECT_FALSE(test::FileExists(crash.dumps + L"\\ERRORLOG.TXT"));
    EXPECT_FALSE(test::FileExists(crash.dumps + L"\\CrashDump.dmp"));
}

TEST(CrashReport, EachCrashGetsAFolderWithTheLogAndTheRecord) {
    CrashSwitches switches(true, false);
    Crash crash;
    ASSERT_TRUE(crash.Run(L"read", L"queue").output.find("thread-exit=0") != std::string::npos);
    ASSERT_TRUE(crash.Run(L"read", L"direct").output.find("type=StructuredException") != std::string::npos);
    const std::vector<std::wstring> folders = crash.ReportFolders();
    ASSERT_EQ(folders.size(), 2u);
    for (const std::wstring& name : folders) {
        EXPECT_TRUE(std::regex_match(Overlay::Common::ToUtf8(name), std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")))
            << Overlay::Common::ToUtf8(name);
        const std::wstring folder = crash.crashes + L"\\" + name;
        const std::string log = test::ReadFileBytes(folder + L"\\ERRORLOG.TXT");
        EXPECT_TRUE(StartsAsAReport(log)) << log.substr(0, 300);
        const size_t system = log.find("\r\nError occurred at ");
        const size_t av = log.find("Read from location 00000000 caused an access violation.\r\n");
        EXPECT_NE(system, std::string::npos);
        EXPECT_NE(av, std::string::npos);
        EXPECT_LT(system, av);
        EXPECT_NE(log.find("\r\nContext:\r\nRAX="), std::string::npos);
        EXPECT_NE(log.find("code at the instruction pointer isn't available under x64.\r\nstack dump isn't available "
                           "under x64.\r\n"),
                  std::string::npos);
        const std::string end = "\r\n===== [end of ERRORLOG.TXT] =====\r\n";
        ASSERT_GT(log.size(), end.size());
        EXPECT_EQ(log.substr(log.size() - end.size()), end);

        const std::string text = test::ReadFileBytes(folder + L"\\Crash.json");
        Json::Value json;
        std::string errors;
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &json, &errors)) << errors << text;
        EXPECT_EQ(json["Preview"].asString(), kPreview);
        EXPECT_EQ(json["ExceptionHash"].asString(), "c09d3d253b41fc68487c62fdf358c3a7");  // MD5 of the preview
        EXPECT_TRUE(std::regex_match(json["ExceptionDate"].asString(),
                                     std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)")))
            << json["ExceptionDate"].asString();
        EXPECT_EQ(json["Version"].asString(), "2.2.300.10");
        EXPECT_EQ(json["SubSystem"].asString(), "Overlay");
        EXPECT_EQ(json["Username"].asString(), "");
        EXPECT_TRUE(json["IsUnique"].asBool());
        EXPECT_EQ(json["FailedCount"].asInt(), 0);
        EXPECT_EQ(json["Status"].asInt(), 1);
        EXPECT_TRUE(json["LastSendAttempt"].isNull());
        EXPECT_EQ(json["CustomValues"]["OS"].asString().rfind("Microsoft ", 0), 0u);
        EXPECT_EQ(json["CustomValues"]["Module"].asString(), "crash-child.exe");
        EXPECT_EQ(text.find("ALIAS_"), std::string::npos);
    }
}

TEST(CrashReport, TwoThreadsFailingAtOnceGetWholeReports) {
    CrashSwitches switches(true, false);
    Crash crash;
    const test::ProcessResult r = crash.Run(L"write", L"pair");
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(test::Count(r.output, "what="), 2u) << r.output;
    const std::vector<std::wstring> folders = crash.ReportFolders();
    ASSERT_EQ(folders.size(), 2u);
    for (const std::wstring& name : folders) {
        const std::string log = test::ReadFileBytes(crash.crashes + L"\\" + name + L"\\ERRORLOG.TXT");
        EXPECT_TRUE(StartsAsAReport(log)) << log.substr(0, 300);
        EXPECT_EQ(test::Count(log, "===== [end of"), 1u);
        EXPECT_EQ(test::Count(log, "Context:"), 1u);
    }
}

TEST(CrashReport, DumpsAreReplacedOnEveryCrashAndReadable) {
    CrashSwitches switches(false, true);
    Crash crash;
    ASSERT_NE(crash.Run(L"write", L"queue").output.find("thread-exit=0"), std::string::npos);
    const std::string firstLog = test::ReadFileBytes(crash.dumps + L"\\ERRORLOG.TXT");
    ASSERT_NE(crash.Run(L"unknown", L"direct").output.find("type=StructuredException"), std::string::npos);
    EXPECT_TRUE(crash.ReportFolders().empty());

    const std::string log = test::ReadFileBytes(crash.dumps + L"\\ERRORLOG.TXT");
    EXPECT_NE(firstLog.find("an Access Violation (0xc0000005)"), std::string::npos);
    EXPECT_EQ(log.rfind("crash-child.exe caused an Unknown exception type (0xe0001234)\r\n", 0), 0u)
        << log.substr(0, 120);
    EXPECT_EQ(log.find("access violation"), std::string::npos);

    const std::wstring dump = crash.dumps + L"\\CrashDump.dmp";
    const std::string bytes = test::ReadFileBytes(dump);
    ASSERT_GT(bytes.size(), 32u);
    EXPECT_EQ(bytes.substr(0, 4), "MDMP");
    // The dump is read as it lies in memory; the bytes read above are that image.
    void* view = const_cast<char*>(bytes.data());
    MINIDUMP_DIRECTORY* dir = nullptr;
    void* stream = nullptr;
    ULONG size = 0;
    EXPECT_TRUE(::MiniDumpReadDumpStream(view, ExceptionStream, &dir, &stream, &size));
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(static_cast<MINIDUMP_EXCEPTION_STREAM*>(stream)->ExceptionRecord.ExceptionCode, 0xE0001234u);
    EXPECT_TRUE(::MiniDumpReadDumpStream(view, ModuleListStream, &dir, &stream, &size));
}

TEST(CrashReport, BreakpointsAndDivisionsEndTheStepAndAreReported) {
    CrashSwitches switches(true, false);
    Crash crash;
    const test::ProcessResult breakpoint = crash.Run(L"breakpoint", L"direct");
    EXPECT_NE(breakpoint.output.find("what=crash-child.exe caused a Breakpoint (0x80000003)"), std::string::npos)
        << breakpoint.output;
    EXPECT_NE(crash.Run(L"breakpoint", L"queue").output.find("thread-exit=0"), std::string::npos);
    EXPECT_EQ(crash.ReportFolders().size(), 2u);

    const test::ProcessResult divide = crash.Run(L"divide", L"direct");
    EXPECT_NE(divide.output.find("what=crash-child.exe caused an Integer Divide by Zero (0xc0000094)"),
              std::string::npos)
        << divide.output;
    EXPECT_EQ(crash.ReportFolders().size(), 3u);
}

TEST(CrashReport, FaultsOutsideGuardedStepsAreNotSwallowed) {
    CrashSwitches switches(true, false);
    Crash crash;
    const test::ProcessResult r = crash.Run(L"write", L"outside");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 0xC0000005u);
    EXPECT_EQ(r.output.find("survived"), std::string::npos);
    EXPECT_TRUE(crash.ReportFolders().empty());
}

TEST(CrashReport, RegistersAreWrittenInTheirBlock) {
    test::TempDir dir;
    CONTEXT context{};
    context.Rax = 0x1;
    context.Rbx = 0xAB;
    context.R8 = 0x8888888888888888ull;
    context.R15 = 0xFEDCBA9876543210ull;
    context.EFlags = 0x246;
    EXCEPTION_RECORD record{};
    record.ExceptionCode = 0xC0000005;
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = 1;
    record.ExceptionInformation[1] = 0x123456789ABCull;
    EXCEPTION_POINTERS pointers{&record, &context};
    char summary[256] = "";
    ASSERT_TRUE(CrashHandlerReport::WriteErrorLog(&pointers, Overlay::Common::ToUtf8(dir.Path()).c_str(), summary, sizeof(summary)));
    EXPECT_STREQ(summary, "crash_tests.exe caused an Access Violation (0xc0000005)");
    const std::string log = test::ReadFileBytes(dir / L"ERRORLOG.TXT");
    const std::string z = "0000000000000000";
    const std::string expected =
        "Write to location 56789abc caused an access violation.\r\n\r\nContext:\r\n"
        "RAX=0000000000000001  RBX=00000000000000AB  RCX=" + z + "  RDX=" + z + "  RSI=" + z + "\n"
        " RDI=" + z + "  RBP=" + z + "  RSP=" + z + "  RIP=" + z + "  FLG=0000000000000246\n"
        " R8=8888888888888888   R9=" + z + "  R10=" + z + "  R11=" + z + "  R12=" + z + "\n"
        "R13=" + z + "  R14=" + z + "  R15=FEDCBA9876543210"
        "code at the instruction pointer isn't available under x64.\r\n";
    EXPECT_NE(log.find(expected), std::string::npos) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("\r\nProcessId=\\d+ \\(0x[0-9a-f]+\\) ThreadId=\\d+ \\(0x[0-9a-f]+\\)\r\n")));
}

// Faults that used to leave nothing: an overflowed stack, a fault inside the report writer, and a
// fault that ends the process while the log holds rows.
TEST(CrashReport, HardFaultsStillLeaveTheirTrace) {
    CrashSwitches switches(true, false);
    Crash crash;
    const test::ProcessResult overflow = crash.Run(L"overflow", L"direct");
    EXPECT_NE(overflow.output.find("what=crash-child.exe caused a Stack Overflow (0xc00000fd)"), std::string::npos)
        << overflow.output;
    const std::vector<std::wstring> folders = crash.ReportFolders();
    ASSERT_EQ(folders.size(), 1u);
    const std::string log = test::ReadFileBytes(crash.crashes + L"\\" + folders[0] + L"\\ERRORLOG.TXT");
    // The module list reaches above 4 GiB, where this executable is mapped.
    EXPECT_NE(log.find("crash-child.exe\r\nImage Base: "), std::string::npos) << log;
    // Bases above 4 GiB, printed whole.
    EXPECT_TRUE(std::regex_search(log, std::regex("\r\nImage Base: 0x[0-9a-f]{9,16}  Image Size: ")));

    const test::ProcessResult report = crash.Run(L"divide", L"report");
    ASSERT_TRUE(report.finished);
    EXPECT_EQ(report.exitCode, 0xC0000094u);  // the fault being reported, not the writer's own
    EXPECT_EQ(report.output.find("survived"), std::string::npos);

    // Nothing handles these: the process ends with the code, after its report, a row and the footer.
    const struct {
        const wchar_t* kind;
        uint32_t code;
        const char* name;
    } fatal[] = {{L"write", 0xC0000005u, "an Access Violation"}, {L"throw", FatalEnd::kUncaughtCxx, "a C++ Exception"}};
    for (const auto& f : fatal) {
        const Crash since;  // the report folders from here on
        const test::LogProfile profile;
        const test::ProcessResult logged = test::RunProcess(Overlay::Common::QuoteArgument(test::InExeDir(L"crash-child.exe")) +
                                                                L" " + f.kind + L" logged",
                                                            60000, profile.Env());
        ASSERT_TRUE(logged.finished);
        EXPECT_EQ(logged.exitCode, f.code);
        EXPECT_EQ(logged.output.find("survived"), std::string::npos);
        const std::string html = profile.Log(L"*_crash_*.Game.html");
        ASSERT_FALSE(html.empty());
        EXPECT_NE(html.find(">row 49 before the fault<"), std::string::npos);
        char words[160];
        std::snprintf(words, sizeof(words), "last words: 0x%x crash-child.exe caused %s", f.code, f.name);
        EXPECT_NE(html.find(words), std::string::npos) << html.substr(html.size() > 800 ? html.size() - 800 : 0);
        EXPECT_EQ(html.substr(html.size() - 5), "html>");
        const std::vector<std::wstring> added = since.ReportFolders();
        ASSERT_EQ(added.size(), 1u);
        EXPECT_NE(test::ReadFileBytes(crash.crashes + L"\\" + added[0] + L"\\ERRORLOG.TXT").find("crash-child.exe (offset"),
                  std::string::npos);
    }
}

// The real host over the sample game, its client library faulting inside RenderOverlay: no dialog
// holds the overlay there; the host ends with the fault's code, its report names the library, and
// its log has a row naming the fault and its footer.
TEST(CrashReport, AFaultInTheClientLibraryEndsTheHostWithItsReportAndAWholeLog) {
    CrashSwitches switches(true, false);
    Crash crash;
    // An exception that leaves a GCC-built library ends in its runtime's abort().
    const struct {
        const wchar_t* kind;
        DWORD code;
        const char* what;
    } faults[] = {{L"access", 0xC0000005u, "an Access Violation"}, {L"throw", FatalEnd::kAbortExit, "an Abort"}};
    for (const auto& f : faults) {
        const Crash since;  // the report folders from here on
        test::HostRun run(test::Environment{{L"QMSAMPLE_RENDER_FAULT", f.kind}});
        ASSERT_TRUE(run.host->Started());
        run.ExpectExit(60000, f.code);
        const std::string log = run.Log();
        EXPECT_NE(log.find(">FatalEnd<"), std::string::npos);
        EXPECT_NE(log.find("\\client\\QMClient.dll: ending with exit code"), std::string::npos) << f.code;
        EXPECT_EQ(log.substr(log.size() - 5), "html>");
        const std::vector<std::wstring> added = since.ReportFolders();
        ASSERT_EQ(added.size(), 1u);
        const std::string report = test::ReadFileBytes(crash.crashes + L"\\" + added[0] + L"\\ERRORLOG.TXT");
        EXPECT_EQ(report.rfind(std::string("qm-overlay.exe caused ") + f.what, 0), 0u);
        EXPECT_NE(report.find("\\client\\QMClient.dll (offset 0x"), std::string::npos) << report.substr(0, 300);
    }
}
