// Wine server round trips of the real host while it renders over the still sample game, with the
// reference client drawing nothing, against the bare Direct3D 11 loop (bare-d3d-loop.exe) over a
// window of the game's client size, in the same run; the host presenting through a swap chain, as
// the bare loop does, and through the layered window (goal: at most 3 a frame the first way): requests per frame and per second, counted
// from the trace of a Wine server that logs every request (scripts/bench.sh starts one for this
// program alone and names its trace in QM_SERVER_TRACE, its Unix process id in QM_SERVER_PID).
// Under Wine nearly every window-manager call a program makes is one request to that server, so
// the count is the system calls that cost; the server's CPU meanwhile is printed beside the host's
// (with its tracing, so only as a comparison between the two).
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bench/HostRun.h"
#include "bench/UnixCpu.h"

using namespace bench;

namespace {

constexpr DWORD kWarmUpMs = 1500;
constexpr DWORD kMeasureMs = 5000;

std::wstring Env(const wchar_t* name) {
    wchar_t value[1024] = {};
    const DWORD n = ::GetEnvironmentVariableW(name, value, 1024);
    return n > 0 && n < 1024 ? std::wstring(value, n) : std::wstring();
}

long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The thread ids of a process, as the server traces them.
void AddThreads(DWORD pid, std::set<unsigned>* threads) {
    base::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot) return;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL ok = ::Thread32First(snapshot.Get(), &entry); ok; ok = ::Thread32Next(snapshot.Get(), &entry)) {
        if (entry.th32OwnerProcessID == pid) threads->insert(entry.th32ThreadID);
    }
}

struct Count {
    long long requests = 0;  // of the program's threads
    long long waits = 0;     // of them, "select": a wait of the program's
    long long all = 0;       // of every process
    std::map<std::string, long long> byName;  // the program's, by request
};

// Requests in the trace between two offsets: a line "<thread>: <request>( ... )"; the server's
// replies ("<thread>: <request>() = ...") and its other lines are not counted.
Count CountRequests(const std::wstring& path, long long from, long long to, const std::set<unsigned>& threads) {
    Count count;
    base::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file || from < 0 || to <= from) return count;
    LARGE_INTEGER at{};
    at.QuadPart = from;
    ::SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN);
    std::string text(static_cast<size_t>(to - from), '\0');
    DWORD read = 0;
    size_t got = 0;
    while (got < text.size() &&
           ::ReadFile(file.Get(), &text[got], static_cast<DWORD>(std::min<size_t>(text.size() - got, 1 << 24)), &read, nullptr) &&
           read > 0) {
        got += read;
    }
    text.resize(got);
    size_t line = text.find('\n') + 1;  // the first line may be cut
    while (line < text.size()) {
        size_t end = text.find('\n', line);
        if (end == std::string::npos) break;
        const char* p = text.c_str() + line;
        char* after = nullptr;
        const unsigned long thread = std::strtoul(p, &after, 16);
        if (after != p && after[0] == ':' && after[1] == ' ') {
            const char* name = after + 2;
            const char* open = name;
            while (open < text.c_str() + end && (std::isalnum(static_cast<unsigned char>(*open)) || *open == '_')) ++open;
            if (open > name && *open == '(' && open[1] != ')') {
                ++count.all;
                if (threads.count(static_cast<unsigned>(thread))) {
                    ++count.requests;
                    if (open - name == 6 && std::strncmp(name, "select", 6) == 0) ++count.waits;
                    ++count.byName[std::string(name, open)];
                }
            }
        }
        line = end + 1;
    }
    return count;
}

struct Use {
    Count count;
    double frames = 0, ms = 0, cpuSeconds = 0, serverSeconds = 0;
    bool valid = false;
};

Use Measure(const std::wstring& trace, int serverPid, DWORD pid, int unixPid, const FrameCounter& frames) {
    Use use;
    std::set<unsigned> threads;
    AddThreads(pid, &threads);
    const double cpu = UnixCpuSeconds(unixPid);
    const double server = UnixCpuSeconds(serverPid);
    const long long from = FileSize(trace);
    const long long framesBefore = frames.Frames();
    const double start = NowMs();
    ::Sleep(kMeasureMs);
    const long long to = FileSize(trace);
    use.ms = NowMs() - start;
    use.frames = static_cast<double>(frames.Frames() - framesBefore);
    use.cpuSeconds = UnixCpuSeconds(unixPid) - cpu;
    use.serverSeconds = UnixCpuSeconds(serverPid) - server;
    AddThreads(pid, &threads);  // and those started meanwhile
    use.count = CountRequests(trace, from, to, threads);
    use.valid = unixPid != 0 && cpu >= 0 && from >= 0 && to > from && use.frames > 0;
    return use;
}

void Print(const char* who, const Use& use) {
    char name[160];
    const double seconds = use.ms / 1000.0;
    std::snprintf(name, sizeof(name), "%s: Wine server requests per frame", who);
    Note(name, use.count.requests / use.frames, "requests");
    std::snprintf(name, sizeof(name), "%s: Wine server requests per second", who);
    Note(name, use.count.requests / seconds, "requests/s");
    std::snprintf(name, sizeof(name), "%s: of them waits (select) per second", who);
    Note(name, use.count.waits / seconds, "requests/s");
    std::snprintf(name, sizeof(name), "%s: frames per second", who);
    Note(name, use.frames / seconds, "fps");
    std::snprintf(name, sizeof(name), "%s: CPU", who);
    Note(name, use.cpuSeconds * 100.0 / seconds, "% core");
    std::snprintf(name, sizeof(name), "%s: Wine server CPU meanwhile (tracing)", who);
    Note(name, use.serverSeconds * 100.0 / seconds, "% core");
    // Which calls they are, the most frequent first: where a change would count.
    std::vector<std::pair<long long, std::string>> names;
    for (const auto& n : use.count.byName) names.emplace_back(n.second, n.first);
    std::sort(names.rbegin(), names.rend());
    std::printf("  per frame:");
    for (size_t i = 0; i < names.size() && i < 10; ++i) {
        std::printf(" %s %.2f", names[i].second.c_str(), names[i].first / use.frames);
    }
    std::printf("\n");
}

int WaitUnixPid(const std::wstring& executable, const std::wstring& argument) {
    int pid = 0;
    WaitUntil([&] { return (pid = FindUnixPid(executable, argument)) != 0; }, 5000);
    return pid;
}

}  // namespace

int main() {
    const std::wstring trace = Env(L"QM_SERVER_TRACE");
    const int serverPid = _wtoi(Env(L"QM_SERVER_PID").c_str());
    if (trace.empty() || FileSize(trace) < 0) {
        std::printf("no Wine server trace (QM_SERVER_TRACE): the requests cannot be counted; run through scripts/bench.sh\n");
        return 0;
    }
    ::SetEnvironmentVariableW(L"QMSAMPLE_DRAW_NOTHING", L"1");
    std::printf("Wine server requests counted from its trace, over %lu ms each\n", static_cast<unsigned long>(kMeasureMs));
    Scene scene;
    if (!scene.StartGame(L"--pos 100,100 --size 640x480 --title bench-game")) {
        std::printf("the sample game did not start\n");
        return 1;
    }
    const RECT area = ClientOnScreen(scene.Game());

    Use bare;
    {
        FrameCounter frames;
        Process loop(L"\"" + Dir() + L"\\bare-d3d-loop.exe\" --pos " + std::to_wstring(area.left) + L"," +
                     std::to_wstring(area.top) + L" --size " + std::to_wstring(area.right - area.left) + L"x" +
                     std::to_wstring(area.bottom - area.top) + L" --frames " + frames.Name());
        const int unixPid = WaitUnixPid(Dir() + L"\\bare-d3d-loop.exe", frames.Name());
        ::Sleep(kWarmUpMs);
        bare = Measure(trace, serverPid, loop.Id(), unixPid, frames);
        if (HWND w = WindowOf(L"QMBareLoop", loop.Id())) ::PostMessageW(w, WM_CLOSE, 0, 0);
        loop.End(3000);
    }
    // Presenting as the bare loop does (a swap chain over the window), where the goal holds, and
    // through the layered window, as the host presents where composition is missing (Wine).
    Use host, layered;
    const auto measureHost = [&](const wchar_t* presentation, Use& use) {
        ::SetEnvironmentVariableW(L"QM_PRESENTATION", presentation);
        FrameCounter frames;
        if (!scene.StartHost(&frames) || !scene.WaitCovered(20000) || !WaitUntil([&] { return frames.Frames() > 0; }, 10000)) {
            std::printf("the host did not render over the game (%ls)\n", presentation);
            return false;
        }
        const int unixPid = WaitUnixPid(Dir() + L"\\qm-overlay.exe", scene.HostMark());
        ::Sleep(kWarmUpMs);
        use = Measure(trace, serverPid, scene.Host().Id(), unixPid, frames);
        scene.StopHost(5000);
        return true;
    };
    if (!measureHost(L"swap-chain", host) || !measureHost(L"layered", layered)) return 1;
    if (!bare.valid || !host.valid || !layered.valid || bare.count.requests <= 0) {
        std::printf("the requests could not be counted (trace lines of every process: %lld, %lld, %lld)\n", bare.count.all,
                    host.count.all, layered.count.all);
        return 1;
    }
    Print("bare Direct3D 11 loop", bare);
    Print("host, swap chain, client drawing nothing", host);
    Print("host, layered window, client drawing nothing", layered);
    const double perFrame = host.count.requests / host.frames;
    Figure("host requests per frame, swap chain", perFrame, "", "<= 3.00", perFrame <= 3.0);
    Note("host requests per frame / bare loop's", perFrame / (bare.count.requests / bare.frames), "x");
    Note("layered window: requests per frame more than the swap chain's",
         layered.count.requests / layered.frames - perFrame, "");
    return 0;
}
