#include "input/OOPHooksManager.h"

#include <mutex>

#include "core/CommandLineArgs.h"
#include "core/OOPManager.h"
#include "logging/Log.h"

OOPHooksManager* OOPHooksManager::instance_ = nullptr;
OOPManager* OOPHooksManager::manager_ = nullptr;
std::atomic<bool> OOPHooksManager::exclusive_{false};
std::atomic<uint32_t> OOPHooksManager::exclusiveExitTick_{0};

// The hooks manager's rows are green, and its info rows carry its own flag word.
#define HOOKS_INFO(function, ...) \
    QM_LOG(kSeverityNormal, kLogInfo, 0x00A400, gLogFlagWords.hooksManager, (function), __VA_ARGS__)
#define HOOKS_ERROR(function, ...) QM_LOG(kSeverityHigh, kLogError, 0x00A400, gLogger.ErrorFlags(), (function), __VA_ARGS__)

OOPHooksManager::OOPHooksManager() { instance_ = this; }

OOPHooksManager::~OOPHooksManager() {
    if (instance_ == this) instance_ = nullptr;
}

void OOPHooksManager::ApplyConfigurationDefaults(qm::GameConfiguration* c) {
    c->SetU32(28, 0);
    c->SetU32(36, 0);
    c->SetByte(42, 0);
    c->SetByte(50, 0);
    c->SetU32(112, 0);
    c->SetByte(117, 1);
    c->Zero(118, 120);
    c->Zero(124, 134);
    c->Zero(136, 143);
    c->SetFloat(qm::GameConfiguration::kScale, 1.0f);
    c->Zero(148, 167);
    c->SetU32(168, 0xFFFFFFFF);
    c->Zero(172, 186);
}

bool OOPHooksManager::Init(const wchar_t* clientFolder, uint32_t clientPid, OOPManager* manager) {
    constexpr const wchar_t* kFn = L"OOPHooksManager::Init";
    manager_ = manager;
    clientPid_ = clientPid;
    const bool haveFolder = clientFolder && clientFolder[0];
    if (!client_.Load(QMClientDll::kFileName, haveFolder ? clientFolder : nullptr, 0)) {
        HOOKS_ERROR(kFn, L"error loading qmclient");
        return false;
    }
    controller_ = client_.GetOverlayManagerController(clientPid_, L".overlay");
    if (!controller_) {
        HOOKS_ERROR(kFn, L"error creating oopo controller");
        return false;
    }
    controller_->SetDelegate(this);
    return true;
}

void OOPHooksManager::ApplayOOPOConfigurtion(qm::GameConfiguration* c) {
    if (!controller_->ReadGameConfiguration(c)) {
        HOOKS_ERROR(L"OOPHooksManager::ApplayOOPOConfigurtion", L"error reading game configuration");
    }
    c->SetByte(25, 1);
    const int type = manager_ ? manager_->GetManagerType() : -1;
    c->SetU32(qm::GameConfiguration::kRendererKind, type == kManagerD3D9 ? 2u : type == kManagerD3D11 ? 16u : 18u);
    for (size_t offset : {42, 44, 54, 55, 56, 57, 92, 105, 130, 153, 155}) c->SetByte(offset, 1);
    c->SetByte(101, 0);
    c->SetByte(117, 0);
}

bool OOPHooksManager::Start(HINSTANCE /*instance*/) {
    if (!controller_) return false;
    qm::GameConfiguration config{};
    ApplyConfigurationDefaults(&config);
    ApplayOOPOConfigurtion(&config);
    if (!controller_->Start(&config)) {
        HOOKS_ERROR(L"OOPHooksManager::Start", L"start oop error");
        return false;
    }
    return true;
}

void OOPHooksManager::ReleaseController() {
    if (!controller_) return;
    controller_->SetDelegate(nullptr);
    controller_->Stop();
    if (client_.IsLoaded()) client_.ClearClient();
}

void OOPHooksManager::OnExclusiveModeChanged(bool exclusive) {
    if (exclusive_.load() == exclusive) return;
    HOOKS_INFO(L"OOPHooksManager::OnExclusiveModeChanged", L"exclusive mode %s",
                exclusive ? L"True" : L"False");
    exclusive_ = exclusive;
    if (!exclusive) exclusiveExitTick_ = ::GetTickCount();
}

bool OOPHooksManager::HandleMessage(const qm::ControllerMessage* message) {
    if (!message) return false;
    switch (message->type) {
        case qm::kMessageStopOverlay:
            HOOKS_INFO(L"OOPHooksManager::HandleMessage", L"stop oopo requested");
            if (manager_) manager_->RequestStop();
            return true;
        case qm::kMessageLoadPlugin:
            OverrideLoadPlugin(message);
            return true;
        default:
            return false;
    }
}

void OOPHooksManager::OverrideLoadPlugin(const qm::ControllerMessage* message) {
    constexpr const wchar_t* kFn = L"OOPHooksManager::OverrideLoadPlugin";
    const auto* request = reinterpret_cast<const qm::LoadPluginRequest*>(message);
    // The path is the client's: it may lack its terminator, so only the 260 characters count.
    wchar_t path[qm::LoadPluginRequest::kPathChars + 1];
    size_t n = 0;
    while (n < qm::LoadPluginRequest::kPathChars && request->path[n]) {
        path[n] = request->path[n];
        ++n;
    }
    path[n] = L'\0';
    HOOKS_INFO(kFn, L"Load in-game plugin request: [%s]", path);

    const bool alreadyLoaded = plugin_.IsLoaded();
    DWORD error = 0;
    if (alreadyLoaded) {
        HOOKS_INFO(kFn, L"plugin already initialized");
    } else if (!plugin_.Load(path, nullptr, 0)) {
        error = ::GetLastError();
        if (error == 0) error = ERROR_MOD_NOT_FOUND;
    }

    qm::PluginLoadReply reply{};
    reply.type = qm::kMessagePluginLoaded;
    reply.two = 2;
    reply.hostPid = ::GetCurrentProcessId();
    reply.requestId = request->requestId;
    reply.error = plugin_.IsLoaded() ? 0 : error;

    if (!plugin_.IsLoaded()) {
        HOOKS_ERROR(kFn, L"Load in-game plugin request error: 0x%x", static_cast<unsigned>(error));
    } else if (!alreadyLoaded) {
        const std::wstring game = manager_ ? manager_->GameProcessName() : std::wstring();
        if (!plugin_.StartPluginOOP(game.c_str(), 0)) HOOKS_ERROR(kFn, L"start oop plugin request error");
    }
    if (controller_) controller_->SendData(sizeof(reply), &reply);
}

bool OOPHooksManager::CanReceiveInput() {
    if (!manager_ || !manager_->IsGameFullScreen()) return true;
    return manager_->BlockerWindow() != nullptr;
}

bool OOPHooksManager::GetOverlayInfo(bool* fullScreen, uint32_t* width, uint32_t* height) {
    RECT client{};
    if (manager_ && manager_->OverlayWindow()) ::GetClientRect(manager_->OverlayWindow(), &client);
    if (width) *width = static_cast<uint32_t>(client.right - client.left);
    if (height) *height = static_cast<uint32_t>(client.bottom - client.top);
    if (fullScreen) *fullScreen = manager_ && manager_->IsGameFullScreen();
    return true;
}

bool OOPHooksManager::CanShowOverlay() {
    if (!manager_ || !manager_->FullScreenRenderingOff()) return true;
    return !manager_->IsGameFullScreen();
}

void OOPHooksManager::SetCursorType(int32_t type, HCURSOR cursor) {
    if (!manager_) return;
    if (HWND blocker = manager_->BlockerWindow()) {
        static const UINT cursorMessage = ::RegisterWindowMessageW(L"QM.ClientOOPO.Cursor");
        ::PostMessageW(blocker, cursorMessage, static_cast<WPARAM>(static_cast<intptr_t>(type)), 0);
    }
    if (HWND overlay = manager_->OverlayWindow()) ::PostMessageW(overlay, 1034, 0, 0);
    manager_->SelectCursor(type, cursor);
}

void OOPHooksManager::SetPassThrough(bool passThrough) {
    if (manager_) manager_->SetClickThrough(passThrough, false);
}

qm::GameConfiguration* GetGameConfiguration() {
    static qm::GameConfiguration configuration = [] {
        qm::GameConfiguration c{};
        OOPHooksManager::ApplyConfigurationDefaults(&c);
        return c;
    }();
    static std::atomic<bool> read{false};
    static std::mutex reading;
    if (!read.load()) {
        std::lock_guard<std::mutex> guard(reading);
        OOPHooksManager* hooks = OOPHooksManager::Instance();
        qm::IOverlayManagerController* controller = hooks ? hooks->Controller() : nullptr;
        if (!read.load() && OOPHooksManager::Manager() && controller && controller->ReadGameConfiguration(&configuration)) {
            read = true;
        }
    }
    return &configuration;
}
