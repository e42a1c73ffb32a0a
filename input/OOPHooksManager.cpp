#include "input/OOPHooksManager.h"

#include "common/MessageWait.h"

#include "qm/OverlayWindowContract.h"
#include "logging/Log.h"

namespace {
InputState& State() { return InputState::Get(); }
}  // namespace

// The hooks manager's rows are green, and its info rows carry its own flag word.
constexpr uint32_t kHooksRowColour = 0x00A400;
#define HOOKS_INFO(function, ...) \
    QM_LOG(kSeverityNormal, kLogInfo, kHooksRowColour, gLogFlagWords.hooksManager, (function), __VA_ARGS__)
#define HOOKS_ERROR(function, ...) \
    QM_LOG(kSeverityHigh, kLogError, kHooksRowColour, gLogger.ErrorFlags(), (function), __VA_ARGS__)

OOPHooksManager::OOPHooksManager() { State().hooks = this; }

OOPHooksManager::~OOPHooksManager() {
    if (State().hooks == this) State().hooks = nullptr;
    if (overlay_.facts && State().facts.load() == overlay_.facts) State().facts = nullptr;
    StopHooksThread();
    if (HHOOK hook = State().mouseHook.exchange(nullptr)) ::UnhookWindowsHookEx(hook);
    if (HHOOK hook = State().keyboardHook.exchange(nullptr)) ::UnhookWindowsHookEx(hook);
}

POINT OOPHooksManager::LastMousePosition() {
    const int64_t packed = State().lastMousePosition.load();
    return POINT{static_cast<LONG>(static_cast<int32_t>(packed & 0xFFFFFFFF)), static_cast<LONG>(packed >> 32)};
}

void OOPHooksManager::RememberMousePosition(POINT position) {
    State().lastMousePosition = (static_cast<int64_t>(position.y) << 32) | static_cast<uint32_t>(position.x);
}

void OOPHooksManager::CreateLLHooksThread(HINSTANCE instance) {
    constexpr const wchar_t* kFn = L"OOPHooksManager::CreateLLHooksThread";
    HOOKS_INFO(kFn, L"starting llHK thread");
    hooksThreadId_ = ::GetCurrentThreadId();
    HHOOK mouse = ::SetWindowsHookExW(WH_MOUSE_LL, &OOPHooksManager::MouseHookProc, instance, 0);
    if (!mouse) HOOKS_ERROR(kFn, L"mouse hk error 0x%x", static_cast<unsigned>(::GetLastError()));
    State().mouseHook = mouse;
    HHOOK keyboard = ::SetWindowsHookExW(WH_KEYBOARD_LL, &OOPHooksManager::KeyboardHookProc, instance, 0);
    if (!keyboard) HOOKS_ERROR(kFn, L"key hk error 0x%x", static_cast<unsigned>(::GetLastError()));
    State().keyboardHook = keyboard;
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
    if (HHOOK hook = State().mouseHook.exchange(nullptr)) ::UnhookWindowsHookEx(hook);
    if (HHOOK hook = State().keyboardHook.exchange(nullptr)) ::UnhookWindowsHookEx(hook);
    HOOKS_INFO(kFn, L"exit llHK thread");
}

void OOPHooksManager::StopHooksThread() {
    constexpr const wchar_t* kFn = L"OOPHooksManager::StopHooksThread";
    constexpr DWORD kStopTimeoutMs = 5000;
    if (!hooksThread_) return;
    // One bound for the whole stop, and every wait in it answers what the hooks may be sending to
    // this thread (a window of ours). A thread that has only just been created may not have written
    // its id or made its queue yet: the quit is repeated until it is taken.
    const uint64_t deadline = ::GetTickCount64() + kStopTimeoutMs;
    const auto left = [deadline] {
        const uint64_t now = ::GetTickCount64();
        return now < deadline ? static_cast<DWORD>(deadline - now) : 0u;
    };
    const auto ended = [this] { return base::WaitAnsweringSentMessages(hooksThread_.Get(), 1); };
    uint32_t id = hooksThreadId_.load();
    while (id == 0 && left() > 0 && !ended()) id = hooksThreadId_.load();
    HOOKS_INFO(kFn, L"waiting for llhk thread : %d", id);
    if (id != 0) {
        while (!::PostThreadMessageW(id, WM_QUIT, 0, 0) && left() > 0 && !ended()) {
        }
    }
    if (!base::WaitAnsweringSentMessages(hooksThread_.Get(), left())) {
        HOOKS_ERROR(kFn, L"llhk thread did not stop in %d ms", static_cast<int>(kStopTimeoutMs));
    }
    hooksThread_.Reset();
    hooksThreadId_ = 0;
    HOOKS_INFO(kFn, L"llhk thread stopped");
}

LRESULT CALLBACK OOPHooksManager::MouseHookProc(int code, WPARAM wParam, LPARAM lParam) {
    const auto* event = reinterpret_cast<const MSLLHOOKSTRUCT*>(lParam);
    const uint32_t message = static_cast<uint32_t>(wParam);
    InputState& state = State();
    OOPHooksManager* hooks = state.hooks;
    const OverlayFacts* facts = state.facts.load();
    qm::IOverlayManagerController* controller = hooks ? hooks->controller_.load() : nullptr;
    const bool click = message == WM_LBUTTONDOWN || message == WM_LBUTTONUP || message == WM_RBUTTONDOWN;
    const bool notify = controller && click;
    const bool exclusive = state.exclusive.load();

    const auto outside = [&] {
        hooks->SetPassThrough(true);
        if (notify) controller->OnClickOutside();
    };
    const auto next = [&] { return ::CallNextHookEx(state.mouseHook.load(), code, wParam, lParam); };

    if (!controller || !facts || !event) return next();
    const bool fullScreen = facts->fullScreen.load();
    // The cached window only: a search would send messages to other windows from inside the hook.
    if (facts->minimized.load() || facts->gameLeft.load() == OverlayFacts::kMinimizedLeft ||
        ::IsIconic(facts->game.load()) || facts->RenderingOff() || (fullScreen && !facts->blocker.load())) {
        outside();
        return next();
    }
    const uint32_t now = ::GetTickCount();
    if (const uint32_t exitTick = state.exclusiveExitTick.load()) {
        if (now - exitTick < 500) {
            outside();
            return next();
        }
        state.exclusiveExitTick = 0;
    }
    if (exclusive) {
        state.cursorVisibleSinceTick = 0;
    } else {
        CURSORINFO cursor{};
        cursor.cbSize = sizeof(cursor);
        const bool info = ::GetCursorInfo(&cursor) != FALSE;
        if (info && (cursor.flags & CURSOR_SHOWING) == 0) {
            state.cursorVisibleSinceTick = 0;
            outside();
            return next();
        }
        uint32_t since = state.cursorVisibleSinceTick.load();
        if (since == 0) {
            since = now;
            state.cursorVisibleSinceTick = now;
        }
        if (now - since < 500) {
            outside();
            return next();
        }
    }

    HWND overlay = facts->overlay.load();
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
    } else if (!facts->clickThrough.load()) {
        return next();  // the overlay's own window procedure gets the mouse
    } else {
        const bool handled = controller->OnMouseHook(message, flags, packed);
        passThrough = !handled && !exclusive;
        // The overlay takes this button or wheel event, but its style changes on its own thread a
        // moment later: the game must not get it meanwhile.
        if (!passThrough && message != WM_MOUSEMOVE) {
            hooks->SetPassThrough(false);
            return 1;
        }
    }
    hooks->SetPassThrough(passThrough);
    return next();
}

LRESULT CALLBACK OOPHooksManager::KeyboardHookProc(int code, WPARAM wParam, LPARAM lParam) {
    InputState& state = State();
    auto* key = reinterpret_cast<KBDLLHOOKSTRUCT*>(lParam);
    // Alt's own events always go on (the controller still sees them): swallowed, the system would
    // not know that Alt is held, and Alt+Tab would be lost.
    const bool alt = code == 0 && key && (key->vkCode == VK_MENU || key->vkCode == VK_LMENU || key->vkCode == VK_RMENU);
    if (alt) {
        const uint8_t bit = key->vkCode == VK_RMENU ? 2 : 1;
        if (wParam == WM_KEYDOWN || wParam == WM_SYSKEYDOWN) {
            state.altKeysDown.fetch_or(bit);
        } else {
            state.altKeysDown.fetch_and(static_cast<uint8_t>(~bit));
        }
    }
    if (code == 0 && key && key->vkCode == VK_TAB &&
        ((key->flags & LLKHF_ALTDOWN) != 0 || state.altKeysDown.load() != 0)) {
        return ::CallNextHookEx(state.keyboardHook.load(), code, wParam, lParam);
    }
    OOPHooksManager* hooks = state.hooks;
    qm::IOverlayManagerController* controller = hooks ? hooks->controller_.load() : nullptr;
    if (controller && controller->OnKeyboardHook(code, wParam, key) && !alt) return 1;
    return ::CallNextHookEx(state.keyboardHook.load(), code, wParam, lParam);
}

void OOPHooksManager::ApplyConfigurationDefaults(qm::GameConfiguration* c) {
    using Config = qm::GameConfiguration;
    for (size_t offset : Config::kZeroedU32s) c->SetU32(offset, 0);
    for (size_t offset : Config::kZeroedBytes) c->SetByte(offset, 0);
    for (const Config::Range& range : Config::kZeroedRanges) c->Zero(range.first, range.last);
    c->SetByte(Config::kPresetByte, 1);
    c->SetFloat(Config::kScale, 1.0f);
    c->SetU32(Config::kAllOnesU32, 0xFFFFFFFF);
}

void OOPHooksManager::Serve(const Overlay& overlay) {
    overlay_ = overlay;
    State().facts = overlay.facts;
}

bool OOPHooksManager::PostIntent(base::CoalescedPost& post, UINT message) {
    HWND overlay = overlay_.facts ? overlay_.facts->overlay.load() : nullptr;
    return overlay && post.Post(overlay, message);
}

bool OOPHooksManager::Init(const wchar_t* clientFolder, uint32_t clientPid, const Overlay& overlay) {
    constexpr const wchar_t* kFn = L"OOPHooksManager::Init";
    Serve(overlay);
    clientPid_ = clientPid;
    const bool haveFolder = clientFolder && clientFolder[0];
    // The client library loads its own libraries by plain name: its folder joins the safe ones.
    wchar_t folder[MAX_PATH];
    const DWORD n = haveFolder ? ::GetFullPathNameW(clientFolder, MAX_PATH, folder, nullptr) : 0;
    if (n > 0 && n < MAX_PATH && !clientDirectory_) clientDirectory_ = ::AddDllDirectory(folder);
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
    using Config = qm::GameConfiguration;
    c->SetU32(Config::kRendererKind, overlay_.rendererKind);
    for (size_t offset : Config::kHostSetBytes) c->SetByte(offset, 1);
    for (size_t offset : Config::kHostClearedBytes) c->SetByte(offset, 0);
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

void OOPHooksManager::ReleaseController(base::HangWatch* watch) {
    qm::IOverlayManagerController* controller = controller_.load();
    if (!controller) return;
    {
        base::HangWatch::Scope bound(watch, L"the client library's Stop", kClientExitLimitMs);
        controller->SetDelegate(nullptr);
        controller->Stop();
    }
    controller_ = nullptr;
    base::HangWatch::Scope bound(watch, L"the client library's clearClient", kClientExitLimitMs);
    if (client_.IsLoaded()) client_.ClearClient();
}

void OOPHooksManager::OnExclusiveModeChanged(bool exclusive) {
    InputState& state = State();
    if (state.exclusive.exchange(exclusive) == exclusive) return;
    HOOKS_INFO(L"OOPHooksManager::OnExclusiveModeChanged", L"exclusive mode %s", exclusive ? L"True" : L"False");
    if (!exclusive) state.exclusiveExitTick = ::GetTickCount();
    // The hooks read the flags at once; the window changes wait for the window's thread. At most one
    // message is on its way, whatever the caller does: the window's thread applies the latest state.
    if (exclusive && overlay_.facts) overlay_.facts->clickThrough = false;
    PostIntent(exclusivePost_, kMsgApplyExclusive);
}

bool OOPHooksManager::TakeExclusiveChange(bool* exclusive) {
    exclusivePost_.Taken();
    *exclusive = State().exclusive.load();
    if (*exclusive == exclusiveTaken_) return false;
    exclusiveTaken_ = *exclusive;
    return true;
}

bool OOPHooksManager::TakeClickThroughRequest() {
    clickThroughPost_.Taken();
    return requestedClickThrough_.load();
}

bool OOPHooksManager::HandleMessage(const qm::ControllerMessage* message) {
    if (!message) return false;
    switch (message->type) {
        case qm::kMessageStopOverlay:
            HOOKS_INFO(L"OOPHooksManager::HandleMessage", L"stop oopo requested");
            if (overlay_.stop) overlay_.stop->Request();
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
        if (!plugin_.StartPluginOOP(overlay_.gameProcessName.c_str(), 0)) HOOKS_ERROR(kFn, L"start oop plugin request error");
    }
    if (qm::IOverlayManagerController* controller = controller_.load()) controller->SendData(sizeof(reply), &reply);
}

bool OOPHooksManager::CanReceiveInput() {
    const OverlayFacts* facts = overlay_.facts;
    return !facts || !facts->fullScreen.load() || facts->blocker.load() != nullptr;
}

bool OOPHooksManager::GetOverlayInfo(bool* fullScreen, uint32_t* width, uint32_t* height) {
    const OverlayFacts* facts = overlay_.facts;
    RECT client{};
    if (HWND overlay = facts ? facts->overlay.load() : nullptr) ::GetClientRect(overlay, &client);
    if (width) *width = static_cast<uint32_t>(client.right - client.left);
    if (height) *height = static_cast<uint32_t>(client.bottom - client.top);
    if (fullScreen) *fullScreen = facts && facts->fullScreen.load();
    return true;
}

bool OOPHooksManager::CanShowOverlay() { return !overlay_.facts || !overlay_.facts->RenderingOff(); }

void OOPHooksManager::SetCursorType(int32_t type, HCURSOR cursor) {
    // The overlay's thread applies the latest kind, and tells the blocker: a client that calls
    // this in a loop costs one pending message.
    cursors_.Request(type, cursor);
    PostIntent(cursorPost_, qm::overlay::kMsgRefreshCursor);
}

void OOPHooksManager::SetPassThrough(bool passThrough) {
    requestedClickThrough_ = passThrough;
    // Nothing to ask while no request is on its way and the overlay already is as asked.
    if (!clickThroughPost_.Pending() && overlay_.facts && passThrough == overlay_.facts->clickThrough.load()) return;
    PostIntent(clickThroughPost_, kMsgApplyClickThrough);
}

qm::GameConfiguration* GetGameConfiguration() {
    InputState& state = State();
    // While another thread is inside the client's ReadGameConfiguration (which may never return),
    // callers do not wait for it: they get the defaults, and a later call the configuration read.
    if (!state.configurationRead.load() && state.configurationReading.TryLock()) {
        OOPHooksManager* hooks = state.hooks;
        qm::IOverlayManagerController* controller = hooks ? hooks->Controller() : nullptr;
        if (!state.configurationRead.load() && controller &&
            controller->ReadGameConfiguration(&state.configuration)) {
            state.configurationRead = true;
        }
        state.configurationReading.Unlock();
    }
    return &state.configuration;
}
