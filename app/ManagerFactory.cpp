#include "app/ManagerFactory.h"

#include "core/CommandLineArgs.h"
#include "core/HostState.h"
#include "plugins/GepOOPManager.h"
#include "plugins/GoopOOPManager.h"
#include "render/D3D11OOPManager.h"
#include "render/D3D9OOPManager.h"

int SelectManagerType() {
    const CommandLineArgs* cmd = HostState::Get().commandLine;
    return cmd ? SelectManagerType(*cmd) : kManagerD3D11;
}

int SelectManagerType(const CommandLineArgs& cmd) {
    if (cmd.HasKey(L"oopo-type")) {
        // "oopo-type" n selects manager n + 1; other numbers fall through to the other keys.
        const auto n = Overlay::Common::ParseInt32(cmd.GetValue(L"oopo-type"));
        if (n && *n >= 0 && *n <= 2) return *n + 1;
    }
    if (cmd.HasKey(L"goop")) return kManagerGoop;
    if (cmd.HasKey(L"oopg")) return kManagerGep;
    return kManagerD3D11;
}

IOOPManager* CreateManager(int type) {
    switch (type) {
        case kManagerD3D9: return new D3D9OOPManager();
        case kManagerD3D11: return new D3D11OOPManager();
        case kManagerGep: return new GepOOPManager();
        case kManagerGoop: return new GoopOOPManager();
        default: return nullptr;
    }
}
