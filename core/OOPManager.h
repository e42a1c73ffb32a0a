#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/HangWatch.h"
#include "common/MessageWait.h"
#include "common/ProcessWatchDog.h"
#include "common/StopSignal.h"
#include "common/UniqueHandle.h"
#include "common/WorkerThread.h"
#include "core/IOOPManager.h"
#include "core/OverlayParts.h"
#include "qm/OverlayWindowContract.h"

// Exit codes of Init's steps.
enum InitResult : int {
    kInitOk = 0,
    kInitCommandLine = -999,
    kInitWindow = -998,
    kInitD3D = -997,
    kInitHooksStart = -996,
    kInitHooks = -995,
};

// The exit code when the window's thread has not come back from a call for kPassLimitMs: the host
// ends rather than leave a frozen overlay over the game (the system's "possible deadlock" status).
constexpr int kExitHung = static_cast<int>(0xC0000194);

// The overlay manager conducts: Init, the main loop and Shutdown, and what its parts report
// applied (core/OverlayParts.h): the game tracker (the game's window and its state), the input mode
// (click-through and exclusive mode, the blocker), the foreground forcer, the client session (the
// client library and its controller), the frame loop (pacer, renderer, statistics) and the overlay
// window. What the input side needs it reads from the overlay's facts.
class OOPManager : public IOOPManager,
                   public base::process::ProcessWatchDog::Delegate,
                   public OverlayWindow::Owner {
public:
    // `type` and its frame rate; `displayPaced`: frames as the display takes them, up to the rate.
    // A manager without a renderer (the plug-in hosts) draws nothing.
    OOPManager(ManagerType type, uint32_t targetFrameRate, bool displayPaced = false);
    virtual ~OOPManager();
    OOPManager(const OOPManager&) = delete;
    OOPManager& operator=(const OOPManager&) = delete;

    int Run(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) override;
    int GetManagerType() override { return type_; }
    // The main loop and the stop, once the manager has started; Run's second half.
    int RunStarted(FlushLogger* logger);

    // How a program drives the manager in its own process (tests, benchmarks): over the game of
    // `gamePid`, with `controller` in place of a client library.
    struct InProcessSetup {
        uint32_t gamePid = 0;
        bool uwp = false;
        qm::IOverlayManagerController* controller = nullptr;
        bool hooksThread = false;  // with a controller: the low-level hooks as well
        bool worker = true;
        bool fullScreenStateKnown = false;  // placement then does not wait for the worker's answer
    };
    // The game's tracker, the worker, the overlay window and what the setup asks for; the
    // configuration is read as Init reads it. False when the window or the hooks cannot be made.
    bool AttachInProcess(HINSTANCE instance, const InProcessSetup& setup);

    virtual int Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd);
    virtual void Shutdown();
    virtual uint32_t GetWindowExStyle() { return qm::overlay::kManagerExStyle; }
    // The frame gate, then the update step.
    virtual bool Update();
    // The update step after the frame gate; without `render` it only follows the game.
    bool Step(bool render);

    void ProcessClosed(base::process::ProcessWatchDog* watchdog, uint32_t pid, uint32_t exitCode) override;
    void RequestStop() { stop_.Request(); }
    bool StopRequested() const { return stop_.Requested(); }

    bool ProcessCommandLine(const CommandLineArgs* cmd);
    // The first steps of the plug-in managers' Init: logging when "EnableOOPGLog" asks for it, and
    // the command line. 0, or -999 after logging "fail to process command line" under `function`.
    int InitPluginHost(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd, const wchar_t* function);

    // The overlay window's messages.
    LRESULT OnOverlayMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

    // What the command line names.
    struct Launch {
        HINSTANCE instance = nullptr;
        uint32_t gamePid = 0;
        uint32_t clientPid = 0;
        std::wstring gameProcessName;
    };

    // The parts, for the renderers' managers and for programs that drive the manager in-process.
    OverlayParts& Parts() { return parts_; }

    // How long one pass of the main loop or one window message may take before the host counts as hung.
    static constexpr uint32_t kPassLimitMs = 10000;

protected:
    // The client's process, waited for by the main loop, and when it was last looked at.
    struct ClientWatch {
        base::UniqueHandle process;
        int64_t lookedAtUs = 0;
    };
    // The exit code from now on, and that the exit has begun.
    struct Exit {
        std::atomic<int> code{0};
        std::atomic<bool> begun{false};
    };

    // What Init started, stopped in order (input unblocked, injection, hooks thread, worker,
    // watchdog, controller): the first part of Shutdown, and all that a failed start undoes.
    void UndoFailedStart();
    // The hang watch's reaction, on its own thread: a stuck exit goes on, a stuck pass ends the host.
    static void OnHang(void* self, const wchar_t* what, uint32_t limitMs);
    void BeginExit(int exitCode);
    // The main loop's wait when no message is waiting and the next pass is not due; false when it
    // only ran out (no message came).
    bool WaitForNextPass(int64_t now);
    // The client's end, from the wait (`ended`) or, for a loop whose frames are always due, a look
    // now and then.
    void LookForTheClientsEnd(int64_t now, bool ended);
    // The pass's look at the game and the overlay's placement: kPassOn, or what Step returns.
    static constexpr int kPassOn = -1;
    int LookAndPlace(int64_t passStartUs);
    // What the game's window side reported (WindowManager::Change bits), applied.
    void ApplyGameChanges(uint32_t changes);

    const ManagerType type_;
    Launch launch_;
    OverlayParts parts_;
    std::unique_ptr<Common::Utils::WorkerThread> worker_;
    std::unique_ptr<base::process::ProcessWatchDog> watchdog_;
    ClientWatch client_;
    base::StopSignal stop_;
    base::MessageWaiter waiter_;
    base::HangWatch hangWatch_;
    Exit exit_;
};
