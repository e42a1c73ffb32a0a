// A client controller library (QMClient.dll) built in MSVC's ABI, as the client's team builds it,
// with no C or C++ runtime. It records the host's calls, one per line, into the file that
// QMSAMPLE_RECORD names (the configuration blocks in full, as hex), asks the delegate about the
// overlay on its first frame, draws an opaque green square into the back buffer at (16, 16), and,
// with QMSAMPLE_LOAD_PLUGIN naming a library, asks the host to load it (a type-52 request).
#include <windows.h>
// The interfaces' IIDs are defined here: mingw-w64's interfaces carry no GUID for __uuidof in this
// mode.
#include <initguid.h>
#include <d3d11.h>

#include "qm/ClientContract.h"

namespace {

constexpr UINT kSquareLeft = 16;
constexpr UINT kSquareTop = 16;
constexpr UINT kSquareSize = 64;
constexpr BYTE kRed = 0x30, kGreen = 0xC0, kBlue = 0x60;

void Record(const char* line) {
    wchar_t path[MAX_PATH];
    if (::GetEnvironmentVariableW(L"QMSAMPLE_RECORD", path, MAX_PATH) == 0) return;
    HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, line, static_cast<DWORD>(lstrlenA(line)), &written, nullptr);
    ::WriteFile(file, "\n", 1, &written, nullptr);
    ::CloseHandle(file);
}

// `name` followed by `size` bytes as hex.
void RecordBytes(const char* name, const void* data, size_t size) {
    char line[512];
    int n = lstrlenA(name);
    ::CopyMemory(line, name, n);
    line[n++] = ' ';
    const char* digits = "0123456789abcdef";
    for (size_t i = 0; i < size && n + 3 < int(sizeof(line)); ++i) {
        const BYTE b = static_cast<const BYTE*>(data)[i];
        line[n++] = digits[b >> 4];
        line[n++] = digits[b & 15];
    }
    line[n] = '\0';
    Record(line);
}

qm::IOverlayManagerControllerDelegate* gDelegate = nullptr;

DWORD WINAPI AskForPlugin(void*) {
    static qm::LoadPluginRequest request;
    request.type = qm::kMessageLoadPlugin;
    ::GetEnvironmentVariableW(L"QMSAMPLE_LOAD_PLUGIN", request.path, qm::LoadPluginRequest::kPathChars);
    request.requestId = 52052;
    if (qm::IOverlayManagerControllerDelegate* host = gDelegate) {
        host->HandleMessage(reinterpret_cast<const qm::ControllerMessage*>(&request));
    }
    return 0;
}

class MsvcController final : public qm::IOverlayManagerController {
public:
    void SendData(uint32_t size, const void* data) override {
        qm::PluginLoadReply reply = {};
        if (data && size >= sizeof(reply)) ::CopyMemory(&reply, data, sizeof(reply));
        bool textEmpty = true;
        for (wchar_t c : reply.text) textEmpty = textEmpty && c == 0;
        char line[160];
        wsprintfA(line, "SendData %u type=%u two=%u pid=%s request=%u error=%u text=%s", size, reply.type, reply.two,
                  reply.hostPid == ::GetCurrentProcessId() ? "host" : "other", reply.requestId, reply.error,
                  textEmpty ? "empty" : "set");
        Record(line);
    }
    bool Start(qm::GameConfiguration* configuration) override {
        RecordBytes("Start", configuration, sizeof(*configuration));
        if (::GetEnvironmentVariableW(L"QMSAMPLE_LOAD_PLUGIN", nullptr, 0) > 0) {
            asking_ = ::CreateThread(nullptr, 0, &AskForPlugin, nullptr, 0, nullptr);
        }
        return true;
    }
    void Stop() override {
        Record("Stop");
        if (asking_) {
            ::WaitForSingleObject(asking_, 5000);
            ::CloseHandle(asking_);
            asking_ = nullptr;
        }
        ReleaseSquare();
    }
    bool OnMouseMessage(uint64_t, uint64_t, int64_t, bool* exclusive) override {
        if (exclusive) *exclusive = false;
        return false;
    }
    bool OnKeyboardHook(int32_t, uint64_t, KBDLLHOOKSTRUCT*) override { return false; }
    bool OnMouseHook(uint32_t, uint64_t, int64_t) override { return false; }
    void OnClickOutside() override { Record("OnClickOutside"); }
    void Unused7() override { Record("Unused7"); }
    void OnHooksFailed() override { Record("OnHooksFailed"); }
    void SetDelegate(qm::IOverlayManagerControllerDelegate* host) override {
        gDelegate = host;
        Record(host ? "SetDelegate host" : "SetDelegate null");
    }
    void Unused10() override { Record("Unused10"); }
    // Marks the block's first four bytes, which the host leaves to the client, to see them reach Start.
    bool ReadGameConfiguration(qm::GameConfiguration* configuration) override {
        RecordBytes("ReadGameConfiguration", configuration, sizeof(*configuration));
        ::CopyMemory(configuration->bytes, "MSVC", 4);
        return true;
    }
    bool IsFrameReady() override { return true; }
    void SetGameWindow(HWND window) override {
        char line[64];
        wsprintfA(line, "SetGameWindow %lx", static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(window)));
        Record(line);
    }
    void OnWindowModeRestored() override { Record("OnWindowModeRestored"); }
    void OnOverlayActivated() override { Record("OnOverlayActivated"); }
    void Unused16() override { Record("Unused16"); }
    void RenderOverlay(HWND, IDXGISwapChain* swapChain) override {
        if (frames_++ == 0 && gDelegate) {
            bool fullScreen = true;
            uint32_t width = 0, height = 0;
            const bool info = gDelegate->GetOverlayInfo(&fullScreen, &width, &height);
            char line[128];
            wsprintfA(line, "Delegate info=%d %ux%u fullscreen=%d input=%d show=%d", info, width, height, fullScreen,
                      gDelegate->CanReceiveInput(), gDelegate->CanShowOverlay());
            Record(line);
        }
        if (swapChain) DrawSquare(swapChain);
    }

private:
    void DrawSquare(IDXGISwapChain* swapChain) {
        ID3D11Device* device = nullptr;
        ID3D11Texture2D* back = nullptr;
        if (SUCCEEDED(swapChain->GetDevice(IID_ID3D11Device, reinterpret_cast<void**>(&device))) &&
            SUCCEEDED(swapChain->GetBuffer(0, IID_ID3D11Texture2D, reinterpret_cast<void**>(&back)))) {
            D3D11_TEXTURE2D_DESC desc;
            back->GetDesc(&desc);
            if (MakeSquare(device, desc.Format) && desc.Width >= kSquareLeft + kSquareSize &&
                desc.Height >= kSquareTop + kSquareSize) {
                ID3D11DeviceContext* context = nullptr;
                device->GetImmediateContext(&context);
                context->CopySubresourceRegion(back, 0, kSquareLeft, kSquareTop, 0, square_, 0, nullptr);
                context->Release();
            }
        }
        if (back) back->Release();
        if (device) device->Release();
    }

    // The square is kept on the device it was made on; a device made again gets a new one.
    bool MakeSquare(ID3D11Device* device, DXGI_FORMAT format) {
        if (square_ && squareDevice_ == device && squareFormat_ == format) return true;
        const bool bgra = format == DXGI_FORMAT_B8G8R8A8_UNORM;
        if (!bgra && format != DXGI_FORMAT_R8G8B8A8_UNORM) return false;
        ReleaseSquare();
        static uint32_t pixels[kSquareSize * kSquareSize];
        const uint32_t pixel = bgra ? (0xFF000000u | kRed << 16 | kGreen << 8 | kBlue)
                                    : (0xFF000000u | kBlue << 16 | kGreen << 8 | kRed);
        for (uint32_t& p : pixels) p = pixel;
        D3D11_TEXTURE2D_DESC desc = {};
        desc.Width = kSquareSize;
        desc.Height = kSquareSize;
        desc.MipLevels = 1;
        desc.ArraySize = 1;
        desc.Format = format;
        desc.SampleDesc.Count = 1;
        desc.Usage = D3D11_USAGE_IMMUTABLE;
        desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
        const D3D11_SUBRESOURCE_DATA data = {pixels, kSquareSize * 4, 0};
        if (FAILED(device->CreateTexture2D(&desc, &data, &square_))) return false;
        squareDevice_ = device;
        squareFormat_ = format;
        return true;
    }

    void ReleaseSquare() {
        if (square_) square_->Release();
        square_ = nullptr;
        squareDevice_ = nullptr;
    }

    HANDLE asking_ = nullptr;
    unsigned frames_ = 0;
    ID3D11Texture2D* square_ = nullptr;
    ID3D11Device* squareDevice_ = nullptr;
    DXGI_FORMAT squareFormat_ = DXGI_FORMAT_UNKNOWN;
};

MsvcController gController;

}  // namespace

extern "C" __declspec(dllexport) qm::IOverlayManagerController* GetOverlayManagerController(uint32_t clientPid,
                                                                                              const wchar_t* name) {
    char narrow[64] = {};
    if (name) ::WideCharToMultiByte(CP_UTF8, 0, name, -1, narrow, sizeof(narrow) - 1, nullptr, nullptr);
    char line[128];
    wsprintfA(line, "GetOverlayManagerController %u %s", clientPid, narrow);
    Record(line);
    return &gController;
}

extern "C" __declspec(dllexport) void clearClient() { Record("clearClient"); }
