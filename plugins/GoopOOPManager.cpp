#include "plugins/GoopOOPManager.h"

#include <json/json.h>

#include <memory>

#include "common/Base64.h"
#include "common/MessageWait.h"
#include "core/CommandLineArgs.h"
#include "logging/Log.h"

namespace {
constexpr int kGoopPluginMissing = -992;
constexpr int kGoopPluginFailed = -990;
constexpr DWORD kSearchFlags = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
static_assert(kSearchFlags == 0x1100, "the plug-in's folder and the default folders");
}  // namespace

#define GOOP_ERROR(function, ...) \
    QM_LOG(kSeverityHigh, kLogError, 0xFFFFFF, gLogger.ErrorFlags(), (function), __VA_ARGS__)

GoopOOPManager::~GoopOOPManager() {
    gameWatchdog_.reset();
    watchdog_.reset();
}

int GoopOOPManager::Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) {
    constexpr const wchar_t* kFn = L"GoopOOPManager::Init";
    if (const int r = InitPluginHost(instance, logger, cmd, kFn)) return r;
    if (!FindPlugin(cmd, kFn)) return kGoopPluginMissing;
    return StatGoopPluging(cmd) ? kInitOk : kGoopPluginFailed;
}

bool GoopOOPManager::StatGoopPluging(const CommandLineArgs* cmd) {
    constexpr const wchar_t* kFn = L"GoopOOPManager::StatGoopPluging";
    const size_t slash = pluginPath_.find_last_of(L"\\/");
    if (slash != std::wstring::npos) ::AddDllDirectory(pluginPath_.substr(0, slash).c_str());
    if (!goop_.Load(pluginPath_.c_str(), nullptr, kSearchFlags)) {
        GOOP_ERROR(kFn, L"goop plugin initialization error GLE=0x%x", static_cast<unsigned>(::GetLastError()));
        return false;
    }
    const std::wstring params = cmd->GetValue(L"params");
    if (params.empty()) {
        GOOP_ERROR(kFn, L"goop parameters is missing");
        return false;
    }
    qm::GoopInitParams block{};
    block.gamePid = launch_.gamePid;
    block.gameProcessName = launch_.gameProcessName.c_str();
    block.screenTester = cmd->HasKey(L"goop-screen-tester");
    block.logLevel = 2;
    if (!InitGoopConfig(params, &block, &strings_)) {
        GOOP_ERROR(kFn, L"goop config initialization error");
        return false;
    }
    block.logFolder = strings_.logFolder.empty() ? nullptr : strings_.logFolder.c_str();
    block.configFile = strings_.configFile.c_str();
    block.vgepFile = (strings_.hasVgepFile && !strings_.vgepFile.empty()) ? strings_.vgepFile.c_str() : nullptr;
    if (!goop_.Init(&block)) {
        GOOP_ERROR(kFn, L"goop plugin start error [%s]", launch_.gameProcessName.c_str());
        return false;
    }
    return true;
}

bool GoopOOPManager::InitGoopConfig(const std::wstring& params, qm::GoopInitParams* block, GoopStrings* strings) {
    constexpr const wchar_t* kFn = L"InitGoopConfig";
    std::string narrow(params.size(), '\0');
    for (size_t i = 0; i < params.size(); ++i) narrow[i] = static_cast<char>(params[i] & 0xFF);
    std::string json;
    bool ok = Overlay::Common::DecodeBase64(narrow, &json);
    // The library throws on a key of the wrong type and on nesting deeper than its limit: both are
    // decode errors.
    if (ok) {
        try {
            Json::Value root;
            Json::CharReaderBuilder builder;
            std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
            std::string errors;
            ok = reader->parse(json.data(), json.data() + json.size(), &root, &errors) && root.isObject();
            if (ok) {
                strings->configFile = root.get("config_file", "").asString();
                strings->logFolder = root.get("log_folder", "").asString();
                block->gameId = root.get("game_id", 0).asInt();
                const Json::Value level = root["log_level"];
                block->logLevel = level.isNull() ? 2 : level.asInt();
                block->channelId = root.get("channel_id", 0u).asUInt();
                const Json::Value vgep = root["vgep_file"];
                strings->hasVgepFile = !vgep.isNull();
                strings->vgepFile = vgep.isNull() ? std::string() : vgep.asString();
            }
        } catch (const std::exception&) {
            ok = false;
        }
    }
    if (!ok) {
        GOOP_ERROR(kFn, L"goop configuration decode error");
        return false;
    }
    return true;
}

bool GoopOOPManager::Update() {
    StartGameWatchdog(L"GoopOOPManager::StartGameWatchdog");
    // "Tick" is paced by a periodic timer, never by a loop that spins: window messages and the stop
    // are waited for in the same wait.
    if (!tickTimerMade_) {
        tickTimerMade_ = true;
        tickTimer_ = base::MakePeriodicTimer(kTickIntervalMs);
    }
    switch (WaitAnswering(tickTimer_.Get(), tickTimer_ ? kWaitSliceMs : kTickIntervalMs)) {
        case WaitResult::kStop:
            goop_.Shutdown();
            stop_.Request();
            break;
        case WaitResult::kTimer:
            goop_.Tick();
            break;
        case WaitResult::kOther:
            // Without a timer the wait's own time-out paces the ticks.
            if (!tickTimer_) goop_.Tick();
            break;
    }
    return true;
}

void GoopOOPManager::Shutdown() {
    stop_.Request();
    if (goop_.IsLoaded()) goop_.Shutdown();
    OOPManager::Shutdown();
}
