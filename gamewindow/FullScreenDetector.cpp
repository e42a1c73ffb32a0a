#include "gamewindow/FullScreenDetector.h"

#include <atomic>

FullScreenDetector::FullScreenDetector(HINSTANCE instance)
    : instance_(instance ? instance : ::GetModuleHandleW(nullptr)) {}

namespace Overlay::GameWindow {
namespace {
std::atomic<NotificationStateQuery> gQuery{nullptr};
}

void SetNotificationStateQuery(NotificationStateQuery query) { gQuery = query; }

HRESULT QueryNotificationState(QUERY_USER_NOTIFICATION_STATE* state) {
    if (NotificationStateQuery query = gQuery.load()) return query(state);
    return ::SHQueryUserNotificationState(state);
}

}  // namespace Overlay::GameWindow
