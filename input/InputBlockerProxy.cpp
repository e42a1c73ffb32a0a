#include "input/InputBlockerProxy.h"

#include <psapi.h>
#include <shellapi.h>

#include <cstdio>

#include "common/ProcessUtils.h"
#include "qm/BlockerContract.h"
#include "input/InputState.h"
#include "logging/Log.h"

// The proxy's rows are yellow; info rows carry its own flag word, warnings the "ERROR" word.
constexpr uint32_t kProxyRowColour = 0xFFFF00;
#define PROXY_INFO(function, ...) \
    QM_LOG(kSeverityNormal, kLogInfo, kProxyRowColour, gLogFlagWords.inputBlockerProxy, (function), __VA_ARGS__)
#define PROXY_WARNING(function, ...) \
    QM_LOG(kSeverityMedium, kLogWarning, kProxyRowColour, gLogger.ErrorFlags(), (function), __VA_ARGS__)

namespace {
constexpr const wchar_t* kFnInject = L"InputBlockerProxy::Inject";
}  // namespace

InputBlockerProxy::~InputBlockerProxy() {
    if (stop_) ::SetEvent(stop_.Get());
    if (thread_.joinable()) thread_.join();
    EndHelper();
}

void InputBlockerProxy::RegisterMessages() {
    hostPid_ = ::GetCurrentProcessId();
    blockMessage_ = ::RegisterWindowMessageA(qm::blocker::kBlockMessageName);
    cursorMessage_ = ::RegisterWindowMessageA(qm::blocker::kCursorMessageName);
}

void InputBlockerProxy::Init(uint32_t gamePid, uint32_t clientPid, const std::wstring& clientFolder) {
    gamePid_ = gamePid;
    RegisterMessages();
    if (!stop_) stop_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (stop_) ::ResetEvent(stop_.Get());
    searchAllowed_ = false;
    try {
        thread_ = std::thread([this, clientPid, clientFolder] {
            Inject(clientPid, clientFolder);
            ready_ = true;
            FindBlockerWindow(true, false);
            searchAllowed_ = true;
        });
    } catch (...) {
        PROXY_WARNING(L"InputBlockerProxy::Init", L"failed to create inject thread");
        searchAllowed_ = true;
    }
}

std::wstring InputBlockerProxy::LibraryPath(const std::wstring& clientFolder, bool is32) {
    const size_t cut = clientFolder.find_last_of(L"\\/");
    const std::wstring base = cut == std::wstring::npos ? clientFolder : clientFolder.substr(0, cut);
    return base + L"\\" + (is32 ? std::wstring(qm::blocker::kLibrary32Folder) + L"\\" : std::wstring()) +
           qm::blocker::kLibraryFileName;
}

std::wstring InputBlockerProxy::HelperCommandLine(uint32_t gamePid, const std::wstring& libraryPath,
                                                  uint32_t clientPid) {
    wchar_t line[2048];
    const int n = _snwprintf(line, 2047, qm::blocker::kHelperCommandLineFormat, gamePid, libraryPath.c_str(),
                             qm::blocker::kCallbackExport, qm::blocker::kHelperMessage, static_cast<int>(gamePid),
                             clientPid);
    line[2047] = L'\0';
    (void)n;
    return line;
}

std::wstring InputBlockerProxy::FindHelperPath(bool is32) {
    const uint32_t pid = base::process::FindProcessIdByName(is32 ? qm::blocker::kHelper32FileName
                                                                    : qm::blocker::kHelper64FileName);
    if (pid == 0) return std::wstring();
    base::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return std::wstring();
    wchar_t path[MAX_PATH] = {};
    if (::GetModuleFileNameExW(process.Get(), nullptr, path, MAX_PATH) == 0) {
        DWORD size = MAX_PATH;
        if (!::QueryFullProcessImageNameW(process.Get(), 0, path, &size)) path[0] = L'\0';
    }
    return path;
}

void InputBlockerProxy::Inject(uint32_t clientPid, const std::wstring& clientFolder) {
    const uint32_t gamePid = gamePid_;
    if (gamePid == 0 || clientFolder.empty()) {
        PROXY_WARNING(kFnInject, L"invalid parameters for injection ipd (game pid: %u, dll path: %s)", gamePid,
                      clientFolder.c_str());
        return;
    }
    BOOL wow64 = FALSE;
    {
        base::UniqueHandle game(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, gamePid));
        if (game && !::IsWow64Process(game.Get(), &wow64)) wow64 = FALSE;
    }
    const bool is32 = wow64 != FALSE;
    const std::wstring helper = FindHelperPath(is32);
    if (helper.empty()) {
        PROXY_WARNING(kFnInject, L"%s process not found - cannot inject ipd dll",
                      is32 ? qm::blocker::kHelper32FileName : qm::blocker::kHelper64FileName);
        return;
    }
    const std::wstring library = LibraryPath(clientFolder, is32);
    if (::GetFileAttributesW(library.c_str()) == INVALID_FILE_ATTRIBUTES) {
        PROXY_WARNING(kFnInject, L"ipt dll not found: %s", library.c_str());
        return;
    }
    char guardName[64];
    std::snprintf(guardName, sizeof(guardName), qm::blocker::kTargetGuardFormat, gamePid);
    guardEvent_.Reset(::CreateEventA(nullptr, TRUE, FALSE, guardName));
    if (!guardEvent_) {
        PROXY_WARNING(kFnInject, L"failed to create PID guard event (game pid %u, err %u)", gamePid,
                      static_cast<unsigned>(::GetLastError()));
    }
    const std::wstring parameters = HelperCommandLine(gamePid, library, clientPid);

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // The helper is kept by its handle: its exit code is logged, and one still running at the stop is ended.
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.hwnd = nullptr;
    info.lpVerb = L"open";
    info.lpFile = helper.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = SW_SHOW;
    if (!::ShellExecuteExW(&info)) {
        PROXY_WARNING(kFnInject, L"injection failed to launch (game pid %u)", gamePid);
        return;
    }
    helper_.Reset(info.hProcess);
    launched_ = true;
    PROXY_INFO(kFnInject, L"injection started (game pid: %u, 32bit: %d )", gamePid, is32 ? 1 : 0);
    PROXY_INFO(kFnInject, L"waiting for injt (0x%x)", 0u);
    // Ends once the window is there or the attempts are spent (it cannot appear after that), or at Reset.
    do {
        if (stop_ && ::WaitForSingleObject(stop_.Get(), 100) == WAIT_OBJECT_0) break;
        if (!stop_) ::Sleep(100);
        LogHelperExit();
    } while (!FindBlockerWindow(true, true) && attempts_.load() < kMaxAttempts);
    attempts_ = 0;
}

void InputBlockerProxy::LogHelperExit() {
    HANDLE helper = helper_.Get();
    DWORD code = STILL_ACTIVE;
    if (!helper || helperExitLogged_ || ::WaitForSingleObject(helper, 0) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(helper, &code)) {
        return;
    }
    helperExitLogged_ = true;
    PROXY_INFO(L"InputBlockerProxy::Inject", L"helper exited with code %d (game pid %u)", static_cast<int>(code),
               gamePid_.load());
}

void InputBlockerProxy::EndHelper() {
    HANDLE helper = helper_.Get();
    if (!helper) return;
    LogHelperExit();
    if (::WaitForSingleObject(helper, 0) == WAIT_TIMEOUT) {
        PROXY_WARNING(L"InputBlockerProxy::Reset", L"helper still running at stop: ended (game pid %u)", gamePid_.load());
        ::TerminateProcess(helper, 1);
        ::WaitForSingleObject(helper, 1000);
    }
    helper_.Reset();
}

bool InputBlockerProxy::FindBlockerWindow(bool force, bool ignoreReady) {
    if (!ready_ && !ignoreReady) return false;
    HWND known = window_.load();
    if (known && ::IsWindow(known)) return true;
    if (!force && !searchAllowed_) return false;
    SetWindow(nullptr);
    const uint32_t gamePid = gamePid_;
    if (!launched_ || gamePid == 0 || blockMessage_ == 0 || attempts_.load() >= kMaxAttempts) return false;
    const int attempt = ++attempts_;
    char name[64];
    std::snprintf(name, sizeof(name), qm::blocker::kWindowNameFormat, gamePid);
    // Any process can make a window of this name: only the game's own (the injected library's)
    // is the blocker.
    HWND found = nullptr;
    for (HWND w = ::FindWindowExA(nullptr, nullptr, qm::blocker::kWindowClass, name); w && !found;
         w = ::FindWindowExA(nullptr, w, qm::blocker::kWindowClass, name)) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(w, &owner);
        if (owner == gamePid) found = w;
    }
    SetWindow(found);
    if (found) {
        PROXY_INFO(L"InputBlockerProxy::FindBlockerWindow", L"found ipt window for pid %u (attempt %d)", gamePid,
                   attempt);
    } else if (attempt == kMaxAttempts) {
        PROXY_WARNING(L"InputBlockerProxy::FindBlockerWindow", L"ipt window not found after %d attempts (pid %u)",
                      kMaxAttempts, gamePid);
    }
    return window_.load() != nullptr;
}

void InputBlockerProxy::SetInputBlocking(bool block) {
    if (!FindBlockerWindow(false, false)) return;
    ::PostMessageW(window_.load(), blockMessage_, block ? 1 : 0, hostPid_);
    if (std::atomic<int>& budget = InputState::Get().blockingLogBudget; budget.load() > 0) {
        --budget;
        PROXY_INFO(L"InputBlockerProxy::SetInputBlocking", L"input blocking -> %s (game pid %u)",
                   block ? L"ON" : L"OFF", gamePid_.load());
    }
}

void InputBlockerProxy::MarkLaunched(uint32_t gamePid) {
    gamePid_ = gamePid;
    RegisterMessages();
    launched_ = true;
    ready_ = true;
    searchAllowed_ = true;
}

void InputBlockerProxy::Reset() {
    if (stop_) ::SetEvent(stop_.Get());
    if (thread_.joinable()) thread_.join();
    EndHelper();
    helperExitLogged_ = false;
    gamePid_ = 0;
    SetWindow(nullptr);
    attempts_ = 0;
    launched_ = false;
    searchAllowed_ = false;
    guardEvent_.Reset();
}
