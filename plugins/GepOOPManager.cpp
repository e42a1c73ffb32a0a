#include "plugins/GepOOPManager.h"

#include "core/CommandLineArgs.h"

namespace {
constexpr int kGepPluginMissing = -993;
constexpr int kGepPluginFailed = -991;
}  // namespace

// Plug-in loading is not built into this host yet: a plug-in that exists is reported as not loaded.
int GepOOPManager::Init(HINSTANCE instance, FlushLogger* /*logger*/, CommandLineArgs* cmd) {
    instance_ = instance;
    if (!ProcessCommandLine(cmd)) return kInitCommandLine;
    const std::wstring path = cmd->GetValue(L"plugin");
    if (path.empty() || ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return kGepPluginMissing;
    return kGepPluginFailed;
}
