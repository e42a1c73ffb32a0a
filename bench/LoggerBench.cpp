// Logger benchmark: the caller-side cost of FlushLogger::Log (one and two logging threads), rows
// per second reaching the file, and heap allocations per call, against a plain synchronous logger
// (format, write, flush per row) measured in the same run.
#include <windows.h>
#include <intrin.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/AllocationCounter.h"
#include "logging/FlushLogger.h"

namespace {

// Per-call times are read from the processor's time-stamp counter: the performance counter ticks
// in 100 ns steps under Wine, too coarse for a call of a few hundred nanoseconds.
int64_t Now() { return static_cast<int64_t>(__rdtsc()); }

double TicksToNs(int64_t ticks) {
    static const double nsPerTick = [] {
        LARGE_INTEGER f, q0, q1;
        ::QueryPerformanceFrequency(&f);
        ::QueryPerformanceCounter(&q0);
        const int64_t t0 = Now();
        ::Sleep(200);
        ::QueryPerformanceCounter(&q1);
        const int64_t t1 = Now();
        const double seconds = static_cast<double>(q1.QuadPart - q0.QuadPart) / static_cast<double>(f.QuadPart);
        return seconds * 1e9 / static_cast<double>(t1 - t0);
    }();
    return static_cast<double>(ticks) * nsPerTick;
}

struct Stats {
    double medianNs = 0;
    double p99Ns = 0;
};

Stats Summarise(std::vector<int64_t>& ticks) {
    std::sort(ticks.begin(), ticks.end());
    Stats s;
    s.medianNs = TicksToNs(ticks[ticks.size() / 2]);
    s.p99Ns = TicksToNs(ticks[ticks.size() * 99 / 100]);
    return s;
}

std::wstring MakeFolder(const wchar_t* name) {
    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + name + std::to_wstring(::GetCurrentProcessId());
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring cfg = L"SEVERITY_NORMAL +\r\nSEVERITY_MEDIUM +\r\nSEVERITY_HIGH +\r\nERROR H\r\n";
    HANDLE f = ::CreateFileW((folder + L"\\QMLog.cfg").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(f, cfg.data(), static_cast<DWORD>(cfg.size() * 2), &written, nullptr);
    ::CloseHandle(f);
    return folder;
}

LONGLONG FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A typical row of the host: an info line with a couple of arguments.
inline void TypicalRow(FlushLogger& logger, int i) {
    logger.Log(kSeverityNormal, kLogInfo, 0xFFFFFF, 1, L"OOPManager::Update", 412,
               L"needs reset, try to reset device [%d, %d]", 1920 + (i & 7), 1080);
}

// The baseline: everything on the caller's thread, one write and flush per row.
class SyncLogger {
public:
    explicit SyncLogger(const std::wstring& path) { file_ = _wfopen(path.c_str(), L"wb"); }
    ~SyncLogger() {
        if (file_) std::fclose(file_);
    }
    void Log(int32_t line, const wchar_t* function, const wchar_t* format, ...) {
        wchar_t message[2048];
        va_list args;
        va_start(args, format);
        _vsnwprintf(message, 2047, format, args);
        va_end(args);
        message[2047] = L'\0';
        SYSTEMTIME now;
        ::GetLocalTime(&now);
        wchar_t row[2308];
        const int n = _snwprintf(row, 2307,
                                 L"<tr class=\"info\"><td>%02u:%02u:%02u.%hu</td><td>%X</td><td>%d</td><td>%s</td>"
                                 L"<td style=\"background-color:%06X\">%s</td></tr>\r\n",
                                 now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, ::GetCurrentThreadId(), line,
                                 function, 0xFFFFFFu, message);
        row[2307] = L'\0';
        char bytes[2308 * 3];
        const int len = ::WideCharToMultiByte(CP_UTF8, 0, row, n < 0 ? 2307 : n, bytes, sizeof(bytes), nullptr, nullptr);
        std::fwrite(bytes, 1, static_cast<size_t>(len), file_);
        std::fflush(file_);
    }

private:
    FILE* file_ = nullptr;
};

// Times every call of `call(i)` made by `threads` threads: `bursts` bursts of `callsPerBurst` calls
// each. The threads live through all bursts, as a program's logging threads do; between two bursts
// `between()` runs on the calling thread while they wait. The first `warmUp` bursts are not kept.
template <class Call, class Between>
std::vector<int64_t> TimeBursts(int threads, int bursts, int callsPerBurst, int warmUp, Call call, Between between) {
    std::vector<std::vector<int64_t>> perThread(threads);
    std::vector<HANDLE> go(threads), done(threads);
    for (int t = 0; t < threads; ++t) {
        go[t] = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        done[t] = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
        perThread[t].reserve(static_cast<size_t>(bursts) * callsPerBurst);
    }
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int burst = 0; burst < bursts; ++burst) {
                ::WaitForSingleObject(go[t], INFINITE);
                for (int i = 0; i < callsPerBurst; ++i) {
                    const int64_t start = Now();
                    call(i);
                    const int64_t ticks = Now() - start;
                    if (burst >= warmUp) perThread[t].push_back(ticks);
                }
                ::SetEvent(done[t]);
            }
        });
    }
    for (int burst = 0; burst < bursts; ++burst) {
        for (HANDLE h : go) ::SetEvent(h);
        ::WaitForMultipleObjects(static_cast<DWORD>(threads), done.data(), TRUE, INFINITE);
        between();
    }
    for (auto& w : workers) w.join();
    for (int t = 0; t < threads; ++t) {
        ::CloseHandle(go[t]);
        ::CloseHandle(done[t]);
    }
    std::vector<int64_t> all;
    for (auto& v : perThread) all.insert(all.end(), v.begin(), v.end());
    return all;
}

template <class Call>
std::vector<int64_t> TimeCalls(int threads, int callsPerThread, Call call) {
    return TimeBursts(threads, 1, callsPerThread, 0, call, [] {});
}

LoggerOptions Options(const std::wstring& folder) {
    LoggerOptions o;
    o.configuredFolder = folder;
    o.executablePath = L"C:\\bench\\qm-overlay.exe";
    return o;
}

}  // namespace

int main() {
    TicksToNs(0);  // calibrate before anything runs
    const std::wstring folder = MakeFolder(L"qm-logger-bench-");
    std::printf("logger benchmark (rows of the shape \"needs reset, try to reset device [%%d, %%d]\")\n\n");

    for (int threads : {1, 2}) {
        // Bursts that the pool holds (45 rows per thread), the writer draining in between: the
        // common case. Then one long run in which the pool runs dry and rows come from the heap.
        const int bursts = 300;
        const int perBurst = 45;
        Stats pooled;
        Stats exhausted;
        {
            FlushLogger logger(Options(folder));
            logger.Start((L"_pooled_" + std::to_wstring(threads)).c_str());
            const auto row = [&logger](int i) { TypicalRow(logger, i); };
            std::vector<int64_t> all = TimeBursts(threads, bursts, perBurst, 10, row, [&logger] {
                logger.Flush();
                ::Sleep(3);
            });
            pooled = Summarise(all);
            std::vector<int64_t> dry = TimeCalls(threads, 20000 / threads, row);
            exhausted = Summarise(dry);
            logger.Stop();
        }
        Stats baseline;
        {
            SyncLogger sync(folder + L"\\baseline_" + std::to_wstring(threads) + L".html");
            std::vector<int64_t> ticks = TimeCalls(threads, 20000 / threads, [&sync](int i) {
                sync.Log(412, L"OOPManager::Update", L"needs reset, try to reset device [%d, %d]", 1920 + (i & 7), 1080);
            });
            baseline = Summarise(ticks);
        }
        std::printf("%d logging thread%s:\n", threads, threads == 1 ? "" : "s");
        std::printf("  FlushLogger::Log, pool has blocks   median %8.0f ns   p99 %8.0f ns\n", pooled.medianNs,
                    pooled.p99Ns);
        std::printf("  FlushLogger::Log, pool exhausted    median %8.0f ns   p99 %8.0f ns\n", exhausted.medianNs,
                    exhausted.p99Ns);
        std::printf("  synchronous baseline                median %8.0f ns   p99 %8.0f ns\n", baseline.medianNs,
                    baseline.p99Ns);
        std::printf("  median ratio baseline / Log (pool has blocks): %.1fx (goal: at least 10x)\n\n",
                    baseline.medianNs / pooled.medianNs);
    }

    // Heap allocations per call while the pool has blocks: bursts below the pool's size, the
    // writer draining in between.
    {
        FlushLogger logger(Options(folder));
        logger.Start(L"_allocations");
        long long allocations = 0;
        long long calls = 0;
        for (int burst = 0; burst < 210; ++burst) {
            const long long before = AllocationCount();
            for (int i = 0; i < 90; ++i) TypicalRow(logger, i);
            // The first bursts size the row queue's ring; after that nothing may allocate.
            if (burst >= 10) {
                allocations += AllocationCount() - before;
                calls += 90;
            }
            logger.Flush();
            ::Sleep(5);
        }
        logger.Stop();
        std::printf("heap allocations per Log call (pool not exhausted): %.4f over %lld calls (goal: 0)\n",
                    static_cast<double>(allocations) / static_cast<double>(calls), calls);
    }

    // Rows per second reaching the file: from the first call until Stop has written the last row.
    for (int threads : {1, 2}) {
        const int rows = 400000;
        FlushLogger logger(Options(folder));
        logger.Start((L"_throughput_" + std::to_wstring(threads)).c_str());
        const std::wstring path = logger.FilePath();
        const int64_t start = Now();
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&logger, rows, threads] {
                for (int i = 0; i < rows / threads; ++i) TypicalRow(logger, i);
            });
        }
        for (auto& w : workers) w.join();
        logger.Stop();
        const double seconds = TicksToNs(Now() - start) / 1e9;
        std::printf("%d thread%s: %d rows reached the file (%lld bytes) in %.3f s: %.0f rows/s (goal: 100000)\n",
                    threads, threads == 1 ? "" : "s", rows, FileSize(path), seconds, rows / seconds);
    }
    return 0;
}
