#pragma once
// The contract between the overlay host, the input blocker library (QMClientOOPO.dll) and the
// helper executables that inject it into the game (QuillmarHelper.exe for 32-bit games,
// QuillmarHelper64.exe for 64-bit ones). The helper is started from the image of a running copy;
// the library lies next to the client library (under "Win32" for 32-bit games).
#include <cstdint>

namespace qm {
namespace blocker {

constexpr const wchar_t* kLibraryFileName = L"QMClientOOPO.dll";
constexpr const wchar_t* kLibrary32Folder = L"Win32";
constexpr const wchar_t* kHelper32FileName = L"QuillmarHelper.exe";
constexpr const wchar_t* kHelper64FileName = L"QuillmarHelper64.exe";

// The blocker's window inside the game: class "STATIC", named after the game's process id. Only a
// window of the game's own process counts.
constexpr const char* kWindowClass = "STATIC";
constexpr const char* kWindowNameFormat = "QM.ClientOOPO.%u";

// Registered window messages (RegisterWindowMessageA) that the host posts to that window.
// Block: wParam 1 blocks the game's input, 0 stops blocking; lParam is the host's process id.
constexpr const char* kBlockMessageName = "QM.ClientOOPO.Block";
// Cursor: wParam is the cursor type the client controller set; lParam 0.
constexpr const char* kCursorMessageName = "QM.ClientOOPO.Cursor";

// A named manual-reset event, game process id in its name, that the host creates unsignalled
// before it starts the helper and holds until it lets go of the blocker.
constexpr const char* kTargetGuardFormat = "QM.ClientOOPO.Target.%u";

// The helper's command line: game process id, library path, callback export name (narrow), helper
// message, game process id again, client process id.
constexpr const wchar_t* kHelperCommandLineFormat =
    L"--inject --target-pid=%u --dll-path=\"%s\" --procn=%S --proc-msg=%d --param=%d pid=%u";
constexpr const char* kCallbackExport = "QMClientOOPOCallback";
constexpr int kHelperMessage = 230;

}  // namespace blocker
}  // namespace qm
