#pragma once
#include <memory>

#include "core/OOPManager.h"
#include "render/D3D9Renderer.h"

// Manager type 0: the overlay drawn by a Direct3D 9 device at the base frame rate. Only built by
// CreateManager(0).
class D3D9OOPManager : public OOPManager {
public:
    D3D9OOPManager() : OOPManager(kManagerD3D9, 60) { Parts().frames.SetRenderer(std::make_unique<D3D9Renderer>()); }
    ~D3D9OOPManager() override = default;
};
