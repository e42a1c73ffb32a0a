// Every header that a library built with MSVC includes, as MSVC reads it.
#include "qm/BlockerContract.h"
#include "qm/ClientContract.h"
#include "qm/OverlayWindowContract.h"
#include "qm/PluginContract.h"
#define QM_LOCKS_IMPORT
#include "common/Locks.h"

static_assert(sizeof(base::CriticalSection) == 48, "what MSVC reserves: the vtable pointer, then the section");
