#pragma once
#include <windows.h>

#include <cstdint>

class CommandLineArgs;
class FlushLogger;

// Overlay manager type numbers, as CreateManager and GetManagerType use them.
enum ManagerType : int {
    kManagerD3D9 = 0,
    kManagerD3D11 = 1,
    kManagerGep = 2,
    kManagerGoop = 3,
};

// The overlay manager interface. No virtual destructor at this level: managers live until the
// process exits.
class IOOPManager {
public:
    virtual int Run(HINSTANCE instance, FlushLogger* logger, CommandLineArgs* cmd) = 0;
    virtual int GetManagerType() = 0;

protected:
    ~IOOPManager() = default;
};
