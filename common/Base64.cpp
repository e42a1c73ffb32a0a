#include "common/Base64.h"

namespace Overlay::Common {

namespace {
int Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}
}  // namespace

bool DecodeBase64(const std::string& text, std::string* out) {
    out->clear();
    if (text.empty()) return true;
    if (text.size() % 4 != 0) return false;
    out->reserve(text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=') {
                // Only in the last group, only in its last two places, and nothing after it.
                if (!last || k < 2) return false;
                ++padding;
                v[k] = 0;
                continue;
            }
            if (padding > 0) return false;
            v[k] = Value(c);
            if (v[k] < 0) return false;
        }
        const unsigned bits = (unsigned(v[0]) << 18) | (unsigned(v[1]) << 12) | (unsigned(v[2]) << 6) | unsigned(v[3]);
        out->push_back(static_cast<char>((bits >> 16) & 0xFF));
        if (padding < 2) out->push_back(static_cast<char>((bits >> 8) & 0xFF));
        if (padding < 1) out->push_back(static_cast<char>(bits & 0xFF));
    }
    return true;
}

}  // namespace Overlay::Common
