#pragma once
#include <cstdint>
#include <string>

namespace base::process {

// The id of the first running process whose executable file name equals `exeName` in any letter
// case (a bare name with extension: a path never matches); 0 when there is none, and for an empty
// name.
uint32_t FindProcessIdByName(const wchar_t* exeName);

// Whether `commandLine` (program path first) holds the switch `name` (lower case, without its
// prefix), by the host's rules: "--", "-" or "/" in front, letters in any case, an optional
// "=value", none after a lone "--". For what must be known before the command line is parsed.
bool CommandLineHasSwitch(const std::wstring& commandLine, const wchar_t* name);
// The same for this process's command line.
bool CommandLineHasSwitch(const wchar_t* name);

}  // namespace base::process
