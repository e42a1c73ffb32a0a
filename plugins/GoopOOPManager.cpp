#include "plugins/GoopOOPManager.h"

#include "core/CommandLineArgs.h"

namespace {
constexpr int kGoopPluginFailed = -992;
}  // namespace

// Plug-in loading is not built into this host yet: every plug-in is reported as not loaded.
int GoopOOPManager::Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) {
    if (const int r = InitPluginHost(instance, logger, cmd, L"GoopOOPManager::Init")) return r;
    return kGoopPluginFailed;
}
