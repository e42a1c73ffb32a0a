// A reference client controller library (QMClient.dll). It draws a heads-up panel into the
// overlay's back buffer, enters and leaves exclusive mode on Shift+Tab, reports cursor shapes, and
// records every call the host makes, so that tests and integrators can see the contract at work.
//
// Switches, from the host's environment: QMSAMPLE_START_FAILS, QMSAMPLE_NO_CONTROLLER,
// QMSAMPLE_NO_CONFIGURATION, QMSAMPLE_BLOCKER, QMSAMPLE_FRAME_NOT_READY (each "1");
// QMSAMPLE_LOAD_PLUGIN=<path> (asks the host to load an in-game plug-in after Start);
// QMSAMPLE_STOP_AFTER_MS=<n> (asks the host to stop n ms after Start); QMSAMPLE_DRAW_NOTHING (1);
// QMSAMPLE_FRAME_COUNT=<file> (the number of frames asked for, written at Stop);
// QMSAMPLE_FRAME_MAPPING=<name> (the same number, kept up to date every frame as a 64-bit value in the
// named file mapping, for benchmarks that watch a running host); QMSAMPLE_RECORD=<file> (the record also
// goes to that file, one call per line); QMSAMPLE_SNAPSHOT=<file> (the back buffer as drawn, with its
// alpha, as a PAM picture, rewritten whenever the buffer's size changes);
// QMSAMPLE_EXCLUSIVE_EVERY_MS=<n> (enters and leaves exclusive mode every n ms, as Shift+Tab does);
// QMSAMPLE_EXCLUSIVE_EVENT=<name> (enters or leaves exclusive mode each time the named event is set);
// QMSAMPLE_CURSOR_FLOOD_MS=<n> (8 threads call SetCursorType in a loop for n ms after Start, then
// record "cursor flood done"); QMSAMPLE_RENDER_MS=<n> (each RenderOverlay works for n ms);
// QMSAMPLE_CHANGING=1 (every pixel of the back buffer changes from one frame to the next: a faint
// tint that alternates, under the panel);
// QMSAMPLE_RESOURCES=<file> (appends "handles gdi-objects private-bytes gdi-source memory-source" of
// the host every second, measured inside it, for soak runs: Wine reads some of these as 0 from
// another process).
// Faults on purpose: QMSAMPLE_RENDER_FAULT=access|throw|hang (the 30th RenderOverlay writes to
// address 0, throws a C++ exception or never returns); QMSAMPLE_STOP_MS=<n> (Stop takes n ms).
// QMSample_* exports read the record.
#include <windows.h>
#include <d3d11.h>
#include <psapi.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "qm/ClientContract.h"

namespace {

std::mutex gMutex;
std::string gCalls;
qm::IOverlayManagerControllerDelegate* gDelegate = nullptr;
[[maybe_unused]] int gClearCount = 0;

void Record(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    std::lock_guard<std::mutex> guard(gMutex);
    gCalls += line;
    gCalls += ';';
    wchar_t path[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"QMSAMPLE_RECORD", path, MAX_PATH) > 0) {
        HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            std::string text = std::string(line) + "\n";
            ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            ::CloseHandle(file);
        }
    }
}

// How the sample behaves, from the environment of the host process (so a test can make it fail).
bool Option(const char* name) {
    char value[16] = {};
    return ::GetEnvironmentVariableA(name, value, sizeof(value)) > 0 && value[0] == '1';
}

// About `ms` of the processor's time, counted in steps rather than read from a clock, as a client's
// drawing takes it: a process paused meanwhile still has the rest of the work to do afterwards.
void Work(DWORD ms) {
    static uint64_t stepsPerMs = 0;
    volatile uint64_t step = 0;
    if (stepsPerMs == 0) {
        const DWORD start = ::GetTickCount();
        while (::GetTickCount() - start < 50) {
            for (int i = 0; i < 10000; ++i) step = step + 1;
        }
        stepsPerMs = std::max<uint64_t>(1, step / 50);
        return;
    }
    for (uint64_t i = 0, n = stepsPerMs * ms; i < n; ++i) step = step + 1;
}

DWORD Number(const char* name) {
    char value[16] = {};
    return ::GetEnvironmentVariableA(name, value, sizeof(value)) > 0 ? static_cast<DWORD>(std::strtoul(value, nullptr, 10))
                                                                     : 0;
}

using Microsoft::WRL::ComPtr;

// The panel: a translucent blue card with a light frame, premultiplied alpha.
constexpr UINT kPanelWidth = 320;
constexpr UINT kPanelHeight = 96;
constexpr UINT kPanelLeft = 16;
constexpr UINT kPanelTop = 16;

uint32_t PanelPixel(UINT x, UINT y, bool bgra) {
    const bool frame = x < 3 || y < 3 || x >= kPanelWidth - 3 || y >= kPanelHeight - 3;
    const uint8_t a = 0xE0;
    const uint8_t r = frame ? 0xE0 : 0x20, g = frame ? 0xE0 : 0x50, b = frame ? 0xE0 : 0xB0;
    return bgra ? (uint32_t(a) << 24 | uint32_t(r) << 16 | uint32_t(g) << 8 | b)
                : (uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(g) << 8 | r);
}

struct HandleCloser {
    void operator()(HANDLE h) const { ::CloseHandle(h); }
};
using OwnedHandle = std::unique_ptr<void, HandleCloser>;

// Wine's GetGuiResources is a stub that reads 0; its GDI handle table is per process and sits where
// the PEB says (0xF8 into a 64-bit PEB), with the type byte of a used entry non-zero (24-byte
// entries, the type at offset 14).
DWORD GdiObjects(const char** source) {
    *source = "GetGuiResources";
    if (const DWORD n = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS)) return n;
    *source = "handle-table";
#if defined(_WIN64)
    struct BasicInformation {
        LONG exitStatus;
        const uint8_t* peb;
        ULONG_PTR affinity, priority, pid, parentPid;
    } basic{};
    using QueryFn = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
    const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    if (!query || query(::GetCurrentProcess(), 0, &basic, sizeof(basic), nullptr) != 0 || !basic.peb) return 0;
    const auto* table = *reinterpret_cast<const uint8_t* const*>(basic.peb + 0xF8);
    if (!table) return 0;
    DWORD used = 0;
    for (size_t i = 0; i < 0x10000; ++i) used += table[i * 24 + 14] != 0;
    return used;
#else
    return 0;
#endif
}

// Wine reads PrivateUsage as 0: committed private memory is then summed region by region.
unsigned long long PrivateBytes(const char** source) {
    *source = "PrivateUsage";
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory));
    if (memory.PrivateUsage) return memory.PrivateUsage;
    *source = "VirtualQuery";
    unsigned long long sum = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* at = nullptr; ::VirtualQuery(at, &region, sizeof(region)) == sizeof(region);
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) sum += region.RegionSize;
        if (region.RegionSize == 0) break;
    }
    return sum;
}

void AppendResources(const wchar_t* path) {
    const char* memorySource = "";
    const unsigned long long privateBytes = PrivateBytes(&memorySource);
    DWORD handles = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &handles);
    const char* source = "";
    const DWORD gdi = GdiObjects(&source);
    char line[128];
    const int n = std::snprintf(line, sizeof(line), "%lu %lu %llu %s %s\n", static_cast<unsigned long>(handles),
                                static_cast<unsigned long>(gdi), privateBytes, source, memorySource);
    HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const OwnedHandle owned(file);
    DWORD written = 0;
    ::WriteFile(file, line, static_cast<DWORD>(n), &written, nullptr);
}

class SampleController final : public qm::IOverlayManagerController {
public:
    void SendData(uint32_t size, const void* data) override {
        qm::PluginLoadReply reply{};
        if (data && size >= sizeof(reply)) std::memcpy(&reply, data, sizeof(reply));
        Record("SendData %u type=%u two=%u pid=%s request=%u error=%u", size, reply.type, reply.two,
               reply.hostPid == ::GetCurrentProcessId() ? "host" : "other", reply.requestId, reply.error);
    }
    bool Start(qm::GameConfiguration* c) override {
        using Config = qm::GameConfiguration;
        Record("Start kind=%u b25=%u b101=%u b117=%u", c ? c->U32(Config::kRendererKind) : 0,
               c ? c->Byte(Config::kHostSetBytes[0]) : 0, c ? c->Byte(Config::kHostClearedBytes[0]) : 0,
               c ? c->Byte(Config::kPresetByte) : 0);
        if (Option("QMSAMPLE_START_FAILS")) return false;
        OpenFrameMapping();
        AskTheHostLater();
        StartChores();
        return true;
    }
    // The panel lives on the host's device: it goes before the host releases that device.
    void Stop() override {
        Record("Stop");
        char stopMs[16] = {};
        if (::GetEnvironmentVariableA("QMSAMPLE_STOP_MS", stopMs, sizeof(stopMs)) > 0) {
            ::Sleep(static_cast<DWORD>(std::strtoul(stopMs, nullptr, 10)));
        }
        StopChores();
        // How many frames the host asked for, for the benchmarks.
        wchar_t path[MAX_PATH] = {};
        if (::GetEnvironmentVariableW(L"QMSAMPLE_FRAME_COUNT", path, MAX_PATH) > 0) {
            if (FILE* f = _wfopen(path, L"w")) {
                std::fprintf(f, "%llu\n", static_cast<unsigned long long>(calls_));
                std::fclose(f);
            }
        }
        panel_.Reset();
        panelDevice_ = nullptr;
        if (sharedFrames_) ::UnmapViewOfFile(const_cast<LONG64*>(sharedFrames_));
        sharedFrames_ = nullptr;
        if (frameMapping_) ::CloseHandle(frameMapping_);
        frameMapping_ = nullptr;
    }
    bool OnMouseMessage(uint64_t message, uint64_t, int64_t, bool* exclusive) override {
        Record("OnMouseMessage %llu", static_cast<unsigned long long>(message));
        if (exclusive) *exclusive = false;
        return false;
    }
    bool OnKeyboardHook(int32_t code, uint64_t wParam, KBDLLHOOKSTRUCT* key) override {
        Record("OnKeyboardHook %d %llu %lu", code, static_cast<unsigned long long>(wParam),
               key ? static_cast<unsigned long>(key->vkCode) : 0ul);
        if (code != 0 || !key) return false;
        const bool down = wParam == WM_KEYDOWN || wParam == WM_SYSKEYDOWN;
        if (key->vkCode == VK_SHIFT || key->vkCode == VK_LSHIFT || key->vkCode == VK_RSHIFT) {
            shiftDown_ = down;
            return false;
        }
        // Shift+Tab: the overlay takes the input, or gives it back.
        if (key->vkCode == VK_TAB && down && shiftDown_) {
            ToggleExclusive();
            return true;
        }
        return false;
    }
    bool OnMouseHook(uint32_t message, uint64_t flags, int64_t position) override {
        Record("OnMouseHook %u %llu %lld", message, static_cast<unsigned long long>(flags),
               static_cast<long long>(position));
        // Over the panel the cursor is a hand, elsewhere an arrow; the panel takes clicks.
        const int x = static_cast<int16_t>(position & 0xFFFF);
        const int y = static_cast<int16_t>((position >> 16) & 0xFFFF);
        const bool overPanel = x >= int(kPanelLeft) && x < int(kPanelLeft + kPanelWidth) && y >= int(kPanelTop) &&
                               y < int(kPanelTop + kPanelHeight);
        if (overPanel != overPanel_ && gDelegate) {
            overPanel_ = overPanel;
            gDelegate->SetCursorType(overPanel ? 1 : 0, ::LoadCursorW(nullptr, overPanel ? IDC_HAND : IDC_ARROW));
        }
        return overPanel;
    }
    void OnClickOutside() override { Record("OnClickOutside"); }
    void Unused7() override { Record("Unused7"); }
    void OnHooksFailed() override { Record("OnHooksFailed"); }
    void SetDelegate(qm::IOverlayManagerControllerDelegate* d) override {
        gDelegate = d;
        Record("SetDelegate %s", d ? "host" : "null");
    }
    void Unused10() override { Record("Unused10"); }
    bool ReadGameConfiguration(qm::GameConfiguration* c) override {
        Record("ReadGameConfiguration");
        if (!c || Option("QMSAMPLE_NO_CONFIGURATION")) return false;
        c->SetByte(qm::GameConfiguration::kInputBlockerEnabled, Option("QMSAMPLE_BLOCKER") ? 1 : 0);
        c->SetByte(qm::GameConfiguration::kHostClearedBytes[0], 1);  // the host sets it back to 0
        return true;
    }
    bool IsFrameReady() override { return !Option("QMSAMPLE_FRAME_NOT_READY"); }
    void SetGameWindow(HWND window) override { Record("SetGameWindow %p", static_cast<void*>(window)); }
    void OnWindowModeRestored() override { Record("OnWindowModeRestored"); }
    void OnOverlayActivated() override { Record("OnOverlayActivated"); }
    void Unused16() override { Record("Unused16"); }
    // Copies the panel into the top-left corner of the back buffer.
    void RenderOverlay(HWND, IDXGISwapChain* swapChain) override {
        ++calls_;
        if (calls_ == 30) FaultAsAsked();
        if (renderMs_) Work(renderMs_);
        if (sharedFrames_) ::InterlockedExchange64(sharedFrames_, static_cast<LONG64>(calls_));
        if (!swapChain || (drawNothing_ && !changing_)) return;
        ComPtr<ID3D11Device> device;
        ComPtr<ID3D11Texture2D> back;
        if (FAILED(swapChain->GetDevice(__uuidof(ID3D11Device), reinterpret_cast<void**>(device.GetAddressOf()))) ||
            FAILED(swapChain->GetBuffer(0, __uuidof(ID3D11Texture2D), reinterpret_cast<void**>(back.GetAddressOf())))) {
            return;
        }
        D3D11_TEXTURE2D_DESC desc{};
        back->GetDesc(&desc);
        const bool bgra = desc.Format == DXGI_FORMAT_B8G8R8A8_UNORM;
        if (changing_) TintEverything(device.Get(), back.Get());
        if (drawNothing_) return;
        if (!bgra && desc.Format != DXGI_FORMAT_R8G8B8A8_UNORM) return;
        if (!panel_ || panelDevice_ != device.Get() || panelFormat_ != desc.Format) {
            static uint32_t pixels[kPanelWidth * kPanelHeight];
            for (UINT y = 0; y < kPanelHeight; ++y) {
                for (UINT x = 0; x < kPanelWidth; ++x) pixels[y * kPanelWidth + x] = PanelPixel(x, y, bgra);
            }
            D3D11_TEXTURE2D_DESC pd{};
            pd.Width = kPanelWidth;
            pd.Height = kPanelHeight;
            pd.MipLevels = 1;
            pd.ArraySize = 1;
            pd.Format = desc.Format;
            pd.SampleDesc.Count = 1;
            pd.Usage = D3D11_USAGE_IMMUTABLE;
            pd.BindFlags = D3D11_BIND_SHADER_RESOURCE;
            const D3D11_SUBRESOURCE_DATA data{pixels, kPanelWidth * 4, 0};
            panel_.Reset();
            if (FAILED(device->CreateTexture2D(&pd, &data, panel_.GetAddressOf()))) return;
            panelDevice_ = device.Get();
            panelFormat_ = desc.Format;
        }
        if (desc.Width <= kPanelLeft || desc.Height <= kPanelTop) return;
        const D3D11_BOX box{0, 0, 0, std::min<UINT>(kPanelWidth, desc.Width - kPanelLeft),
                            std::min<UINT>(kPanelHeight, desc.Height - kPanelTop), 1};
        ComPtr<ID3D11DeviceContext> context;
        device->GetImmediateContext(context.GetAddressOf());
        context->CopySubresourceRegion(back.Get(), 0, kPanelLeft, kPanelTop, 0, panel_.Get(), 0, &box);
        ++frames_;
        if (!snapshotPath_.empty() && (desc.Width != snapshotWidth_ || desc.Height != snapshotHeight_)) {
            snapshotWidth_ = desc.Width;
            snapshotHeight_ = desc.Height;
            WriteSnapshot(device.Get(), context.Get(), back.Get(), desc, bgra);
        }
    }

private:
    // A faint tint over the whole buffer, another every frame (premultiplied: blue 0 or 16, alpha 16).
    void TintEverything(ID3D11Device* device, ID3D11Texture2D* back) {
        ComPtr<ID3D11RenderTargetView> view;
        if (FAILED(device->CreateRenderTargetView(back, nullptr, view.GetAddressOf()))) return;
        ComPtr<ID3D11DeviceContext> context;
        device->GetImmediateContext(context.GetAddressOf());
        const float tint[4] = {0.0f, 0.0f, (calls_ % 2) ? 0.0625f : 0.0f, 0.0625f};
        context->ClearRenderTargetView(view.Get(), tint);
    }

    static void FaultAsAsked() {
        char kind[16] = {};
        if (::GetEnvironmentVariableA("QMSAMPLE_RENDER_FAULT", kind, sizeof(kind)) == 0) return;
        Record("RenderOverlay fault %s", kind);
        if (std::strcmp(kind, "access") == 0) *static_cast<volatile int*>(nullptr) = 1;
        if (std::strcmp(kind, "throw") == 0) throw std::runtime_error("the client library gave up");
        if (std::strcmp(kind, "hang") == 0) ::Sleep(INFINITE);
    }

    void ToggleExclusive() {
        const bool exclusive = !exclusive_.load();
        exclusive_ = exclusive;
        if (qm::IOverlayManagerControllerDelegate* d = gDelegate) {
            d->OnExclusiveModeChanged(exclusive);
            if (exclusive) d->SetCursorType(0, ::LoadCursorW(nullptr, IDC_ARROW));
        }
    }

    // The timed toggling and resource sampling that the environment asks for, on one thread that
    // Stop ends.
    void StartChores() {
        char flood[16] = {};
        if (::GetEnvironmentVariableA("QMSAMPLE_DELEGATE_FLOOD_MS", flood, sizeof(flood)) > 0) {
            floodMs_ = static_cast<DWORD>(std::strtoul(flood, nullptr, 10));
            if (HANDLE t = ::CreateThread(nullptr, 0, &SampleController::Flood, this, 0, nullptr)) ::CloseHandle(t);
        }
        cursorFloodMs_ = Number("QMSAMPLE_CURSOR_FLOOD_MS");
        if (cursorFloodMs_) {
            for (int i = 0; i < kCursorFloodThreads; ++i) {
                if (HANDLE t = ::CreateThread(nullptr, 0, &SampleController::CursorFlood, this, 0, nullptr)) ::CloseHandle(t);
            }
        }
        toggleEveryMs_ = Number("QMSAMPLE_EXCLUSIVE_EVERY_MS");
        resourcesPath_[0] = L'\0';
        ::GetEnvironmentVariableW(L"QMSAMPLE_RESOURCES", resourcesPath_, MAX_PATH);
        wchar_t eventName[MAX_PATH] = {};
        if (::GetEnvironmentVariableW(L"QMSAMPLE_EXCLUSIVE_EVENT", eventName, MAX_PATH) > 0) {
            exclusiveEvent_.reset(::CreateEventW(nullptr, FALSE, FALSE, eventName));
        }
        if ((!toggleEveryMs_ && !resourcesPath_[0] && !exclusiveEvent_) || choresThread_) return;
        choresStop_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (choresStop_) choresThread_.reset(::CreateThread(nullptr, 0, &SampleController::Chores, this, 0, nullptr));
    }

    void StopChores() {
        if (choresThread_) {
            ::SetEvent(choresStop_.get());
            ::WaitForSingleObject(choresThread_.get(), 5000);
        }
        choresThread_.reset();
        choresStop_.reset();
    }

    static constexpr int kCursorFloodThreads = 8;
    static DWORD WINAPI CursorFlood(void* self) {
        auto* controller = static_cast<SampleController*>(self);
        const HCURSOR shapes[] = {::LoadCursorW(nullptr, IDC_ARROW), ::LoadCursorW(nullptr, IDC_HAND),
                                  ::LoadCursorW(nullptr, IDC_IBEAM)};
        const DWORD start = ::GetTickCount();
        for (int32_t i = 0; ::GetTickCount() - start < controller->cursorFloodMs_; ++i) {
            if (qm::IOverlayManagerControllerDelegate* d = gDelegate) d->SetCursorType(i % 7, shapes[i % 3]);
        }
        if (++controller->cursorFloodsDone_ == kCursorFloodThreads) Record("cursor flood done");
        return 0;
    }

    static DWORD WINAPI Flood(void* self) {
        auto* controller = static_cast<SampleController*>(self);
        const DWORD start = ::GetTickCount();
        while (::GetTickCount() - start < controller->floodMs_) controller->ToggleExclusive();
        if (controller->exclusive_.load()) controller->ToggleExclusive();
        return 0;
    }

    static DWORD WINAPI Chores(void* self) {
        auto* controller = static_cast<SampleController*>(self);
        constexpr DWORD kSampleEveryMs = 1000;
        const DWORD toggleEvery = controller->toggleEveryMs_;
        DWORD nextToggle = toggleEvery, nextSample = 0, elapsed = 0;
        const DWORD start = ::GetTickCount();
        for (;;) {
            DWORD due = controller->resourcesPath_[0] ? nextSample : INFINITE;
            if (toggleEvery) due = std::min(due, nextToggle);
            const DWORD wait = due > elapsed ? due - elapsed : 0;
            const HANDLE handles[] = {controller->choresStop_.get(), controller->exclusiveEvent_.get()};
            const DWORD woken = ::WaitForMultipleObjects(handles[1] ? 2 : 1, handles, FALSE, wait);
            if (woken != WAIT_TIMEOUT && woken != WAIT_OBJECT_0 + 1) break;
            if (woken == WAIT_OBJECT_0 + 1) controller->ToggleExclusive();
            elapsed = ::GetTickCount() - start;
            if (toggleEvery && elapsed >= nextToggle) {
                controller->ToggleExclusive();
                nextToggle += toggleEvery;
            }
            if (controller->resourcesPath_[0] && elapsed >= nextSample) {
                AppendResources(controller->resourcesPath_);
                nextSample += kSampleEveryMs;
            }
        }
        return 0;
    }

    // What the overlay shows, for a picture of it over the game: a screen without a compositor
    // drops the alpha, so it is read back here. PAM keeps it, straight rather than premultiplied.
    void WriteSnapshot(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* back,
                       const D3D11_TEXTURE2D_DESC& desc, bool bgra) {
        D3D11_TEXTURE2D_DESC sd = desc;
        sd.MipLevels = 1;
        sd.ArraySize = 1;
        sd.Usage = D3D11_USAGE_STAGING;
        sd.BindFlags = 0;
        sd.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        sd.MiscFlags = 0;
        ComPtr<ID3D11Texture2D> staging;
        if (FAILED(device->CreateTexture2D(&sd, nullptr, staging.GetAddressOf()))) return;
        context->CopyResource(staging.Get(), back);
        D3D11_MAPPED_SUBRESOURCE mapped{};
        if (FAILED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return;
        char header[128];
        const int headerLength = std::snprintf(header, sizeof(header),
                                               "P7\nWIDTH %u\nHEIGHT %u\nDEPTH 4\nMAXVAL 255\n"
                                               "TUPLTYPE RGB_ALPHA\nENDHDR\n",
                                               desc.Width, desc.Height);
        std::string picture(header, static_cast<size_t>(headerLength));
        picture.reserve(picture.size() + size_t(desc.Width) * desc.Height * 4);
        for (UINT y = 0; y < desc.Height; ++y) {
            const auto* row = static_cast<const uint8_t*>(mapped.pData) + size_t(y) * mapped.RowPitch;
            for (UINT x = 0; x < desc.Width; ++x) {
                const uint8_t* p = row + size_t(x) * 4;
                const uint8_t a = p[3];
                const uint8_t rgb[3] = {bgra ? p[2] : p[0], p[1], bgra ? p[0] : p[2]};
                for (uint8_t c : rgb) picture += static_cast<char>(a ? std::min(255, (c * 255 + a / 2) / a) : 0);
                picture += static_cast<char>(a);
            }
        }
        context->Unmap(staging.Get(), 0);
        HANDLE file = ::CreateFileW(snapshotPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return;
        DWORD written = 0;
        ::WriteFile(file, picture.data(), static_cast<DWORD>(picture.size()), &written, nullptr);
        ::CloseHandle(file);
    }

    static std::wstring SnapshotPath() {
        wchar_t path[MAX_PATH] = {};
        return ::GetEnvironmentVariableW(L"QMSAMPLE_SNAPSHOT", path, MAX_PATH) > 0 ? path : L"";
    }

    void OpenFrameMapping() {
        wchar_t name[MAX_PATH] = {};
        if (sharedFrames_ || ::GetEnvironmentVariableW(L"QMSAMPLE_FRAME_MAPPING", name, MAX_PATH) == 0) return;
        frameMapping_ = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(LONG64), name);
        if (!frameMapping_) return;
        sharedFrames_ = static_cast<volatile LONG64*>(::MapViewOfFile(frameMapping_, FILE_MAP_WRITE, 0, 0, sizeof(LONG64)));
    }

    // After Start: the requests that the environment asks for, from a thread of the library's.
    void AskTheHostLater() {
        char plugin[MAX_PATH] = {};
        char stopAfter[16] = {};
        const bool load = ::GetEnvironmentVariableA("QMSAMPLE_LOAD_PLUGIN", plugin, sizeof(plugin)) > 0;
        const bool stop = ::GetEnvironmentVariableA("QMSAMPLE_STOP_AFTER_MS", stopAfter, sizeof(stopAfter)) > 0;
        if (!load && !stop) return;
        std::string path = plugin;
        const DWORD delay = stop ? static_cast<DWORD>(std::strtoul(stopAfter, nullptr, 10)) : 0;
        std::thread([path, load, stop, delay] {
            if (load && gDelegate) {
                static qm::LoadPluginRequest request{};
                request.type = qm::kMessageLoadPlugin;
                ::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, request.path, qm::LoadPluginRequest::kPathChars);
                request.requestId = 52052;
                gDelegate->HandleMessage(reinterpret_cast<const qm::ControllerMessage*>(&request));
            }
            if (stop) {
                ::Sleep(delay);
                const qm::ControllerMessage message{qm::kMessageStopOverlay};
                if (gDelegate) gDelegate->HandleMessage(&message);
            }
        }).detach();
    }

    bool shiftDown_ = false;
    std::atomic<bool> exclusive_{false};
    DWORD toggleEveryMs_ = 0;
    DWORD floodMs_ = 0;
    DWORD cursorFloodMs_ = 0;
    std::atomic<int> cursorFloodsDone_{0};
    OwnedHandle exclusiveEvent_;
    wchar_t resourcesPath_[MAX_PATH] = {};
    OwnedHandle choresStop_;
    OwnedHandle choresThread_;
    bool overPanel_ = false;
    ComPtr<ID3D11Texture2D> panel_;
    ID3D11Device* panelDevice_ = nullptr;
    DXGI_FORMAT panelFormat_ = DXGI_FORMAT_UNKNOWN;
    uint64_t frames_ = 0;
    uint64_t calls_ = 0;
    HANDLE frameMapping_ = nullptr;
    volatile LONG64* sharedFrames_ = nullptr;
    const bool drawNothing_ = Option("QMSAMPLE_DRAW_NOTHING");
    const bool changing_ = Option("QMSAMPLE_CHANGING");
    const DWORD renderMs_ = Number("QMSAMPLE_RENDER_MS");
    const std::wstring snapshotPath_ = SnapshotPath();
    UINT snapshotWidth_ = 0;
    UINT snapshotHeight_ = 0;
};

SampleController gController;

}  // namespace

extern "C" __declspec(dllexport) qm::IOverlayManagerController* GetOverlayManagerController(uint32_t clientPid,
                                                                                              const wchar_t* name) {
    char narrow[64] = {};
    if (name) ::WideCharToMultiByte(CP_UTF8, 0, name, -1, narrow, sizeof(narrow) - 1, nullptr, nullptr);
    Record("GetOverlayManagerController %u %s", clientPid, narrow);
    return Option("QMSAMPLE_NO_CONTROLLER") ? nullptr : &gController;
}

#if !defined(QMSAMPLE_NO_CLEAR)
extern "C" __declspec(dllexport) void clearClient() {
    Record("clearClient");
    ++gClearCount;
}
#endif

// What the host did so far, as "call;call;...".
extern "C" __declspec(dllexport) const char* QMSample_Calls() {
    static std::string copy;
    std::lock_guard<std::mutex> guard(gMutex);
    copy = gCalls;
    return copy.c_str();
}

extern "C" __declspec(dllexport) void QMSample_Reset() {
    std::lock_guard<std::mutex> guard(gMutex);
    gCalls.clear();
}

extern "C" __declspec(dllexport) qm::IOverlayManagerControllerDelegate* QMSample_Delegate() { return gDelegate; }
