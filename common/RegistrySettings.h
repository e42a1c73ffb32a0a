#pragma once
#include <windows.h>

#include <cstdint>

// Per-user switches under HKEY_CURRENT_USER. Read when needed, never written.
namespace Overlay::Common::Registry {

constexpr const wchar_t* kOverlayKey = L"Software\\QuillmarQA\\Overlay";
constexpr const wchar_t* kClientKey = L"Software\\Quillmar\\Quillmar";

constexpr const wchar_t* kEnableOOPGLog = L"EnableOOPGLog";
constexpr const wchar_t* kShowBackgroundWindow = L"OOPOShowBackgourndWindow";
constexpr const wchar_t* kSimulateInitError = L"OOPOSimulateInitError";
constexpr const wchar_t* kCreateCrashDumps = L"CreateCrashDumps";
constexpr const wchar_t* kOverlaySendExceptions = L"OverlaySendExceptions";

// A DWORD (or a 4-byte binary) value; false for a missing key or value, another type or size, or 0.
bool ReadSwitch(const wchar_t* subKey, const wchar_t* valueName);

// The DWORD itself, 0 when it cannot be read as one.
uint32_t ReadDword(const wchar_t* subKey, const wchar_t* valueName);
// The same read, telling a missing value (false) from a 0.
bool TryReadDword(const wchar_t* subKey, const wchar_t* valueName, uint32_t* value);

}  // namespace Overlay::Common::Registry

namespace FolderHandler {

constexpr size_t kShellFolderChars = 260;
constexpr const wchar_t* kShellFoldersKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// The named value of the user's shell folders (e.g. "Local AppData"), environment references
// expanded, into `folder` (kShellFolderChars wide characters). Empty when it cannot be read;
// always reports success.
bool getShellFolder(const wchar_t* valueName, wchar_t* folder);

}  // namespace FolderHandler
