// A reference client controller library (QMClient.dll). It records every call the host makes, so
// that tests and integrators can see the contract at work; QMSample_* exports read that record.
#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

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
}

// How the sample behaves, from the environment of the host process (so a test can make it fail).
bool Option(const char* name) {
    char value[16] = {};
    return ::GetEnvironmentVariableA(name, value, sizeof(value)) > 0 && value[0] == '1';
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
        Record("Start kind=%u b25=%u b101=%u b117=%u", c ? c->U32(qm::GameConfiguration::kRendererKind) : 0,
               c ? c->Byte(25) : 0, c ? c->Byte(101) : 0, c ? c->Byte(117) : 0);
        return !Option("QMSAMPLE_START_FAILS");
    }
    void Stop() override { Record("Stop"); }
    bool OnMouseMessage(uint64_t message, uint64_t, int64_t, bool* exclusive) override {
        Record("OnMouseMessage %llu", static_cast<unsigned long long>(message));
        if (exclusive) *exclusive = false;
        return false;
    }
    bool OnKeyboardHook(int32_t code, uint64_t wParam, KBDLLHOOKSTRUCT* key) override {
        Record("OnKeyboardHook %d %llu %lu", code, static_cast<unsigned long long>(wParam),
               key ? static_cast<unsigned long>(key->vkCode) : 0ul);
        return false;
    }
    bool OnMouseHook(uint32_t message, uint64_t flags, int64_t position) override {
        Record("OnMouseHook %u %llu %lld", message, static_cast<unsigned long long>(flags),
               static_cast<long long>(position));
        return false;
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
        c->SetByte(101, 1);  // the host sets it back to 0
        return true;
    }
    bool IsFrameReady() override { return true; }
    void SetGameWindow(HWND window) override { Record("SetGameWindow %p", static_cast<void*>(window)); }
    void OnWindowModeRestored() override { Record("OnWindowModeRestored"); }
    void OnOverlayActivated() override { Record("OnOverlayActivated"); }
    void Unused16() override { Record("Unused16"); }
    void RenderOverlay(HWND, IDXGISwapChain*) override {}
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
