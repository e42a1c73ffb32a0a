#pragma once
#include <windows.h>

#include <d3d11.h>
#include <d3dcommon.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <atomic>

#include "common/UniqueHandle.h"
#include "common/WorkerThread.h"

// Folds the adapters, in the system's order, into the one for the game's monitor: an adapter of
// the two discrete vendors that drives it wins at once, else the first adapter that drives it.
class AdapterChoice {
public:
    explicit AdapterChoice(HMONITOR gameMonitor) : monitor_(gameMonitor) {}
    // One output of adapter `index`; true when that adapter wins outright.
    bool Offer(int index, UINT vendorId, HMONITOR outputMonitor);
    int Chosen() const { return chosen_; }  // -1: none drives the monitor

private:
    HMONITOR monitor_;
    int chosen_ = -1;
};

// The adapter `factory` offers for `monitor` by AdapterChoice's rule; null when none drives it.
Microsoft::WRL::ComPtr<IDXGIAdapter1> ChooseAdapter(IDXGIFactory2* factory, HMONITOR monitor);

// What the device thread makes for the renderer. Nothing here is logged where it is made: the
// window's thread logs the results when it takes them, so the rows keep their order.
struct D3D11DeviceParts {
    Microsoft::WRL::ComPtr<IDXGIFactory2> factory;
    Microsoft::WRL::ComPtr<IDXGIAdapter1> adapter;
    Microsoft::WRL::ComPtr<ID3D11Device> device;
    Microsoft::WRL::ComPtr<ID3D11DeviceContext> context;
    Microsoft::WRL::ComPtr<ID3DBlob> vertexShader;
    Microsoft::WRL::ComPtr<ID3DBlob> pixelShader;
    bool defaultAdapter = false;  // asked for by the configuration: no factory, no choice
    HRESULT factoryResult = S_OK;
    HRESULT deviceResult = E_PENDING;
    HRESULT vertexShaderResult = E_PENDING;
    HRESULT pixelShaderResult = E_PENDING;
};

// Makes the adapter choice, the device and the cursor's shader code on a thread of its own: the
// slow part of a start or a re-creation (a device takes a good part of a second on some systems),
// while the window's thread keeps answering.
class D3D11DeviceMaker {
public:
    D3D11DeviceMaker() = default;
    ~D3D11DeviceMaker();
    D3D11DeviceMaker(const D3D11DeviceMaker&) = delete;
    D3D11DeviceMaker& operator=(const D3D11DeviceMaker&) = delete;

    // Starts making the parts for the game's monitor; the configuration's adapter choice is read
    // here. False when parts are being made already or no thread can run.
    bool Start(HMONITOR monitor);
    bool Busy() const { return busy_.load(); }
    // The finished parts, waiting at most `timeoutMs` while answering what other threads send.
    // False while they are not finished.
    bool Take(DWORD timeoutMs, D3D11DeviceParts* parts);

    // A make that has not finished in this long counts as failed (the thread stays stuck with it).
    static constexpr DWORD kMakeLimitMs = 10000;

private:
    Common::Utils::WorkerThread thread_;
    base::UniqueHandle done_;
    D3D11DeviceParts parts_;
    std::atomic<bool> busy_{false};
};
