#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/StringUtils.h"

// The parsed command line. The process's own is made and parsed by the entry point (HostState).
class CommandLineArgs {
public:
    CommandLineArgs();

    // Replaces the whole content with what `text` holds.
    void Parse(const std::wstring& text);

    // Names are compared exactly with the stored (lower-case) keys.
    bool HasKey(const std::wstring& name) const;
    std::wstring GetValue(const std::wstring& name) const;

    // The arguments without the program path, each written so that splitting gives it back.
    std::wstring JoinedArguments() const;

    const std::vector<std::wstring>& Arguments() const { return arguments_; }
    const std::map<std::wstring, std::wstring>& Keys() const { return keys_; }

private:
    void AddSwitch(const std::wstring& switchString, const std::wstring& value);

    std::vector<std::wstring> arguments_;
    std::map<std::wstring, std::wstring> keys_;
    // Where the next switch goes: switches stay between the program path and the positionals.
    uint32_t switchInsertIndex_ = 1;
};

namespace Overlay::Common {

// The value of `key` as a number; 0 when missing or not a number.
int32_t GetIntValue(const CommandLineArgs& cmd, const std::wstring& key);

// Quotes one argument the way CommandLineToArgvW splits it back.
std::wstring QuoteArgument(const std::wstring& text);

}  // namespace Overlay::Common
