#include "tests/gamewindow/OverlayTestSupport.h"

#include "core/CommandLineArgs.h"

namespace test {

HWND FindWindowOfProcess(const wchar_t* className, DWORD pid) {
    for (HWND w = ::FindWindowExW(nullptr, nullptr, className, nullptr); w;
         w = ::FindWindowExW(nullptr, w, className, nullptr)) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(w, &owner);
        if (owner == pid) return w;
    }
    return nullptr;
}

SampleGame::SampleGame(const std::wstring& arguments)
    : process_(L"\"" + InExeDir(L"sample-game.exe") + L"\" " + arguments) {
    WaitUntil([this] { return (window_ = FindWindowOfProcess(L"QMSampleGame", Pid())) != nullptr; }, 10000);
    // The window exists a moment before it is shown.
    if (window_ && arguments.find(L"--hidden") == std::wstring::npos) {
        WaitUntil([this] { return ::IsWindowVisible(window_) != FALSE; }, 5000);
    }
}

RECT SampleGame::ClientOnScreen() const {
    RECT r{};
    ::GetClientRect(window_, &r);
    POINT a{r.left, r.top}, b{r.right, r.bottom};
    ::ClientToScreen(window_, &a);
    ::ClientToScreen(window_, &b);
    return RECT{a.x, a.y, b.x, b.y};
}

TestManager::~TestManager() {
    hooksManager_.StopHooksThread();
    if (overlayWindow_) ::DestroyWindow(overlayWindow_);
    ::UnregisterClassW(qm::overlay::kWindowClass, ::GetModuleHandleW(nullptr));
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

bool TestManager::Prepare(DWORD gamePid, bool uwp, qm::IOverlayManagerController* controller) {
    gamePid_ = gamePid;
    instance_ = ::GetModuleHandleW(nullptr);
    CommandLineArgs args;
    args.Parse(uwp ? L"host.exe --uwp" : L"host.exe");
    ChooseGameWindowHandler(&args);
    worker_ = std::make_unique<Common::Utils::WorkerThread>();
    worker_->Start("worker thread");
    if (!InitWindow(instance_)) return false;
    if (controller) {
        hooksManager_.SetControllerForTesting(controller, this);
        if (!hooksManager_.Start(instance_)) return false;
    }
    return true;
}

bool TestManager::UpdateUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        PumpMessages();
        Update();
        if (done()) return true;
        if (::GetTickCount() - start >= timeoutMs) return false;
    }
}

RECT WindowRect(HWND window) {
    RECT r{};
    ::GetWindowRect(window, &r);
    return r;
}

bool SameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

}  // namespace test
