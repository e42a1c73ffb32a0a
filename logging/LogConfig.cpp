#include "logging/LogConfig.h"

#include <cstring>
#include <cwchar>

#include "common/StringUtils.h"
#include "common/UniqueHandle.h"
#include "logging/LogLimits.h"

namespace Overlay::Logging {
namespace {

// Walks "QMLog.cfg" the way a 128-character line buffer reads it: a line ends after its line feed
// or after 127 characters, whichever comes first. The host writes the file as UTF-16LE; saved by an
// editor it may be UTF-8, which is read as such (a byte-order mark of either is skipped).
class ConfigLines {
public:
    explicit ConfigLines(const std::wstring& path)
        : file_(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {
        if (file_) utf8_ = DetectUtf8(file_.Get());
    }

    // UTF-16 text of this file's keys has a zero in every second byte; an empty file is the host's own.
    // Leaves the file positioned after a byte-order mark.
    static bool DetectUtf8(HANDLE file) {
        unsigned char head[3] = {};
        DWORD got = 0;
        if (!::ReadFile(file, head, sizeof(head), &got, nullptr)) got = 0;
        LONG skip = 0;
        bool utf8 = false;
        if (got >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
            skip = 2;
        } else if (got == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
            skip = 3;
            utf8 = true;
        } else {
            utf8 = got == 1 || (got >= 2 && head[1] != 0);
        }
        ::SetFilePointer(file, skip, nullptr, FILE_BEGIN);
        return utf8;
    }

    // The next line (not terminated), or false at the end of the file.
    bool Next(const wchar_t** line, size_t* length) {
        if (!file_) return false;
        size_t n = 0;
        while (n < kConfigLineChars - 1) {
            if (pos_ == end_ && !(utf8_ ? FillUtf8() : Fill())) break;
            const wchar_t c = buffer_[pos_++];
            line_[n++] = c;
            if (c == L'\n') break;
        }
        if (n == 0) return false;
        // A NUL ends the text of the line, as it would for a C string.
        size_t text = 0;
        while (text < n && line_[text] != L'\0') ++text;
        *line = line_;
        *length = text;
        return true;
    }

private:
    bool Fill() {
        DWORD got = 0;
        if (carry_) {
            reinterpret_cast<char*>(buffer_)[0] = carryByte_;
        }
        char* dst = reinterpret_cast<char*>(buffer_) + (carry_ ? 1 : 0);
        if (!::ReadFile(file_.Get(), dst, static_cast<DWORD>(sizeof(buffer_) - (carry_ ? 1 : 0)), &got, nullptr) ||
            got == 0) {
            return false;  // a trailing odd byte is not a character
        }
        const size_t bytes = got + (carry_ ? 1 : 0);
        carry_ = (bytes % 2) != 0;
        if (carry_) carryByte_ = reinterpret_cast<char*>(buffer_)[bytes - 1];
        pos_ = 0;
        end_ = bytes / 2;
        return end_ > 0 || Fill();
    }

    // A sequence cut by the end of a read waits for the next one; invalid bytes become U+FFFD.
    bool FillUtf8() {
        char bytes[kUtf8Read + 4];
        std::memcpy(bytes, pending_, pendingCount_);
        DWORD got = 0;
        if (!::ReadFile(file_.Get(), bytes + pendingCount_, kUtf8Read, &got, nullptr) || got == 0) return false;
        const size_t total = pendingCount_ + got;
        size_t complete = total;
        size_t tail = 0;
        while (tail < 3 && tail < total && (static_cast<unsigned char>(bytes[total - 1 - tail]) & 0xC0) == 0x80) ++tail;
        if (tail < total) {
            const auto lead = static_cast<unsigned char>(bytes[total - 1 - tail]);
            const size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
            if (need > tail + 1) complete = total - 1 - tail;
        }
        pendingCount_ = total - complete;
        std::memcpy(pending_, bytes + complete, pendingCount_);
        const int n = complete == 0 ? 0
                                    : ::MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(complete), buffer_,
                                                            static_cast<int>(sizeof(buffer_) / sizeof(buffer_[0])));
        pos_ = 0;
        end_ = n > 0 ? static_cast<size_t>(n) : 0;
        return end_ > 0 || FillUtf8();
    }

    static constexpr DWORD kUtf8Read = 8192;
    base::UniqueHandle file_;
    bool utf8_ = false;
    wchar_t buffer_[16384];
    wchar_t line_[kConfigLineChars];
    size_t pos_ = 0;
    size_t end_ = 0;
    bool carry_ = false;
    char carryByte_ = 0;
    char pending_[4] = {};
    size_t pendingCount_ = 0;
};

}  // namespace

bool EqualsNoCase(const wchar_t* a, size_t la, const wchar_t* b, size_t lb) {
    return ::CompareStringOrdinal(a, static_cast<int>(la), b, static_cast<int>(lb), TRUE) == CSTR_EQUAL;
}

bool FindConfigValue(const std::wstring& path, const wchar_t* key, wchar_t* out, uint32_t outChars, wchar_t* first) {
    const size_t keyLength = wcslen(key);
    ConfigLines lines(path);
    const wchar_t* line = nullptr;
    size_t n = 0;
    while (lines.Next(&line, &n)) {
        size_t i = 0;
        while (i < n && static_cast<uint16_t>(line[i]) <= 32) ++i;
        const size_t keyStart = i;
        while (i < n && static_cast<uint16_t>(line[i]) > 32) ++i;
        const size_t lineKeyLength = i - keyStart;
        if (lineKeyLength == 0 || lineKeyLength >= kMaxKeyChars) continue;
        if (!EqualsNoCase(line + keyStart, lineKeyLength, key, keyLength)) continue;
        while (i < n && static_cast<uint16_t>(line[i]) <= 32) ++i;
        const size_t valueStart = i;
        while (i < n && static_cast<uint16_t>(line[i]) >= 32) ++i;
        size_t valueLength = i - valueStart;
        if (valueLength >= kMaxValueChars) valueLength = 0;
        if (out && valueLength < outChars) {
            wmemcpy(out, line + valueStart, valueLength);
            out[valueLength] = L'\0';
        }
        *first = valueLength == 0 ? L'\0' : line[valueStart];
        return true;
    }
    return false;
}

wchar_t ConfigValue(const std::wstring& path, const wchar_t* key, wchar_t* out, uint32_t outChars) {
    wchar_t first = 0;
    if (FindConfigValue(path, key, out, outChars, &first)) return first;
    AppendLine(path, std::wstring(key) + L"\r\n");
    return 0;
}

void AppendLine(const std::wstring& path, const std::wstring& line) {
    base::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const bool utf8 = ConfigLines::DetectUtf8(file.Get());
    const LONG unit = utf8 ? 1 : 2;
    LARGE_INTEGER size{};
    bool lineOpen = false;
    if (::GetFileSizeEx(file.Get(), &size) && size.QuadPart >= unit) {
        char last[2] = {};
        DWORD got = 0;
        ::SetFilePointer(file.Get(), -unit, nullptr, FILE_END);
        lineOpen = ::ReadFile(file.Get(), last, static_cast<DWORD>(unit), &got, nullptr) && got == static_cast<DWORD>(unit) &&
                   !(last[0] == '\n' && (utf8 || last[1] == 0));
    }
    const std::wstring text = (lineOpen ? L"\r\n" : L"") + line;
    std::string bytes;
    if (utf8) {
        bytes = Overlay::Common::ToUtf8(text);
    } else {
        bytes.assign(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    }
    ::SetFilePointer(file.Get(), 0, nullptr, FILE_END);
    DWORD written = 0;
    ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace Overlay::Logging
