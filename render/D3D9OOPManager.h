#pragma once
#include <d3d9.h>
#include <wrl/client.h>

#include "core/OOPManager.h"

// Renders the overlay with a minimal windowed Direct3D 9 device: each frame is cleared to the
// background colour and presented. Only built by CreateManager(0).
class D3D9OOPManager : public OOPManager {
public:
    D3D9OOPManager();
    ~D3D9OOPManager() override = default;

    int GetManagerType() override { return kManagerD3D9; }
    bool InitD3D() override;
    void ShutdownD3D() override;
    bool ResetD3D(uint32_t width, uint32_t height) override;
    bool Render() override;

    const D3DPRESENT_PARAMETERS& PresentParameters() const { return present_; }
    IDirect3DDevice9* Device() const { return device_.Get(); }

protected:
    // Fills the present parameters for w x h; sizes below 320 x 240 leave them as they were.
    void FillPresentParameters(uint32_t width, uint32_t height);

    Microsoft::WRL::ComPtr<IDirect3D9> d3d_;
    Microsoft::WRL::ComPtr<IDirect3DDevice9> device_;
    D3DPRESENT_PARAMETERS present_;
};
