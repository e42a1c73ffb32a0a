#include "common/DllHelper.h"

#include <cwchar>
#include <string>

namespace base::dll_helper {

namespace {

// The loader's search flags for `name`; `path` receives the full path when `name` is a path.
DWORD SearchFlags(const wchar_t* name, DWORD flags, std::wstring* path) {
    constexpr DWORD kSearchFlags = LOAD_WITH_ALTERED_SEARCH_PATH | 0x0000FF00;  // LOAD_LIBRARY_SEARCH_*
    if (!name || (flags & kSearchFlags) != 0) return flags;
    if (!std::wcschr(name, L'\\') && !std::wcschr(name, L'/')) return flags | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    // The dependencies' folder must be given as a full path.
    wchar_t full[MAX_PATH];
    const DWORD n = ::GetFullPathNameW(name, MAX_PATH, full, nullptr);
    if (n == 0 || n >= MAX_PATH) return flags;
    *path = full;
    return flags | LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
}

HMODULE LoadSafely(const wchar_t* name, DWORD flags) {
    std::wstring path;
    const DWORD search = SearchFlags(name, flags, &path);
    HMODULE module = ::LoadLibraryExW(path.empty() ? name : path.c_str(), nullptr, search);
    // Systems without the search flags refuse them as a parameter: the plain call is all there is.
    if (!module && search != flags && ::GetLastError() == ERROR_INVALID_PARAMETER) {
        module = ::LoadLibraryExW(name, nullptr, flags);
    }
    return module;
}

}  // namespace

void RestrictLibrarySearch() {
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    ::SetDllDirectoryW(L"");
}

HMODULE LoadSystemLibrary(const wchar_t* name) { return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32); }

PDLL::~PDLL() {
    if (module_) ::FreeLibrary(module_);
    module_ = nullptr;
}

bool PDLL::Load(const wchar_t* name, const wchar_t* folder, DWORD flags) {
    ++refCount_;
    if (refCount_ != 1 && module_) return true;
    module_ = LoadSafely(name, flags);
    if (!module_ && folder) {
        const std::wstring path = std::wstring(folder) + L"\\" + (name ? name : L"");
        module_ = LoadSafely(path.c_str(), flags);
    }
    if (!module_) {
        --refCount_;
        return false;
    }
    return true;
}

int PDLL::Free() {
    if (refCount_ == 0) return 0;
    --refCount_;
    if (refCount_ >= 1) return static_cast<int>(refCount_);
    int result = 0;
    if (module_) result = ::FreeLibrary(module_);
    module_ = nullptr;
    return result;
}

}  // namespace base::dll_helper

qm::IOverlayManagerController* QMClientDll::GetOverlayManagerController(uint32_t clientPid, const wchar_t* name) {
    const auto fn = factory_.Resolve(module_, qm::kGetControllerExport);
    return fn ? fn(clientPid, name) : nullptr;
}

void QMClientDll::ClearClient() {
    if (const auto fn = clear_.Resolve(module_, qm::kClearClientExport)) fn();
}

bool GEPPluginDll::StartPluginOOP(const wchar_t* gameProcessName, int32_t reserved) {
    const auto fn = start_.Resolve(module_, qm::kStartPluginExport);
    return fn ? fn(gameProcessName, reserved) : false;
}

bool GOOPPluginDll::Init(const qm::GoopInitParams* params) {
    const auto fn = init_.Resolve(module_, qm::kGoopInitExport);
    return fn ? fn(params) : false;
}

void GOOPPluginDll::Tick() {
    if (const auto fn = tick_.Resolve(module_, qm::kGoopTickExport)) fn();
}

bool GOOPPluginDll::Shutdown() {
    const auto fn = shutdown_.Resolve(module_, qm::kGoopShutdownExport);
    return fn ? fn() : false;
}
