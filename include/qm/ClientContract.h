#pragma once
// The contract between the overlay host and the client controller library (QMClient.dll).
// Libraries built by other compilers implement or call these interfaces through their virtual
// tables, so: slots in this exact order, no virtual destructors, no overloads, fixed-width types,
// and a static_assert on every size and offset that the host relies on.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

struct IDXGISwapChain;

namespace qm {

// 188 bytes whose layout the client library defines. The host knows only the bytes named here,
// and reads and writes them through these accessors.
struct GameConfiguration {
    static constexpr size_t kSize = 188;

    // Read by the host.
    static constexpr size_t kAdapterChoice = 156;         // byte: non-zero uses the default adapter, not the game monitor's
    static constexpr size_t kFramePollingOff = 157;       // byte: do not ask IsFrameReady
    static constexpr size_t kForegroundHandling = 158;    // byte: foreground and focus handling
    static constexpr size_t kFullScreenRenderingOff = 173;// byte: do not render over a full-screen game
    static constexpr size_t kInputBlockerEnabled = 185;   // byte: inject the input blocker

    // What the host writes before the controller fills the block; the controller may overwrite
    // any of it. The meaning of these bytes is the client library's.
    struct Range {
        size_t first;
        size_t last;  // included
    };
    static constexpr size_t kZeroedU32s[] = {28, 36, 112};
    static constexpr size_t kZeroedBytes[] = {42, 50};
    static constexpr Range kZeroedRanges[] = {{118, 120}, {124, 134}, {136, 143}, {148, 167}, {172, 186}};
    static constexpr size_t kPresetByte = 117;            // byte: 1 (and 0 again after the read)
    static constexpr size_t kScale = 144;                 // float: 1.0
    static constexpr size_t kAllOnesU32 = 168;            // uint32: 0xFFFFFFFF

    // What the host writes after the controller has filled the block, before Start.
    static constexpr size_t kRendererKind = 4;            // uint32: one of the renderer kinds below
    static constexpr uint32_t kRendererD3D9 = 2;
    static constexpr uint32_t kRendererD3D11 = 16;
    static constexpr uint32_t kRendererOther = 18;
    static constexpr size_t kHostSetBytes[] = {25, 42, 44, 54, 55, 56, 57, 92, 105, 130, 153, 155};  // 1
    static constexpr size_t kHostClearedBytes[] = {101, kPresetByte};                                   // 0

    uint8_t bytes[kSize];

    uint8_t Byte(size_t offset) const { return bytes[offset]; }
    void SetByte(size_t offset, uint8_t value) { bytes[offset] = value; }
    uint32_t U32(size_t offset) const {
        uint32_t v;
        std::memcpy(&v, bytes + offset, sizeof(v));
        return v;
    }
    void SetU32(size_t offset, uint32_t value) { std::memcpy(bytes + offset, &value, sizeof(value)); }
    float Float(size_t offset) const {
        float v;
        std::memcpy(&v, bytes + offset, sizeof(v));
        return v;
    }
    void SetFloat(size_t offset, float value) { std::memcpy(bytes + offset, &value, sizeof(value)); }
    void Zero(size_t from, size_t to) { std::memset(bytes + from, 0, to - from + 1); }  // both ends included
};
static_assert(sizeof(GameConfiguration) == 188, "GameConfiguration is 188 bytes");
static_assert(GameConfiguration::kInputBlockerEnabled < GameConfiguration::kSize, "offset inside the block");
static_assert(GameConfiguration::kZeroedRanges[4].last < GameConfiguration::kSize, "offset inside the block");

// Message types the controller sends through HandleMessage.
enum ControllerMessageType : uint32_t {
    kMessageNotHandled = 4,
    kMessageLoadPlugin = 52,
    kMessagePluginLoaded = 53,
    kMessageStopOverlay = 62,
};

// Every controller message starts with its type; only a type-52 block is read further.
struct ControllerMessage {
    uint32_t type;
};
static_assert(sizeof(ControllerMessage) == 4, "message header");

// Type 52: load an in-game plug-in library.
struct LoadPluginRequest {
    static constexpr size_t kPathChars = 260;
    uint32_t type;
    uint8_t reserved[528];
    wchar_t path[kPathChars];  // NUL-terminated within these characters, or not at all
    uint32_t requestId;        // echoed in the reply
};
static_assert(sizeof(wchar_t) == 2, "wide characters are UTF-16 code units");
static_assert(offsetof(LoadPluginRequest, path) == 532, "plug-in path at byte 532");
static_assert(offsetof(LoadPluginRequest, requestId) == 1052, "request id at byte 1052");
static_assert(sizeof(LoadPluginRequest) == 1056, "type-52 block");

// The host's answer to a type-52 request, sent with SendData(540, &reply).
struct PluginLoadReply {
    uint32_t type;        // 53
    uint32_t two;         // 2
    uint32_t hostPid;
    uint32_t requestId;   // from the request
    uint32_t error;       // 0, or GetLastError() of the failed load
    wchar_t text[260];    // all zero
};
static_assert(offsetof(PluginLoadReply, hostPid) == 8, "reply layout");
static_assert(offsetof(PluginLoadReply, requestId) == 12, "reply layout");
static_assert(offsetof(PluginLoadReply, error) == 16, "reply layout");
static_assert(offsetof(PluginLoadReply, text) == 20, "reply layout");
static_assert(sizeof(PluginLoadReply) == 540, "PluginLoadReply is 540 bytes");

class IOverlayManagerControllerDelegate;

// The controller object; the client library owns it. Slots 7, 10 and 16 are never called.
// RenderOverlay gets the swap chain to draw into on every frame: after the host has made a lost
// device again it is a new swap chain on a new device, so resources kept from earlier frames are
// checked against the swap chain's device.
class IOverlayManagerController {
public:
    virtual void SendData(uint32_t size, const void* data) = 0;                                  // 0
    virtual bool Start(GameConfiguration* configuration) = 0;                                    // 1
    virtual void Stop() = 0;                                                                     // 2
    virtual bool OnMouseMessage(uint64_t message, uint64_t wParam, int64_t lParam, bool* exclusive) = 0;  // 3
    virtual bool OnKeyboardHook(int32_t code, uint64_t wParam, KBDLLHOOKSTRUCT* key) = 0;        // 4
    virtual bool OnMouseHook(uint32_t message, uint64_t flags, int64_t packedPosition) = 0;      // 5
    virtual void OnClickOutside() = 0;                                                           // 6
    virtual void Unused7() = 0;                                                                  // 7
    virtual void OnHooksFailed() = 0;                                                            // 8
    virtual void SetDelegate(IOverlayManagerControllerDelegate* delegate) = 0;                   // 9
    virtual void Unused10() = 0;                                                                 // 10
    virtual bool ReadGameConfiguration(GameConfiguration* configuration) = 0;                    // 11
    virtual bool IsFrameReady() = 0;                                                             // 12
    virtual void SetGameWindow(HWND gameWindow) = 0;                                             // 13
    virtual void OnWindowModeRestored() = 0;                                                     // 14
    virtual void OnOverlayActivated() = 0;                                                       // 15
    virtual void Unused16() = 0;                                                                 // 16
    virtual void RenderOverlay(HWND overlayWindow, IDXGISwapChain* swapChain) = 0;               // 17

protected:
    ~IOverlayManagerController() = default;
};
constexpr int kControllerSlotCount = 18;

// The host's side, handed to the controller with SetDelegate.
class IOverlayManagerControllerDelegate {
public:
    virtual void Reserved0() = 0;                                                        // 0
    virtual void OnExclusiveModeChanged(bool exclusive) = 0;                             // 1
    virtual void Reserved2() = 0;                                                        // 2
    virtual bool HandleMessage(const ControllerMessage* message) { (void)message; return false; }  // 3
    virtual bool CanReceiveInput() { return true; }                                      // 4
    virtual bool GetOverlayInfo(bool* fullScreen, uint32_t* width, uint32_t* height) {  // 5
        (void)fullScreen;
        (void)width;
        (void)height;
        return false;
    }
    virtual bool CanShowOverlay() { return true; }                                       // 6
    virtual void SetCursorType(int32_t type, HCURSOR cursor) { (void)type; (void)cursor; }  // 7

protected:
    ~IOverlayManagerControllerDelegate() = default;
};
constexpr int kDelegateSlotCount = 8;

// Exports of QMClient.dll.
constexpr const char* kGetControllerExport = "GetOverlayManagerController";
constexpr const char* kClearClientExport = "clearClient";
using GetOverlayManagerControllerFn = IOverlayManagerController* (*)(uint32_t clientPid, const wchar_t* name);
using ClearClientFn = void (*)();

}  // namespace qm
