#include <windows.h>

#include "common/DllHelper.h"
#include "core/CommandLineArgs.h"
#include "core/HostState.h"
#include "app/ManagerFactory.h"
#include "crash/CrashHandlerReport.h"
#include "crash/FatalEnd.h"
#include "diagnostics/DiagnosticsReport.h"
#include "logging/Log.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/) {
    // Before any library is loaded on demand: a planted copy in the current folder or on PATH
    // must never run inside the host.
    base::dll_helper::RestrictLibrarySearch();
    ::DisableProcessWindowsGhosting();
    CrashHandlerReport::Install();
    // A fault that ends the host still leaves a whole log: a row naming it, the rows it held and the footer.
    FatalEnd::Install([](uint32_t code, const char* summary, const char* module) {
        wchar_t what[512];
        wchar_t where[MAX_PATH * 2];
        if (::MultiByteToWideChar(CP_ACP, 0, summary, -1, what, 512) == 0) what[0] = L'\0';
        if (::MultiByteToWideChar(CP_ACP, 0, module, -1, where, MAX_PATH * 2) == 0) where[0] = L'\0';
        if (what[0]) {
            QM_LOG_ERROR(L"FatalEnd", L"%s%s%s: ending with exit code 0x%08x", what, where[0] ? L" in " : L"", where, code);
        }
        gLogger.WriteOutAtCrash(1000);
    });

    // The full command line, program path included, is what the parser expects. Like the manager,
    // it is never freed: the manager's threads may still read it until the process is gone.
    HostState& host = HostState::Get();
    if (!host.commandLine) {
        host.commandLine = new CommandLineArgs();
        host.commandLine->Parse(::GetCommandLineW());
    }

    // Before any manager exists: the report makes no overlay and loads no client library.
    if (host.commandLine->HasKey(Overlay::Diagnostics::kKey)) {
        return Overlay::Diagnostics::Run(host.commandLine->GetValue(Overlay::Diagnostics::kKey));
    }

    IOOPManager* manager = CreateManager(SelectManagerType());
    if (!manager) return 1;
    return manager->Run(instance, &gLogger, host.commandLine);
}
