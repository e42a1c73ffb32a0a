#include "render/D3D11DeviceMaker.h"

#include <algorithm>
#include <iterator>

#include "common/DllHelper.h"
#include "common/MessageWait.h"
#include "input/OOPHooksManager.h"
#include "render/D3D11Backend.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr char kCursorShader[] =
    "cbuffer CB : register(b0) {\n"
    "  float screen_width;\n"
    "  float screen_height;\n"
    "  float cursor_x;\n"
    "  float cursor_y;\n"
    "};\n"
    "struct VS_IN  { float2 pos : POSITION; float2 uv : TEXCOORD0; };\n"
    "struct PS_IN  { float4 pos : SV_POSITION; float2 uv : TEXCOORD0; };\n"
    "PS_IN VS(VS_IN i) {\n"
    "  PS_IN o;\n"
    "  float2 px = float2(cursor_x + i.pos.x, cursor_y + i.pos.y);\n"
    "  o.pos = float4(px.x / screen_width * 2.0 - 1.0,\n"
    "                 1.0 - px.y / screen_height * 2.0, 0, 1);\n"
    "  o.uv = i.uv;\n"
    "  return o;\n"
    "}\n"
    "Texture2D tex : register(t0);\n"
    "SamplerState smp : register(s0);\n"
    "float4 PS(PS_IN i) : SV_TARGET { return tex.Sample(smp, i.uv); }\n";
static_assert(sizeof(kCursorShader) - 1 == 603, "the cursor shader's text");

using CompileFn = HRESULT(WINAPI*)(const void*, SIZE_T, const char*, const void*, void*, const char*, const char*, UINT,
                                   UINT, ID3DBlob**, ID3DBlob**);

// The shader compiler, loaded once: version 47 ships with the system since Windows 8.1; version 43
// only with the DirectX redistributable.
CompileFn Compiler() {
    static CompileFn compile = [] {
        HMODULE library = base::dll_helper::LoadSystemLibrary(L"d3dcompiler_47.dll");
        if (!library) library = base::dll_helper::LoadSystemLibrary(L"d3dcompiler_43.dll");
        return library ? reinterpret_cast<CompileFn>(reinterpret_cast<void*>(::GetProcAddress(library, "D3DCompile")))
                       : nullptr;
    }();
    return compile;
}

HRESULT CompileCursorShader(const char* entry, const char* target, ComPtr<ID3DBlob>* code) {
    CompileFn compile = Compiler();
    if (!compile) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    ComPtr<ID3DBlob> errors;
    return compile(kCursorShader, sizeof(kCursorShader) - 1, "CursorShader", nullptr, nullptr, entry, target, 0, 0,
                   code->ReleaseAndGetAddressOf(), &errors);
}

void MakeParts(HMONITOR monitor, D3D11DeviceParts* parts) {
    D3D11Backend& backend = D3D11Backend::Current();
    if (!parts->defaultAdapter) {
        parts->factoryResult = backend.CreateFactory(parts->factory.ReleaseAndGetAddressOf());
        if (SUCCEEDED(parts->factoryResult)) parts->adapter = ChooseAdapter(parts->factory.Get(), monitor);
    }
    parts->deviceResult = backend.CreateDevice(parts->adapter.Get(), parts->device.ReleaseAndGetAddressOf(),
                                               parts->context.ReleaseAndGetAddressOf());
    if (FAILED(parts->deviceResult)) return;
    parts->vertexShaderResult = CompileCursorShader("VS", "vs_4_0", &parts->vertexShader);
    if (SUCCEEDED(parts->vertexShaderResult)) {
        parts->pixelShaderResult = CompileCursorShader("PS", "ps_4_0", &parts->pixelShader);
    }
}

}  // namespace

bool AdapterChoice::Offer(int index, UINT vendorId, HMONITOR outputMonitor) {
    constexpr UINT kDiscreteVendors[] = {0x10DE, 0x1002};
    if (monitor_ && monitor_ != outputMonitor) return false;
    if (std::find(std::begin(kDiscreteVendors), std::end(kDiscreteVendors), vendorId) != std::end(kDiscreteVendors)) {
        chosen_ = index;
        return true;
    }
    if (chosen_ < 0) chosen_ = index;
    return false;
}

ComPtr<IDXGIAdapter1> ChooseAdapter(IDXGIFactory2* factory, HMONITOR monitor) {
    AdapterChoice choice(monitor);
    ComPtr<IDXGIAdapter1> candidate;
    ComPtr<IDXGIAdapter1> adapter;
    for (UINT i = 0; SUCCEEDED(factory->EnumAdapters1(i, adapter.ReleaseAndGetAddressOf())); ++i) {
        DXGI_ADAPTER_DESC1 desc{};
        adapter->GetDesc1(&desc);
        ComPtr<IDXGIOutput> output;
        for (UINT j = 0; SUCCEEDED(adapter->EnumOutputs(j, output.ReleaseAndGetAddressOf())); ++j) {
            DXGI_OUTPUT_DESC outputDesc{};
            output->GetDesc(&outputDesc);
            const int before = choice.Chosen();
            if (choice.Offer(static_cast<int>(i), desc.VendorId, outputDesc.Monitor)) return adapter;
            if (choice.Chosen() != before) candidate = adapter;
        }
    }
    return candidate;
}

D3D11DeviceMaker::~D3D11DeviceMaker() {
    // A make still running finishes first: a device abandoned half-made may hold the driver's lock.
    if (thread_.HasThread() && !thread_.Stop(false, kMakeLimitMs)) thread_.Kill();
}

bool D3D11DeviceMaker::Start(HMONITOR monitor) {
    if (busy_.load()) return false;
    if (!done_) done_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done_ || (!thread_.HasThread() && !thread_.Start("device thread"))) return false;
    parts_ = D3D11DeviceParts{};
    parts_.defaultAdapter = GetGameConfiguration()->Byte(qm::GameConfiguration::kAdapterChoice) != 0;
    ::ResetEvent(done_.Get());
    busy_ = true;
    if (!thread_.Post([this, monitor] {
            MakeParts(monitor, &parts_);
            ::SetEvent(done_.Get());
        })) {
        busy_ = false;
        return false;
    }
    return true;
}

bool D3D11DeviceMaker::Take(DWORD timeoutMs, D3D11DeviceParts* parts) {
    if (!busy_.load() || !base::WaitAnsweringSentMessages(done_.Get(), timeoutMs)) return false;
    *parts = std::move(parts_);
    parts_ = D3D11DeviceParts{};
    busy_ = false;
    return true;
}
