#include "common/StringUtils.h"

#include <climits>
#include <cwctype>

namespace Overlay::Common {

std::optional<int32_t> ParseInt32(const wchar_t* text, size_t length) {
    size_t i = 0;
    while (i < length && std::iswspace(text[i])) ++i;
    bool negative = false;
    if (i < length && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    if (i >= length || text[i] < L'0' || text[i] > L'9') return std::nullopt;
    int64_t value = 0;
    for (; i < length && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = value * 10 + (text[i] - L'0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

size_t Utf16ToUtf8(const wchar_t* text, size_t length, char* out, size_t capacity) {
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        uint32_t c = static_cast<uint16_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
            const uint32_t low = static_cast<uint16_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        const size_t need = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (n + need > capacity) break;
        switch (need) {
            case 1: out[n++] = static_cast<char>(c); break;
            case 2:
                out[n++] = static_cast<char>(0xC0 | (c >> 6));
                out[n++] = static_cast<char>(0x80 | (c & 0x3F));
                break;
            case 3:
                out[n++] = static_cast<char>(0xE0 | (c >> 12));
                out[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out[n++] = static_cast<char>(0x80 | (c & 0x3F));
                break;
            default:
                out[n++] = static_cast<char>(0xF0 | (c >> 18));
                out[n++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                out[n++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out[n++] = static_cast<char>(0x80 | (c & 0x3F));
                break;
        }
    }
    return n;
}

std::string ToUtf8(const std::wstring& text) {
    std::string out(text.size() * 3, '\0');
    out.resize(Utf16ToUtf8(text.data(), text.size(), out.data(), out.size()));
    return out;
}

}  // namespace Overlay::Common
