#pragma once
#include <windows.h>

#include <d3d9.h>
#include <shellapi.h>
#include <wrl/client.h>

#include "gamewindow/GameWindowState.h"

// Kept by the overlay manager and by each classic game-window handler; the detection itself asks
// the shell (see QueryNotificationState).
class FullScreenDetector {
public:
    explicit FullScreenDetector(HINSTANCE instance = nullptr);
    FullScreenDetector(const FullScreenDetector&) = delete;
    FullScreenDetector& operator=(const FullScreenDetector&) = delete;

    HINSTANCE Instance() const { return instance_; }

private:
    HINSTANCE instance_;
    Microsoft::WRL::ComPtr<IDirect3D9> d3d_;
};

namespace Overlay::GameWindow {

// Null restores the system's query.
void SetNotificationStateQuery(NotificationStateQuery query);
HRESULT QueryNotificationState(QUERY_USER_NOTIFICATION_STATE* state);

}  // namespace Overlay::GameWindow
