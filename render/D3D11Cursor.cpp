#include "render/D3D11Cursor.h"

#include "common/DllHelper.h"
#include "logging/Log.h"
#include "render/D3D11Steps.h"

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

struct CursorVertex {
    float x, y, u, v;
};
static_assert(sizeof(CursorVertex) == 16, "the vertex stride");

}  // namespace

bool D3D11Cursor::Init(ID3D11Device* device) {
    constexpr const wchar_t* kFn = L"D3D11OOPManager::InitCursorRendering";
    if (!device) return false;
    ComPtr<ID3DBlob> vs, ps;
    HRESULT hr = CompileCursorShader("VS", "vs_4_0", &vs);
    if (FAILED(hr)) {
        QM_LOG_WARNING(kFn, L"cursor VS compile error 0x%x", static_cast<unsigned>(hr));
        return false;
    }
    hr = CompileCursorShader("PS", "ps_4_0", &ps);
    if (FAILED(hr)) {
        QM_LOG_WARNING(kFn, L"cursor PS compile error 0x%x", static_cast<unsigned>(hr));
        return false;
    }
    ID3DBlob* vsCode = vs.Get();
    ID3DBlob* psCode = ps.Get();
    if (!Succeeded(device->CreateVertexShader(vsCode->GetBufferPointer(), vsCode->GetBufferSize(), nullptr,
                                              vertexShader_.ReleaseAndGetAddressOf()),
                   kFn, L"cursor CreateVertexShader") ||
        !Succeeded(device->CreatePixelShader(psCode->GetBufferPointer(), psCode->GetBufferSize(), nullptr,
                                             pixelShader_.ReleaseAndGetAddressOf()),
                   kFn, L"cursor CreatePixelShader")) {
        return false;
    }
    const D3D11_INPUT_ELEMENT_DESC layout[] = {
        {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
        {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 8, D3D11_INPUT_PER_VERTEX_DATA, 0},
    };
    if (!Succeeded(device->CreateInputLayout(layout, 2, vsCode->GetBufferPointer(), vsCode->GetBufferSize(),
                                             layout_.ReleaseAndGetAddressOf()),
                   kFn, L"cursor CreateInputLayout")) {
        return false;
    }
    const CursorVertex vertices[4] = {{0, 0, 0, 0}, {32, 0, 1, 0}, {32, 32, 1, 1}, {0, 32, 0, 1}};
    const uint16_t indices[6] = {0, 1, 2, 0, 2, 3};
    const D3D11_BUFFER_DESC vertexDesc{sizeof(vertices), D3D11_USAGE_IMMUTABLE, D3D11_BIND_VERTEX_BUFFER, 0, 0, 0};
    const D3D11_SUBRESOURCE_DATA vertexData{vertices, 0, 0};
    const D3D11_BUFFER_DESC indexDesc{sizeof(indices), D3D11_USAGE_IMMUTABLE, D3D11_BIND_INDEX_BUFFER, 0, 0, 0};
    const D3D11_SUBRESOURCE_DATA indexData{indices, 0, 0};
    const D3D11_BUFFER_DESC constantDesc{16, D3D11_USAGE_DYNAMIC, D3D11_BIND_CONSTANT_BUFFER, D3D11_CPU_ACCESS_WRITE,
                                         0, 0};
    D3D11_SAMPLER_DESC sd{};
    sd.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
    sd.AddressU = sd.AddressV = sd.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
    D3D11_BLEND_DESC blend{};
    D3D11_RENDER_TARGET_BLEND_DESC& rt = blend.RenderTarget[0];
    rt.BlendEnable = TRUE;
    rt.SrcBlend = rt.SrcBlendAlpha = D3D11_BLEND_ONE;
    rt.DestBlend = rt.DestBlendAlpha = D3D11_BLEND_INV_SRC_ALPHA;
    rt.BlendOp = rt.BlendOpAlpha = D3D11_BLEND_OP_ADD;
    rt.RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
    if (!Succeeded(device->CreateBuffer(&vertexDesc, &vertexData, vertices_.ReleaseAndGetAddressOf()), kFn,
                   L"cursor vertex buffer") ||
        !Succeeded(device->CreateBuffer(&indexDesc, &indexData, indices_.ReleaseAndGetAddressOf()), kFn,
                   L"cursor index buffer") ||
        !Succeeded(device->CreateBuffer(&constantDesc, nullptr, constants_.ReleaseAndGetAddressOf()), kFn,
                   L"cursor constant buffer") ||
        !Succeeded(device->CreateSamplerState(&sd, sampler_.ReleaseAndGetAddressOf()), kFn,
                   L"cursor CreateSamplerState") ||
        !Succeeded(device->CreateBlendState(&blend, blend_.ReleaseAndGetAddressOf()), kFn,
                   L"cursor CreateBlendState")) {
        return false;
    }
    ready_ = true;
    QM_LOG_INFO(kFn, 1, L"cursor rendering initialized");
    return true;
}

void D3D11Cursor::Release() { *this = D3D11Cursor{}; }

bool D3D11Cursor::Draw(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11RenderTargetView* target,
                       const CursorImage* image, bool changed, POINT mouse, uint32_t width, uint32_t height) {
    if (!ready_ || !context) return false;
    if (changed || !view_) {
        if (!image || !device) return false;
        view_.Reset();
        texture_.Reset();
        D3D11_TEXTURE2D_DESC td{};
        td.Width = td.Height = CursorImage::kSize;
        td.MipLevels = td.ArraySize = 1;
        td.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        td.SampleDesc.Count = 1;
        td.Usage = D3D11_USAGE_IMMUTABLE;
        td.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        const D3D11_SUBRESOURCE_DATA data{image->pixels, CursorImage::kSize * 4, 0};
        if (FAILED(device->CreateTexture2D(&td, &data, texture_.GetAddressOf()))) return false;
        D3D11_SHADER_RESOURCE_VIEW_DESC vd{};
        vd.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        vd.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
        vd.Texture2D.MostDetailedMip = 0;
        vd.Texture2D.MipLevels = 1;
        if (FAILED(device->CreateShaderResourceView(texture_.Get(), &vd, view_.GetAddressOf()))) return false;
        if (!view_) return false;
    }
    const int hotX = image ? static_cast<int>(image->hotspotX) : 0;
    const int hotY = image ? static_cast<int>(image->hotspotY) : 0;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(constants_.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) return false;
    float* constants = static_cast<float*>(mapped.pData);
    constants[0] = static_cast<float>(static_cast<int>(width));
    constants[1] = static_cast<float>(static_cast<int>(height));
    constants[2] = static_cast<float>(mouse.x - hotX);
    constants[3] = static_cast<float>(mouse.y - hotY);
    context->Unmap(constants_.Get(), 0);

    const UINT stride = sizeof(CursorVertex);
    const UINT offset = 0;
    ID3D11Buffer* vertexBuffers[] = {vertices_.Get()};
    ID3D11Buffer* constantBuffers[] = {constants_.Get()};
    ID3D11ShaderResourceView* views[] = {view_.Get()};
    ID3D11SamplerState* samplers[] = {sampler_.Get()};
    ID3D11RenderTargetView* targets[] = {target};
    const float blendFactor[4] = {0, 0, 0, 0};
    context->IASetInputLayout(layout_.Get());
    context->IASetVertexBuffers(0, 1, vertexBuffers, &stride, &offset);
    context->IASetIndexBuffer(indices_.Get(), DXGI_FORMAT_R16_UINT, 0);
    context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    context->VSSetShader(vertexShader_.Get(), nullptr, 0);
    context->VSSetConstantBuffers(0, 1, constantBuffers);
    context->PSSetShader(pixelShader_.Get(), nullptr, 0);
    context->PSSetShaderResources(0, 1, views);
    context->PSSetSamplers(0, 1, samplers);
    context->OMSetBlendState(blend_.Get(), blendFactor, 0xFFFFFFFF);
    context->OMSetRenderTargets(1, targets, nullptr);
    context->DrawIndexed(6, 0, 0);
    return true;
}
