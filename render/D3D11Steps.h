#pragma once
#include <windows.h>

#include "logging/Log.h"

// One step of a set-up: a failure is logged as "<step> failed 0x%x" and ends the set-up.
inline bool Succeeded(HRESULT hr, const wchar_t* function, const wchar_t* step) {
    if (SUCCEEDED(hr)) return true;
    QM_LOG_WARNING(function, L"%s failed 0x%x", step, static_cast<unsigned>(hr));
    return false;
}
