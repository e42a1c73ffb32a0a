#include "bench/UnixCpu.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <memory>

#include "common/UniqueHandle.h"

namespace bench {
namespace {

// Files under /proc report no size: read until the end.
std::string ReadAll(const std::wstring& path) {
    base::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text;
    if (!file) return text;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(file.Get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) text.append(buffer, got);
    return text;
}

std::string Lower(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow += static_cast<char>(c < 128 ? std::towlower(c) : L'?');
    return narrow;
}

// Clock ticks per second, from this process's auxiliary vector (AT_CLKTCK); Linux's usual 100 else.
double TicksPerSecond() {
    static const double ticks = [] {
        const std::string aux = ReadAll(L"Z:\\proc\\self\\auxv");
        for (size_t at = 0; at + 16 <= aux.size(); at += 16) {
            uint64_t key = 0, value = 0;
            std::memcpy(&key, aux.data() + at, 8);
            std::memcpy(&value, aux.data() + at + 8, 8);
            if (key == 17 && value > 0) return static_cast<double>(value);
            if (key == 0) break;
        }
        return 100.0;
    }();
    return ticks;
}

// The value of `name` in a /proc environ block (NUL-separated), or empty.
std::string EnvironValue(const std::string& block, const char* name) {
    const std::string key = std::string(name) + "=";
    for (size_t at = 0; at < block.size();) {
        const size_t end = std::min(block.find('\0', at), block.size());
        if (block.compare(at, key.size(), key) == 0) return block.substr(at + key.size(), end - at - key.size());
        at = end + 1;
    }
    return std::string();
}

}  // namespace

int FindUnixPid(const std::wstring& executable, const std::wstring& argument) {
    const std::string exe = Lower(executable), arg = Lower(argument);
    WIN32_FIND_DATAW entry{};
    const auto close = [](HANDLE h) { ::FindClose(h); };
    std::unique_ptr<void, decltype(close)> find(::FindFirstFileW(L"Z:\\proc\\*", &entry), close);
    if (find.get() == INVALID_HANDLE_VALUE) {
        find.release();
        return 0;
    }
    int found = 0;
    do {
        const int pid = _wtoi(entry.cFileName);
        if (pid <= 0) continue;
        std::string line = ReadAll(L"Z:\\proc\\" + std::wstring(entry.cFileName) + L"\\cmdline");
        for (char& c : line) c = c == '\0' ? ' ' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (line.find(exe) != std::string::npos && line.find(arg) != std::string::npos) found = pid;
    } while (!found && ::FindNextFileW(find.get(), &entry));
    return found;
}

int FindWineServerPid() {
    // The prefix as the Unix side has it, from the environment this program and its server got.
    const std::string own = EnvironValue(ReadAll(L"Z:\\proc\\self\\environ"), "WINEPREFIX");
    WIN32_FIND_DATAW entry{};
    const auto close = [](HANDLE h) { ::FindClose(h); };
    std::unique_ptr<void, decltype(close)> find(::FindFirstFileW(L"Z:\\proc\\*", &entry), close);
    if (find.get() == INVALID_HANDLE_VALUE) {
        find.release();
        return 0;
    }
    do {
        const int pid = _wtoi(entry.cFileName);
        if (pid <= 0) continue;
        const std::wstring dir = L"Z:\\proc\\" + std::wstring(entry.cFileName);
        if (ReadAll(dir + L"\\cmdline").find("wineserver") == std::string::npos) continue;
        if (EnvironValue(ReadAll(dir + L"\\environ"), "WINEPREFIX") == own) return pid;
    } while (::FindNextFileW(find.get(), &entry));
    return 0;
}

int FindXServerPid() {
    const std::string display = EnvironValue(ReadAll(L"Z:\\proc\\self\\environ"), "DISPLAY");
    if (display.empty()) return 0;
    // "Xvfb", then the display among its arguments.
    return FindUnixPid(L"xvfb", std::wstring(L" ") + std::wstring(display.begin(), display.end()) + L" ");
}

double UnixCpuSeconds(int unixPid) {
    if (unixPid <= 0) return -1.0;
    const std::string stat = ReadAll(L"Z:\\proc\\" + std::to_wstring(unixPid) + L"\\stat");
    // The name in parentheses may hold spaces: fields are counted after its closing one. State is
    // field 3, utime 14 and stime 15.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1.0;
    const char* p = stat.c_str() + close + 1;
    unsigned long long values[13] = {};
    for (int field = 3; field <= 15; ++field) {
        while (*p == ' ') ++p;
        if (!*p) return -1.0;
        char* end = nullptr;
        values[field - 3] = std::strtoull(p, &end, 10);
        if (field == 3) {
            while (*p && *p != ' ') ++p;  // the state letter
        } else {
            p = end;
        }
    }
    return static_cast<double>(values[11] + values[12]) / TicksPerSecond();
}

long long UnixStatusKb(int unixPid, const char* field) {
    if (unixPid <= 0) return -1;
    const std::string status = ReadAll(L"Z:\\proc\\" + std::to_wstring(unixPid) + L"\\status");
    const std::string key = "\n" + std::string(field) + ":";
    const size_t at = ("\n" + status).find(key);
    return at == std::string::npos ? -1 : std::strtoll(status.c_str() + at + key.size() - 1, nullptr, 10);
}

}  // namespace bench
