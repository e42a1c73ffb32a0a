#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "common/CoalescedPost.h"
#include "common/HangWatch.h"
#include "common/DllHelper.h"
#include "common/StopSignal.h"
#include "common/UniqueHandle.h"
#include "gamewindow/OverlayFacts.h"
#include "input/CursorCache.h"
#include "input/InputState.h"
#include "qm/ClientContract.h"

// The client session: loads QMClient.dll, creates and starts the controller with the game
// configuration, answers the controller's calls from the overlay's facts, and passes on what the
// controller and the hooks ask as intents the overlay's thread takes (a message posted to the
// overlay, at most one of each kind on its way). No virtual destructor: the first eight slots are
// the delegate contract.
class OOPHooksManager : public qm::IOverlayManagerControllerDelegate {
public:
    OOPHooksManager();
    ~OOPHooksManager();
    OOPHooksManager(const OOPHooksManager&) = delete;
    OOPHooksManager& operator=(const OOPHooksManager&) = delete;

    // Delegate slots 0 to 7.
    void Reserved0() override {}
    // The flag and ticks change at once; the overlay's style, foreground and blocking follow on
    // the overlay's own thread (ApplyExclusiveMode), so a caller on another thread never waits.
    void OnExclusiveModeChanged(bool exclusive) override;
    void Reserved2() override {}
    bool HandleMessage(const qm::ControllerMessage* message) override;
    bool CanReceiveInput() override;
    bool GetOverlayInfo(bool* fullScreen, uint32_t* width, uint32_t* height) override;
    bool CanShowOverlay() override;
    void SetCursorType(int32_t type, HCURSOR cursor) override;
    // Slot 8, the host's own: the overlay lets the mouse through (true) or takes it (false).
    virtual void SetPassThrough(bool passThrough);

    // The intents' messages to the overlay window, beyond its public ones (qm/OverlayWindowContract.h).
    static constexpr UINT kMsgApplyClickThrough = WM_USER + 11;
    static constexpr UINT kMsgApplyExclusive = WM_USER + 12;

    // What the session serves: the overlay's facts, the host's stop, and what the client's
    // configuration and plug-ins are told of the host.
    struct Overlay {
        OverlayFacts* facts = nullptr;
        base::StopSignal* stop = nullptr;
        uint32_t rendererKind = qm::GameConfiguration::kRendererOther;
        std::wstring gameProcessName;
    };
    // Loads the client library (plain name, then from `clientFolder`) and creates the controller.
    bool Init(const wchar_t* clientFolder, uint32_t clientPid, const Overlay& overlay);
    // Reads the game configuration with the host's overrides and starts the controller.
    bool Start(HINSTANCE instance);
    void ApplayOOPOConfigurtion(qm::GameConfiguration* configuration);
    // The thread that owns the low-level hooks and pumps their messages.
    void CreateLLHooksThread(HINSTANCE instance);
    // Bounded: a thread that does not end in time is left to the process's exit, with a warning.
    void StopHooksThread();
    // On the overlay's thread, at kMsgApplyExclusive: true with the latest exclusive state when it
    // differs from the one taken last (a quick on and off meanwhile is no change).
    bool TakeExclusiveChange(bool* exclusive);
    // On the overlay's thread, at kMsgApplyClickThrough: the latest click-through state asked for.
    // Read it again after applying it: a request made meanwhile may have seen the old state.
    bool TakeClickThroughRequest();
    bool RequestedClickThrough() const { return requestedClickThrough_.load(); }
    // The cursor kinds asked for; the overlay's thread applies them at qm::overlay::kMsgRefreshCursor.
    CursorCache& Cursors() { return cursors_; }
    void CursorRequestTaken() { cursorPost_.Taken(); }
    uint32_t HooksThreadId() const { return hooksThreadId_; }
    static LRESULT CALLBACK MouseHookProc(int code, WPARAM message, LPARAM lParam);
    static LRESULT CALLBACK KeyboardHookProc(int code, WPARAM wParam, LPARAM lParam);
    // Where the mouse was last seen, in overlay client coordinates.
    static POINT LastMousePosition();
    static void RememberMousePosition(POINT position);
    // The controller the hooks talk to, without loading a library (a program driving the overlay in
    // its own process).
    void UseController(qm::IOverlayManagerController* controller, const Overlay& overlay) {
        controller_ = controller;
        Serve(overlay);
    }
    // Shutdown's part: the delegate cleared, the controller stopped, "clearClient".
    // Clears the delegate, stops the controller and calls "clearClient"; each call into the library
    // under `watch` (when given), which lets the exit go on without a call that does not return.
    void ReleaseController(base::HangWatch* watch = nullptr);
    static constexpr uint32_t kClientExitLimitMs = 3000;
    void OverrideLoadPlugin(const qm::ControllerMessage* message);

    qm::IOverlayManagerController* Controller() const { return controller_.load(); }
    QMClientDll& ClientLibrary() { return client_; }
    GEPPluginDll& PluginLibrary() { return plugin_; }
    static bool IsExclusive() { return InputState::Get().exclusive.load(); }

    static OOPHooksManager* Instance() { return InputState::Get().hooks; }

    // The defaults the host writes into a configuration block before it is read.
    static void ApplyConfigurationDefaults(qm::GameConfiguration* configuration);

private:
    void Serve(const Overlay& overlay);
    // Posts `message` to the overlay through `post`; false when there is no overlay to post to.
    bool PostIntent(base::CoalescedPost& post, UINT message);

    Overlay overlay_;
    uint32_t clientPid_ = 0;
    // Read by the hooks and the worker; cleared once the controller is released.
    std::atomic<qm::IOverlayManagerController*> controller_{nullptr};
    QMClientDll client_;
    GEPPluginDll plugin_;
    base::UniqueHandle hooksThread_;
    HINSTANCE hooksInstance_ = nullptr;
    static DWORD WINAPI HooksThreadProc(void* self);
    std::atomic<uint32_t> hooksThreadId_{0};
    base::CoalescedPost exclusivePost_;
    bool exclusiveTaken_ = false;  // the overlay thread's own
    std::atomic<bool> requestedClickThrough_{true};
    base::CoalescedPost clickThroughPost_;
    CursorCache cursors_;
    base::CoalescedPost cursorPost_;
    DLL_DIRECTORY_COOKIE clientDirectory_ = nullptr;  // kept for the library's lifetime
};

// The process-wide game configuration: defaults until the controller has given one.
qm::GameConfiguration* GetGameConfiguration();
