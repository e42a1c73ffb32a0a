#include "plugins/GoopOOPManager.h"

#include "common/RegistrySettings.h"
#include "core/CommandLineArgs.h"
#include "logging/Log.h"

namespace {
constexpr int kGoopPluginFailed = -992;
}  // namespace

// Plug-in loading is not built into this host yet: every plug-in is reported as not loaded.
int GoopOOPManager::Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) {
    constexpr const wchar_t* kFn = L"GoopOOPManager::Init";
    namespace Registry = Overlay::Common::Registry;
    instance_ = instance;
    if (Registry::ReadDword(Registry::kOverlayKey, Registry::kEnableOOPGLog) != 0) StartLogging(logger, cmd);
    if (!ProcessCommandLine(cmd)) {
        QM_LOG_ERROR(kFn, L"fail to process command line");
        return kInitCommandLine;
    }
    return kGoopPluginFailed;
}
