// The smallest client library a team could start from: it takes the contract from the package and
// guards its state with the host's own lock, imported from the host.
#include <windows.h>

#define QM_LOCKS_IMPORT
#include "common/Locks.h"
#include "qm/ClientContract.h"

namespace {
base::CriticalSection gLock;
}  // namespace

extern "C" __declspec(dllexport) qm::IOverlayManagerController* GetOverlayManagerController(uint32_t, const wchar_t*) {
    gLock.Lock();
    gLock.Unlock();
    return nullptr;
}
