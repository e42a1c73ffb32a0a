#pragma once
#include <d3d9.h>
#include <wrl/client.h>

#include "core/Renderer.h"

// A minimal windowed Direct3D 9 device: each frame is cleared to the background colour and presented.
class D3D9Renderer : public Renderer {
public:
    D3D9Renderer();
    ~D3D9Renderer() override = default;

    bool Create(const RenderTarget& target) override;
    void Release() override;
    bool Resize(uint32_t width, uint32_t height, bool again) override;
    bool RenderAndPresent(const FrameInput& frame) override;

    const D3DPRESENT_PARAMETERS& PresentParameters() const { return present_; }
    IDirect3DDevice9* Device() const { return device_.Get(); }

private:
    // Fills the present parameters for w x h; sizes below 320 x 240 leave them as they were.
    void FillPresentParameters(uint32_t width, uint32_t height);

    // Given at Create.
    HWND window_ = nullptr;
    Microsoft::WRL::ComPtr<IDirect3D9> d3d_;
    Microsoft::WRL::ComPtr<IDirect3DDevice9> device_;
    D3DPRESENT_PARAMETERS present_;
};
