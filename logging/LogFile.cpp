#include "logging/LogFile.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <iterator>
#include <utility>

#include "common/StringUtils.h"
#include "logging/RowFormat.h"

namespace Overlay::Logging {
namespace {

constexpr const wchar_t* kHeaderTop =
    L"<html>\t<head>\t\t\t<title>%s</title>\t\t<style type=\"text/css\">table.gridtable {\tfont-family: "
    L"verdana,arial,sans-serif;\tfont-size:11px;\tcolor:#333333;\tborder-width: 1px;\tborder-color: "
    L"#666666;\tborder-collapse: collapse;}table.gridtable th {\tborder-width: 1px;\tpadding: "
    L"8px;\tpadding-right:2px;\tpadding-left:2px;\tborder-style: solid;\tborder-color: #666666;\tbackground-color: "
    L"#dedede;\tfont-size:9px;}table.gridtable td {\tbackground: #ffffff;\tcolor:#000000;\tborder-width: "
    L"10px;\tpadding: 1px;\tpadding-right:14px;\tpadding-left:14px;\tborder-style: solid;\tborder-color: #666666;}";
constexpr const wchar_t* kRowStyleFormat =
    L"tr.%s td {background: %s;color:#000000;border-width: 0px;padding: 1px;border-style: solid;border-color: "
    L"#666666;padding-right:6px;padding-left:6px;}";
constexpr const wchar_t* kRowBackgrounds[] = {L"#f7f7f7", L"#aaaaaa", L"#ffffff", L"#ffff00", L"#ff0000", L"#FF7700"};
constexpr const wchar_t* kHeaderEnd =
    L"</style></head>\t<body bgcolor=\"#ffffff\" leftmargin=\"0\" topmargin=\"0\" marginwidth=\"0\" "
    L"marginheight=\"0\"></body><table class=\"gridtable\">\n<tr><th>Time</th><th>Thread</th><th>Line</th><th>"
    L"Function</th><th>Message</th></tr>\n";
constexpr const wchar_t* kFooter = L"<tr><th></th><th></th><th></th><th></th><th></th></tr>\t</table>\t</html>";

std::wstring Lower(std::wstring s) {
    if (!s.empty()) ::CharLowerBuffW(s.data(), static_cast<DWORD>(s.size()));
    return s;
}

}  // namespace

bool OutputFile::WriteRow(const wchar_t* text, size_t length) {
    // A UTF-16 unit takes at most three bytes (a pair four, a line feed two).
    const size_t most = length * 3;
    if (used_ + most > sizeof(buffer_)) Flush();
    if (used_ + most > sizeof(buffer_)) {
        ++lostUnsaid_;
        if (loss_) ++loss_->total;
        return false;
    }
    Encode(text, length);
    return true;
}

void OutputFile::Write(const wchar_t* text, size_t length) {
    for (size_t done = 0; done < length;) {
        size_t piece = std::min<size_t>(length - done, 1024);
        // A surrogate pair stays in one piece.
        if (done + piece < length && text[done + piece - 1] >= 0xD800 && text[done + piece - 1] <= 0xDBFF) ++piece;
        if (used_ + piece * 3 > sizeof(buffer_) && !Flush()) return;
        Encode(text + done, piece);
        done += piece;
    }
}

void OutputFile::Encode(const wchar_t* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        if (c == L'\n') {
            buffer_[used_++] = '\r';
            buffer_[used_++] = '\n';
            continue;
        }
        if (c < 0x80) {
            buffer_[used_++] = static_cast<char>(c);
            continue;
        }
        const size_t pair = (c >= 0xD800 && c <= 0xDBFF && i + 1 < length) ? 2 : 1;
        used_ += Overlay::Common::Utf16ToUtf8(text + i, pair, buffer_ + used_, sizeof(buffer_) - used_);
        i += pair - 1;
    }
}

bool OutputFile::Flush() {
    size_t done = 0;
    while (done < used_) {
        DWORD written = 0;
        if (!::WriteFile(handle_.Get(), buffer_ + done, static_cast<DWORD>(used_ - done), &written, nullptr) ||
            written == 0) {
            break;
        }
        done += written;
    }
    if (done < used_) {
        // Part of a row may have gone in: the file is cut back to its last whole row, and the
        // buffer is kept for the next try.
        if (done > 0) {
            LARGE_INTEGER at{};
            at.QuadPart = static_cast<LONGLONG>(fileEnd_);
            ::SetFilePointerEx(handle_.Get(), at, nullptr, FILE_BEGIN);
            ::SetEndOfFile(handle_.Get());
        }
        return false;
    }
    fileEnd_ += used_;
    used_ = 0;
    if (lostUnsaid_ > 0 && loss_) {
        loss_->pending += lostUnsaid_;
        lostUnsaid_ = 0;
    }
    return true;
}

LogFileName NameLogFile(const std::wstring& executablePath, const std::wstring& suffix) {
    const std::wstring& exe = executablePath;
    const size_t slash = exe.find_last_of(L'\\');
    const size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
    const size_t dot = exe.find_last_of(L'.');
    const size_t nameEnd = (dot == std::wstring::npos || dot < nameStart) ? exe.size() : dot;
    std::wstring name = exe.substr(nameStart, nameEnd - nameStart);
    // The suffix carries the game's process name from the command line: no separator or reserved
    // character of it may lead the file out of the log folder or make the name invalid.
    for (wchar_t c : suffix) {
        const bool reserved = c < 32 || std::wcschr(L"\\*?\"<>|", c) != nullptr;  // "/" and ":" become "-" below
        name += reserved ? L'_' : c;
    }

    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t stamp[64];
    FormatInto(stamp, std::size(stamp), L"_%02u/%02u/%02u_%02u:%02u:%02u", now.wMonth, now.wDay, now.wYear % 100,
               now.wHour, now.wMinute, now.wSecond);
    name += stamp;
    for (wchar_t& c : name) {
        if (c == L'/' || c == L':') c = L'-';
    }
    const wchar_t* kind = name.find(L"QMServer") != std::wstring::npos ? L".Server" : L".Game";
    const bool renameToHtmlOnClose = Lower(name).find(L"fortnite") != std::wstring::npos;
    return {std::move(name), kind, renameToHtmlOnClose};
}

std::unique_ptr<OutputFile> CreateLogFile(const std::wstring& folder, const LogFileName& name, std::wstring* fileName,
                                          std::wstring* filePath) {
    const wchar_t* extension = name.renameToHtmlOnClose ? L".log" : L".html";
    // A second run in the same second gets a file of its own ("_2", "_3", ... before the kind)
    // instead of truncating the first one's.
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int run = 1; run <= 100 && h == INVALID_HANDLE_VALUE; ++run) {
        *fileName = name.stem + (run == 1 ? L"" : L"_" + std::to_wstring(run)) + name.kind + extension;
        *filePath = folder + L"\\" + *fileName;
        h = ::CreateFileW(filePath->c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<OutputFile>(h);
}

void WriteHeader(OutputFile& file, const std::wstring& fileName, wchar_t* scratch, size_t scratchChars) {
    // The byte-order mark makes browsers read the file as UTF-8, whatever the page's header says.
    file.Write(L"\uFEFF", 1);
    file.Write(scratch, FormatInto(scratch, scratchChars, kHeaderTop, fileName.c_str()));
    file.Flush();
    size_t used = 0;
    for (size_t level = 0; level < std::size(kLevelNames); ++level) {
        used += FormatInto(scratch + used, scratchChars - used, kRowStyleFormat, kLevelNames[level].data(),
                           kRowBackgrounds[level]);
    }
    file.Write(scratch, used);
    file.Flush();
    file.Write(scratch, FormatInto(scratch, scratchChars, L"%s", kHeaderEnd));
    file.Flush();
}

void WriteFooter(OutputFile& file, wchar_t* scratch, size_t scratchChars) {
    file.Write(scratch, FormatInto(scratch, scratchChars, L"%s", kFooter));
    file.Flush();
}

}  // namespace Overlay::Logging
