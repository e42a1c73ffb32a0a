// Host CPU benchmark, with the real qm-overlay.exe over the sample game and the reference client
// drawing nothing: the host's CPU use while it renders, as a share of one core, against a bare
// Direct3D 11 loop (bare-d3d-loop.exe: clear and present at 90 frames per second over a window of
// the game's client size, with the sync interval the host presents with) measured in the same run,
// in turns, five runs of four turns each (the median ratio is the figure, with the spread);
// the frames per second the host asks
// the client for, against the bare loop's; and the host's CPU use while it waits for a game window
// that is not shown; and the plug-in hosts' CPU, with the Wine server's, while their plug-ins do nothing.
// The host presents through a regular swap chain here, as the bare loop does (QM_PRESENTATION);
// last, what presenting through the layered window (where composition is missing) costs on top of
// that, per frame, at 640 x 480 and 1920 x 1080, the two ways in turns.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/HostRun.h"
#include "bench/UnixCpu.h"

using namespace bench;

namespace {

constexpr DWORD kWarmUpMs = 1500;
constexpr DWORD kMeasureMs = 5000;
constexpr int kTurns = 4;
// The main comparison is run this often in one sitting: its median is the figure, with the spread.
constexpr int kRuns = 5;

struct Use {
    double cpuSeconds = 0;
    double serverSeconds = 0;  // the Wine server's and the X server's meanwhile
    double xSeconds = 0;       // of them, the X server's
    double frames = 0;
    double ms = 0;
    bool valid = true;
    void Add(const Use& other) {
        cpuSeconds += other.cpuSeconds;
        serverSeconds += other.serverSeconds;
        xSeconds += other.xSeconds;
        frames += other.frames;
        ms += other.ms;
        valid = valid && other.valid;
    }
    double CoreShare() const { return ms > 0 ? cpuSeconds * 1000.0 / ms : 0; }
    double ServerShare() const { return ms > 0 ? serverSeconds * 1000.0 / ms : 0; }
    double XShare() const { return ms > 0 ? xSeconds * 1000.0 / ms : 0; }
    double Fps() const { return ms > 0 ? frames * 1000.0 / ms : 0; }
};

int WaitUnixPid(const std::wstring& executable, const std::wstring& argument) {
    int pid = 0;
    WaitUntil([&] { return (pid = FindUnixPid(executable, argument)) != 0; }, 5000);
    return pid;
}

// What the servers spent: the Wine server's and the X server's CPU, which a program's round trips cost.
double XServerCpuSeconds() {
    static const int x = FindXServerPid();
    return x ? UnixCpuSeconds(x) : 0;
}

double ServerCpuSeconds() {
    static const int wine = FindWineServerPid();
    return (wine ? UnixCpuSeconds(wine) : 0) + XServerCpuSeconds();
}

// CPU and frames of a running program over kMeasureMs, with the servers' CPU meanwhile.
Use Measure(int unixPid, const FrameCounter* counter) {
    Use use;
    const double cpu = UnixCpuSeconds(unixPid);
    const double server = ServerCpuSeconds();
    const double x = XServerCpuSeconds();
    const long long frames = counter ? counter->Frames() : 0;
    const double start = NowMs();
    ::Sleep(kMeasureMs);
    const double cpuEnd = UnixCpuSeconds(unixPid);
    use.serverSeconds = ServerCpuSeconds() - server;
    use.xSeconds = XServerCpuSeconds() - x;
    use.ms = NowMs() - start;
    use.frames = counter ? static_cast<double>(counter->Frames() - frames) : 0;
    use.cpuSeconds = cpuEnd - cpu;
    use.valid = unixPid != 0 && cpu >= 0 && cpuEnd >= 0;
    return use;
}

Use BareLoop(const RECT& area, const wchar_t* wait = L"sleep") {
    FrameCounter frames;
    Process loop(L"\"" + Dir() + L"\\bare-d3d-loop.exe\" --pos " + std::to_wstring(area.left) + L"," +
                 std::to_wstring(area.top) + L" --size " + std::to_wstring(area.right - area.left) + L"x" +
                 std::to_wstring(area.bottom - area.top) + L" --frames " + frames.Name() + L" --wait " + wait);
    const int pid = WaitUnixPid(Dir() + L"\\bare-d3d-loop.exe", frames.Name());
    ::Sleep(kWarmUpMs);
    const Use use = Measure(pid, &frames);
    if (HWND w = WindowOf(L"QMBareLoop", loop.Id())) ::PostMessageW(w, WM_CLOSE, 0, 0);
    loop.End(3000);
    if (frames.Frames() <= 0) std::printf("the bare loop presented no frame\n");
    return use;
}

Use Host(Scene& scene) {
    FrameCounter frames;
    Use use;
    if (!scene.StartHost(&frames) || !scene.WaitCovered(20000) ||
        !WaitUntil([&] { return frames.Frames() > 0; }, 10000)) {
        std::printf("the host did not render over the game\n");
        use.valid = false;
    } else {
        const int pid = WaitUnixPid(Dir() + L"\\qm-overlay.exe", scene.HostMark());
        ::Sleep(kWarmUpMs);
        use = Measure(pid, &frames);
    }
    scene.StopHost(5000);
    return use;
}

// The plug-in hosts with plug-ins that do nothing: the host's CPU and the Wine server's (which a
// host that spins or polls keeps busy), over kMeasureMs once the plug-in runs.
void PluginHosts() {
    const struct {
        const char* name;
        const wchar_t* arguments;
        const wchar_t* plugin;
        double goal;
    } hosts[] = {{"GEP", L"--oopg", L"sample-gep-plugin.dll", 0.01}, {"GOOP", L"--goop --params=e30=", L"sample-goop-plugin.dll", 0.03}};
    const int server = FindWineServerPid();
    for (const auto& h : hosts) {
        const std::wstring dir = Dir();
        Process game(L"\"" + dir + L"\\sample-game.exe\" --hidden --title plugin-game");
        Process client(L"\"" + dir + L"\\sample-game.exe\" --hidden --title plugin-client");
        const std::wstring mark = L"--game-process=plugin-bench-" + std::wstring(h.arguments).substr(2, 4) + L".exe";
        Process host(L"\"" + dir + L"\\qm-overlay.exe\" " + h.arguments + L" \"--plugin=" + dir + L"\\" + h.plugin +
                     L"\" --qm-client=C:\\qm --game-pid=" + std::to_wstring(game.Id()) + L" --qm-pid=" +
                     std::to_wstring(client.Id()) + L" " + mark);
        const int pid = WaitUnixPid(dir + L"\\qm-overlay.exe", mark);
        ::Sleep(kWarmUpMs);
        const double serverBefore = UnixCpuSeconds(server);
        const Use use = Measure(pid, nullptr);
        const double serverAfter = UnixCpuSeconds(server);
        if (!use.valid || serverBefore < 0 || serverAfter < 0) {
            std::printf("%s host: the CPU use could not be read\n", h.name);
            continue;
        }
        const double serverShare = (serverAfter - serverBefore) * 1000.0 / use.ms;
        const double total = use.CoreShare() + serverShare;
        char name[128];
        std::snprintf(name, sizeof(name), "%s host, plug-in doing nothing: host CPU", h.name);
        Note(name, use.CoreShare() * 100.0, "% core");
        std::snprintf(name, sizeof(name), "%s host: Wine server CPU meanwhile", h.name);
        Note(name, serverShare * 100.0, "% core");
        char goal[32];
        std::snprintf(goal, sizeof(goal), "<= %.2f", h.goal * 100.0);
        std::snprintf(name, sizeof(name), "%s host: host and Wine server CPU", h.name);
        Figure(name, total * 100.0, "% core", goal, total <= h.goal);
        client.End(0);
        host.End(5000);
    }
}

// The layered window's extra CPU per frame against the swap chain, host and servers together, over
// a game of `size` ("WxH"), the two ways in turns; with a client whose frames do not change, or
// one that changes every pixel of every frame (`changing`).
void LayeredExtra(const wchar_t* size, bool changing) {
    constexpr int kLayeredTurns = 2;
    ::SetEnvironmentVariableW(L"QMSAMPLE_CHANGING", changing ? L"1" : nullptr);
    Scene scene;
    if (!scene.StartGame(L"--pos 0,0 --size " + std::wstring(size) + L" --title layered-bench-game")) {
        std::printf("the sample game did not start\n");
        return;
    }
    const RECT area = ClientOnScreen(scene.Game());
    Use swapChain, layered;
    for (int turn = 0; turn < kLayeredTurns; ++turn) {
        ::SetEnvironmentVariableW(L"QM_PRESENTATION", L"swap-chain");
        swapChain.Add(Host(scene));
        ::SetEnvironmentVariableW(L"QM_PRESENTATION", L"layered");
        layered.Add(Host(scene));
    }
    ::SetEnvironmentVariableW(L"QM_PRESENTATION", L"swap-chain");
    ::SetEnvironmentVariableW(L"QMSAMPLE_CHANGING", nullptr);
    if (!swapChain.valid || !layered.valid || swapChain.frames <= 0 || layered.frames <= 0) {
        std::printf("the CPU use could not be read\n");
        return;
    }
    const double swapMs = (swapChain.cpuSeconds + swapChain.serverSeconds) * 1000.0 / swapChain.frames;
    const double layeredMs = (layered.cpuSeconds + layered.serverSeconds) * 1000.0 / layered.frames;
    char name[160];
    const int width = static_cast<int>(area.right - area.left), height = static_cast<int>(area.bottom - area.top);
    const char* frames = changing ? "every pixel changing" : "frames unchanged";
    std::snprintf(name, sizeof(name), "%dx%d, %s: swap chain, CPU per frame", width, height, frames);
    Note(name, swapMs, "ms");
    std::snprintf(name, sizeof(name), "%dx%d, %s: layered window, CPU per frame", width, height, frames);
    Note(name, layeredMs, "ms");
    std::snprintf(name, sizeof(name), "%dx%d, %s: the layered window's extra per frame", width, height, frames);
    Note(name, layeredMs - swapMs, "ms");
    std::snprintf(name, sizeof(name), "%dx%d, %s: frames per second, swap chain / layered", width, height, frames);
    std::printf("%-72s %.1f / %.1f fps\n", name, swapChain.Fps(), layered.Fps());
    scene.StopHost(5000);
}

}  // namespace

int main() {
    // As the bare loop presents; the layered window is measured on its own at the end.
    ::SetEnvironmentVariableW(L"QM_PRESENTATION", L"swap-chain");
    ::SetEnvironmentVariableW(L"QMSAMPLE_DRAW_NOTHING", L"1");
    std::printf("CPU as Linux counts it for the process (all its threads), share of one core; measured in %d turns of %lu ms\n",
                kTurns, static_cast<unsigned long>(kMeasureMs));

    {
        Scene idle;
        if (!idle.StartGame(L"--hidden --title no-game", false) || !idle.StartHost()) {
            std::printf("the idle scene did not start\n");
            return 1;
        }
        const int pid = WaitUnixPid(Dir() + L"\\qm-overlay.exe", idle.HostMark());
        ::Sleep(2000);
        const Use use = Measure(pid, nullptr);
        if (use.valid) {
            Figure("host CPU, waiting for a game window to be shown", use.CoreShare() * 100.0, "% core", "<= 1.00",
                   use.CoreShare() <= 0.01);
        } else {
            std::printf("the idle host's CPU could not be read\n");
        }
        idle.StopHost(5000);
    }

    PluginHosts();

    Scene scene;
    if (!scene.StartGame(L"--pos 100,100 --size 640x480 --title bench-game")) {
        std::printf("the sample game did not start\n");
        return 1;
    }
    const RECT area = ClientOnScreen(scene.Game());
    Use bare, host;
    std::vector<double> runs, programRuns;
    for (int run = 0; run < kRuns; ++run) {
        Use runBare, runHost;
        for (int turn = 0; turn < kTurns; ++turn) {
            runBare.Add(BareLoop(area));
            runHost.Add(Host(scene));
        }
        if (!runBare.valid || !runHost.valid || runBare.cpuSeconds <= 0) {
            std::printf("the CPU use could not be read\n");
            return 1;
        }
        const double withServers =
            (runHost.cpuSeconds + runHost.serverSeconds) / (runBare.cpuSeconds + runBare.serverSeconds);
        std::printf("run %d: host / bare loop CPU, servers included %.3f x, the programs alone %.3f x\n", run + 1,
                    withServers, runHost.cpuSeconds / runBare.cpuSeconds);
        std::fflush(stdout);
        runs.push_back(withServers);
        programRuns.push_back(runHost.cpuSeconds / runBare.cpuSeconds);
        bare.Add(runBare);
        host.Add(runHost);
    }
    Note("bare Direct3D 11 loop: CPU", bare.CoreShare() * 100.0, "% core");
    Note("bare Direct3D 11 loop: frames per second", bare.Fps(), "fps");
    Note("host rendering, client drawing nothing: CPU", host.CoreShare() * 100.0, "% core");
    Note("host frames per second (frames asked of the client)", host.Fps(), "fps");
    Note("Wine and X servers' CPU beside the bare loop", bare.ServerShare() * 100.0, "% core");
    Note("Wine and X servers' CPU beside the host", host.ServerShare() * 100.0, "% core");
    Note("of them the X server's, beside the bare loop", bare.XShare() * 100.0, "% core");
    Note("of them the X server's, beside the host", host.XShare() * 100.0, "% core");
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    };
    Note("host CPU / bare loop CPU, the programs alone, median of the runs", median(programRuns), "x");
    std::printf("  the runs from %.3f to %.3f x\n", *std::min_element(programRuns.begin(), programRuns.end()),
                *std::max_element(programRuns.begin(), programRuns.end()));
    const double withServers = median(runs);
    Figure("host CPU / bare loop CPU, each with the servers' CPU it causes, median of the runs", withServers, "x",
           "<= 1.05", withServers <= 1.05);
    std::printf("  the runs from %.3f to %.3f x\n", *std::min_element(runs.begin(), runs.end()),
                *std::max_element(runs.begin(), runs.end()));
    // Both aim at 90 frames per second; on a busy machine neither may reach it.
    const double fpsRatio = bare.Fps() > 0 ? host.Fps() / bare.Fps() : 0;
    Figure("host frames per second / bare loop's", fpsRatio, "x", "0.90 to 1.10", fpsRatio >= 0.9 && fpsRatio <= 1.1);
    if (host.frames > 0 && bare.frames > 0) {
        Note("host CPU per frame / bare loop CPU per frame", (host.cpuSeconds / host.frames) / (bare.cpuSeconds / bare.frames),
             "x");
    }
    scene.StopHost(5000);
    // Of the difference, what waiting for messages rather than sleeping costs (one server round trip
    // a frame under Wine, its timer kept by the server): the bare loop both ways, in turns.
    {
        Use sleeping, waiting;
        for (int turn = 0; turn < kTurns; ++turn) {
            sleeping.Add(BareLoop(area));
            waiting.Add(BareLoop(area, L"messages"));
        }
        if (sleeping.valid && waiting.valid && sleeping.cpuSeconds > 0) {
            Note("bare loop waiting for messages / sleeping, each with the servers' CPU",
                 (waiting.cpuSeconds + waiting.serverSeconds) / (sleeping.cpuSeconds + sleeping.serverSeconds), "x");
            Note("bare loop waiting for messages / sleeping, the programs alone", waiting.cpuSeconds / sleeping.cpuSeconds,
                 "x");
        }
    }
    for (const wchar_t* size : {L"648x507", L"1928x1107"}) {
        for (const bool changing : {false, true}) LayeredExtra(size, changing);
    }
    return 0;
}
