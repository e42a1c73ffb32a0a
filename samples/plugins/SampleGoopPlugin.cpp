// A reference GOOP plug-in: "Init" records the whole parameter block, "Tick" and "Shutdown" are
// counted. With QMSAMPLE_GOOP_RECORD naming a file (in the host's environment) every call is
// written there, one per line; QMSAMPLE_GOOP_INIT_FAILS=1 makes "Init" fail; QMSAMPLE_PLUGIN_WINDOW=1
// makes "Init" create a window on the host's thread; QMSAMPLE_GOOP_TICKS=<file> gets "<ticks> <ms>"
// at "Shutdown", the ticks and the time since "Init".
#include <windows.h>

#include <cstdio>
#include <string>

#include "qm/PluginContract.h"

namespace {

int gTicks = 0;
DWORD gInitTick = 0;

void Record(const std::string& line) {
    char path[MAX_PATH] = {};
    if (::GetEnvironmentVariableA("QMSAMPLE_GOOP_RECORD", path, MAX_PATH) == 0) return;
    HANDLE file = ::CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
}

std::string Text(const char* s) {
    if (!s) return "null";
    std::string quoted = "\"";
    quoted += s;
    quoted += '"';
    return quoted;
}

}  // namespace

extern "C" __declspec(dllexport) bool Init(const qm::GoopInitParams* p) {
    if (!p) return false;
    char process[260] = {};
    if (p->gameProcessName) {
        ::WideCharToMultiByte(CP_UTF8, 0, p->gameProcessName, -1, process, sizeof(process) - 1, nullptr, nullptr);
    }
    char line[2048];
    std::snprintf(line, sizeof(line),
                  "Init pid=%u game_id=%d log_folder=%s log_level=%d config_file=%s process=%s channel_id=%u "
                  "tester=%d zero=%llu vgep_file=%s",
                  p->gamePid, p->gameId, Text(p->logFolder).c_str(), p->logLevel, Text(p->configFile).c_str(),
                  process, p->channelId, p->screenTester ? 1 : 0, static_cast<unsigned long long>(p->zero),
                  Text(p->vgepFile).c_str());
    Record(line);
    gInitTick = ::GetTickCount();
    char window[4] = {};
    if (::GetEnvironmentVariableA("QMSAMPLE_PLUGIN_WINDOW", window, sizeof(window)) > 0) {
        ::CreateWindowExW(0, L"STATIC", L"QMSamplePluginWindow", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    }
    char fails[4] = {};
    return !(::GetEnvironmentVariableA("QMSAMPLE_GOOP_INIT_FAILS", fails, sizeof(fails)) > 0 && fails[0] == '1');
}

extern "C" __declspec(dllexport) void Tick() {
    // Only the first tick is written: a host ticks many times a second.
    if (gTicks++ == 0) Record("Tick");
}

extern "C" __declspec(dllexport) bool Shutdown() {
    Record("Shutdown ticks>1=" + std::to_string(gTicks > 1 ? 1 : 0));
    char path[MAX_PATH] = {};
    if (gTicks > 0 && ::GetEnvironmentVariableA("QMSAMPLE_GOOP_TICKS", path, MAX_PATH) > 0) {
        if (FILE* f = std::fopen(path, "w")) {
            std::fprintf(f, "%d %lu\n", gTicks, static_cast<unsigned long>(::GetTickCount() - gInitTick));
            std::fclose(f);
        }
    }
    gTicks = 0;  // a tick after this would be written again
    return true;
}
