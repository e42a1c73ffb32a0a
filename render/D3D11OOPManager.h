#pragma once
#include "core/OOPManager.h"

// Renders the overlay with Direct3D 11.
class D3D11OOPManager : public OOPManager {
public:
    D3D11OOPManager() = default;
    ~D3D11OOPManager() override = default;

    int GetManagerType() override { return kManagerD3D11; }
    // The renderer is not built into this host yet: InitD3D fails and Init ends with -997.
    bool InitD3D() override { return false; }
    void ShutdownD3D() override {}
    bool ResetD3D(uint32_t, uint32_t) override { return false; }
    bool Render() override { return false; }
    uint32_t GetTargetFrameRate() override { return 90; }
};
