#include "core/CommandLineArgs.h"

#include <windows.h>
#include <shellapi.h>

namespace {

constexpr const wchar_t* kPrefixes[] = {L"--", L"-", L"/"};
constexpr const wchar_t* kTerminator = L"--";
constexpr wchar_t kSeparator = L'=';
constexpr const wchar_t* kWhiteSpace = L" \t\n\v\f\r";

std::wstring Trim(const std::wstring& s) {
    const size_t first = s.find_first_not_of(kWhiteSpace);
    if (first == std::wstring::npos) return std::wstring();
    const size_t last = s.find_last_not_of(kWhiteSpace);
    return s.substr(first, last - first + 1);
}

// Length of the first prefix in table order that starts `s`, 0 for none.
size_t PrefixLength(const std::wstring& s) {
    for (const wchar_t* prefix : kPrefixes) {
        const size_t n = wcslen(prefix);
        if (s.compare(0, n, prefix) == 0) return n;
    }
    return 0;
}

bool IsSwitch(const std::wstring& token) {
    const size_t n = PrefixLength(token);
    return n > 0 && token.size() > n;
}

std::wstring AsciiLower(std::wstring s) {
    for (wchar_t& c : s) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return s;
}

}  // namespace

CommandLineArgs::CommandLineArgs() : arguments_(1) {}

void CommandLineArgs::Parse(const std::wstring& text) {
    arguments_.assign(1, std::wstring());
    keys_.clear();
    switchInsertIndex_ = 1;

    const std::wstring trimmed = Trim(text);
    if (trimmed.empty()) return;

    int count = 0;
    LPWSTR* tokens = ::CommandLineToArgvW(trimmed.c_str(), &count);
    if (!tokens) return;

    arguments_[0] = Trim(tokens[0]);
    bool parseSwitches = true;
    for (int i = 1; i < count; ++i) {
        const std::wstring token = Trim(tokens[i]);
        if (token == kTerminator) parseSwitches = false;
        if (parseSwitches && IsSwitch(token)) {
            const size_t eq = token.find(kSeparator);
            if (eq == std::wstring::npos) {
                AddSwitch(token, std::wstring());
            } else {
                AddSwitch(token.substr(0, eq), token.substr(eq + 1));
            }
        } else {
            arguments_.push_back(token);
        }
    }
    ::LocalFree(tokens);
}

void CommandLineArgs::AddSwitch(const std::wstring& switchString, const std::wstring& value) {
    const std::wstring lowered = AsciiLower(switchString);
    const size_t prefix = PrefixLength(lowered);
    keys_[lowered.substr(prefix)] = value;

    std::wstring canonical = lowered;
    if (!value.empty()) {
        canonical += kSeparator;
        canonical += value;
    }
    arguments_.insert(arguments_.begin() + switchInsertIndex_, std::move(canonical));
    ++switchInsertIndex_;
}

bool CommandLineArgs::HasKey(const std::wstring& name) const { return keys_.find(name) != keys_.end(); }

std::wstring CommandLineArgs::GetValue(const std::wstring& name) const {
    const auto it = keys_.find(name);
    return it == keys_.end() ? std::wstring() : it->second;
}

std::wstring CommandLineArgs::JoinedArguments() const {
    std::wstring joined;
    for (size_t i = 1; i < arguments_.size(); ++i) {
        if (i > 1) joined += L' ';
        const std::wstring& element = arguments_[i];
        // Elements before the insertion index are the switches; only their values get quoted.
        const size_t eq = i < switchInsertIndex_ ? element.find(kSeparator) : std::wstring::npos;
        if (eq != std::wstring::npos) {
            joined += element.substr(0, eq + 1);
            joined += Overlay::Common::QuoteArgument(element.substr(eq + 1));
        } else if (i < switchInsertIndex_) {
            joined += element;
        } else {
            joined += Overlay::Common::QuoteArgument(element);
        }
    }
    return joined;
}

namespace Overlay::Common {

std::wstring QuoteArgument(const std::wstring& text) {
    if (!text.empty() && text.find_first_of(L" \t\n\v\"\\") == std::wstring::npos) return text;
    std::wstring quoted = L"\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < text.size() && text[i] == L'\\') {
            ++backslashes;
            ++i;
        }
        if (i == text.size()) {
            // Doubled, so that the closing quote stays a quote.
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        if (text[i] == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        quoted += text[i];
    }
    quoted += L'"';
    return quoted;
}

int32_t GetIntValue(const CommandLineArgs& cmd, const std::wstring& key) {
    return ParseInt32(cmd.GetValue(key)).value_or(0);
}

}  // namespace Overlay::Common
