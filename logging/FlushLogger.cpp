#include "logging/FlushLogger.h"

#include <atomic>
#include <cstring>
#include <cwchar>
#include <string_view>
#include <xmmintrin.h>

#include "common/Event.h"
#include "common/ProcessUtils.h"
#include "common/RegistrySettings.h"
#include "common/StringUtils.h"
#include "common/ThreadQueue.h"
#include "common/UniqueHandle.h"
#include "logging/Log.h"

#if defined(_MSC_VER)
// The logger's statics come before every other static object of the program.
#pragma warning(disable : 4073)
// The ring's shared counters are padded to lines of their own on purpose.
#pragma warning(disable : 4324)
#pragma init_seg(lib)
#define QM_INIT_FIRST
#define QM_INIT_SECOND
#else
#define QM_INIT_FIRST __attribute__((init_priority(101)))
#define QM_INIT_SECOND __attribute__((init_priority(102)))
#endif

namespace {

constexpr std::wstring_view kLevelNames[] = {L"debug", L"note", L"info", L"warning", L"error", L"critical"};
constexpr const wchar_t* kConfigFileName = L"QMLog.cfg";
constexpr struct {
    const wchar_t* key;
    LogSeverity bit;
} kSeverityKeys[] = {{L"SEVERITY_LOW", kSeverityLow},
                     {L"SEVERITY_NORMAL", kSeverityNormal},
                     {L"SEVERITY_MEDIUM", kSeverityMedium},
                     {L"SEVERITY_HIGH", kSeverityHigh},
                     {L"SEVERITY_CRITICAL", kSeverityCritical}};
constexpr const wchar_t* kLimitNotice = L"---- STOP ADDING LOG LINES DUE TO DEFINE LIMIT ----";
constexpr const wchar_t* kDropNotice = L"---- %d log lines dropped: the writer fell behind ----";
constexpr const wchar_t* kRowEnd = L"</td></tr>\r\n";
constexpr size_t kRowEndChars = 12;
constexpr wchar_t kMessageCellStart[] = L"</td><td style=\"background-color:";
// What follows the function text up to the message: the cell's start, the colour, the tag's end.
constexpr size_t kMessageCellChars = std::size(kMessageCellStart) - 1 + 8 + 2;

// The writer: looking at the ring, waiting at most kWriterPollMs because it wrote rows a moment ago,
// or asleep until a caller wakes it.
constexpr int32_t kWriterAwake = 0;
constexpr int32_t kWriterPolling = 1;
constexpr int32_t kWriterSleeping = 2;
constexpr DWORD kWriterPollMs = 200;
constexpr uint64_t kFillCheckRows = 16;
// How long Stop lets the writer finish what it holds before ending it by force.
constexpr DWORD kStopWaitMs = 2000;
// How long, in 1 ms steps, a stop waits for rows that callers are still formatting.
constexpr int kCallerWaits = 20;

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

// Bounded formatting that always terminates and never reports more than it wrote.
size_t FormatInto(wchar_t* out, size_t capacity, const wchar_t* format, va_list args) {
    if (capacity == 0) return 0;
    const int n = _vsnwprintf(out, capacity - 1, format, args);
    const size_t written = (n < 0 || static_cast<size_t>(n) >= capacity - 1) ? capacity - 1 : static_cast<size_t>(n);
    out[written] = L'\0';
    return written;
}

size_t FormatInto(wchar_t* out, size_t capacity, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const size_t n = FormatInto(out, capacity, format, args);
    va_end(args);
    return n;
}

// The row's time: "HH:MM:SS" of local time and the milliseconds. Converting to local time costs
// more than the rest of a row, so the text is kept for the second it belongs to and shared by all
// threads through a sequence counter (an odd count: being rewritten).
class RowClock {
public:
    struct Reading {
        int64_t second;         // since 1601, UTC
        uint32_t milliseconds;
        wchar_t text[8];        // HH:MM:SS, not terminated
    };

    void Read(Reading* r) {
        FILETIME ft;
        ::GetSystemTimePreciseAsFileTime(&ft);
        const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
        r->second = static_cast<int64_t>(t / 10000000ULL);
        r->milliseconds = static_cast<uint32_t>((t / 10000ULL) % 1000ULL);

        const uint32_t seq = sequence_.load(std::memory_order_acquire);
        if ((seq & 1) == 0 && second_.load(std::memory_order_relaxed) == r->second) {
            const uint64_t a = text_[0].load(std::memory_order_relaxed);
            const uint64_t b = text_[1].load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (sequence_.load(std::memory_order_relaxed) == seq) {
                std::memcpy(r->text, &a, sizeof(a));
                std::memcpy(r->text + 4, &b, sizeof(b));
                return;
            }
        }
        FILETIME local;
        SYSTEMTIME st{};
        ::FileTimeToLocalFileTime(&ft, &local);
        ::FileTimeToSystemTime(&local, &st);
        const unsigned parts[3] = {st.wHour, st.wMinute, st.wSecond};
        for (int i = 0; i < 3; ++i) {
            r->text[i * 3] = static_cast<wchar_t>(L'0' + parts[i] / 10 % 10);
            r->text[i * 3 + 1] = static_cast<wchar_t>(L'0' + parts[i] % 10);
            if (i < 2) r->text[i * 3 + 2] = L':';
        }
        uint32_t expected = seq;
        if ((seq & 1) == 0 && sequence_.compare_exchange_strong(expected, seq + 1, std::memory_order_acquire)) {
            uint64_t a = 0;
            uint64_t b = 0;
            std::memcpy(&a, r->text, sizeof(a));
            std::memcpy(&b, r->text + 4, sizeof(b));
            text_[0].store(a, std::memory_order_relaxed);
            text_[1].store(b, std::memory_order_relaxed);
            second_.store(r->second, std::memory_order_relaxed);
            sequence_.store(seq + 2, std::memory_order_release);
        }
    }

private:
    std::atomic<uint32_t> sequence_{0};
    std::atomic<int64_t> second_{-1};
    std::atomic<uint64_t> text_[2] = {};
};
static_assert(sizeof(wchar_t) == 2, "the time text is kept as two 64-bit words of UTF-16");

RowClock gRowClock;

// Appends for the row's markup, time and numbers. Each piece has a bounded length and the row
// keeps room for all of them, so they go in without a check per character.
struct RowWriter {
    wchar_t* out;
    size_t n = 0;

    template <size_t N>
    void Text(const wchar_t (&s)[N]) {
        Text(s, N - 1);
    }
    void Text(const wchar_t* s, size_t length) {
        wmemcpy(out + n, s, length);
        n += length;
    }
    void Put(wchar_t c) { out[n++] = c; }
    void Unsigned(uint32_t v) {
        wchar_t digits[10];
        size_t k = std::size(digits);
        do {
            digits[--k] = static_cast<wchar_t>(L'0' + v % 10);
            v /= 10;
        } while (v);
        Text(digits + k, std::size(digits) - k);
    }
    void Signed(int32_t v) {
        if (v < 0) {
            Put(L'-');
            Unsigned(0u - static_cast<uint32_t>(v));
        } else {
            Unsigned(static_cast<uint32_t>(v));
        }
    }
    void Hex(uint32_t v, size_t minDigits) {
        wchar_t digits[8];
        size_t k = std::size(digits);
        do {
            digits[--k] = L"0123456789ABCDEF"[v & 15];
            v >>= 4;
        } while (v);
        while (std::size(digits) - k < minDigits) digits[--k] = L'0';
        Text(digits + k, std::size(digits) - k);
    }
};

constexpr bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The characters that markup text must not carry as they are.
constexpr uint64_t kMarkupMask = (1ULL << L'&') | (1ULL << L'<') | (1ULL << L'>') | (1ULL << L'"');

bool NeedsEntity(wchar_t c) { return c < 64 && ((kMarkupMask >> c) & 1); }

// Copies the characters of s[0, count) that need no entity to `out`, up to the first that does;
// returns how many.
size_t CopyPlain(const wchar_t* s, size_t count, wchar_t* out) {
    size_t k = 0;
    while (k < count && !NeedsEntity(s[k])) {
        out[k] = s[k];
        ++k;
    }
    return k;
}

const wchar_t* EntityFor(wchar_t c, size_t* length) {
    switch (c) {
        case L'&': *length = 5; return L"&amp;";
        case L'<': *length = 4; return L"&lt;";
        case L'>': *length = 4; return L"&gt;";
        case L'"': *length = 6; return L"&quot;";
        default: *length = 1; return nullptr;
    }
}

// How much of `text` (up to `length`) fits in `room` once escaped: sets the characters kept and their
// escaped length, and returns whether any of them needs an entity. A high surrogate whose partner
// was cut away is left out.
bool MeasureEscaped(const wchar_t* text, size_t length, size_t room, size_t* kept, size_t* escaped) {
    size_t i = 0;
    size_t out = 0;
    bool entities = false;
    while (i < length) {
        const wchar_t c = text[i];
        size_t units = 1;
        size_t width = 1;
        if (NeedsEntity(c)) {
            EntityFor(c, &width);
        } else if (IsHighSurrogate(c)) {
            if (i + 1 == length) break;
            if (IsLowSurrogate(text[i + 1])) units = width = 2;
        }
        if (out + width > room) break;
        entities |= width > units;
        i += units;
        out += width;
    }
    *kept = i;
    *escaped = out;
    return entities;
}

// Escapes the `length` characters at `text` where they stand, keeping what fits in `room`; returns
// the escaped length. Text without markup characters, nearly all of it, is only scanned.
size_t EscapeInPlace(wchar_t* text, size_t length, size_t room) {
    size_t kept = 0;
    size_t escaped = 0;
    if (!MeasureEscaped(text, length, room, &kept, &escaped)) return escaped;
    // From the back, so that no character is overwritten before it has been moved.
    size_t to = escaped;
    for (size_t from = kept; from > 0;) {
        const wchar_t c = text[--from];
        size_t entityLength = 0;
        if (const wchar_t* entity = EntityFor(c, &entityLength)) {
            to -= entityLength;
            wmemcpy(text + to, entity, entityLength);
        } else {
            text[--to] = c;
        }
    }
    return escaped;
}

// Text written straight into the row, escaped as it goes: at most `maxRaw` characters of it, and
// only what fits in `room` once escaped; cut between characters.
class EscapingWriter {
public:
    EscapingWriter(wchar_t* out, size_t room, size_t maxRaw) : out_(out), room_(room), maxRaw_(maxRaw) {}

    bool Full() const { return full_; }

    void Text(const wchar_t* s, size_t length) {
        size_t i = 0;
        while (i < length && !full_) {
            // Characters that need no entity are copied in one go, as far as both limits allow.
            size_t take = length - i;
            if (take > room_ - n_) take = room_ - n_;
            if (take > maxRaw_ - raw_) take = maxRaw_ - raw_;
            const size_t k = CopyPlain(s + i, take, out_ + n_);
            n_ += k;
            raw_ += k;
            i += k;
            if (i == length) break;
            if (k == take) {
                Cut();
                break;
            }
            size_t width = 0;
            const wchar_t* entity = EntityFor(s[i], &width);
            if (n_ + width > room_) {
                Cut();
                break;
            }
            wmemcpy(out_ + n_, entity, width);
            n_ += width;
            ++raw_;
            ++i;
        }
    }

    void Unsigned(uint32_t v, uint32_t base, const wchar_t* digitSet) {
        wchar_t digits[12];
        size_t k = std::size(digits);
        do {
            digits[--k] = digitSet[v % base];
            v /= base;
        } while (v);
        Text(digits + k, std::size(digits) - k);
    }

    void Signed(int32_t v) {
        if (v < 0) {
            Text(L"-", 1);
            Unsigned(0u - static_cast<uint32_t>(v), 10, L"0123456789");
        } else {
            Unsigned(static_cast<uint32_t>(v), 10, L"0123456789");
        }
    }

    // The length written; a high surrogate left without its partner is taken back.
    size_t Finish() {
        if (n_ && IsHighSurrogate(out_[n_ - 1])) --n_;
        return n_;
    }

private:
    void Cut() { full_ = true; }

    wchar_t* out_;
    size_t room_;
    size_t maxRaw_;
    size_t n_ = 0;
    size_t raw_ = 0;
    bool full_ = false;
};

// The conversions the host's messages use (%d %i %u %x %X %c %s, each optionally with l, and %%),
// without the C library, which costs more than the rest of a row. False, with `args` partly
// consumed, for any other format: the caller then formats with the C library.
bool FormatSimple(EscapingWriter& w, const wchar_t* format, va_list args) {
    const wchar_t* p = format;
    for (;;) {
        const wchar_t* literal = p;
        while (*p && *p != L'%') ++p;
        if (p != literal) w.Text(literal, static_cast<size_t>(p - literal));
        if (!*p || w.Full()) return true;
        ++p;
        if (*p == L'l') ++p;  // long is int here, and %lc, %ls are what %c, %s are in wide formats
        switch (*p++) {
            case L'%': w.Text(L"%", 1); break;
            case L'd':
            case L'i': w.Signed(va_arg(args, int32_t)); break;
            case L'u': w.Unsigned(va_arg(args, uint32_t), 10, L"0123456789"); break;
            case L'x': w.Unsigned(va_arg(args, uint32_t), 16, L"0123456789abcdef"); break;
            case L'X': w.Unsigned(va_arg(args, uint32_t), 16, L"0123456789ABCDEF"); break;
            case L'c': {
                const auto c = static_cast<wchar_t>(va_arg(args, int));
                w.Text(&c, 1);
                break;
            }
            case L's': {
                const wchar_t* s = va_arg(args, const wchar_t*);
                if (!s) s = L"(null)";
                w.Text(s, wcslen(s));
                break;
            }
            default: return false;
        }
    }
}

// One row: "<tr class=...><td>time</td><td>thread</td><td>line</td><td>function</td>
// <td style=...>message</td></tr>\r\n" into `row` (kRowChars), the function and message escaped.
// Returns its length.
size_t FormatRow(wchar_t* row, const RowClock::Reading& now, int32_t level, uint32_t colour, const wchar_t* function,
                 uint32_t line, const wchar_t* format, va_list args) {
    RowWriter w{row};
    w.Text(L"<tr class=\"");
    w.Text(kLevelNames[level].data(), kLevelNames[level].size());
    w.Text(L"\"><td>");
    w.Text(now.text, 8);
    w.Put(L'.');
    w.Unsigned(now.milliseconds);
    w.Text(L"</td><td>");
    w.Hex(::GetCurrentThreadId(), 1);
    w.Text(L"</td><td>");
    w.Signed(static_cast<int32_t>(line));
    w.Text(L"</td><td>");
    // However long the function text, the row keeps room for the markup up to the message and for
    // its closing markup.
    EscapingWriter fn(row + w.n, FlushLogger::kRowChars - w.n - kMessageCellChars - kRowEndChars - 1, SIZE_MAX);
    if (function) fn.Text(function, wcslen(function));
    w.n += fn.Finish();
    w.Text(kMessageCellStart);
    w.Hex(colour, 6);
    w.Text(L"\">");
    size_t n = w.n;
    // The message goes straight into the row, cut to the room that the row's closing markup leaves.
    const size_t room = FlushLogger::kRowChars - n - kRowEndChars - 1;
    if (!format) format = L"";
    EscapingWriter message(row + n, room, FlushLogger::kMessageChars - 1);
    va_list simple;
    va_copy(simple, args);
    if (FormatSimple(message, format, simple)) {
        n += message.Finish();
    } else {
        const size_t raw = FormatInto(row + n, room + 1 < FlushLogger::kMessageChars ? room + 1 : FlushLogger::kMessageChars,
                                      format, args);
        n += EscapeInPlace(row + n, raw, room);
    }
    va_end(simple);
    wmemcpy(row + n, kRowEnd, kRowEndChars + 1);
    return n + kRowEndChars;
}

size_t FormatRowF(wchar_t* row, const RowClock::Reading& now, int32_t level, uint32_t colour, const wchar_t* function,
                  uint32_t line, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const size_t n = FormatRow(row, now, level, colour, function, line, format, args);
    va_end(args);
    return n;
}

bool EqualsNoCase(const wchar_t* a, size_t la, const wchar_t* b, size_t lb) {
    return ::CompareStringOrdinal(a, static_cast<int>(la), b, static_cast<int>(lb), TRUE) == CSTR_EQUAL;
}

std::wstring Lower(std::wstring s) {
    if (!s.empty()) ::CharLowerBuffW(s.data(), static_cast<DWORD>(s.size()));
    return s;
}

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
        while (n < FlushLogger::kConfigLineChars - 1) {
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
    wchar_t line_[FlushLogger::kConfigLineChars];
    size_t pos_ = 0;
    size_t end_ = 0;
    bool carry_ = false;
    char carryByte_ = 0;
    char pending_[4] = {};
    size_t pendingCount_ = 0;
};

// Text for the file goes to its end, in the file's own encoding, starting a line of its own.
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

// The value of `key` in the configuration file at `path`: true when a line holds the key, with the
// value's first character in `first` (0 when empty) and the whole value in `out` when it fits.
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
        if (lineKeyLength == 0 || lineKeyLength >= FlushLogger::kMaxKeyChars) continue;
        if (!EqualsNoCase(line + keyStart, lineKeyLength, key, keyLength)) continue;
        while (i < n && static_cast<uint16_t>(line[i]) <= 32) ++i;
        const size_t valueStart = i;
        while (i < n && static_cast<uint16_t>(line[i]) >= 32) ++i;
        size_t valueLength = i - valueStart;
        if (valueLength >= FlushLogger::kMaxValueChars) valueLength = 0;
        if (out && valueLength < outChars) {
            wmemcpy(out, line + valueStart, valueLength);
            out[valueLength] = L'\0';
        }
        *first = valueLength == 0 ? L'\0' : line[valueStart];
        return true;
    }
    return false;
}

}  // namespace

// The open log file: UTF-8 text, every line feed stored as CR LF, written through a buffer that
// only the writer thread (or the stopping thread, once the writer is gone) touches.
class FlushLogger::OutputFile {
public:
    explicit OutputFile(HANDLE h) : handle_(h) {}

    void Write(const wchar_t* text, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            if (used_ + 5 > sizeof(buffer_)) Flush();
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

    void Flush() {
        size_t done = 0;
        while (done < used_) {
            DWORD written = 0;
            if (!::WriteFile(handle_.Get(), buffer_ + done, static_cast<DWORD>(used_ - done), &written, nullptr) ||
                written == 0) {
                break;  // write failures are ignored
            }
            done += written;
        }
        used_ = 0;
    }

private:
    base::UniqueHandle handle_;
    size_t used_ = 0;
    char buffer_[65536];
};

// The hand-over from the logging threads to the writer: a fixed ring of row-sized slots. A caller
// claims the next slot with one compare-exchange, formats its row straight into it and publishes
// it; no caller waits for a lock or for another caller, and a full ring turns the row away. The
// writer (or Stop, once the writer has ended) takes the slots in the order they were claimed.
struct alignas(64) FlushLogger::RowSlot {
    std::atomic<uint64_t> sequence;  // position + 1: published; position + kRingSlots: free again
    size_t length;
    wchar_t text[kRowChars];
};

class FlushLogger::RowRing {
public:
    RowRing() : slots_(std::make_unique_for_overwrite<RowSlot[]>(kRingSlots)) {
        for (size_t i = 0; i < kRingSlots; ++i) slots_[i].sequence.store(i, std::memory_order_relaxed);
    }

    // Null when the ring is full.
    RowSlot* Claim(uint64_t* position) {
        uint64_t at = head_.load(std::memory_order_relaxed);
        for (;;) {
            RowSlot& slot = slots_[at % kRingSlots];
            const auto lag = static_cast<int64_t>(slot.sequence.load(std::memory_order_acquire) - at);
            if (lag == 0) {
                if (head_.compare_exchange_weak(at, at + 1, std::memory_order_relaxed)) {
                    *position = at;
                    Prefetch(slots_[(at + 1) % kRingSlots]);
                    return &slot;
                }
            } else if (lag < 0) {
                return nullptr;
            } else {
                at = head_.load(std::memory_order_relaxed);
            }
        }
    }

    // Sequentially consistent, so that the caller's look at the writer's state that follows cannot
    // be ordered before it (the writer announces its sleep, then looks at the ring).
    void Publish(RowSlot* slot, uint64_t position) { slot->sequence.store(position + 1, std::memory_order_seq_cst); }

    // Rows claimed and not yet taken, as seen by the caller that claimed `position` (the writer may
    // already have taken it).
    int64_t Used(uint64_t position) const {
        return static_cast<int64_t>(position + 1 - tail_.load(std::memory_order_relaxed));
    }
    uint64_t Claimed() const { return head_.load(std::memory_order_acquire); }

    // The consumer's side: one consumer at a time.
    RowSlot* Next() {
        const uint64_t at = tail_.load(std::memory_order_relaxed);
        RowSlot& slot = slots_[at % kRingSlots];
        return slot.sequence.load(std::memory_order_seq_cst) == at + 1 ? &slot : nullptr;
    }
    void Release(RowSlot* slot) {
        const uint64_t at = tail_.load(std::memory_order_relaxed);
        slot->sequence.store(at + kRingSlots, std::memory_order_release);
        tail_.store(at + 1, std::memory_order_relaxed);
    }
    uint64_t Taken() const { return tail_.load(std::memory_order_relaxed); }

    // The writer's state (kWriterAwake, ...), sequentially consistent for the same reason as
    // Publish.
    int32_t WriterState() const { return writerState_.load(); }
    void SetWriterState(int32_t state) { writerState_.store(state); }
    // True for the one caller that finds the writer waiting and is to wake it.
    bool TakeWakeUp() { return writerState_.exchange(kWriterAwake) != kWriterAwake; }

private:
    // The next caller's slot, as far as a typical row reaches: slots lie a page apart, so a row
    // otherwise starts with a walk of the page tables and misses the cache for every line.
    static void Prefetch(const RowSlot& slot) {
        const char* at = reinterpret_cast<const char*>(&slot);
        for (size_t offset = 0; offset < 512; offset += 64) _mm_prefetch(at + offset, _MM_HINT_T0);
    }

    std::unique_ptr<RowSlot[]> slots_;
    alignas(64) std::atomic<uint64_t> head_{0};
    alignas(64) std::atomic<uint64_t> tail_{0};
    // Written by the writer at every wake-up, read by every caller.
    alignas(64) std::atomic<int32_t> writerState_{kWriterAwake};
};

namespace {
LoggerOptions ProcessLoggerOptions() {
    LoggerOptions options;
    // A run that only reports on the machine must find the log folder as the user left it.
    options.leaveFolderAlone = base::process::CommandLineHasSwitch(L"diagnose");
    return options;
}

std::wstring ResolveFolder(const LoggerOptions& options) {
    if (!options.configuredFolder.empty()) return options.configuredFolder;
    wchar_t shell[FolderHandler::kShellFolderChars];
    FolderHandler::getShellFolder(options.shellFolderValue.c_str(), shell);
    return std::wstring(shell) + L"\\QuillMar\\Log";
}

bool IsFolder(const std::wstring& path) {
    const DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
}  // namespace

FlushLogger::FlushLogger() : FlushLogger(ProcessLoggerOptions()) {}

FlushLogger::FlushLogger(const LoggerOptions& options) : options_(options) {
    configuredFolder_ = options_.configuredFolder;
    if (!options_.leaveFolderAlone) Construct();
    constructed_ = kConstructedMark;
}

LogFolderState FlushLogger::Inspect(const LoggerOptions& options) {
    LogFolderState state;
    state.folder = ResolveFolder(options);
    state.folderExists = IsFolder(state.folder);
    const std::wstring config = state.folder + L"\\" + kConfigFileName;
    const DWORD a = ::GetFileAttributesW(config.c_str());
    state.configExists = a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (!state.configExists) return state;
    for (const auto& s : kSeverityKeys) {
        wchar_t first = 0;
        if (FindConfigValue(config, s.key, nullptr, 0, &first) && first == L'+') state.severityMask |= s.bit;
    }
    return state;
}

const wchar_t* FlushLogger::SeverityKey(LogSeverity bit) {
    for (const auto& s : kSeverityKeys) {
        if (s.bit == bit) return s.key;
    }
    return nullptr;
}

FlushLogger::~FlushLogger() { Stop(); }

void FlushLogger::Construct() {
    if (!scratch_) scratch_ = std::make_unique_for_overwrite<wchar_t[]>(kScratchChars);
    PrepareFolder();
    SeedConfiguration();
    ReadConfiguration();
}

std::wstring FlushLogger::ExecutablePath() const {
    if (!options_.executablePath.empty()) return options_.executablePath;
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    return std::wstring(path, n);
}

void FlushLogger::PrepareFolder() {
    LoggerOptions options = options_;
    options.configuredFolder = configuredFolder_;
    logFolder_ = ResolveFolder(options);
    // Every level in turn; the ones that exist already just fail.
    const size_t first = logFolder_.find(L'\\');
    for (size_t at = first == std::wstring::npos ? std::wstring::npos : logFolder_.find(L'\\', first + 1);
         at != std::wstring::npos; at = logFolder_.find(L'\\', at + 1)) {
        ::CreateDirectoryW(logFolder_.substr(0, at).c_str(), nullptr);
    }
    ::CreateDirectoryW(logFolder_.c_str(), nullptr);
}

// The client's own programs bring their configuration along: it is copied over the log folder's.
void FlushLogger::SeedConfiguration() {
    const std::wstring exe = ExecutablePath();
    wchar_t drive[_MAX_DRIVE] = {}, dir[_MAX_DIR] = {}, name[_MAX_FNAME] = {}, ext[_MAX_EXT] = {};
    if (_wsplitpath_s(exe.c_str(), drive, dir, name, ext) != 0) return;
    const size_t nameLength = wcslen(name);
    const bool seeded = EqualsNoCase(name, nameLength, L"quillmar", 8) ||
                        EqualsNoCase(name, nameLength, L"Quillmar.Overlay.Testers.WPF", 28);
    if (!seeded || logFolder_.empty()) return;

    std::wstring source = std::wstring(drive) + dir + kConfigFileName;
    base::UniqueHandle probe(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!probe) {
        HMODULE self = nullptr;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(&gLogger), &self);
        wchar_t modulePath[MAX_PATH * 2] = {};
        ::GetModuleFileNameW(self, modulePath, static_cast<DWORD>(std::size(modulePath)));
        std::wstring folder(modulePath);
        const size_t slash = folder.find_last_of(L'\\');
        folder = slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
        source = folder + kConfigFileName;
    }
    probe.Reset();
    const std::wstring target = logFolder_ + L"\\" + kConfigFileName;
    if (::CopyFileW(source.c_str(), target.c_str(), FALSE)) {
        FormatInto(scratch_.get(), kScratchChars, L"[%s]\t\t%s%s\r\n", name, drive, dir);
        AppendLine(target, scratch_.get());
    }
}

void FlushLogger::ReadConfiguration() {
    auto number = [this](const wchar_t* key) {
        wchar_t value[kMaxValueChars] = {};
        if (GetConfigValue(key, value, kMaxValueChars) == 0) return -1;
        const auto n = Overlay::Common::ParseInt32(value, wcslen(value));
        return (n && *n >= 0) ? *n : -1;
    };
    maxLinesPerFile_ = number(L"[MaxLinesPerFile]");
    maxLogFiles_ = number(L"[MaxLogFiles]");
    measurements_ = number(L"[Measurements]");
    criticalFlags_ = GetOutputFlags(L"CRITICAL");
    errorFlags_ = GetOutputFlags(L"ERROR");
    warningFlags_ = GetOutputFlags(L"WARNING");
    for (const auto& s : kSeverityKeys) {
        if (GetConfigValue(s.key, nullptr, 0) == L'+') severityMask_ |= s.bit;
    }
}

wchar_t FlushLogger::GetConfigValue(const wchar_t* key, wchar_t* out, uint32_t outChars) {
    if (out && outChars > 0) out[0] = L'\0';
    if (logFolder_.empty() || !key) return 0;
    const std::wstring path = logFolder_ + L"\\" + kConfigFileName;
    wchar_t first = 0;
    if (FindConfigValue(path, key, out, outChars, &first)) return first;
    AppendLine(path, std::wstring(key) + L"\r\n");
    return 0;
}

uint32_t FlushLogger::GetOutputFlags(const wchar_t* key) {
    switch (GetConfigValue(key, nullptr, 0)) {
        case L'A':
        case L'a': return 3;
        case L'H':
        case L'h': return 1;
        case L'V':
        case L'v': return 2;
        default: return 0;
    }
}

int FlushLogger::Start(const wchar_t* suffix) {
    if (IsRunning() || options_.leaveFolderAlone) return 0;
    const bool folderWasEmpty = logFolder_.empty();
    // Made once and kept until destruction: a caller may still be on its way through Log when a
    // Stop ends the run.
    if (!ring_) ring_ = std::make_unique<RowRing>();
    if (!wakeUp_) {
        wakeUp_ = std::make_unique<base::Event>();
        wakeUp_->Create();
    }
    if (!writerDone_) writerDone_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    // Rows that reached the ring after the last run had stopped belong to no file.
    while (RowSlot* slot = ring_->Next()) ring_->Release(slot);
    ::ResetEvent(writerDone_.Get());
    wakeUp_->Reset();
    ring_->SetWriterState(kWriterAwake);
    OpenLogFile(suffix);
    stopping_ = false;
    writer_ = std::make_shared<Common::Utils::ThreadQueue>();
    writer_->Start("Logger");
    writerPosted_ = writer_->Post([this] { WriteQueuedLines(); });
    if (folderWasEmpty) Construct();
    return 1;
}

uint32_t FlushLogger::WriterThreadId() const { return writer_ ? writer_->ThreadId() : 0; }

bool FlushLogger::OpenLogFile(const wchar_t* suffix) {
    const std::wstring exe = ExecutablePath();
    const size_t slash = exe.find_last_of(L'\\');
    const size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
    const size_t dot = exe.find_last_of(L'.');
    const size_t nameEnd = (dot == std::wstring::npos || dot < nameStart) ? exe.size() : dot;
    std::wstring name = exe.substr(nameStart, nameEnd - nameStart);
    suffix_ = suffix ? suffix : L"";
    // The suffix carries the game's process name from the command line: no separator or reserved
    // character of it may lead the file out of the log folder or make the name invalid.
    for (wchar_t c : suffix_) {
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
    renameToHtmlOnClose_ = Lower(name).find(L"fortnite") != std::wstring::npos;
    const wchar_t* extension = renameToHtmlOnClose_ ? L".log" : L".html";

    // A second run in the same second gets a file of its own ("_2", "_3", ... before the kind)
    // instead of truncating the first one's.
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int run = 1; run <= 100 && h == INVALID_HANDLE_VALUE; ++run) {
        fileName_ = name + (run == 1 ? L"" : L"_" + std::to_wstring(run)) + kind + extension;
        filePath_ = logFolder_ + L"\\" + fileName_;
        h = ::CreateFileW(filePath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (h == INVALID_HANDLE_VALUE) return false;
    auto file = std::make_unique<OutputFile>(h);

    // The byte-order mark makes browsers read the file as UTF-8, whatever the page's header says.
    file->Write(L"\uFEFF", 1);
    wchar_t* scratch = scratch_.get();
    file->Write(scratch, FormatInto(scratch, kScratchChars, kHeaderTop, fileName_.c_str()));
    file->Flush();
    size_t used = 0;
    for (size_t level = 0; level < std::size(kLevelNames); ++level) {
        used += FormatInto(scratch + used, kScratchChars - used, kRowStyleFormat, kLevelNames[level].data(),
                           kRowBackgrounds[level]);
    }
    file->Write(scratch, used);
    file->Flush();
    file->Write(scratch, FormatInto(scratch, kScratchChars, L"%s", kHeaderEnd));
    file->Flush();
    file_ = file.release();  // Stop takes it back
    return true;
}

void FlushLogger::Log(uint32_t severityMask, int32_t level, uint32_t colour, uint32_t outputFlags,
                      const wchar_t* function, uint32_t line, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    LogV(severityMask, level, colour, outputFlags, function, line, format, args);
    va_end(args);
}

void FlushLogger::LogV(uint32_t severityMask, int32_t level, uint32_t colour, uint32_t outputFlags,
                       const wchar_t* function, uint32_t line, const wchar_t* format, va_list args) {
    if ((severityMask & severityMask_) == 0 || !IsRunning()) return;
    if ((outputFlags & 1) == 0 || LogMute::Active()) return;
    if (const int32_t limit = maxLinesPerFile_.load(std::memory_order_relaxed); limit != -1 && LinesWritten() >= limit) {
        if (LinesWritten() == limit) {
            maxLinesPerFile_ = -1;
            Log(kSeverityAll, kLogInfo, 0xFFFFFF, 0xFFFFFFFF, L"", static_cast<uint32_t>(-1), L"%s", kLimitNotice);
            maxLinesPerFile_ = 0;
        }
        return;
    }

    RowClock::Reading now;
    gRowClock.Read(&now);
    if (level < kLogDebug || level > kLogCritical) level = kLogInfo;

    // The first row with room after a loss says how many went before it.
    uint64_t position = 0;
    RowSlot* slot = nullptr;
    if (droppedPending_.load(std::memory_order_relaxed) == 0 || ReportDrops()) slot = ring_->Claim(&position);
    if (!slot) {
        ++droppedPending_;
        ++droppedTotal_;
        return;
    }
    slot->length = FormatRow(slot->text, now, level, colour, function, line, format, args);
    Publish(slot, position);
}

int32_t FlushLogger::LinesWritten() const {
    // Every claimed slot holds an accepted row, but for the drop reports: no counter of its own for
    // callers to contend on.
    return ring_ ? static_cast<int32_t>(ring_->Claimed() - reportRows_.load()) : 0;
}

bool FlushLogger::ReportDrops() {
    const int32_t dropped = droppedPending_.exchange(0);
    if (dropped == 0) return true;
    RowClock::Reading now;
    gRowClock.Read(&now);
    uint64_t position = 0;
    RowSlot* slot = ring_->Claim(&position);
    if (!slot) {
        droppedPending_ += dropped;
        return false;
    }
    ++reportRows_;
    slot->length =
        FormatRowF(slot->text, now, kLogInfo, 0xFFFFFF, L"", static_cast<uint32_t>(-1), kDropNotice, dropped);
    Publish(slot, position);
    return true;
}

void FlushLogger::Publish(RowSlot* slot, uint64_t position) {
    ring_->Publish(slot, position);
    // A writer that polls finds the row by itself unless the ring is filling up (looked at every
    // kFillCheckRows rows: the writer's position is on a line that it keeps writing); one asleep
    // needs a wake-up. Either way only one caller makes the system call.
    const int32_t state = ring_->WriterState();
    if (state == kWriterAwake) return;
    if (state == kWriterPolling &&
        (position % kFillCheckRows != 0 || ring_->Used(position) < static_cast<int64_t>(kRingSlots / 2))) {
        return;
    }
    if (ring_->TakeWakeUp()) wakeUp_->Signal();
}

size_t FlushLogger::DrainRing(OutputFile* file, bool waitForCallers) {
    // Only up to the rows claimed by now: callers that keep logging cannot hold the writer here.
    const uint64_t end = ring_->Claimed();
    size_t written = 0;
    int waits = 0;
    while (ring_->Taken() < end) {
        RowSlot* slot = ring_->Next();
        if (!slot) {
            // A caller that claimed a slot publishes it within microseconds, unless it was suspended.
            if (!waitForCallers || ++waits > kCallerWaits) break;
            ::Sleep(1);
            continue;
        }
        file->Write(slot->text, slot->length);
        ring_->Release(slot);
        ++written;
    }
    return written;
}

void FlushLogger::WriteQueuedLines() {
    struct Done {
        HANDLE event;
        ~Done() { ::SetEvent(event); }
    } done{writerDone_.Get()};
    OutputFile* file = file_.load();
    if (!file || !wakeUp_) return;
    for (;;) {
        const size_t written = DrainRing(file, false);
        if (written) file->Flush();
        if (stopping_) break;
        // Announce the wait, then look once more: a caller that published before the announcement
        // is seen here, one that published after it sees the announcement.
        const int32_t state = written ? kWriterPolling : kWriterSleeping;
        ring_->SetWriterState(state);
        if (ring_->Next() || stopping_) {
            ring_->SetWriterState(kWriterAwake);
            continue;
        }
        wakeUp_->Wait(state == kWriterPolling ? kWriterPollMs : INFINITE);
        ring_->SetWriterState(kWriterAwake);
    }
    DrainRing(file, true);
    file->Flush();
}

void FlushLogger::Flush() {
    if (!IsRunning()) return;
    if (wakeUp_) wakeUp_->Signal();
}

void FlushLogger::Stop() {
    OutputFile* file = file_.load();
    if (!file) {
        // A writer started without a file ends here as well: killed later, at destruction, it
        // could be caught still starting up, holding the loader's or the heap's lock.
        if (writer_ && !writer_->Stop()) writer_->Kill();
        return;
    }
    stopping_ = true;
    if (wakeUp_) wakeUp_->Signal();
    // The writer first writes what the ring holds; only one stuck in a write is ended by force.
    if (writerPosted_ && writer_ && writer_->ThreadId() != ::GetCurrentThreadId()) {
        ::WaitForSingleObject(writerDone_.Get(), kStopWaitMs);
    }
    if (writer_ && !writer_->Stop()) writer_->Kill();
    // Rows published after the writer's last look, and the count of rows that found no room.
    DrainRing(file, true);
    if (ReportDrops()) DrainRing(file, false);
    file->Flush();
    file->Write(scratch_.get(), FormatInto(scratch_.get(), kScratchChars, L"%s", kFooter));
    file->Flush();
    {
        // Closed before a rename.
        const std::unique_ptr<OutputFile> closing(file_.exchange(nullptr));
    }
    if (renameToHtmlOnClose_) ::MoveFileW(filePath_.c_str(), (filePath_ + L".html").c_str());
}

void FlushLogger::WriteOutAtCrash(uint32_t waitMs) {
    OutputFile* file = file_.exchange(nullptr);
    if (!file) return;
    stopping_ = true;
    if (wakeUp_) wakeUp_->Signal();
    const bool onWriter = writer_ && writer_->ThreadId() == ::GetCurrentThreadId();
    // A writer stuck in a write is left to it: two threads must not write the file at once.
    const bool writerDone = !writerPosted_ || onWriter || ::WaitForSingleObject(writerDone_.Get(), waitMs) == WAIT_OBJECT_0;
    // Its buffer and its place in the file are the writer's while it may still write: without the
    // writer's end the file is left as the writer leaves it, whole rows but no footer.
    if (!writerDone) return;
    DrainRing(file, true);
    if (ReportDrops()) DrainRing(file, false);
    file->Write(scratch_.get(), FormatInto(scratch_.get(), kScratchChars, L"%s", kFooter));
    file->Flush();
    if (renameToHtmlOnClose_) ::MoveFileW(filePath_.c_str(), (filePath_ + L".html").c_str());
}

FlushLogger gLogger QM_INIT_FIRST;

namespace {
LogFlagWords ReadFlagWords() {
    LogFlagWords words;
    gLogger.GetOutputFlags(L"FlushLogger");
    gLogger.GetOutputFlags(L"FlushLogger_Fast");
    words.folderHandler = gLogger.GetOutputFlags(L"FolderHandler");
    gLogger.GetOutputFlags(L"FolderHandler_Fast");
    words.hooksManager = gLogger.GetOutputFlags(L"OOPOHooksManager");
    gLogger.GetOutputFlags(L"OOPOHooksManager_Fast");
    words.inputBlockerProxy = gLogger.GetOutputFlags(L"InputBlockerProxy");
    gLogger.GetOutputFlags(L"InputBlockerProxy_Fast");
    return words;
}
}  // namespace

LogFlagWords gLogFlagWords QM_INIT_SECOND = ReadFlagWords();

namespace {
// One thread at a time mutes (the window thread, while it retries): a thread id, not a
// thread-local, keeps the check free of the first-use allocation thread-locals make here.
std::atomic<DWORD> gMutedThread{0};
}  // namespace

LogMute::LogMute() : previous_(gMutedThread.exchange(::GetCurrentThreadId())) {}
LogMute::~LogMute() { gMutedThread = previous_; }
bool LogMute::Active() {
    const DWORD muted = gMutedThread.load(std::memory_order_relaxed);
    return muted != 0 && muted == ::GetCurrentThreadId();
}
