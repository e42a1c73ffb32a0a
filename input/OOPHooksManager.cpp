#include "input/OOPHooksManager.h"

#include <mutex>

#include "common/MessageWait.h"

#include "core/CommandLineArgs.h"
#include "core/OOPManager.h"
#include "logging/Log.h"

OOPHooksManager* OOPHooksManager::instance_ = nullptr;
OOPManager* OOPHooksManager::manager_ = nullptr;
std::atomic<bool> OOPHooksManager::exclusive_{false};
std::atomic<uint32_t> OOPHooksManager::exclusiveExitTick_{0};
std::atomic<uint32_t> OOPHooksManager::cursorVisibleSinceTick_{0};
std::atomic<HHOOK> OOPHooksManager::mouseHook_{nullptr};
std::atomic<HHOOK> OOPHooksManager::keyboardHook_{nullptr};
std::atomic<int64_t> OOPHooksManager::lastMousePosition_{0};

// The hooks manager's rows are green, and its info rows carry its own flag word.
#define HOOKS_INFO(function, ...) \
    QM_LOG(kSeverityNormal, kLogInfo, 0x00A400, gLogFlagWords.hooksManager, (function), __VA_ARGS__)
#define HOOKS_ERROR(function, ...) QM_LOG(kSeverityHigh, kLogError, 0x00A400, gLogger.ErrorFlags(), (function), __VA_ARGS__)

OOPHooksManager::OOPHooksManager() { instance_ = this; }

OOPHooksManager::~OOPHooksManager() {
    if (instance_ == this) instance_ = nullptr;
    StopHooksThread();
    if (HHOOK hook = mouseHook_.exchange(nullptr)) ::UnhookWindowsHookEx(hook);
    if (HHOOK hook = keyboardHook_.exchange(nullptr)) ::UnhookWindowsHookEx(hook);
}

void OOPHooksManager::ResetInputState() {
    exclusive_ = false;
    exclusiveExitTick_ = 0;
    cursorVisibleSinceTick_ = 0;
    lastMousePosition_ = 0;
}

POINT OOPHooksManager::LastMousePosition() {
    const int64_t packed = lastMousePosition_.load();
    return POINT{static_cast<LONG>(static_cast<int32_t>(packed & 0xFFFFFFFF)), static_cast<LONG>(packed >> 32)};
}

void OOPHooksManager::RememberMousePosition(POINT position) {
    lastMousePosition_ = (static_cast<int64_t>(position.y) << 32) | static_cast<uint32_t>(position.x);
}

void OOPHooksManager::CreateLLHooksThread(HINSTANCE instance) {
    constexpr const wchar_t* kFn = L"OOPHooksManager::CreateLLHooksThread";
    HOOKS_INFO(kFn, L"starting llHK thread");
    hooksThreadId_ = ::GetCurrentThreadId();
    HHOOK mouse = ::SetWindowsHookExW(WH_MOUSE_LL, &OOPHooksManager::MouseHookProc, instance, 0);
    if (!mouse) HOOKS_ERROR(kFn, L"mouse hk error 0x%x", static_cast<unsigned>(::GetLastError()));
    mouseHook_ = mouse;
    HHOOK keyboard = ::SetWindowsHookExW(WH_KEYBOARD_LL, &OOPHooksManager::KeyboardHookProc, instance, 0);
    if (!keyboard) HOOKS_ERROR(kFn, L"key hk error 0x%x", static_cast<unsigned>(::GetLastError()));
    keyboardHook_ = keyboard;
    if (qm::IOverlayManagerController* controller = controller_.load(); (!mouse || !keyboard) && controller) {
        controller->OnHooksFailed();
    }

    MSG msg;
    for (;;) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) break;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    HOOKS_INFO(kFn, L"stopping llHK thread");
    if (HHOOK hook = mouseHook_.exchange(nullptr)) ::UnhookWindowsHookEx(hook);
    if (HHOOK hook = keyboardHook_.exchange(nullptr)) ::UnhookWindowsHookEx(hook);
    HOOKS_INFO(kFn, L"exit llHK thread");
}

void OOPHooksManager::StopHooksThread() {
    constexpr const wchar_t* kFn = L"OOPHooksManager::StopHooksThread";
    constexpr DWORD kStopTimeoutMs = 5000;
    if (!hooksThread_) return;
    // A thread that has only just been created may not have written its id or made its queue yet:
    // the quit is repeated until it is taken.
    uint32_t id = hooksThreadId_.load();
    for (int i = 0; id == 0 && i < 5000 && ::WaitForSingleObject(hooksThread_.Get(), 1) == WAIT_TIMEOUT; ++i) {
        id = hooksThreadId_.load();
    }
    HOOKS_INFO(kFn, L"waiting for llhk thread : %d", id);
    if (id != 0) {
        for (int i = 0; i < 5000 && !::PostThreadMessageW(id, WM_QUIT, 0, 0); ++i) ::Sleep(1);
    }
    // The hooks may be waiting on this thread (a window of ours): waiting answers them.
    if (!base::WaitAnsweringSentMessages(hooksThread_.Get(), kStopTimeoutMs)) {
        HOOKS_ERROR(kFn, L"llhk thread did not stop in %d ms", static_cast<int>(kStopTimeoutMs));
    }
    hooksThread_.Reset();
    hooksThreadId_ = 0;
    HOOKS_INFO(kFn, L"llhk thread stopped");
}

LRESULT CALLBACK OOPHooksManager::MouseHookProc(int code, WPARAM wParam, LPARAM lParam) {
    const auto* event = reinterpret_cast<const MSLLHOOKSTRUCT*>(lParam);
    const uint32_t message = static_cast<uint32_t>(wParam);
    OOPHooksManager* hooks = instance_;
    OOPManager* manager = manager_;
    qm::IOverlayManagerController* controller = hooks ? hooks->controller_.load() : nullptr;
    const bool click = message == WM_LBUTTONDOWN || message == WM_LBUTTONUP || message == WM_RBUTTONDOWN;
    const bool notify = controller && click;
    const bool exclusive = exclusive_.load();

    const auto outside = [&] {
        hooks->SetPassThrough(true);
        if (notify) controller->OnClickOutside();
    };
    const auto next = [&] { return ::CallNextHookEx(mouseHook_.load(), code, wParam, lParam); };

    if (!controller || !manager || !event) return next();
    const RECT gameRect = manager->GameRect();
    // The cached window only: a search would send messages to other windows from inside the hook.
    HWND game = manager->Windows().GetCachedGameWindow();
    const bool fullScreen = manager->IsGameFullScreen();
    if (manager->Minimized() || gameRect.left == OOPManager::kMinimizedLeft || ::IsIconic(game) ||
        (manager->FullScreenRenderingOff() && fullScreen) || (fullScreen && !manager->BlockerWindow())) {
        outside();
        return next();
    }
    const uint32_t now = ::GetTickCount();
    if (const uint32_t exitTick = exclusiveExitTick_.load()) {
        if (now - exitTick < 500) {
            outside();
            return next();
        }
        exclusiveExitTick_ = 0;
    }
    if (exclusive) {
        cursorVisibleSinceTick_ = 0;
    } else {
        CURSORINFO cursor{};
        cursor.cbSize = sizeof(cursor);
        const bool info = ::GetCursorInfo(&cursor) != FALSE;
        if (info && (cursor.flags & CURSOR_SHOWING) == 0) {
            cursorVisibleSinceTick_ = 0;
            outside();
            return next();
        }
        uint32_t since = cursorVisibleSinceTick_.load();
        if (since == 0) {
            since = now;
            cursorVisibleSinceTick_ = now;
        }
        if (now - since < 500) {
            outside();
            return next();
        }
    }

    HWND overlay = manager->OverlayWindow();
    POINT point = event->pt;
    ::ScreenToClient(overlay, &point);
    RememberMousePosition(point);
    const int64_t packed = static_cast<int32_t>((static_cast<uint32_t>(point.y) << 16) + static_cast<uint32_t>(point.x));

    const uint32_t xButtons = (event->mouseData >> 16) & 3;
    const bool x1 = (xButtons & 1) != 0;
    const bool x2 = (xButtons & 2) != 0;
    uint64_t flags = 0;
    switch (message) {
        case WM_LBUTTONDOWN: flags = 0x0001; break;
        case WM_RBUTTONDOWN: flags = 0x0002; break;
        case WM_MBUTTONDOWN: flags = 0x0010; break;
        case WM_MOUSEWHEEL: flags = event->mouseData & 0xFFFF0000u; break;
        case WM_XBUTTONDOWN:
        case WM_XBUTTONDBLCLK:
        case WM_NCXBUTTONDOWN:
        case WM_NCXBUTTONDBLCLK: flags = (x1 ? 0x10020u : 0u) + (x2 ? 0x20040u : 0u); break;
        case WM_XBUTTONUP:
        case WM_NCXBUTTONUP: flags = (x1 ? 0x10000u : 0u) + (x2 ? 0x20000u : 0u); break;
        default: break;
    }

    RECT client{};
    ::GetClientRect(overlay, &client);
    if (point.x < 0 || point.x > client.right || point.y < -30 || point.y > client.bottom) {
        hooks->SetPassThrough(!exclusive);
        if (notify) controller->OnClickOutside();
        return next();
    }
    bool passThrough = false;
    if (fullScreen) {
        bool local = exclusive;
        const bool handled = controller->OnMouseMessage(message, flags, packed, &local);
        passThrough = !handled && !local;
    } else if (!manager->ClickThrough()) {
        return next();  // the overlay's own window procedure gets the mouse
    } else {
        const bool handled = controller->OnMouseHook(message, flags, packed);
        passThrough = !handled && !exclusive;
    }
    hooks->SetPassThrough(passThrough);
    return next();
}

LRESULT CALLBACK OOPHooksManager::KeyboardHookProc(int code, WPARAM wParam, LPARAM lParam) {
    const auto* key = reinterpret_cast<KBDLLHOOKSTRUCT*>(lParam);
    if (code == 0 && key && key->vkCode == VK_TAB && (key->flags & LLKHF_ALTDOWN) != 0) {
        return ::CallNextHookEx(keyboardHook_.load(), code, wParam, lParam);
    }
    OOPHooksManager* hooks = instance_;
    qm::IOverlayManagerController* controller = hooks ? hooks->controller_.load() : nullptr;
    if (controller && controller->OnKeyboardHook(code, wParam, reinterpret_cast<KBDLLHOOKSTRUCT*>(lParam))) return 1;
    return ::CallNextHookEx(keyboardHook_.load(), code, wParam, lParam);
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
    controller_.load()->SetDelegate(this);
    return true;
}

void OOPHooksManager::ApplayOOPOConfigurtion(qm::GameConfiguration* c) {
    if (!controller_.load()->ReadGameConfiguration(c)) {
        HOOKS_ERROR(L"OOPHooksManager::ApplayOOPOConfigurtion", L"error reading game configuration");
    }
    c->SetByte(25, 1);
    const int type = manager_ ? manager_->GetManagerType() : -1;
    c->SetU32(qm::GameConfiguration::kRendererKind, type == kManagerD3D9 ? 2u : type == kManagerD3D11 ? 16u : 18u);
    for (size_t offset : {42, 44, 54, 55, 56, 57, 92, 105, 130, 153, 155}) c->SetByte(offset, 1);
    c->SetByte(101, 0);
    c->SetByte(117, 0);
}

bool OOPHooksManager::Start(HINSTANCE instance) {
    if (!controller_) return false;
    qm::GameConfiguration config{};
    ApplyConfigurationDefaults(&config);
    ApplayOOPOConfigurtion(&config);
    if (!controller_.load()->Start(&config)) {
        HOOKS_ERROR(L"OOPHooksManager::Start", L"start oop error");
        return false;
    }
    if (!hooksThread_) {
        hooksInstance_ = instance;
        hooksThread_.Reset(::CreateThread(nullptr, 0, &OOPHooksManager::HooksThreadProc, this, 0, nullptr));
        if (!hooksThread_) {
            // Without the thread there are no hooks: the controller hears of it as of failed hooks.
            HOOKS_ERROR(L"OOPHooksManager::Start", L"llHK thread error 0x%x", static_cast<unsigned>(::GetLastError()));
            controller_.load()->OnHooksFailed();
        }
    }
    return true;
}

DWORD WINAPI OOPHooksManager::HooksThreadProc(void* self) {
    auto* hooks = static_cast<OOPHooksManager*>(self);
    hooks->CreateLLHooksThread(hooks->hooksInstance_);
    return 0;
}

void OOPHooksManager::ReleaseController() {
    qm::IOverlayManagerController* controller = controller_.load();
    if (!controller) return;
    controller->SetDelegate(nullptr);
    controller->Stop();
    controller_ = nullptr;
    if (client_.IsLoaded()) client_.ClearClient();
}

void OOPHooksManager::OnExclusiveModeChanged(bool exclusive) {
    if (exclusive_.load() == exclusive) return;
    HOOKS_INFO(L"OOPHooksManager::OnExclusiveModeChanged", L"exclusive mode %s",
                exclusive ? L"True" : L"False");
    exclusive_ = exclusive;
    OOPManager* manager = manager_;
    if (!exclusive) exclusiveExitTick_ = ::GetTickCount();
    if (!manager) return;
    // The hooks read the flag at once; the window changes wait for the window's thread.
    if (exclusive) manager->SetClickThroughFlag(false);
    if (manager->OnWindowThread() || !manager->OverlayWindow() ||
        !::PostMessageW(manager->OverlayWindow(), OOPManager::kMsgApplyExclusive, exclusive ? 1 : 0, 0)) {
        ApplyExclusiveMode(exclusive);
    }
}

void OOPHooksManager::ApplyExclusiveMode(bool exclusive) {
    OOPManager* manager = manager_;
    if (!manager) return;
    if (!exclusive) {
        manager->HandleExclusiveModeChanged();
        return;
    }
    HWND overlay = manager->OverlayWindow();
    LONG style = ::GetWindowLongW(overlay, GWL_EXSTYLE);
    if (!manager->IsGameFullScreen()) {
        style &= ~WS_EX_TRANSPARENT;
        manager->ForceForeground(overlay, true);
        if (qm::IOverlayManagerController* controller = controller_.load()) controller->OnOverlayActivated();
    } else {
        manager->InputProxy().SetInputBlocking(true);
    }
    ::SetWindowLongW(overlay, GWL_EXSTYLE, style);
    manager->HandleExclusiveModeChanged();
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
    if (qm::IOverlayManagerController* controller = controller_.load()) controller->SendData(sizeof(reply), &reply);
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
    if (HWND overlay = manager_->OverlayWindow()) ::PostMessageW(overlay, OOPManager::kMsgRefreshCursor, 0, 0);
    manager_->SelectCursor(type, cursor);
}

void OOPHooksManager::SetPassThrough(bool passThrough) {
    if (manager_) manager_->RequestClickThrough(passThrough);
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
