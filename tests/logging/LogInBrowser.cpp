// The log as QA and support read it, in a browser. "write <folder>" logs rows whose text is hostile
// or not ASCII through the real logger; "check <dom file> <title>" reads what headless Chromium
// built of that file (read_log.html, dumped with --dump-dom) and says where it differs from what
// was logged. log_in_browser.sh runs the two around one browser start.
#include <windows.h>

#include <json/json.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/StringUtils.h"
#include "logging/FlushLogger.h"

using Overlay::Common::ToUtf8;

namespace {

struct LoggedRow {
    uint32_t severity;
    int32_t level;
    const wchar_t* function;
    std::wstring text;
    bool mayBeCut;  // longer than a row holds
};

std::vector<LoggedRow> LoggedRows() {
    std::wstring longText;
    while (longText.size() < 5000) longText += L"frame 0123456789 <i>&amp;</td> caf\u00e9 \u6f22\u5b57 \"q\" ";
    longText.resize(5000);
    return {
        {kSeverityNormal, kLogInfo, L"WindowManager::Title",
         L"<script>document.title='executed';document.body.setAttribute('data-executed','1')</script>Game", false},
        {kSeverityMedium, kLogWarning, L"Finder<Window>::Find",
         L"<img src=x onerror=\"document.title='executed'\">Fish &amp; Chips", false},
        {kSeverityHigh, kLogError, L"WindowManager::Title", L"</td></tr><tr class=\"error\"><td>forged row", false},
        {kSeverityNormal, kLogInfo, L"WindowManager::Title", L"Caf\u00e9 \u00dcberh\u00f6he \u2013 R\u00e9sum\u00e9", false},
        {kSeverityNormal, kLogInfo, L"WindowManager::Title", L"\u5192\u9669\u4e4b\u65c5 \u7b2c\u4e8c\u7ae0", false},
        {kSeverityNormal, kLogInfo, L"WindowManager::Title", longText, true},
    };
}

int Write(const std::wstring& folder) {
    const std::wstring config = L"SEVERITY_NORMAL +\r\nSEVERITY_MEDIUM +\r\nSEVERITY_HIGH +\r\nERROR H\r\n";
    FILE* file = _wfopen((folder + L"\\QMLog.cfg").c_str(), L"wb");
    if (!file || std::fwrite(config.data(), sizeof(wchar_t), config.size(), file) != config.size()) {
        std::printf("FAIL: cannot write QMLog.cfg\n");
        return 1;
    }
    std::fclose(file);
    LoggerOptions options;
    options.configuredFolder = folder;
    options.executablePath = L"C:\\Program Files\\Quillmar\\qm-overlay.exe";
    FlushLogger logger(options);
    if (logger.Start(L"_game.exe_1234") != 1 || !logger.IsRunning()) {
        std::printf("FAIL: the logger did not start\n");
        return 1;
    }
    uint32_t line = 100;
    for (const LoggedRow& row : LoggedRows()) {
        logger.Log(row.severity, row.level, 0xFFFFFF, 1, row.function, line++, L"%s", row.text.c_str());
    }
    logger.Stop();
    return 0;
}

std::string Shown(const std::string& text) {
    if (text.size() <= 120) return text;
    size_t cut = 120;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "...";
}

size_t CodePoints(const std::string& utf8) {
    size_t n = 0;
    for (unsigned char c : utf8) n += (c & 0xC0) != 0x80;
    return n;
}

int Check(const std::wstring& domPath, const std::string& title) {
    std::string dom;
    if (FILE* f = _wfopen(domPath.c_str(), L"rb")) {
        char buffer[65536];
        for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), f)) > 0;) dom.append(buffer, n);
        std::fclose(f);
    }
    const std::string open = "<pre id=\"result\">";
    const size_t start = dom.find(open);
    const size_t end = dom.find("</pre>", start);
    Json::Value page;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    if (start == std::string::npos || end == std::string::npos ||
        !reader->parse(dom.data() + start + open.size(), dom.data() + end, &page, &errors) || !page.isObject()) {
        std::printf("FAIL: the browser read no log (%s)\n", errors.c_str());
        return 1;
    }
    int failures = 0;
    const auto fail = [&](const std::string& what) {
        std::printf("FAIL: %s\n", what.c_str());
        ++failures;
    };

    // Only the log's own markup: anything else is logged text that the browser read as markup.
    for (const Json::Value& element : page["elements"]) {
        const std::string name = element.asString();
        bool known = false;
        for (const char* k : {"html", "head", "title", "style", "body", "table", "tbody", "tr", "th", "td"}) known |= name == k;
        if (!known) fail("a <" + name + "> element in the page: logged text was read as markup");
    }
    if (page["title"].asString() != title) {
        fail("the page's title is \"" + Shown(page["title"].asString()) + "\", not \"" + title + "\": a logged script ran");
    }

    const std::vector<LoggedRow> logged = LoggedRows();
    const Json::Value& rows = page["rows"];
    if (rows.size() != logged.size()) {
        fail(std::to_string(rows.size()) + " rows in the table for " + std::to_string(logged.size()) + " logged lines");
    }
    for (Json::ArrayIndex r = 0; r < rows.size() && r < logged.size(); ++r) {
        const std::string at = "row " + std::to_string(r + 1) + ": ";
        if (rows[r].size() != 5) {
            fail(at + std::to_string(rows[r].size()) + " cells, not 5");
            continue;
        }
        const std::string function = ToUtf8(logged[r].function);
        const std::string cell = rows[r][4].asString();
        if (rows[r][3].asString() != function) fail(at + "function \"" + Shown(rows[r][3].asString()) + "\", logged \"" + function + "\"");
        const std::string text = ToUtf8(logged[r].text);
        // Only its head fits a row; escaped, this text grows by about half, so that head is still well
        // over 1,000 characters.
        if (logged[r].mayBeCut ? text.compare(0, cell.size(), cell) != 0 || CodePoints(cell) < 1000 : cell != text) {
            fail(at + "\"" + Shown(cell) + "\" (" + std::to_string(CodePoints(cell)) + " characters) for \"" + Shown(text) + "\"");
        }
    }
    if (failures == 0) std::printf("the browser shows %u rows, each as it was logged\n", rows.size());
    return failures ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"write") return Write(argv[2]);
    if (argc == 4 && std::wstring(argv[1]) == L"check") return Check(argv[2], ToUtf8(argv[3]));
    std::fprintf(stderr, "usage: log-in-browser write <folder> | check <dom file> <title>\n");
    return 2;
}
