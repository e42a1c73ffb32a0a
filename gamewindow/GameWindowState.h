#pragma once
#include <windows.h>
#include <shellapi.h>

#include <atomic>

#include "common/ProcessWide.h"

namespace Overlay::GameWindow {

// The shell's notification state. Replaceable because some systems never report a full-screen
// Direct3D application; null is the system's query.
using NotificationStateQuery = HRESULT(WINAPI*)(QUERY_USER_NOTIFICATION_STATE* state);

}  // namespace Overlay::GameWindow

// What the game-window side keeps once per process: the full-screen query's seam. Reset only while
// no handler is in use.
struct GameWindowState : base::ProcessWide<GameWindowState> {
    std::atomic<Overlay::GameWindow::NotificationStateQuery> notificationQuery{nullptr};
};
