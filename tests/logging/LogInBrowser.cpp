// The log as QA and support read it, in a browser. "write <folder>" logs rows whose text is hostile
// or not ASCII through the real logger; "check <dom file> <title>" reads the DOM that headless
// Chromium built from that file (--dump-dom) and says where it differs from what was logged.
// log_in_browser.sh runs the two around one browser start.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "common/StringUtils.h"
#include "logging/FlushLogger.h"

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
        {kSeverityMedium, kLogWarning, L"WindowManager::Title",
         L"<img src=x onerror=\"document.title='executed'\">Fish &amp; Chips", false},
        {kSeverityHigh, kLogError, L"WindowManager::Title", L"</td></tr><tr class=\"error\"><td>forged row", false},
        {kSeverityNormal, kLogInfo, L"WindowManager::Title", L"Caf\u00e9 \u00dcberh\u00f6he \u2013 R\u00e9sum\u00e9",
         false},
        {kSeverityNormal, kLogInfo, L"WindowManager::Title", L"\u5192\u9669\u4e4b\u65c5 \u7b2c\u4e8c\u7ae0", false},
        {kSeverityNormal, kLogInfo, L"WindowManager::Title", longText, true},
    };
}

int Write(const std::wstring& folder) {
    const std::wstring config =
        L"SEVERITY_NORMAL +\r\nSEVERITY_MEDIUM +\r\nSEVERITY_HIGH +\r\nERROR H\r\n";
    HANDLE file = ::CreateFileW((folder + L"\\QMLog.cfg").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("FAIL: cannot write QMLog.cfg\n");
        return 1;
    }
    DWORD written = 0;
    ::WriteFile(file, config.data(), static_cast<DWORD>(config.size() * sizeof(wchar_t)), &written, nullptr);
    ::CloseHandle(file);

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

// The page as the browser serialised it: elements seen, the title, and the table's rows as text.
struct Page {
    std::vector<std::string> elements;
    std::vector<std::string> attributes;
    std::string title;
    struct Row {
        std::vector<std::string> cells;
        bool data = false;  // has td cells, not only th
    };
    std::vector<Row> rows;
};

void AppendUtf8(std::string& out, uint32_t c) {
    wchar_t units[2];
    const size_t n = c >= 0x10000 ? 2 : 1;
    if (n == 2) {
        units[0] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
        units[1] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        units[0] = static_cast<wchar_t>(c);
    }
    out += Overlay::Common::ToUtf8(std::wstring(units, n));
}

// Text as the serialiser escapes it: &amp; &lt; &gt; &quot; &nbsp; (numeric ones too, to be safe).
std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '&') {
            out += s[i];
            continue;
        }
        const size_t end = s.find(';', i);
        const std::string name = end == std::string::npos ? std::string() : s.substr(i + 1, end - i - 1);
        if (name == "amp") out += '&';
        else if (name == "lt") out += '<';
        else if (name == "gt") out += '>';
        else if (name == "quot") out += '"';
        else if (name == "nbsp") AppendUtf8(out, 0xA0);
        else if (name.size() > 1 && name[0] == '#')
            AppendUtf8(out, static_cast<uint32_t>(std::strtoul(name.c_str() + 1 + (name[1] == 'x'), nullptr,
                                                               name[1] == 'x' ? 16 : 10)));
        else {
            out += '&';
            continue;
        }
        i = end;
    }
    return out;
}

bool IsVoid(const std::string& name) {
    for (const char* v : {"area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "source",
                          "track", "wbr"}) {
        if (name == v) return true;
    }
    return false;
}

Page Parse(const std::string& dom) {
    Page page;
    struct Open {
        std::string name;
        int row;   // the row this tr, td or th belongs to, -1 for others
    };
    std::vector<Open> open;
    const auto innermostCell = [&]() -> std::string* {
        for (auto it = open.rbegin(); it != open.rend(); ++it) {
            if ((it->name == "td" || it->name == "th") && it->row >= 0) return &page.rows[it->row].cells.back();
        }
        return nullptr;
    };
    const auto innermostRow = [&]() -> int {
        for (auto it = open.rbegin(); it != open.rend(); ++it) {
            if (it->name == "tr") return it->row;
        }
        return -1;
    };
    size_t i = 0;
    while (i < dom.size()) {
        if (dom.compare(i, 4, "<!--") == 0) {
            const size_t end = dom.find("-->", i);
            i = end == std::string::npos ? dom.size() : end + 3;
        } else if (dom.compare(i, 2, "<!") == 0) {
            const size_t end = dom.find('>', i);
            i = end == std::string::npos ? dom.size() : end + 1;
        } else if (dom.compare(i, 2, "</") == 0) {
            const size_t end = dom.find('>', i);
            const std::string name = dom.substr(i + 2, end - i - 2);
            while (!open.empty()) {
                const bool match = open.back().name == name;
                open.pop_back();
                if (match) break;
            }
            i = end == std::string::npos ? dom.size() : end + 1;
        } else if (dom[i] == '<' && i + 1 < dom.size() && std::isalpha(static_cast<unsigned char>(dom[i + 1]))) {
            size_t j = i + 1;
            while (j < dom.size() && dom[j] != ' ' && dom[j] != '>' && dom[j] != '/') ++j;
            const std::string name = dom.substr(i + 1, j - i - 1);
            page.elements.push_back(name);
            // Attributes are serialised as name="value", the value's quotes escaped.
            while (j < dom.size() && dom[j] != '>') {
                while (j < dom.size() && dom[j] == ' ') ++j;
                const size_t nameStart = j;
                while (j < dom.size() && dom[j] != '=' && dom[j] != ' ' && dom[j] != '>') ++j;
                if (j > nameStart) page.attributes.push_back(dom.substr(nameStart, j - nameStart));
                if (j < dom.size() && dom[j] == '=') {
                    const size_t close = dom.find('"', j + 2);
                    j = close == std::string::npos ? dom.size() : close + 1;
                }
            }
            i = j + 1;
            if (name == "script" || name == "style") {  // raw text up to the end tag
                const size_t end = dom.find("</" + name + ">", i);
                i = end == std::string::npos ? dom.size() : end + name.size() + 3;
                continue;
            }
            if (IsVoid(name)) continue;
            int row = -1;
            if (name == "tr") {
                page.rows.emplace_back();
                row = static_cast<int>(page.rows.size()) - 1;
            } else if ((name == "td" || name == "th") && (row = innermostRow()) >= 0) {
                page.rows[row].cells.emplace_back();
                if (name == "td") page.rows[row].data = true;
            }
            open.push_back({name, row});
        } else {
            const size_t end = dom.find('<', i + 1);
            const std::string text = Unescape(dom.substr(i, (end == std::string::npos ? dom.size() : end) - i));
            if (std::string* cell = innermostCell()) *cell += text;
            else if (!open.empty() && open.back().name == "title") page.title += text;
            i = end == std::string::npos ? dom.size() : end;
        }
    }
    return page;
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
    if (dom.empty()) {
        std::printf("FAIL: the browser gave no DOM\n");
        return 1;
    }
    const Page page = Parse(dom);
    int failures = 0;
    const auto fail = [&](const std::string& what) {
        std::printf("FAIL: %s\n", what.c_str());
        ++failures;
    };

    // Only the log's own markup: anything else is logged text that the browser read as markup.
    std::map<std::string, int> strangers;
    for (const std::string& name : page.elements) {
        bool known = false;
        for (const char* k : {"html", "head", "title", "style", "body", "table", "tbody", "tr", "th", "td"}) {
            known = known || name == k;
        }
        if (!known) ++strangers[name];
    }
    for (const auto& [name, count] : strangers) {
        fail(std::to_string(count) + " <" + name + "> element(s) in the page: logged text was read as markup");
    }
    if (page.title != title) {
        fail("the page's title is \"" + Shown(page.title) + "\", not \"" + title + "\": a logged script ran");
    }
    for (const std::string& attribute : page.attributes) {
        if (attribute == "data-executed") fail("a logged script changed the page (data-executed)");
    }

    const std::vector<LoggedRow> logged = LoggedRows();
    std::vector<const Page::Row*> rows;
    for (const Page::Row& row : page.rows) {
        if (row.data) rows.push_back(&row);
    }
    if (rows.size() != logged.size()) {
        fail(std::to_string(rows.size()) + " rows in the table for " + std::to_string(logged.size()) + " logged lines");
    }
    for (size_t r = 0; r < rows.size() && r < logged.size(); ++r) {
        const std::vector<std::string>& cells = rows[r]->cells;
        const std::string row = "row " + std::to_string(r + 1) + ": ";
        if (cells.size() != 5) {
            fail(row + std::to_string(cells.size()) + " cells, not 5");
            continue;
        }
        const std::string function = Overlay::Common::ToUtf8(logged[r].function);
        if (cells[3] != function) fail(row + "function \"" + Shown(cells[3]) + "\", logged \"" + function + "\"");
        const std::string text = Overlay::Common::ToUtf8(logged[r].text);
        if (logged[r].mayBeCut) {
            // Only its head fits a row; escaped, this text grows by about half, so that head is still
            // well over 1,000 characters.
            if (text.compare(0, cells[4].size(), cells[4]) != 0 || CodePoints(cells[4]) < 1000) {
                fail(row + "\"" + Shown(cells[4]) + "\" (" + std::to_string(CodePoints(cells[4])) +
                     " characters) is not the head of the logged text");
            }
        } else if (cells[4] != text) {
            fail(row + "\"" + Shown(cells[4]) + "\", logged \"" + Shown(text) + "\"");
        }
    }
    if (failures == 0) std::printf("the browser shows %zu rows, each as it was logged\n", rows.size());
    return failures ? 1 : 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"write") return Write(argv[2]);
    if (argc == 4 && std::wstring(argv[1]) == L"check") return Check(argv[2], Overlay::Common::ToUtf8(argv[3]));
    std::fprintf(stderr, "usage: log-in-browser write <folder> | check <dom file> <title>\n");
    return 2;
}
