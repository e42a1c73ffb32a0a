#include "render/D3D11OOPManager.h"

bool D3D11OOPManager::ShouldRenderFrame() {
    if (Minimized()) return OOPManager::ShouldRenderFrame();
    PostFullScreenCheck();  // at most once a second, however often it is asked
    return Pacer().FrameDue(base::NowMicroseconds());
}
