#pragma once
#include <string>

#include <json/json.h>

// "qm-overlay.exe --diagnose[=<path>]": a JSON report of the machine as the host sees it, for
// support. It makes no window, loads no client library and leaves the log folder as it finds it.
namespace Overlay::Diagnostics {

constexpr const wchar_t* kKey = L"diagnose";

// Everything the report holds; loads system libraries only, each freed again.
Json::Value Collect();
// UTF-8, indented.
std::string Format(const Json::Value& report);
// Where the report goes without a path: the log folder, "qm-overlay-diagnostics_<date>_<time>.json".
std::wstring DefaultPath();
// False, with the reason in `error`, when `path` cannot be written.
bool WriteReport(const std::wstring& path, const std::string& text, std::wstring* error);
// The whole run: `path` empty for the default. 0, or 1 when the report cannot be written; on a
// console, the report's path or the reason it failed.
int Run(const std::wstring& path);

}  // namespace Overlay::Diagnostics
