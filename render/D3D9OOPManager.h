#pragma once
#include "core/OOPManager.h"

// Renders the overlay with Direct3D 9; only built by CreateManager(0).
class D3D9OOPManager : public OOPManager {
public:
    D3D9OOPManager() = default;
    ~D3D9OOPManager() override = default;

    int GetManagerType() override { return kManagerD3D9; }
    // The renderer is not built into this host yet: InitD3D fails and Init ends with -997.
    bool InitD3D() override { return false; }
    void ShutdownD3D() override {}
    bool ResetD3D(uint32_t, uint32_t) override { return false; }
    bool Render() override { return false; }
};
