// Soak benchmark: the real host over the sample game for N minutes (the first argument, default 10;
// fractions allowed), with the game moving, resizing, minimising and restoring itself and the
// reference client entering and leaving exclusive mode every few seconds. Prints the host's handle
// count, GDI objects and private bytes at the start, after the first minute, at a few points between
// and at the end. Goal: handles and GDI objects at the end no more than after the first minute,
// private bytes within 1 MB of that figure. Each figure is read from this process where the system
// allows it and else from inside the host, where the reference client samples it every second.
// At the end the host must stop by itself with exit code 0 and nothing this benchmark started
// (or anything those started) may still run.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/HostRun.h"
#include "bench/UnixCpu.h"

using namespace bench;

namespace {

// One round of the game's own timeline; the client's toggling period does not divide it, so the
// two meet in ever-changing phases.
constexpr DWORD kRoundMs = 8000;
constexpr wchar_t kGameScript[] =
    L"500:move 240 160;1500:size 800 600;2500:move 100 100;3500:size 640 480;4500:minimize;6000:restore";
constexpr wchar_t kExclusiveEveryMs[] = L"3000";
// Figures at a checkpoint are the least of this many readings a second apart, so that work in
// flight at one instant (a thread starting, a message being handled) is not taken for growth.
constexpr int kReadings = 5;

struct Figures {
    double handles = 0, gdi = 0, privateBytes = 0, rssAnonKb = 0;
    std::string handleSource, gdiSource, memorySource;
};

// The last complete "handles gdi private gdi-source memory-source" line the client appended.
bool ReadInside(const std::wstring& path, Figures* f) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file) return false;
    std::string text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), file)) > 0;) text.append(buffer, n);
    std::fclose(file);
    const size_t end = text.rfind('\n');
    if (end == std::string::npos || end == 0) return false;
    const size_t begin = text.rfind('\n', end - 1);
    unsigned long h = 0, g = 0;
    unsigned long long p = 0;
    char gdiSource[32] = {}, memorySource[32] = {};
    const char* line = text.c_str() + (begin == std::string::npos ? 0 : begin + 1);
    if (std::sscanf(line, "%lu %lu %llu %31s %31s", &h, &g, &p, gdiSource, memorySource) != 5) return false;
    *f = Figures{static_cast<double>(h), static_cast<double>(g), static_cast<double>(p), 0,
                 "GetProcessHandleCount inside the host", std::string("inside the host by ") + gdiSource,
                 std::string("inside the host by ") + memorySource};
    return true;
}

// The handles the system lists for `pid` (Wine reads GetProcessHandleCount as 0); -1 if unlisted.
double ListedHandles(DWORD pid) {
    struct Entry {
        void* object;
        ULONG_PTR pid, handle;
        ULONG access;
        USHORT backTrace, type;
        ULONG attributes, reserved;
    };
    struct List {
        ULONG_PTR count, reserved;
        Entry entries[1];
    };
    using QueryFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    constexpr ULONG kExtendedHandleInformation = 64;
    constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004L);
    std::vector<char> buffer(1 << 20);
    ULONG needed = 0;
    LONG status = -1;
    while (query && (status = query(kExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                                    &needed)) == kLengthMismatch) {
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
    }
    if (status != 0) return -1;
    const auto* list = reinterpret_cast<const List*>(buffer.data());
    double n = 0;
    for (ULONG_PTR i = 0; i < list->count; ++i) n += list->entries[i].pid == pid;
    return n;
}

Figures Read(HANDLE host, int unixPid, const std::wstring& insidePath) {
    Figures f;
    ReadInside(insidePath, &f);
    DWORD handles = 0;
    double listed = 0;
    if (::GetProcessHandleCount(host, &handles) && handles) {
        f.handles = handles, f.handleSource = "GetProcessHandleCount from the benchmark";
    } else if (!f.handles && (listed = ListedHandles(::GetProcessId(host))) > 0) {
        f.handles = listed, f.handleSource = "the system's handle list (NtQuerySystemInformation) from the benchmark";
    }
    if (const DWORD gdi = ::GetGuiResources(host, GR_GDIOBJECTS)) {
        f.gdi = gdi, f.gdiSource = "GetGuiResources from the benchmark";
    }
    PROCESS_MEMORY_COUNTERS_EX memory{};
    auto* counters = reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory);
    if (::GetProcessMemoryInfo(host, counters, sizeof(memory)) && memory.PrivateUsage) {
        f.privateBytes = static_cast<double>(memory.PrivateUsage);
        f.memorySource = "GetProcessMemoryInfo from the benchmark";
    }
    f.rssAnonKb = static_cast<double>(UnixStatusKb(unixPid, "RssAnon"));
    return f;
}

Figures Checkpoint(HANDLE host, int unixPid, const std::wstring& insidePath, double minutes) {
    Figures least = Read(host, unixPid, insidePath);
    for (int i = 1; i < kReadings; ++i) {
        ::Sleep(1000);
        const Figures f = Read(host, unixPid, insidePath);
        least.handles = std::min(least.handles, f.handles);
        least.gdi = std::min(least.gdi, f.gdi);
        least.privateBytes = std::min(least.privateBytes, f.privateBytes);
        least.rssAnonKb = std::min(least.rssAnonKb, f.rssAnonKb);
    }
    std::printf("%8.2f min %8.0f %8.0f %12.0f %12.0f\n", minutes, least.handles, least.gdi, least.privateBytes / 1024.0,
                least.rssAnonKb);
    std::fflush(stdout);
    return least;
}

// Processes started by this one, directly or through others, that still run.
std::vector<DWORD> Descendants() {
    std::vector<PROCESSENTRY32W> all;
    base::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = snapshot && ::Process32FirstW(snapshot.Get(), &entry); ok;
         ok = ::Process32NextW(snapshot.Get(), &entry)) {
        all.push_back(entry);
    }
    std::vector<DWORD> found{::GetCurrentProcessId()};
    for (size_t i = 0; i < found.size(); ++i) {
        for (const PROCESSENTRY32W& p : all) {
            const bool known = std::find(found.begin(), found.end(), p.th32ProcessID) != found.end();
            if (p.th32ParentProcessID == found[i] && !known) found.push_back(p.th32ProcessID);
        }
    }
    found.erase(found.begin());
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (!(minutes >= 1.0 / 60)) {
        std::printf("usage: soak_bench.exe [minutes]\n");
        return 2;
    }
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring insidePath = temp + (L"qm-soak-" + std::to_wstring(::GetCurrentProcessId())) + L".txt";
    ::DeleteFileW(insidePath.c_str());
    ::SetEnvironmentVariableW(L"QMSAMPLE_RESOURCES", insidePath.c_str());
    ::SetEnvironmentVariableW(L"QMSAMPLE_EXCLUSIVE_EVERY_MS", kExclusiveEveryMs);

    auto owned = std::make_unique<Scene>();
    Scene& scene = *owned;
    const std::wstring script = std::wstring(L"--pos 100,100 --size 640x480 --title soak-game --repeat ") +
                                std::to_wstring(kRoundMs) + L" --script \"" + kGameScript + L"\"";
    if (!scene.StartGame(script)) {
        std::printf("the sample game did not start\n");
        return 1;
    }
    scene.Focus(POINT{400, 400});
    if (!scene.StartHost() || !scene.WaitCovered(20000)) {
        std::printf("the overlay did not cover the game\n");
        return 1;
    }
    base::UniqueHandle host;
    HANDLE copy = nullptr;
    const HANDLE self = ::GetCurrentProcess();
    if (::DuplicateHandle(self, scene.Host().Handle(), self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) host.Reset(copy);
    int unixPid = 0;
    WaitUntil([&] { return (unixPid = FindUnixPid(Dir() + L"\\qm-overlay.exe", scene.HostMark())) != 0; }, 5000);
    // The first sample from inside the host comes a second after the client's Start.
    Figures probe;
    for (int i = 0; i < 100 && !ReadInside(insidePath, &probe); ++i) ::Sleep(100);

    std::printf("soak of %.2f minutes: the game moves, resizes, minimises and restores every %lu ms; the client toggles "
                "exclusive mode every %ls ms\n",
                minutes, static_cast<unsigned long>(kRoundMs), kExclusiveEveryMs);
    std::printf("%12s %8s %8s %12s %12s\n", "time", "handles", "GDI", "private KB", "RssAnon KB");
    const double start = NowMs();
    const Figures first = Checkpoint(host.Get(), unixPid, insidePath, 0);
    // The first minute, then four more spread over the rest, the last at the end.
    std::vector<double> at{std::min(1.0, minutes)};
    for (int i = 1; i <= 4 && minutes > 1.0; ++i) at.push_back(1.0 + (minutes - 1.0) * i / 4);
    Figures oneMinute = first, last = first;
    bool alive = true;
    for (size_t i = 0; i < at.size() && alive; ++i) {
        const double due = start + at[i] * 60000.0 - kReadings * 1000.0;
        // Waiting on the host's handle notices at once if it ends during the run.
        const double left = due - NowMs();
        if (left > 0) alive = ::WaitForSingleObject(host.Get(), static_cast<DWORD>(left)) == WAIT_TIMEOUT;
        if (!alive) break;
        last = Checkpoint(host.Get(), unixPid, insidePath, (NowMs() - start) / 60000.0);
        if (i == 0) oneMinute = last;
    }
    std::printf("handles: %s; GDI objects: %s; private bytes (committed private memory): %s; RssAnon: /proc of the "
                "host's Unix process\n",
                first.handleSource.c_str(), first.gdiSource.c_str(), first.memorySource.c_str());
    if (!alive) std::printf("the host ended during the run\n");
    const double handles = last.handles - oneMinute.handles, gdi = last.gdi - oneMinute.gdi;
    const double grown = (last.privateBytes - oneMinute.privateBytes) / 1024.0;
    Figure("handles at the end - after the first minute", handles, "", "<= 0", handles <= 0);
    Figure("GDI objects at the end - after the first minute", gdi, "", "<= 0", gdi <= 0);
    Figure("private bytes at the end - after the first minute", grown, "KB", "<= 1024", grown <= 1024.0);
    Note("RssAnon at the end - after the first minute", last.rssAnonKb - oneMinute.rssAnonKb, "KB");
    const bool ok = alive && handles <= 0 && gdi <= 0 && grown <= 1024.0;

    scene.StopHost(15000);
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(host.Get(), &code);
    Figure("host exit code after its client ended", code, "", "0", code == 0);
    owned.reset();  // ends the game
    std::vector<DWORD> left;
    WaitUntil([&] { return (left = Descendants()).empty(); }, 5000);
    Figure("processes of the run still running", static_cast<double>(left.size()), "", "0", left.empty());
    for (DWORD pid : left) {
        base::UniqueHandle p(::OpenProcess(PROCESS_TERMINATE, FALSE, pid));
        if (p) ::TerminateProcess(p.Get(), 1);
    }
    ::DeleteFileW(insidePath.c_str());
    return ok && code == 0 && left.empty() ? 0 : 1;
}
