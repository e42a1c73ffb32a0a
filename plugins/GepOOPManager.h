#pragma once
#include <memory>
#include <string>

#include "common/DllHelper.h"
#include "common/Event.h"
#include "core/OOPManager.h"

// Hosts a GEP plug-in library instead of drawing: starts it with the game's process name, then
// waits until the game or the client ends.
class GepOOPManager : public OOPManager {
public:
    GepOOPManager() : GepOOPManager(kManagerGep) {}
    ~GepOOPManager() override;

    int Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) override;
    bool Update() override;
    void ProcessClosed(base::process::ProcessWatchDog* watchdog, uint32_t pid, uint32_t exitCode) override;

    GEPPluginDll& Plugin() { return plugin_; }

protected:
    explicit GepOOPManager(ManagerType type);

    // The "plugin" value must name an existing file; else "file not found: %s" under `function`.
    bool FindPlugin(const CommandLineArgs* cmd, const wchar_t* function);
    // The game's end signals the stop event a second after it happened.
    void StartGameWatchdog(const wchar_t* function);

    enum class WaitResult { kStop, kTimer, kOther };
    // Waits at most `limitMs` for the stop (the game's or the client's end), `timer` when given, or a
    // message for this thread, which the main loop then dispatches.
    WaitResult WaitAnswering(HANDLE timer, DWORD limitMs);
    static constexpr DWORD kWaitSliceMs = 1000;

    std::wstring pluginPath_;
    GEPPluginDll plugin_;
    std::unique_ptr<base::process::ProcessWatchDog> gameWatchdog_;
    std::unique_ptr<base::Event> stopEvent_;
};
