#pragma once
#include <windows.h>

namespace base {

// Gives the calling thread a name for debuggers, the classic way (exception 0x406D1388), which a
// debugger reads and a process without one must swallow.
void SetCurrentThreadName(const char* name);

constexpr DWORD kSetThreadNameException = 0x406D1388;

#pragma pack(push, 8)
struct ThreadNameInfo {
    DWORD type;        // 0x1000
    LPCSTR name;
    DWORD threadId;    // -1: the calling thread
    DWORD flags;
};
#pragma pack(pop)
static_assert(sizeof(ThreadNameInfo) == 24, "x64 layout of the thread name record");

}  // namespace base
