#include "logging/RowFormat.h"

#include <windows.h>

#include <cwchar>
#include <iterator>

#include "logging/LogLimits.h"

namespace Overlay::Logging {
namespace {

constexpr const wchar_t* kRowEnd = L"</td></tr>\r\n";
constexpr size_t kRowEndChars = 12;
constexpr wchar_t kMessageCellStart[] = L"</td><td style=\"background-color:";
// What follows the function text up to the message: the cell's start, the colour, the tag's end.
constexpr size_t kMessageCellChars = std::size(kMessageCellStart) - 1 + 8 + 2;

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

}  // namespace

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
    EscapingWriter fn(row + w.n, kRowChars - w.n - kMessageCellChars - kRowEndChars - 1, SIZE_MAX);
    if (function) fn.Text(function, wcslen(function));
    w.n += fn.Finish();
    w.Text(kMessageCellStart);
    w.Hex(colour, 6);
    w.Text(L"\">");
    size_t n = w.n;
    // The message goes straight into the row, cut to the room that the row's closing markup leaves.
    const size_t room = kRowChars - n - kRowEndChars - 1;
    if (!format) format = L"";
    EscapingWriter message(row + n, room, kMessageChars - 1);
    va_list simple;
    va_copy(simple, args);
    if (FormatSimple(message, format, simple)) {
        n += message.Finish();
    } else {
        const size_t raw = FormatInto(row + n, room + 1 < kMessageChars ? room + 1 : kMessageChars,
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

}  // namespace Overlay::Logging
