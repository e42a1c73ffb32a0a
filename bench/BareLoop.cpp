// The least a Direct3D 11 overlay can do, as a baseline for the host's CPU use: one window, its
// swap chain cleared and presented 90 times a second, paced by sleeping until the next frame is due.
//
//   bare-d3d-loop.exe --pos X,Y --size WxH [--sync N] [--frames MAPPING] [--wait sleep|messages]
//
// --sync is Present's sync interval, 1 by default: the host presents its frames with 1 whenever it
// does not draw the cursor.
//
// --wait messages waits for the next frame as the host's loop does, for messages or the due time
// (MsgWaitForMultipleObjectsEx), rather than sleeping: what that wait costs, measured alone.
//
// --frames names a file mapping that the benchmark made; the number of frames presented so far is
// kept there. The loop ends when its window is closed.
#include <windows.h>
#include <d3d11.h>
#include <shellapi.h>
#include <wrl/client.h>

#include <cstdio>
#include <cwchar>

#include "bench/HostRun.h"

using Microsoft::WRL::ComPtr;

namespace {

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        ::PostQuitMessage(0);
        return 0;
    }
    return ::DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

int main() {
    int x = 100, y = 100, width = 640, height = 480;
    const wchar_t* mappingName = nullptr;
    UINT sync = 1;
    bool messageWait = false;
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::wcscmp(argv[i], L"--pos") == 0) std::swscanf(argv[++i], L"%d,%d", &x, &y);
        else if (std::wcscmp(argv[i], L"--size") == 0) std::swscanf(argv[++i], L"%dx%d", &width, &height);
        else if (std::wcscmp(argv[i], L"--frames") == 0) mappingName = argv[++i];
        else if (std::wcscmp(argv[i], L"--wait") == 0) messageWait = std::wcscmp(argv[++i], L"messages") == 0;
        else if (std::wcscmp(argv[i], L"--sync") == 0) sync = static_cast<UINT>(std::wcstoul(argv[++i], nullptr, 10));
    }

    volatile LONG64* frames = nullptr;
    base::UniqueHandle mapping;
    if (mappingName) {
        mapping.Reset(::OpenFileMappingW(FILE_MAP_WRITE, FALSE, mappingName));
        if (mapping) frames = static_cast<volatile LONG64*>(::MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, sizeof(LONG64)));
    }

    HWND window = bench::CreatePlainWindow(L"QMBareLoop", L"bare loop", WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, WS_POPUP | WS_VISIBLE,
                                    RECT{x, y, x + width, y + height}, WindowProc);
    if (!window) return 2;

    // As the host's regular swap chain: two buffers, discarded, RGBA.
    DXGI_SWAP_CHAIN_DESC sd{};
    sd.BufferDesc.Width = static_cast<UINT>(width);
    sd.BufferDesc.Height = static_cast<UINT>(height);
    sd.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    sd.SampleDesc.Count = 1;
    sd.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    sd.BufferCount = 2;
    sd.OutputWindow = window;
    sd.Windowed = TRUE;
    sd.SwapEffect = DXGI_SWAP_EFFECT_DISCARD;
    ComPtr<IDXGISwapChain> swapChain;
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    if (FAILED(::D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION,
                                               &sd, &swapChain, &device, nullptr, &context))) {
        std::printf("bare loop: no Direct3D 11 device\n");
        return 3;
    }
    ComPtr<ID3D11Texture2D> back;
    ComPtr<ID3D11RenderTargetView> target;
    if (FAILED(swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(back.GetAddressOf()))) ||
        FAILED(device->CreateRenderTargetView(back.Get(), nullptr, &target))) {
        return 4;
    }

    constexpr double kFrameMs = 1000.0 / 90.0;
    const float clear[4] = {0, 0, 0, 0};
    long long presented = 0;
    double due = bench::NowMs();
    for (;;) {
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return 0;
            ::DispatchMessageW(&msg);
        }
        context->ClearRenderTargetView(target.Get(), clear);
        swapChain->Present(sync, 0);
        if (frames) ::InterlockedExchange64(frames, ++presented);
        due += kFrameMs;
        const double now = bench::NowMs();
        if (due < now) due = now;  // late frames are not made up for
        if (messageWait) {
            ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(due - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        } else {
            ::Sleep(static_cast<DWORD>(due - now));
        }
    }
}
