#pragma once
#include <string>

#include "common/DllHelper.h"
#include "plugins/GepOOPManager.h"
#include "qm/PluginContract.h"

// The strings of a GOOP parameter block, which the host keeps alive while "Init" runs.
struct GoopStrings {
    std::string configFile;
    std::string logFolder;
    std::string vgepFile;
    bool hasVgepFile = false;
};

// Hosts a GOOP plug-in library: hands it the parameters decoded from "params", ticks it at a steady
// rate while answering window messages, and tells it to shut down.
class GoopOOPManager : public GepOOPManager {
public:
    GoopOOPManager() : GepOOPManager(kManagerGoop) {}
    ~GoopOOPManager() override;

    int Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) override;
    void Shutdown() override;
    bool Update() override;

    bool StatGoopPluging(const CommandLineArgs* cmd);
    GOOPPluginDll& GoopPlugin() { return goop_; }

    // Base64 of a JSON object into the block and the strings it points at; false on any error.
    static bool InitGoopConfig(const std::wstring& params, qm::GoopInitParams* block, GoopStrings* strings);

    // "Tick" every 16 ms: 62.5 times a second.
    static constexpr LONG kTickIntervalMs = 16;

private:
    GOOPPluginDll goop_;
    GoopStrings strings_;
    base::UniqueHandle tickTimer_;
    bool tickTimerMade_ = false;
};
