#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/WorkerThread.h"
#include "core/IOOPManager.h"
#include "input/InputBlockerProxy.h"
#include "input/OOPHooksManager.h"
#include "plugins/ProcessWatchDog.h"

// Exit codes of Init's steps.
enum InitResult : int {
    kInitOk = 0,
    kInitCommandLine = -999,
    kInitWindow = -998,
    kInitD3D = -997,
    kInitHooksStart = -996,
    kInitHooks = -995,
};

// The overlay manager base: Init, the main loop and Shutdown shared by every manager.
class OOPManager : public IOOPManager, public base::process::ProcessWatchDog::Delegate {
public:
    OOPManager();
    virtual ~OOPManager();
    OOPManager(const OOPManager&) = delete;
    OOPManager& operator=(const OOPManager&) = delete;

    int Run(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) override;

    virtual int Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd);
    virtual void Shutdown();
    virtual uint32_t GetWindowExStyle() { return 0x08080008; }
    virtual bool ShouldRenderFrame();
    virtual bool Update();
    virtual uint32_t GetTargetFrameRate() { return 60; }

    void ProcessClosed(base::process::ProcessWatchDog* watchdog, uint32_t pid, uint32_t exitCode) override;

    bool ProcessCommandLine(const CommandLineArgs* cmd);
    // The logger's file-name suffix is "_" + game process name + "_" + game process id.
    static void StartLogging(FlushLogger* logger, const CommandLineArgs* cmd);
    // The first steps of the plug-in managers' Init: logging when "EnableOOPGLog" asks for it, and
    // the command line. 0, or -999 after logging "fail to process command line" under `function`.
    int InitPluginHost(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd, const wchar_t* function);

    uint32_t GamePid() const { return gamePid_; }
    uint32_t ClientPid() const { return clientPid_; }
    const std::wstring& GameProcessName() const { return gameProcessName_; }
    Common::Utils::WorkerThread* Worker() const { return worker_.get(); }
    base::process::ProcessWatchDog* ClientWatchDog() const { return watchdog_.get(); }
    uint32_t BackgroundColor() const { return backgroundColor_; }
    OOPHooksManager& HooksManager() { return hooksManager_; }

    // What the controller's callbacks need to know of the overlay and the game.
    HWND OverlayWindow() const { return overlayWindow_; }
    bool IsGameFullScreen() const { return gameFullScreen_; }
    bool FullScreenRenderingOff() const { return fullScreenRenderingOff_; }
    HWND BlockerWindow() const { return inputProxy_.BlockerWindow(); }
    InputBlockerProxy& InputProxy() { return inputProxy_; }

    // The cursor cache: 7 slots, the current one, and whether it changed since it was drawn.
    static constexpr int kCursorSlots = 7;
    void SelectCursor(int32_t type, HCURSOR cursor);
    int CursorIndex() const { return cursorIndex_; }
    bool CursorChanged() const { return cursorChanged_; }
    void ClearCursorChanged() { cursorChanged_ = false; }

    // Whether the overlay lets the mouse through to the game.
    void SetClickThrough(bool clickThrough, bool force);
    bool ClickThrough() const { return clickThrough_; }
    bool StopRequested() const { return stopRequested_; }
    void RequestStop() { stopRequested_ = true; }

    static OOPManager* Current() { return current_; }

protected:
    HINSTANCE instance_ = nullptr;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> clickThrough_{true};
    bool minimized_ = true;
    uint32_t backgroundColor_ = 0;

    std::wstring gameProcessName_;
    uint32_t gamePid_ = 0;
    uint32_t clientPid_ = 0;
    HWND overlayWindow_ = nullptr;
    // The game window's rectangle in screen coordinates; left -32000 means minimised.
    RECT gameRect_{};
    bool gameRectKnown_ = false;
    bool gameFullScreen_ = false;
    bool fullScreenRenderingOff_ = false;
    int cursorIndex_ = 0;
    bool cursorChanged_ = false;
    HCURSOR cursorHandles_[kCursorSlots] = {};
    OOPHooksManager hooksManager_;
    InputBlockerProxy inputProxy_;
    std::unique_ptr<base::process::ProcessWatchDog> watchdog_;
    std::unique_ptr<Common::Utils::WorkerThread> worker_;

private:
    static OOPManager* current_;
};
