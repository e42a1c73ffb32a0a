#include "gamewindow/FullScreenDetector.h"

FullScreenDetector::FullScreenDetector(HINSTANCE instance)
    : instance_(instance ? instance : ::GetModuleHandleW(nullptr)) {}

namespace Overlay::GameWindow {

void SetNotificationStateQuery(NotificationStateQuery query) { GameWindowState::Get().notificationQuery = query; }

HRESULT QueryNotificationState(QUERY_USER_NOTIFICATION_STATE* state) {
    if (NotificationStateQuery query = GameWindowState::Get().notificationQuery.load()) return query(state);
    return ::SHQueryUserNotificationState(state);
}

}  // namespace Overlay::GameWindow
