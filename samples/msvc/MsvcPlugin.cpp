// A GEP and GOOP plug-in built in MSVC's ABI, with no C or C++ runtime, that takes
// base::CriticalSection from the host's exports by MSVC's decorated names (the import library is
// made from the executable's own export table). "StartPluginOOP" and "Init" each put a lock of the
// host's through two threads and record the outcome. Records go, one call per line, to the files
// that QMSAMPLE_GEP_RECORD ("StartPluginOOP") and QMSAMPLE_GOOP_RECORD ("Init", the first "Tick",
// "Shutdown") name.
#include <windows.h>

#define QM_LOCKS_IMPORT
#include "common/Locks.h"
#include "qm/PluginContract.h"

static_assert(sizeof(base::CriticalSection) == 48, "what MSVC reserves: the vtable pointer, then the section");

namespace {

void Record(const wchar_t* variable, const char* line) {
    wchar_t path[MAX_PATH];
    if (::GetEnvironmentVariableW(variable, path, MAX_PATH) == 0) return;
    HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, line, static_cast<DWORD>(lstrlenA(line)), &written, nullptr);
    ::WriteFile(file, "\n", 1, &written, nullptr);
    ::CloseHandle(file);
}

struct Shared {
    base::CriticalSection* lock;
    volatile LONG counter;
    bool got;
};

DWORD WINAPI TryFromAnotherThread(void* parameter) {
    auto* shared = static_cast<Shared*>(parameter);
    shared->got = shared->lock->TryLock();
    if (shared->got) shared->lock->Unlock();
    return 0;
}

// Increments made under the lock get lost as soon as two threads are inside it together.
DWORD WINAPI Count(void* parameter) {
    auto* shared = static_cast<Shared*>(parameter);
    for (int i = 0; i < 1000; ++i) {
        shared->lock->Lock();
        const LONG seen = shared->counter;
        ::SwitchToThread();
        shared->counter = seen + 1;
        shared->lock->Unlock();
    }
    return 0;
}

bool RunThreads(LPTHREAD_START_ROUTINE body, Shared* shared, int count) {
    HANDLE threads[2] = {};
    for (int i = 0; i < count; ++i) threads[i] = ::CreateThread(nullptr, 0, body, shared, 0, nullptr);
    const bool ended = ::WaitForMultipleObjects(count, threads, TRUE, 30000) == WAIT_OBJECT_0;
    for (int i = 0; i < count; ++i) {
        if (threads[i]) ::CloseHandle(threads[i]);
    }
    return ended;
}

// "lock=ok", or the first check that failed.
const char* PutTheLockThrough() {
    base::CriticalSection lock;
    Shared shared = {&lock, 0, false};
    lock.Lock();
    if (!lock.TryLock()) return "lock=not-reentrant";
    lock.Unlock();
    if (!RunThreads(&TryFromAnotherThread, &shared, 1) || shared.got) return "lock=not-exclusive";
    lock.Unlock();
    if (!RunThreads(&TryFromAnotherThread, &shared, 1) || !shared.got) return "lock=not-released";
    if (!RunThreads(&Count, &shared, 2) || shared.counter != 2000) return "lock=lost-increments";
    return "lock=ok";
}

void Narrow(const wchar_t* text, char* out, int size) {
    out[0] = '\0';
    if (text) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size - 1, nullptr, nullptr);
}

// A string field as the GCC-built sample prints it: quoted, or null.
const char* Quoted(const char* text, char* out, int size) {
    if (!text) return "null";
    out[0] = '"';
    lstrcpynA(out + 1, text, size - 2);
    lstrcatA(out, "\"");
    return out;
}

int gTicks = 0;

}  // namespace

extern "C" __declspec(dllexport) bool StartPluginOOP(const wchar_t* gameProcessName, int32_t reserved) {
    char game[MAX_PATH];
    Narrow(gameProcessName, game, MAX_PATH);
    char line[MAX_PATH + 64];
    wsprintfA(line, "StartPluginOOP %s %d %s", game, reserved, PutTheLockThrough());
    Record(L"QMSAMPLE_GEP_RECORD", line);
    return true;
}

extern "C" __declspec(dllexport) bool Init(const qm::GoopInitParams* p) {
    if (!p) return false;
    char process[MAX_PATH];
    Narrow(p->gameProcessName, process, MAX_PATH);
    char folder[MAX_PATH], config[MAX_PATH], vgep[MAX_PATH];
    char line[1024];
    wsprintfA(line,
              "Init pid=%u game_id=%d log_folder=%s log_level=%d config_file=%s process=%s channel_id=%u tester=%d "
              "zero=%s vgep_file=%s",
              p->gamePid, p->gameId, Quoted(p->logFolder, folder, MAX_PATH), p->logLevel,
              Quoted(p->configFile, config, MAX_PATH), process, p->channelId, p->screenTester ? 1 : 0,
              p->zero == 0 ? "0" : "set", Quoted(p->vgepFile, vgep, MAX_PATH));
    Record(L"QMSAMPLE_GOOP_RECORD", line);
    Record(L"QMSAMPLE_GOOP_RECORD", PutTheLockThrough());
    return true;
}

extern "C" __declspec(dllexport) void Tick() {
    if (gTicks++ == 0) Record(L"QMSAMPLE_GOOP_RECORD", "Tick");
}

extern "C" __declspec(dllexport) bool Shutdown() {
    Record(L"QMSAMPLE_GOOP_RECORD", "Shutdown");
    return true;
}
