#include "common/Event.h"

namespace base {

Event::~Event() { Close(); }

bool Event::Create() {
    if (IsValid()) return true;
    signal_.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    cancel_.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    return IsValid();
}

bool Event::Signal() { return IsValid() && ::SetEvent(signal_.Get()) != FALSE; }

bool Event::Reset() { return IsValid() && ::ResetEvent(signal_.Get()) != FALSE; }

bool Event::Wait(DWORD timeoutMs) {
    if (!IsValid()) return false;
    const HANDLE handles[2] = {signal_.Get(), cancel_.Get()};
    return ::WaitForMultipleObjects(2, handles, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

void Event::Close() {
    if (!IsValid()) return;
    ::SetEvent(cancel_.Get());
    signal_.Reset();
    cancel_.Reset();
}

}  // namespace base
