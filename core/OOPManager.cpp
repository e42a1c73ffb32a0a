#include "core/OOPManager.h"

#include "core/CommandLineArgs.h"
#include "logging/FlushLogger.h"

OOPManager* OOPManager::current_ = nullptr;

OOPManager::OOPManager() { current_ = this; }

OOPManager::~OOPManager() {
    worker_.reset();
    if (current_ == this) current_ = nullptr;
}

int OOPManager::Init(HINSTANCE instance, FlushLogger* /*logger*/, CommandLineArgs* cmd) {
    instance_ = instance;
    if (!ProcessCommandLine(cmd)) return kInitCommandLine;
    if (!InitD3D()) return kInitD3D;
    return kInitOk;
}

int OOPManager::Run(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) {
    const int r = Init(instance, logger, cmd);
    if (r != kInitOk) return r;

    int exitCode = 0;
    MSG msg{};
    while (!stopRequested_) {
        if (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
            if (msg.message == WM_QUIT) {
                exitCode = static_cast<int>(msg.wParam);
                break;
            }
        } else {
            Update();
        }
    }
    Shutdown();
    if (logger) logger->Flush();
    return exitCode;
}

bool OOPManager::ProcessCommandLine(const CommandLineArgs* cmd) {
    using Overlay::Common::GetIntValue;
    if (!cmd) return false;
    if (cmd->GetValue(L"qm-client").empty()) return false;
    gamePid_ = static_cast<uint32_t>(GetIntValue(*cmd, L"game-pid"));
    if (gamePid_ == 0) return false;
    clientPid_ = static_cast<uint32_t>(GetIntValue(*cmd, L"qm-pid"));
    if (clientPid_ == 0) return false;
    gameProcessName_ = cmd->GetValue(L"game-process");

    auto worker = std::make_unique<Common::Utils::WorkerThread>();
    worker_ = std::move(worker);
    // A worker that cannot get its events stays without a thread; that does not fail the step.
    worker_->Start("worker thread");
    return true;
}

// Frame gate: `last` is shared by every manager of the process and touched by the first thread only.
bool OOPManager::ShouldRenderFrame() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f{};
        ::QueryPerformanceFrequency(&f);
        return f;
    }();
    static int64_t last = 0;
    const int64_t interval = 1000 / static_cast<int64_t>(GetTargetFrameRate());
    LARGE_INTEGER counter{};
    ::QueryPerformanceCounter(&counter);
    const int64_t now = counter.QuadPart * 1000 / frequency.QuadPart;
    if (now - last < interval) return false;
    last = now;
    return true;
}

// Nothing to follow yet without a game window handler: the gate only paces the loop.
bool OOPManager::Update() {
    ShouldRenderFrame();
    return false;
}

void OOPManager::Shutdown() { ShutdownD3D(); }

void OOPManager::ProcessClosed(base::process::ProcessWatchDog* /*watchdog*/, uint32_t pid, uint32_t /*exitCode*/) {
    if (pid == clientPid_) stopRequested_ = true;
}
