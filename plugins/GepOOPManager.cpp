#include "plugins/GepOOPManager.h"

#include "core/CommandLineArgs.h"
#include "logging/Log.h"

namespace {
constexpr int kGepPluginMissing = -993;
constexpr int kGepPluginFailed = -991;
}  // namespace

// Plug-in loading is not built into this host yet: a plug-in that exists is reported as not loaded.
int GepOOPManager::Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) {
    constexpr const wchar_t* kFn = L"GepOOPManager::Init";
    if (const int r = InitPluginHost(instance, logger, cmd, kFn)) return r;
    const std::wstring path = cmd->GetValue(L"plugin");
    if (path.empty() || ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        QM_LOG_ERROR(kFn, L"file not found: %s", path.c_str());
        return kGepPluginMissing;
    }
    QM_LOG_ERROR(kFn, L"gep plugin initialization error");
    return kGepPluginFailed;
}
