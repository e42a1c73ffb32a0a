#include <windows.h>

#include "common/DllHelper.h"
#include "core/CommandLineArgs.h"
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

    // The full command line, program path included, is what the parser expects.
    if (!CommandLineArgs::Instance) {
        CommandLineArgs::Instance = new CommandLineArgs();
        CommandLineArgs::Instance->Parse(::GetCommandLineW());
    }

    IOOPManager* manager = CreateManager(SelectManagerType());
    if (!manager) return 1;
    // The manager is never destroyed: its threads may still run until the process is gone.
    return manager->Run(instance, &gLogger, CommandLineArgs::Instance);
}
