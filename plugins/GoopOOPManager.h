#pragma once
#include "core/OOPManager.h"

// Hosts a GOOP plug-in library, ticking it from every update.
class GoopOOPManager : public OOPManager {
public:
    GoopOOPManager() = default;
    ~GoopOOPManager() override = default;

    int GetManagerType() override { return kManagerGoop; }
    bool InitD3D() override { return true; }
    void ShutdownD3D() override {}
    bool ResetD3D(uint32_t, uint32_t) override { return true; }
    bool Render() override { return true; }

    int Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) override;
};
