#pragma once
#include "core/OOPManager.h"

// Hosts a GEP plug-in library instead of drawing.
class GepOOPManager : public OOPManager {
public:
    GepOOPManager() = default;
    ~GepOOPManager() override = default;

    int GetManagerType() override { return kManagerGep; }
    bool InitD3D() override { return true; }
    void ShutdownD3D() override {}
    bool ResetD3D(uint32_t, uint32_t) override { return true; }
    bool Render() override { return true; }

    int Init(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) override;
};
