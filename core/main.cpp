#include <windows.h>

#include "common/DllHelper.h"
#include "core/CommandLineArgs.h"
#include "core/HostState.h"
#include "core/ManagerFactory.h"
#include "crash/CrashHandlerReport.h"
#include "logging/FlushLogger.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/) {
    // Before any library is loaded on demand: a planted copy in the current folder or on PATH
    // must never run inside the host.
    base::dll_helper::RestrictLibrarySearch();
    ::SetErrorMode(SEM_FAILCRITICALERRORS);
    ::DisableProcessWindowsGhosting();
    CrashHandlerReport::Install();
    // A fault that ends the host still leaves a whole log: the rows it held and the footer.
    CrashHandlerReport::BeforeFatalEnd([] { gLogger.WriteOutAtCrash(1000); });

    // The full command line, program path included, is what the parser expects. Like the manager,
    // it is never freed: the manager's threads may still read it until the process is gone.
    HostState& host = HostState::Get();
    if (!host.commandLine) {
        host.commandLine = new CommandLineArgs();
        host.commandLine->Parse(::GetCommandLineW());
    }

    IOOPManager* manager = CreateManager(SelectManagerType());
    if (!manager) return 1;
    return manager->Run(instance, &gLogger, host.commandLine);
}
