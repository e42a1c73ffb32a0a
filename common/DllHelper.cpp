#include "common/DllHelper.h"

#include <string>

namespace base::dll_helper {

PDLL::~PDLL() {
    if (module_) ::FreeLibrary(module_);
    module_ = nullptr;
}

bool PDLL::Load(const wchar_t* name, const wchar_t* folder, DWORD flags) {
    ++refCount_;
    if (refCount_ != 1 && module_) return true;
    module_ = ::LoadLibraryExW(name, nullptr, flags);
    if (!module_ && folder) {
        const std::wstring path = std::wstring(folder) + L"\\" + (name ? name : L"");
        module_ = ::LoadLibraryExW(path.c_str(), nullptr, flags);
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
