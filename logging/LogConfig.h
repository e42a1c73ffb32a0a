#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace Overlay::Logging {

// In the log folder: what is logged, one "key value" a line.
inline constexpr const wchar_t* kConfigFileName = L"QMLog.cfg";

bool EqualsNoCase(const wchar_t* a, size_t la, const wchar_t* b, size_t lb);

// Whether a line of the file at `path` holds the key, read only: `first` gets the value's first
// character (0 when empty), `out` the whole value when it fits.
bool FindConfigValue(const std::wstring& path, const wchar_t* key, wchar_t* out, uint32_t outChars, wchar_t* first);

// First character of the key's value in the configuration file at `path` (0: missing or empty);
// `out` gets the whole value when it fits. A missing key is appended to the file.
wchar_t ConfigValue(const std::wstring& path, const wchar_t* key, wchar_t* out, uint32_t outChars);

// Text for the file goes to its end, in the file's own encoding, starting a line of its own.
void AppendLine(const std::wstring& path, const std::wstring& line);

}  // namespace Overlay::Logging
