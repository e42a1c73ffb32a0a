#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/StringUtils.h"
#include "logging/FlushLogger.h"
#include "logging/Log.h"
#include "tests/support/TestSupport.h"

using Overlay::Common::ToUtf8;

namespace {

// Whether the process-wide logger was already constructed when this file's statics were: it must
// come before every other static object.
const bool gLoggerReadyBeforeOtherStatics = gLogger.IsConstructed();

// The end of every file, once.
const std::string kFooter = "<tr><th></th><th></th><th></th><th></th><th></th></tr>\t</table>\t</html>";

const std::wstring kExe = L"C:\\Program Files\\Quillmar\\qm-overlay.exe";

LoggerOptions In(const test::TempDir& dir, const std::wstring& exe = kExe) {
    LoggerOptions o;
    o.configuredFolder = dir.Path();
    o.executablePath = exe;
    return o;
}

void WriteConfig(const test::TempDir& dir, const std::wstring& text) {
    ASSERT_TRUE(test::WriteFileBytes(dir / L"QMLog.cfg", test::Utf16Bytes(text)));
}

// The rows between header and footer of a stopped logger's file.
std::vector<std::string> Rows(const std::string& file) {
    std::vector<std::string> rows;
    static const std::regex row("<tr class=[\\s\\S]*?</tr>\\r\\r\\n");
    for (auto it = std::sregex_iterator(file.begin(), file.end(), row); it != std::sregex_iterator(); ++it) {
        rows.push_back(it->str());
    }
    return rows;
}

constexpr const wchar_t* kEnableAll =
    L"SEVERITY_LOW +\r\nSEVERITY_NORMAL +\r\nSEVERITY_MEDIUM +\r\nSEVERITY_HIGH +\r\nSEVERITY_CRITICAL +\r\n"
    L"ERROR H\r\n";

// A log without rows: the byte-order mark, the file's name as the page's title, the footer once at
// the end. (The rest of the page is what the browser test reads.)
void ExpectNoRows(const std::string& file, const std::wstring& name) {
    EXPECT_EQ(file.rfind("\xEF\xBB\xBF<html>", 0), 0u) << file.substr(0, 40);
    EXPECT_NE(file.find("<title>" + ToUtf8(name) + "</title>"), std::string::npos);
    EXPECT_TRUE(Rows(file).empty());
    EXPECT_EQ(test::Count(file, kFooter), 1u);
    EXPECT_EQ(file.substr(file.size() - std::min(file.size(), kFooter.size())), kFooter);
}

// A started logger in a folder of its own, with a configuration that enables every row.
struct LogRun {
    test::TempDir dir;
    std::unique_ptr<FlushLogger> logger;
    std::wstring path;

    explicit LogRun(const std::wstring& config = kEnableAll) {
        WriteConfig(dir, config);
        logger = std::make_unique<FlushLogger>(In(dir));
        logger->Start(L"_g");
        path = logger->FilePath();
    }
    std::string StopAndRead() {
        logger->Stop();
        return test::ReadFileBytes(path);
    }
};

}  // namespace

TEST(FlushLogger, TheProcessLoggerIsConstructedBeforeOtherStatics) {
    EXPECT_TRUE(gLoggerReadyBeforeOtherStatics);
    EXPECT_TRUE(gLogger.IsConstructed());
}

TEST(FlushLogger, WithoutConfigurationWritesNoRowsAndSeedsAConfigurationThatEnablesNothing) {
    test::TempDir dir;
    std::wstring path;
    std::wstring name;
    {
        FlushLogger logger(In(dir));
        EXPECT_EQ(logger.SeverityMask(), 0u);
        ASSERT_EQ(logger.Start(L"_game.exe_1234"), 1);
        EXPECT_EQ(logger.Start(L"_other"), 0);
        ASSERT_TRUE(logger.IsRunning());
        logger.Log(kSeverityAll, kLogError, 0xFFFFFF, 3, L"T::F", 1, L"not enabled");
        path = logger.FilePath();
        name = logger.FileName();
    }  // the destructor stops it
    ExpectNoRows(test::ReadFileBytes(path), name);
    // The keys it looked for are listed without values: read back, they enable nothing.
    EXPECT_NE(test::ReadFileBytes(dir / L"QMLog.cfg").find(test::Utf16Bytes(L"\r\nSEVERITY_NORMAL\r\n")), std::string::npos);
    FlushLogger again(In(dir));
    EXPECT_EQ(again.SeverityMask(), 0u);
    EXPECT_EQ(again.ErrorFlags(), 0u);
}

TEST(FlushLogger, FileNameCarriesSuffixLocalTimeAndKind) {
    test::TempDir dir;
    SYSTEMTIME before;
    ::GetLocalTime(&before);
    FlushLogger logger(In(dir));
    ASSERT_EQ(logger.Start(L"_game.exe_1234"), 1);
    const std::string name = ToUtf8(logger.FileName());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(name, m, std::regex(R"(qm-overlay_game\.exe_1234_(\d\d)-(\d\d)-(\d\d)_(\d\d)-(\d\d)-(\d\d)\.Game\.html)")))
        << name;
    EXPECT_EQ(std::stoi(m[1]), before.wMonth);
    EXPECT_EQ(std::stoi(m[3]), before.wYear % 100);
    EXPECT_EQ(logger.FilePath(), dir.Path() + L"\\" + logger.FileName());
    EXPECT_TRUE(test::FileExists(logger.FilePath()));
    logger.Stop();
    EXPECT_TRUE(test::FileExists(logger.FilePath()));

    // A game name from the command line never leads out of the folder, and a second run in the
    // same second writes a file of its own.
    for (int attempt = 0; attempt < 3; ++attempt) {
        FlushLogger first(In(dir));
        FlushLogger second(In(dir));
        ASSERT_EQ(first.Start(L"_..\\..\\evil|game.exe_1"), 1);
        ASSERT_EQ(second.Start(L"_..\\..\\evil|game.exe_1"), 1);
        for (const FlushLogger* l : {&first, &second}) {
            EXPECT_EQ(l->FilePath(), dir.Path() + L"\\" + l->FileName());
            EXPECT_TRUE(test::FileExists(l->FilePath()));
        }
        EXPECT_NE(first.FileName(), second.FileName());
        const std::wstring stamp = first.FileName().substr(0, first.FileName().size() - 10);  // ".Game.html"
        if (second.FileName().compare(0, stamp.size(), stamp) == 0) {
            EXPECT_EQ(second.FileName(), stamp + L"_2.Game.html");
            break;
        }
    }

    test::TempDir server;
    FlushLogger serverLogger(In(server, L"C:\\qm\\QMServer.Host.exe"));
    serverLogger.Start(nullptr);
    EXPECT_TRUE(std::regex_match(ToUtf8(serverLogger.FileName()),
                                 std::regex(R"(QMServer\.Host_\d\d-\d\d-\d\d_\d\d-\d\d-\d\d\.Server\.html)")))
        << ToUtf8(serverLogger.FileName());
}

TEST(FlushLogger, FortniteLogsAreRenamedToHtmlAtStop) {
    test::TempDir dir;
    FlushLogger logger(In(dir));
    ASSERT_EQ(logger.Start(L"_FORTNITEClient-Win64-Shipping.exe_77"), 1);
    const std::wstring path = logger.FilePath();
    EXPECT_EQ(path.substr(path.size() - 9), L".Game.log");
    EXPECT_TRUE(test::FileExists(path));
    logger.Stop();
    EXPECT_FALSE(test::FileExists(path));
    ExpectNoRows(test::ReadFileBytes(path + L".html"), logger.FileName());
}

TEST(FlushLogger, RowsHaveTheirMarkupAndUtf8Text) {
    LogRun run;
    FlushLogger& logger = *run.logger;
    logger.Log(kSeverityNormal, kLogInfo, 0xFFFF00, 1, L"OOPManager::Init", 77, L"initializing %s %d",
               L"\u30B2\u30FC\u30E0 caf\u00E9", -5);
    logger.Log(kSeverityHigh, kLogError, 0x00A400, logger.ErrorFlags(), L"A::B", 12, L"line\nbreak");
    // The same conversions with and without one that only the C library formats (an empty %.0s).
    const wchar_t* none = nullptr;
    for (const wchar_t* format : {L"%x %X %u %i %lu %c%% %ls %s", L"%x %X %u %i %lu %c%% %ls %s%.0s"}) {
        logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"F", 1, format, 0xAFu, 0xAFu, 4000000000u, -7, 42ul,
                   L'\u00E9', L"wide", none, L"unseen");
    }
    const std::string file = run.StopAndRead();
    const std::vector<std::string> rows = Rows(file);
    ASSERT_EQ(rows.size(), 4u) << file;
    for (size_t i = 2; i < 4; ++i) {
        EXPECT_NE(rows[i].find(">af AF 4000000000 -7 42 \xC3\xA9% wide (null)</td>"), std::string::npos) << rows[i];
    }
    std::smatch m;
    ASSERT_TRUE(std::regex_match(rows[0], m,
                                 std::regex("<tr class=\"info\"><td>(\\d\\d):(\\d\\d):(\\d\\d)\\.(\\d{1,3})</td>"
                                            "<td>([0-9A-F]+)</td><td>77</td><td>OOPManager::Init</td>"
                                            "<td style=\"background-color:FFFF00\">initializing "
                                            "\xE3\x82\xB2\xE3\x83\xBC\xE3\x83\xA0 caf\xC3\xA9 -5</td></tr>\r\r\n")))
        << rows[0];
    EXPECT_EQ(std::stoul(m[5].str(), nullptr, 16), ::GetCurrentThreadId());
    // Milliseconds are printed as a plain number: no leading zero.
    EXPECT_TRUE(m[4].str() == "0" || m[4].str()[0] != '0') << m[4].str();
    EXPECT_NE(rows[1].find("<td style=\"background-color:00A400\">line\r\nbreak</td>"), std::string::npos) << rows[1];
    EXPECT_EQ(file.substr(file.size() - kFooter.size()), kFooter);
}

TEST(FlushLogger, SeverityAndOutputFlagsDecideWhatIsWritten) {
    {
        // Keys in any case, separated by a tab or a blank; the first line counts like any other.
        LogRun run(L"SEVERITY_NORMAL\t+\r\nseverity_high +\r\nERROR V\r\n");
        FlushLogger& logger = *run.logger;
        EXPECT_EQ(logger.SeverityMask(), static_cast<uint32_t>(kSeverityNormal | kSeverityHigh));
        EXPECT_EQ(logger.ErrorFlags(), 2u);
        logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"F", 1, L"info-one");
        logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 2, L"F", 1, L"info-two-flags");
        logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 0, L"F", 1, L"info-zero-flags");
        logger.Log(kSeverityMedium, kLogWarning, 0xFFFFFF, 1, L"F", 1, L"warning-disabled");
        logger.Log(kSeverityHigh, kLogError, 0xFFFFFF, logger.ErrorFlags(), L"F", 1, L"error-V");
        logger.Log(kSeverityHigh | kSeverityMedium, kLogError, 0xFFFFFF, 3, L"F", 1, L"error-mixed");
        const std::string file = run.StopAndRead();
        EXPECT_EQ(Rows(file).size(), 2u);
        EXPECT_NE(file.find(">info-one<"), std::string::npos);
        EXPECT_NE(file.find(">error-mixed<"), std::string::npos);
    }
    for (const auto& [word, flags] : std::vector<std::pair<std::wstring, uint32_t>>{
             {L"H", 1}, {L"hidden", 1}, {L"A", 3}, {L"all", 3}, {L"v", 2}, {L"x", 0}, {L"+", 0}}) {
        LogRun run(L"SEVERITY_HIGH +\r\nError " + word + L"\r\n");
        EXPECT_EQ(run.logger->ErrorFlags(), flags) << ToUtf8(word);
        run.logger->Log(kSeverityHigh, kLogError, 0xFFFFFF, run.logger->ErrorFlags(), L"F", 1, L"error-row");
        EXPECT_EQ(run.StopAndRead().find("error-row") != std::string::npos, (flags & 1) != 0);
    }
}

TEST(FlushLogger, LineLimitAcceptsThatManyRowsThenOneNotice) {
    for (int limit : {0, 3}) {
        LogRun run(std::wstring(L"SEVERITY_NORMAL +\r\n[MaxLinesPerFile] ") + std::to_wstring(limit) + L"\r\n");
        EXPECT_EQ(run.logger->MaxLinesPerFile(), limit);
        for (int i = 0; i < 10; ++i) run.logger->Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"F", 5, L"row %d", i);
        const std::vector<std::string> rows = Rows(run.StopAndRead());
        ASSERT_EQ(rows.size(), static_cast<size_t>(limit) + 1) << limit;
        for (int i = 0; i < limit; ++i) EXPECT_NE(rows[i].find(">row " + std::to_string(i) + "<"), std::string::npos);
        EXPECT_TRUE(std::regex_match(
            rows.back(), std::regex("<tr class=\"info\"><td>[0-9:.]+</td><td>[0-9A-F]+</td><td>-1</td><td></td>"
                                    "<td style=\"background-color:FFFFFF\">---- STOP ADDING LOG LINES DUE TO "
                                    "DEFINE LIMIT ----</td></tr>\r\r\n")))
            << rows.back();
    }
    test::TempDir negative;
    WriteConfig(negative, L"[MaxLinesPerFile] -4\r\n[MaxLogFiles] 12\r\n[Measurements] abc\r\n");
    FlushLogger logger(In(negative));
    EXPECT_EQ(logger.MaxLinesPerFile(), -1);
    EXPECT_EQ(logger.MaxLogFiles(), 12);
    EXPECT_EQ(logger.Measurements(), -1);
}

TEST(FlushLogger, LongMessagesAreCutTo2047Characters) {
    LogRun run;
    const std::wstring longText(5000, L'x');
    run.logger->Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"F", 1, L"%s", longText.c_str());
    run.logger->Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"F", 1, L"after");
    const std::vector<std::string> rows = Rows(run.StopAndRead());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_NE(rows[0].find(">" + std::string(2047, 'x') + "</td></tr>"), std::string::npos);
    EXPECT_EQ(rows[0].find(std::string(2048, 'x')), std::string::npos);
    EXPECT_NE(rows[1].find(">after<"), std::string::npos);
}

// Window titles, paths and command lines come from outside: whatever they hold stays text in one
// row, and a row cut short ends between characters.
TEST(FlushLogger, RowTextIsEscapedAndCutOnlyBetweenCharacters) {
    LogRun run;
    FlushLogger& logger = *run.logger;
    // The browser test reads whole texts; here the function's cell and the cut.
    logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"Finder<Window>::Find", 9, L"title <script>x</script>");
    // Markup characters and surrogate pairs far past what a row holds; function texts of every
    // length modulo the pattern's escaped width put the cut at every place in it. With and without
    // a conversion that only the C library formats.
    std::wstring hostile;
    while (hostile.size() < 5000) hostile += L"a<\U0001F600&\"";
    constexpr size_t kCuts = 2 * 18;
    for (size_t cut = 0; cut < kCuts; ++cut) {
        logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, std::wstring(cut % 18, L'f').c_str(), 9,
                   cut < 18 ? L"%s" : L"%.4999s", hostile.c_str());
    }
    const std::string file = run.StopAndRead();
    EXPECT_EQ(file.find("<script"), std::string::npos);
    const std::vector<std::string> rows = Rows(file);
    ASSERT_EQ(rows.size(), 1 + kCuts);
    EXPECT_NE(rows[0].find("<td>Finder&lt;Window&gt;::Find</td>"), std::string::npos) << rows[0];
    const std::string whole = ToUtf8(hostile.substr(0, 2047));
    const std::string cellStart = "<td style=\"background-color:FFFFFF\">";
    const std::string rowEnd = "</td></tr>\r\r\n";
    for (size_t cut = 0; cut < kCuts; ++cut) {
        const std::string& row = rows[1 + cut];
        const size_t start = row.find(cellStart) + cellStart.size();
        const size_t end = row.size() - rowEnd.size();
        ASSERT_EQ(row.substr(end), rowEnd) << cut;
        // Only whole entities and text without markup characters; decoded, a prefix of the message.
        std::string text;
        for (size_t at = start; at < end; ++at) {
            ASSERT_TRUE(row[at] != '<' && row[at] != '>' && row[at] != '"') << cut << " at " << at - start;
            if (row[at] != '&') {
                text += row[at];
                continue;
            }
            const std::string entity = row.substr(at, row.find(';', at) + 1 - at);
            const char* plain = entity == "&amp;" ? "&" : entity == "&lt;" ? "<" : entity == "&gt;" ? ">" : entity == "&quot;" ? "\"" : nullptr;
            ASSERT_NE(plain, nullptr) << cut << ": " << row.substr(at, 8);
            text += plain;
            at += entity.size() - 1;
        }
        // Cut by the row's room, not by the message limit, and never inside a character.
        EXPECT_GT(end - start, 2000u) << cut;
        EXPECT_LT(text.size(), whole.size()) << cut;
        EXPECT_EQ(whole.compare(0, text.size(), text), 0) << cut;
    }
}

// The writer is held while the callers fill the ring: what finds no room is counted and reported
// once the ring has room again, and at stop.
TEST(FlushLogger, RowsThatFindTheRingFullAreCountedAndReported) {
    LogRun run;
    FlushLogger& logger = *run.logger;
    // The file is all there is to watch: an idle writer is woken by a row, within a second.
    auto reached = [&run](const std::string& text) {
        return test::WaitUntil([&] { return test::ReadFileBytes(run.path).find(text) != std::string::npos; }, 10000);
    };
    auto fillWhileHeld = [&logger](const wchar_t* name, int rows) {
        base::UniqueHandle writer(::OpenThread(THREAD_SUSPEND_RESUME, FALSE, logger.WriterThreadId()));
        ASSERT_TRUE(writer);
        ASSERT_NE(::SuspendThread(writer.Get()), static_cast<DWORD>(-1));
        for (int i = 0; i < rows; ++i) logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"F", 1, L"%s-%d", name, i);
        ::ResumeThread(writer.Get());
    };
    const int slots = static_cast<int>(FlushLogger::kRingSlots);
    // Holding the writer only while it waits: it then holds no lock that a caller needs.
    logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"F", 1, L"first");
    ASSERT_TRUE(reached(">first<"));
    fillWhileHeld(L"a", slots + 7);
    ASSERT_TRUE(reached(">a-" + std::to_string(slots - 1) + "<"));
    logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"F", 1, L"after");
    ASSERT_TRUE(reached(">after<"));
    fillWhileHeld(L"b", slots + 3);
    const std::vector<std::string> rows = Rows(run.StopAndRead());
    ASSERT_EQ(rows.size(), static_cast<size_t>(2 * slots + 4));
    auto notice = [](int dropped) {
        return std::regex("<tr class=\"info\"><td>[0-9:.]+</td><td>[0-9A-F]+</td><td>-1</td><td></td>"
                          "<td style=\"background-color:FFFFFF\">---- " + std::to_string(dropped) +
                          " log lines dropped: the writer fell behind ----</td></tr>\r\r\n");
    };
    EXPECT_NE(rows[slots].find(">a-" + std::to_string(slots - 1) + "<"), std::string::npos);
    EXPECT_TRUE(std::regex_match(rows[slots + 1], notice(7))) << rows[slots + 1];
    EXPECT_NE(rows[slots + 2].find(">after<"), std::string::npos);
    EXPECT_NE(rows[2 * slots + 2].find(">b-" + std::to_string(slots - 1) + "<"), std::string::npos);
    EXPECT_TRUE(std::regex_match(rows.back(), notice(3))) << rows.back();
    EXPECT_EQ(logger.DroppedRows(), 10);
    EXPECT_EQ(logger.LinesWritten(), 2 * slots + 2);
}

TEST(FlushLogger, NothingHappensBeforeStartOrAfterStop) {
    test::TempDir dir;
    WriteConfig(dir, kEnableAll);
    FlushLogger logger(In(dir));
    logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"F", 1, L"early");
    logger.Stop();
    logger.Flush();
    EXPECT_TRUE(test::ListFiles(dir.Path(), L"*.html").empty());
    logger.Start(L"_e");
    const std::wstring path = logger.FilePath();
    logger.Stop();
    logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"F", 1, L"late");
    logger.Stop();
    ExpectNoRows(test::ReadFileBytes(path), logger.FileName());
}

TEST(FlushLogger, RowsFromTwoThreadsReachTheFileInTheirOrderOrAreCounted) {
    LogRun run;
    FlushLogger& logger = *run.logger;
    constexpr int kRows = 5000;  // many times the ring's slots
    auto produce = [&logger](int id) {
        for (int i = 0; i < kRows; ++i) logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"F", id, L"t%d-%d", id, i);
    };
    std::thread a(produce, 1), b(produce, 2);
    a.join();
    b.join();
    logger.Flush();
    const std::string file = run.StopAndRead();
    // Callers that outran the writer lost rows rather than wait; every loss is in a report row.
    static const std::regex row(">t([12])-(\\d+)</td>|>---- (\\d+) log lines dropped: the writer fell behind ----<");
    int last[3] = {-1, -1, -1};
    int written = 0;
    int reported = 0;
    for (auto it = std::sregex_iterator(file.begin(), file.end(), row); it != std::sregex_iterator(); ++it) {
        if ((*it)[3].matched) {
            reported += std::stoi((*it)[3]);
            continue;
        }
        const int id = std::stoi((*it)[1]);
        const int i = std::stoi((*it)[2]);
        EXPECT_GT(i, last[id]) << id;
        last[id] = i;
        ++written;
    }
    EXPECT_EQ(written + reported, 2 * kRows);
    EXPECT_EQ(logger.LinesWritten(), written);
    EXPECT_EQ(logger.DroppedRows(), reported);
    EXPECT_EQ(test::Count(file, kFooter), 1u);
}

TEST(FlushLoggerConfig, ValuesKeysAndFirstMatch) {
    test::TempDir dir;
    const std::wstring key63(63, L'K');
    const std::wstring key64(64, L'L');
    WriteConfig(dir, L"  name   two words here\tcut\r\nNAME second\r\n" + key63 + L" ok63\r\n" + key64 +
                         L" ok64\r\nempty\r\nlong " + std::wstring(100, L'v') + L"\r\n");
    FlushLogger logger(In(dir));
    wchar_t value[1024];
    EXPECT_EQ(logger.GetConfigValue(L"Name", value, 1024), L't');
    EXPECT_STREQ(value, L"two words here");
    EXPECT_EQ(logger.GetConfigValue(key63.c_str(), value, 1024), L'o');
    EXPECT_STREQ(value, L"ok63");
    EXPECT_EQ(logger.GetConfigValue(key64.c_str(), value, 1024), 0);  // too long a key: never matches
    EXPECT_EQ(logger.GetConfigValue(L"empty", value, 1024), 0);
    EXPECT_STREQ(value, L"");
    EXPECT_EQ(logger.GetConfigValue(L"long", value, 50), L'v');  // does not fit: only the first character
    EXPECT_STREQ(value, L"");
    EXPECT_EQ(logger.GetConfigValue(L"long", value, 101), L'v');
    EXPECT_EQ(std::wstring(value), std::wstring(100, L'v'));
    EXPECT_EQ(logger.GetConfigValue(L"absent", nullptr, 0), 0);
    const std::string file = test::ReadFileBytes(dir / L"QMLog.cfg");
    EXPECT_EQ(file.substr(file.size() - 16), test::Utf16Bytes(L"absent\r\n"));
}

TEST(FlushLoggerConfig, LinesAreReadIn127CharacterPieces) {
    test::TempDir dir;
    // The second piece of this line starts with the key.
    WriteConfig(dir, std::wstring(127, L'#') + L"SEVERITY_NORMAL +\r\n");
    FlushLogger logger(In(dir));
    EXPECT_EQ(logger.SeverityMask(), static_cast<uint32_t>(kSeverityNormal));
}

TEST(FlushLoggerConfig, BadFilesNeverStopTheLogger) {
    struct Case {
        const char* name;
        std::string bytes;
        uint32_t mask;
    };
    // Ten megabytes of lines nobody reads, the key at the very end.
    std::string big;
    const std::string junkLine = test::Utf16Bytes(L"junk line of some length that nobody reads\r\n");
    while (big.size() < 10 * 1024 * 1024) big += junkLine;
    big += test::Utf16Bytes(L"SEVERITY_NORMAL +\r\n");
    const Case cases[] = {
        {"byte-order mark", test::Utf16Bytes(L"\uFEFFSEVERITY_HIGH +\r\nSEVERITY_NORMAL +\r\n"),
         kSeverityNormal | kSeverityHigh},
        {"odd length", test::Utf16Bytes(L"SEVERITY_NORMAL +\r\n") + "x", kSeverityNormal},
        {"NUL characters", test::Utf16Bytes(std::wstring(L"SEVERITY_NORMAL +\r\nX\0\0Y\r\n", 25)), kSeverityNormal},
        {"UTF-8 text", "SEVERITY_NORMAL +\r\n", kSeverityNormal},
        {"UTF-8 with its mark and a cut sequence", "\xEF\xBB\xBFSEVERITY_NORMAL +\r\n\xC3", kSeverityNormal},
        {"ten megabytes", big, kSeverityNormal},
        {"empty", "", 0},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        ASSERT_TRUE(test::WriteFileBytes(dir / L"QMLog.cfg", c.bytes));
        FlushLogger logger(In(dir));
        EXPECT_EQ(logger.SeverityMask() & kSeverityAll, c.mask) << c.name;
        ASSERT_EQ(logger.Start(L"_h"), 1) << c.name;
        logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"F", 1, L"still-works");
        const std::wstring path = logger.FilePath();
        logger.Stop();
        EXPECT_EQ(test::ReadFileBytes(path).find("still-works") != std::string::npos, (c.mask & kSeverityNormal) != 0)
            << c.name;
    }
}

// Saved by an editor as UTF-8 (odd length, no last line end, non-ASCII text): read as UTF-8, the
// missing keys added once in UTF-8 on lines of their own, and never again.
TEST(FlushLoggerConfig, AUtf8FileIsReadAsSuchAndGrowsOnlyOnce) {
    test::TempDir dir;
    ASSERT_TRUE(test::WriteFileBytes(dir / L"QMLog.cfg", "# r\xC3\xA9glages\r\nSEVERITY_HIGH +"));
    size_t sizes[3] = {};
    for (size_t& size : sizes) {
        FlushLogger logger(In(dir));
        EXPECT_EQ(logger.SeverityMask() & kSeverityAll, static_cast<uint32_t>(kSeverityHigh));
        size = test::ReadFileBytes(dir / L"QMLog.cfg").size();
    }
    EXPECT_EQ(sizes[1], sizes[0]);
    EXPECT_EQ(sizes[2], sizes[0]);
    const std::string file = test::ReadFileBytes(dir / L"QMLog.cfg");
    EXPECT_EQ(file.find('\0'), std::string::npos);
    EXPECT_EQ(file.rfind("# r\xC3\xA9glages\r\nSEVERITY_HIGH +\r\n[", 0), 0u) << file.substr(0, 80);
    EXPECT_NE(file.find("\r\nSEVERITY_LOW\r\n"), std::string::npos);
}

TEST(FlushLoggerFolder, UnusableFoldersLeaveTheLoggerOff) {
    test::TempDir dir;
    ASSERT_TRUE(test::WriteFileBytes(dir / L"a-file", "x"));
    for (const std::wstring& folder : {dir / L"a-file", dir / L"a-file\\below", dir / L"bad<>|name"}) {
        LoggerOptions o;
        o.configuredFolder = folder;
        o.executablePath = kExe;
        FlushLogger logger(o);
        EXPECT_EQ(logger.Start(L"_x"), 1);
        EXPECT_FALSE(logger.IsRunning());
        logger.Log(kSeverityAll, kLogError, 0xFFFFFF, 3, L"F", 1, L"nowhere");
        logger.Flush();
        logger.Stop();
    }
}

TEST(FlushLoggerFolder, LocalAppDataDecidesTheFolder) {
    test::TempDir profile;
    {
        test::ScopedEnv userProfile(L"USERPROFILE", profile.Path());
        LoggerOptions o;
        o.executablePath = kExe;
        FlushLogger logger(o);
        EXPECT_EQ(logger.LogFolder(), profile.Path() + L"\\AppData\\Local\\QuillMar\\Log");
        EXPECT_TRUE(test::DirectoryExists(logger.LogFolder()));
        EXPECT_TRUE(test::FileExists(logger.LogFolder() + L"\\QMLog.cfg"));
    }

    // Without the value the folder is "\QuillMar\Log" on the current drive.
    test::ScopedCurrentDirectory root(L"C:\\");
    const test::TempDir made(L"C:\\QuillMar");  // removed again afterwards, unless it was there
    LoggerOptions o;
    o.executablePath = kExe;
    o.shellFolderValue = L"QM No Such Shell Folder";
    FlushLogger logger(o);
    EXPECT_EQ(logger.LogFolder(), L"\\QuillMar\\Log");
    EXPECT_TRUE(test::DirectoryExists(L"C:\\QuillMar\\Log"));
}

TEST(FlushLoggerFolder, TheClientsProgramsSeedTheirConfiguration) {
    test::TempDir install;
    ASSERT_TRUE(test::WriteFileBytes(install / L"QMLog.cfg", test::Utf16Bytes(L"SEVERITY_HIGH +\r\n")));
    test::TempDir logs;
    FlushLogger seeded(In(logs, install / L"QUILLMAR.exe"));
    EXPECT_EQ(seeded.SeverityMask(), static_cast<uint32_t>(kSeverityHigh));
    const std::string cfg = test::ReadFileBytes(logs / L"QMLog.cfg");
    const std::wstring dirPart = install.Path().substr(2) + L"\\";  // without the drive
    const std::string head = test::Utf16Bytes(L"SEVERITY_HIGH +\r\n[QUILLMAR]\t\t");
    EXPECT_EQ(cfg.substr(0, head.size()), head);
    EXPECT_NE(cfg.find(test::Utf16Bytes(install.Path().substr(0, 2) + dirPart + L"\r\n")), std::string::npos);

    test::TempDir other;
    FlushLogger plain(In(other, install / L"qm-overlay.exe"));
    EXPECT_EQ(plain.SeverityMask(), 0u);
}

TEST(FlushLogger, StoppingRightAfterLoggingLosesNothing) {
    for (int round = 0; round < 60; ++round) {
        LogRun run;
        for (int i = 0; i < 4; ++i) run.logger->Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"F", 1, L"row-%d", i);
        if (round % 3 == 1) ::Sleep(1);
        const std::string file = run.StopAndRead();
        ASSERT_EQ(Rows(file).size(), 4u) << "round " << round << "\n" << file;
    }
}

// The log folder on a disk that fills up while the host logs, and empties again: the file holds
// whole rows only, every row that could not be written is counted, and one row says how many were
// lost once writing works again. It needs a small disk of its own: tests/logging/full_disk.sh
// mounts one and names it in QM_TEST_SMALL_DISK.
TEST(FlushLoggerDisk, RowsAFullDiskRefusesAreCountedAndSaidAndNoRowIsCut) {
    wchar_t disk[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"QM_TEST_SMALL_DISK", disk, MAX_PATH) == 0) {
        GTEST_SKIP() << "no small disk (run through tests/logging/full_disk.sh)";
    }
    const std::wstring folder = std::wstring(disk) + L"\\logs";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(test::WriteFileBytes(folder + L"\\QMLog.cfg", test::Utf16Bytes(kEnableAll)));
    LoggerOptions options;
    options.configuredFolder = folder;
    options.executablePath = kExe;
    FlushLogger logger(options);
    logger.Start(L"_g");
    const std::wstring path = logger.FilePath();
    const std::wstring padding(300, L'x');
    const auto log = [&](const wchar_t* phase, int rows) {
        for (int i = 0; i < rows; ++i) {
            logger.Log(kSeverityAll, kLogInfo, 0xFFFFFF, 0xFFFFFFFF, L"Disk", 1, L"%s %d %s", phase, i, padding.c_str());
            // The ring keeps up: this test is about the disk, not the writer's pace.
            if (i % 8 == 7) ::Sleep(2);
        }
    };
    log(L"before", 10);
    ASSERT_TRUE(test::WaitUntil([&] { return Rows(test::ReadFileBytes(path)).size() == 10; }, 5000));

    // Everything left on the disk taken, down to the last byte.
    const std::wstring filler = std::wstring(disk) + L"\\filler";
    HANDLE fill = ::CreateFileW(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(fill, INVALID_HANDLE_VALUE);
    const std::string chunk(4096, 'f');
    for (size_t size = chunk.size(); size > 0; size /= 2) {
        DWORD written = 0;
        while (::WriteFile(fill, chunk.data(), static_cast<DWORD>(size), &written, nullptr) && written == size) {
        }
    }
    ::CloseHandle(fill);
    log(L"full", 300);
    ::Sleep(600);  // the writer tries, and fails, meanwhile
    ASSERT_TRUE(::DeleteFileW(filler.c_str()));
    ::Sleep(400);
    log(L"after", 10);
    logger.Stop();

    const std::string file = test::ReadFileBytes(path);
    const std::vector<std::string> rows = Rows(file);
    for (const std::string& row : rows) EXPECT_EQ(test::Count(row, "<td"), 5u) << row.substr(0, 200);
    EXPECT_EQ(test::Count(file, "<tr class="), rows.size());
    EXPECT_EQ(file.substr(file.size() - kFooter.size()), kFooter);
    const int64_t lost = logger.DroppedRows();
    EXPECT_GT(lost, 0);
    int64_t said = 0;
    size_t notices = 0;
    static const std::regex notice("---- (\\d+) log lines lost: the log file could not be written ----");
    for (auto it = std::sregex_iterator(file.begin(), file.end(), notice); it != std::sregex_iterator(); ++it) {
        said += std::stoll((*it)[1].str());
        ++notices;
    }
    EXPECT_EQ(said, lost);
    EXPECT_EQ(rows.size(), 10 + 300 + 10 - static_cast<size_t>(lost) + notices);
    EXPECT_NE(file.find("after 9 "), std::string::npos);
    std::printf("a full disk: %lld of 300 rows lost, said in %zu row(s)\n", static_cast<long long>(lost), notices);
}
