// A client library written the way client teams write theirs: Dear ImGui with its Direct3D 11 and
// Win32 backends, on the overlay's swap chain. It shows one small window (its name, the frame rate,
// a button and a checkbox); a click into it takes exclusive mode, a click outside it or Esc gives
// it back. Copy from here: the comments mark where the host's contract is subtle.
//
// QMSAMPLE_RECORD=<file> appends what it did, a line each (for the tests).
#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "backends/imgui_impl_dx11.h"
#include "backends/imgui_impl_win32.h"
#include "imgui.h"
#include "qm/ClientContract.h"

// The Win32 backend's message handler; its header leaves the declaration to the application.
extern IMGUI_IMPL_API LRESULT ImGui_ImplWin32_WndProcHandler(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

namespace {

using Microsoft::WRL::ComPtr;

void Record(const char* format, ...) {
    wchar_t path[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"QMSAMPLE_RECORD", path, MAX_PATH) == 0) return;
    char line[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof(line) - 1, format, args);
    va_end(args);
    if (n <= 0) return;
    const size_t length = static_cast<size_t>(n) < sizeof(line) - 1 ? static_cast<size_t>(n) : sizeof(line) - 2;
    line[length] = '\n';
    HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, line, static_cast<DWORD>(length + 1), &written, nullptr);
    ::CloseHandle(file);
}

class ImGuiController final : public qm::IOverlayManagerController {
public:
    void SendData(uint32_t, const void*) override {}
    bool ReadGameConfiguration(qm::GameConfiguration*) override { return true; }
    bool Start(qm::GameConfiguration*) override {
        Record("Start");
        return true;
    }
    // Called on the overlay's thread before the host releases its device: everything made on it
    // goes here, and nothing is drawn afterwards.
    void Stop() override {
        Record("Stop");
        ReleaseTarget();
        if (ImGui::GetCurrentContext()) {
            if (device_) ImGui_ImplDX11_Shutdown();
            if (window_) ImGui_ImplWin32_Shutdown();
            ImGui::DestroyContext();
        }
        device_.Reset();
        context_.Reset();
        window_ = nullptr;
    }
    void SetDelegate(qm::IOverlayManagerControllerDelegate* host) override { host_ = host; }
    bool IsFrameReady() override { return true; }
    void SetGameWindow(HWND) override {}
    void OnWindowModeRestored() override {}
    void OnOverlayActivated() override {}
    void OnHooksFailed() override { Record("OnHooksFailed"); }
    void Unused7() override {}
    void Unused10() override {}
    void Unused16() override {}

    // The hooks' thread, for every mouse event while the overlay lets the mouse through. Return
    // quickly and never wait here: the system drops a hook that is slow. True takes the event from
    // the game; the host then makes the overlay take the mouse, and the next events arrive as
    // window messages (OnMouseMessage).
    bool OnMouseHook(uint32_t message, uint64_t, int64_t) override {
        return overWindow_.load() && message != WM_MOUSEWHEEL;
    }
    // A click beyond the overlay, from the hooks' thread: exclusive mode ends.
    void OnClickOutside() override { LeaveExclusive("click outside the overlay"); }
    // Every key while the hooks run, from the hooks' thread. Esc gives exclusive mode back.
    bool OnKeyboardHook(int32_t code, uint64_t wParam, KBDLLHOOKSTRUCT* key) override {
        if (code != HC_ACTION || !key || !exclusive_.load()) return false;
        if (key->vkCode == VK_ESCAPE && (wParam == WM_KEYDOWN || wParam == WM_SYSKEYDOWN)) {
            LeaveExclusive("Esc");
            return true;
        }
        return false;
    }
    // The overlay's own mouse messages while it takes the mouse (on its thread; over a full-screen
    // game from the hooks' thread instead, where ImGui is not touched). True: the overlay keeps the
    // mouse; `*exclusive` false with a false return lets the mouse through again.
    bool OnMouseMessage(uint64_t message, uint64_t wParam, int64_t lParam, bool* exclusive) override {
        const bool over = overWindow_.load();
        const UINT msg = static_cast<UINT>(message);
        if (::GetCurrentThreadId() == renderThread_ && window_ && !QueueButton(msg)) {
            ImGui_ImplWin32_WndProcHandler(window_, msg, static_cast<WPARAM>(wParam), static_cast<LPARAM>(lParam));
        }
        if (msg == WM_LBUTTONDOWN) {
            if (over && !exclusive_.exchange(true) && host_) {
                Record("exclusive on");
                host_->OnExclusiveModeChanged(true);
            } else if (!over) {
                LeaveExclusive("click beside the window");
            }
        }
        if (exclusive) *exclusive = exclusive_.load();
        return over || exclusive_.load();
    }

    // Every frame, on the overlay's thread: draw into buffer 0 of `swapChain`. After a lost device
    // the host hands a new swap chain on a new device, so the backend follows the device it is given.
    void RenderOverlay(HWND overlay, IDXGISwapChain* swapChain) override {
        if (!swapChain || !Prepare(overlay, swapChain)) return;
        ImGuiIO& io = ImGui::GetIO();
        ImGui_ImplDX11_NewFrame();
        ImGui_ImplWin32_NewFrame();
        // The overlay never has the foreground, where the backend reads the mouse: read it here.
        POINT cursor{};
        if (::GetCursorPos(&cursor) && ::ScreenToClient(overlay, &cursor)) {
            io.MousePos = ImVec2(static_cast<float>(cursor.x), static_cast<float>(cursor.y));
        }
        io.DisplaySize = ImVec2(static_cast<float>(width_), static_cast<float>(height_));
        // This ImGui reads the buttons once a frame: a press and its release that come between two
        // frames (a quick click) would never be seen, so each lasts a frame of its own.
        for (int b = 0; b < 3; ++b) {
            if (pressed_[b]) {
                io.MouseDown[b] = true;
                pressed_[b] = false;
            } else if (released_[b]) {
                io.MouseDown[b] = false;
                released_[b] = false;
            }
        }
        ImGui::NewFrame();

        ImGui::SetNextWindowPos(ImVec2(24, 24), ImGuiCond_Always);
        ImGui::SetNextWindowSize(ImVec2(260, 110), ImGuiCond_Always);
        ImGui::Begin("Quillmar client", nullptr, ImGuiWindowFlags_NoMove | ImGuiWindowFlags_NoResize |
                                                     ImGuiWindowFlags_NoCollapse);
        ImGui::Text("%.0f frames a second", static_cast<double>(io.Framerate));
        if (ImGui::Button("Press me")) Record("button pressed %d", ++presses_);
        if (!buttonSaid_) {
            buttonSaid_ = true;
            const ImVec2 min = ImGui::GetItemRectMin(), max = ImGui::GetItemRectMax();
            Record("button at %d %d %d %d", static_cast<int>(min.x), static_cast<int>(min.y), static_cast<int>(max.x),
                   static_cast<int>(max.y));
        }
        if (ImGui::Checkbox("Remember", &checked_)) Record("checkbox %d", checked_ ? 1 : 0);
        ImGui::End();
        ImGui::Render();
        overWindow_ = io.WantCaptureMouse;

        // Drawn over what is bound now, which is left as it was found.
        ID3D11RenderTargetView* previous = nullptr;
        ID3D11DepthStencilView* previousDepth = nullptr;
        context_->OMGetRenderTargets(1, &previous, &previousDepth);
        ID3D11RenderTargetView* target = target_.Get();
        context_->OMSetRenderTargets(1, &target, nullptr);
        ImGui_ImplDX11_RenderDrawData(ImGui::GetDrawData());
        context_->OMSetRenderTargets(1, &previous, previousDepth);
        if (previous) previous->Release();
        if (previousDepth) previousDepth->Release();
        ReleaseTarget();
    }

private:
    // The context, the backends on this swap chain's device, and a view of its buffer 0.
    bool Prepare(HWND overlay, IDXGISwapChain* swapChain) {
        if (!ImGui::GetCurrentContext()) {
            ImGui::CreateContext();
            ImGui::GetIO().IniFilename = nullptr;  // nothing written into the game's folder
            ImGui::StyleColorsDark();
        }
        if (!window_) {
            window_ = overlay;
            renderThread_ = ::GetCurrentThreadId();
            ImGui_ImplWin32_Init(overlay);
        }
        ComPtr<ID3D11Device> device;
        if (FAILED(swapChain->GetDevice(__uuidof(ID3D11Device), reinterpret_cast<void**>(device.GetAddressOf())))) {
            return false;
        }
        // Raw pointers: some ComPtr headers have no comparison, and two ComPtrs then compare as bools.
        if (device.Get() != device_.Get()) {
            ReleaseTarget();
            if (device_) ImGui_ImplDX11_Shutdown();
            device_ = device;
            context_.Reset();
            device_->GetImmediateContext(context_.GetAddressOf());
            ImGui_ImplDX11_Init(device_.Get(), context_.Get());
            Record("backend on device %d", ++devices_);
        }
        // A view of this frame's buffer, released with the frame: the host resizes the buffers when
        // the game's client area changes, which fails while anything still holds one.
        ComPtr<ID3D11Texture2D> buffer;
        if (FAILED(swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(buffer.GetAddressOf()))) ||
            FAILED(device_->CreateRenderTargetView(buffer.Get(), nullptr, target_.ReleaseAndGetAddressOf()))) {
            return false;
        }
        D3D11_TEXTURE2D_DESC desc{};
        buffer->GetDesc(&desc);
        width_ = desc.Width;
        height_ = desc.Height;
        return true;
    }
    void ReleaseTarget() { target_.Reset(); }
    // A button's press or release, kept for the next frame; false for any other message.
    bool QueueButton(UINT msg) {
        switch (msg) {
            case WM_LBUTTONDOWN: case WM_LBUTTONDBLCLK: pressed_[0] = true; return true;
            case WM_RBUTTONDOWN: case WM_RBUTTONDBLCLK: pressed_[1] = true; return true;
            case WM_MBUTTONDOWN: case WM_MBUTTONDBLCLK: pressed_[2] = true; return true;
            case WM_LBUTTONUP: released_[0] = true; return true;
            case WM_RBUTTONUP: released_[1] = true; return true;
            case WM_MBUTTONUP: released_[2] = true; return true;
            default: return false;
        }
    }
    void LeaveExclusive(const char* why) {
        if (!exclusive_.exchange(false) || !host_) return;
        Record("exclusive off: %s", why);
        host_->OnExclusiveModeChanged(false);
    }

    qm::IOverlayManagerControllerDelegate* host_ = nullptr;
    HWND window_ = nullptr;
    DWORD renderThread_ = 0;
    ComPtr<ID3D11Device> device_;
    ComPtr<ID3D11DeviceContext> context_;
    ComPtr<ID3D11RenderTargetView> target_;  // this frame's only
    UINT width_ = 0, height_ = 0;
    int devices_ = 0;
    int presses_ = 0;
    bool checked_ = false;
    bool pressed_[3] = {};
    bool released_[3] = {};
    bool buttonSaid_ = false;
    // Read by the hooks' thread.
    std::atomic<bool> overWindow_{false};
    std::atomic<bool> exclusive_{false};
};

ImGuiController gController;

}  // namespace

extern "C" __declspec(dllexport) qm::IOverlayManagerController* GetOverlayManagerController(uint32_t, const wchar_t*) {
    return &gController;
}

extern "C" __declspec(dllexport) void clearClient() { Record("clearClient"); }
