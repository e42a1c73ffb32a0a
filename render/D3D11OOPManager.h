#pragma once
#include <memory>

#include "core/OOPManager.h"
#include "render/D3D11Renderer.h"

// Manager type 1: the overlay drawn with Direct3D 11 at 90 frames a second, paced by the display.
class D3D11OOPManager : public OOPManager {
public:
    D3D11OOPManager() : OOPManager(kManagerD3D11, 90, true) {
        Parts().frames.SetRenderer(std::make_unique<D3D11Renderer>(Parts().frames.Pacer()));
    }
    ~D3D11OOPManager() override = default;

    uint32_t GetWindowExStyle() override {
        return Parts().frames.GetRenderer()->UsesComposition() ? WS_EX_NOREDIRECTIONBITMAP : 0;
    }
};
