#include "diagnostics/DiagnosticsReport.h"

#include <windows.h>
#include <d3d11.h>
#include <dcomp.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <cstdio>
#include <iterator>
#include <memory>
#include <sstream>

#include "QmVersion.h"
#include "common/DllHelper.h"
#include "common/RegistrySettings.h"
#include "common/StringUtils.h"
#include "crash/CrashHandlerReport.h"
#include "logging/FlushLogger.h"

namespace Overlay::Diagnostics {

namespace {

using Microsoft::WRL::ComPtr;
namespace Registry = Overlay::Common::Registry;

Json::Value Text(const std::wstring& text) { return Json::Value(Overlay::Common::ToUtf8(text)); }

std::string HResultText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string IsoTime(const SYSTEMTIME& t) {
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond);
    return text;
}

// A system library for the length of one look, freed when this goes.
class SystemLibrary {
public:
    explicit SystemLibrary(const wchar_t* name) : module_(base::dll_helper::LoadSystemLibrary(name)) {
        if (!module_) error_ = ::GetLastError();
    }
    ~SystemLibrary() {
        if (module_) ::FreeLibrary(module_);
    }
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    HMODULE Get() const { return module_; }
    DWORD Error() const { return error_; }
    template <class Fn>
    Fn Entry(const char* name) const {
        return module_ ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module_, name))) : nullptr;
    }
    std::wstring Path() const {
        wchar_t path[MAX_PATH * 2] = {};
        const DWORD n = ::GetModuleFileNameW(module_, path, static_cast<DWORD>(std::size(path)));
        return std::wstring(path, n);
    }

private:
    HMODULE module_;
    DWORD error_ = 0;
};

Json::Value OsSection() {
    Json::Value os(Json::objectValue);
    CrashHandlerReport::OsVersion v;
    if (!CrashHandlerReport::ReadOsVersion(&v)) return Json::Value();
    os["major"] = v.major;
    os["minor"] = v.minor;
    os["build"] = v.build;
    char name[CrashHandlerReport::kOsNameChars];
    os["name"] = CrashHandlerReport::FormatOsName(v, name, sizeof(name)) ? Json::Value(name) : Json::Value();
    return os;
}

// The same request the overlay manager makes, so that the DPI values below are the host's.
Json::Value DpiAwarenessSection(const SystemLibrary& shcore) {
    using SetProcessDpiAwarenessFn = HRESULT(WINAPI*)(int);
    const auto set = shcore.Entry<SetProcessDpiAwarenessFn>("SetProcessDpiAwareness");
    Json::Value section(Json::objectValue);
    section["requested"] = "per_monitor";
    if (!set) {
        section["available"] = false;
        return section;
    }
    const HRESULT hr = set(2);
    section["available"] = true;
    section["hresult"] = HResultText(hr);
    section["succeeded"] = hr == S_OK;
    // After a refusal (E_ACCESSDENIED: set already, by the manifest), what the process has.
    using GetProcessDpiAwarenessFn = HRESULT(WINAPI*)(HANDLE, int*);
    const auto get = shcore.Entry<GetProcessDpiAwarenessFn>("GetProcessDpiAwareness");
    int current = -1;
    if (get && SUCCEEDED(get(nullptr, &current))) section["current"] = current;
    return section;
}

Json::Value AdaptersSection(const SystemLibrary& shcore, Json::Value* error) {
    using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
    const auto dpiFor = shcore.Entry<GetDpiForMonitorFn>("GetDpiForMonitor");
    Json::Value adapters(Json::arrayValue);
    ComPtr<IDXGIFactory1> factory;
    const HRESULT hr = ::CreateDXGIFactory1(__uuidof(IDXGIFactory1), reinterpret_cast<void**>(factory.GetAddressOf()));
    if (FAILED(hr)) {
        *error = HResultText(hr);
        return adapters;
    }
    ComPtr<IDXGIAdapter1> adapter;
    for (UINT i = 0; factory->EnumAdapters1(i, adapter.ReleaseAndGetAddressOf()) != DXGI_ERROR_NOT_FOUND; ++i) {
        DXGI_ADAPTER_DESC1 desc{};
        Json::Value a(Json::objectValue);
        if (FAILED(adapter->GetDesc1(&desc))) {
            adapters.append(a);
            continue;
        }
        a["description"] = Text(desc.Description);
        a["vendor_id"] = static_cast<Json::UInt>(desc.VendorId);
        a["device_id"] = static_cast<Json::UInt>(desc.DeviceId);
        a["dedicated_video_memory"] = static_cast<Json::UInt64>(desc.DedicatedVideoMemory);
        char luid[32];
        std::snprintf(luid, sizeof(luid), "0x%08lX%08lX", static_cast<unsigned long>(desc.AdapterLuid.HighPart),
                      static_cast<unsigned long>(desc.AdapterLuid.LowPart));
        a["luid"] = luid;
        a["software"] = (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0;
        Json::Value outputs(Json::arrayValue);
        ComPtr<IDXGIOutput> output;
        for (UINT j = 0; adapter->EnumOutputs(j, output.ReleaseAndGetAddressOf()) != DXGI_ERROR_NOT_FOUND; ++j) {
            DXGI_OUTPUT_DESC od{};
            if (FAILED(output->GetDesc(&od))) continue;
            Json::Value o(Json::objectValue);
            o["device_name"] = Text(od.DeviceName);
            Json::Value rect(Json::arrayValue);
            rect.append(static_cast<Json::Int>(od.DesktopCoordinates.left));
            rect.append(static_cast<Json::Int>(od.DesktopCoordinates.top));
            rect.append(static_cast<Json::Int>(od.DesktopCoordinates.right));
            rect.append(static_cast<Json::Int>(od.DesktopCoordinates.bottom));
            o["desktop_rect"] = rect;
            o["attached_to_desktop"] = od.AttachedToDesktop != FALSE;
            UINT dpiX = 0, dpiY = 0;
            // 0: the effective DPI, the one the overlay's size follows.
            if (dpiFor && SUCCEEDED(dpiFor(od.Monitor, 0, &dpiX, &dpiY))) {
                o["dpi"] = dpiX;
            } else {
                o["dpi"] = Json::Value();
            }
            outputs.append(o);
        }
        a["outputs"] = outputs;
        adapters.append(a);
    }
    return adapters;
}

Json::Value Direct3D11Section() {
    // The levels the renderer asks for, on the default adapter as the first device is made.
    constexpr D3D_FEATURE_LEVEL kLevels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_0};
    Json::Value section(Json::objectValue);
    ComPtr<ID3D11Device> device;
    D3D_FEATURE_LEVEL reached{};
    const HRESULT hr = ::D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, kLevels,
                                           static_cast<UINT>(std::size(kLevels)), D3D11_SDK_VERSION,
                                           device.GetAddressOf(), &reached, nullptr);
    if (FAILED(hr)) {
        section["feature_level"] = Json::Value();
        section["hresult"] = HResultText(hr);
        return section;
    }
    char level[8];
    std::snprintf(level, sizeof(level), "%u_%u", (static_cast<unsigned>(reached) >> 12) & 0xF,
                  (static_cast<unsigned>(reached) >> 8) & 0xF);
    section["feature_level"] = level;
    return section;
}

Json::Value CompositionSection() {
    Json::Value section(Json::objectValue);
    const SystemLibrary dcomp(L"dcomp.dll");
    section["library_loaded"] = dcomp.Get() != nullptr;
    if (!dcomp.Get()) {
        section["device_created"] = false;
        section["hresult"] = HResultText(HRESULT_FROM_WIN32(dcomp.Error()));
        return section;
    }
    using CreateFn = HRESULT(WINAPI*)(IDXGIDevice*, REFIID, void**);
    const auto create = dcomp.Entry<CreateFn>("DCompositionCreateDevice");
    if (!create) {
        section["device_created"] = false;
        section["hresult"] = HResultText(HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
        return section;
    }
    // As the renderer asks for it: without a DXGI device.
    ComPtr<IDCompositionDevice> device;
    const HRESULT hr = create(nullptr, __uuidof(IDCompositionDevice), reinterpret_cast<void**>(device.GetAddressOf()));
    section["device_created"] = SUCCEEDED(hr);
    section["hresult"] = HResultText(hr);
    device.Reset();  // before the library goes
    return section;
}

// Whether a window of this process can show a per-pixel-alpha picture, as the overlay does where
// composition is missing: a hidden layered window given one clear pixel.
bool LayeredWindowWorks() {
    HWND window = ::CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, L"STATIC", L"", WS_POPUP, 0, 0,
                                    1, 1, nullptr, nullptr, nullptr, nullptr);
    if (!window) return false;
    HDC dc = ::CreateCompatibleDC(nullptr);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = 1;
    info.bmiHeader.biHeight = -1;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = dc ? ::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    bool works = false;
    if (bitmap) {
        HGDIOBJ previous = ::SelectObject(dc, bitmap);
        SIZE size{1, 1};
        POINT origin{0, 0};
        BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
        works = ::UpdateLayeredWindow(window, nullptr, nullptr, &size, dc, &origin, 0, &blend, ULW_ALPHA) != FALSE;
        ::SelectObject(dc, previous);
        ::DeleteObject(bitmap);
    }
    if (dc) ::DeleteDC(dc);
    ::DestroyWindow(window);
    return works;
}

// How the host would present its frames: composition where it works, else the layered window,
// else a regular swap chain over the overlay.
const char* PresentationName(const Json::Value& composition) {
    if (composition["device_created"].asBool()) return "composition";
    return LayeredWindowWorks() ? "layered" : "swap chain";
}

// The renderer's order: version 47 first, then 43.
Json::Value ShaderCompilerSection() {
    for (const wchar_t* name : {L"d3dcompiler_47.dll", L"d3dcompiler_43.dll"}) {
        const SystemLibrary library(name);
        if (!library.Get()) continue;
        Json::Value section(Json::objectValue);
        section["name"] = Text(name);
        section["path"] = Text(library.Path());
        section["has_d3dcompile"] = library.Entry<FARPROC>("D3DCompile") != nullptr;
        return section;
    }
    return Json::Value();
}

LRESULT CALLBACK PassOn(int code, WPARAM wParam, LPARAM lParam) { return ::CallNextHookEx(nullptr, code, wParam, lParam); }

Json::Value HookProbe(int type) {
    Json::Value probe(Json::objectValue);
    HHOOK hook = ::SetWindowsHookExW(type, PassOn, ::GetModuleHandleW(nullptr), 0);
    probe["installed"] = hook != nullptr;
    if (hook) {
        ::UnhookWindowsHookEx(hook);
    } else {
        probe["error"] = static_cast<Json::UInt>(::GetLastError());
    }
    return probe;
}

Json::Value LogSection() {
    const LogFolderState state = FlushLogger::Inspect();
    Json::Value section(Json::objectValue);
    section["folder"] = Text(state.folder);
    section["folder_exists"] = state.folderExists;
    section["config_file"] = Text(state.folder + L"\\QMLog.cfg");
    section["config_exists"] = state.configExists;
    Json::Value severities(Json::arrayValue);
    for (LogSeverity bit : {kSeverityLow, kSeverityNormal, kSeverityMedium, kSeverityHigh, kSeverityCritical}) {
        if (state.severityMask & bit) severities.append(Text(FlushLogger::SeverityKey(bit)));
    }
    section["severities"] = severities;
    return section;
}

Json::Value DwordOrNull(const wchar_t* key, const wchar_t* name) {
    uint32_t value = 0;
    return Registry::TryReadDword(key, name, &value) ? Json::Value(static_cast<Json::UInt>(value)) : Json::Value();
}

Json::Value RegistrySection() {
    Json::Value section(Json::objectValue);
    Json::Value overlay(Json::objectValue);
    for (const wchar_t* name : {Registry::kEnableOOPGLog, Registry::kShowBackgroundWindow, Registry::kSimulateInitError,
                                Registry::kCreateCrashDumps}) {
        overlay[Overlay::Common::ToUtf8(name)] = DwordOrNull(Registry::kOverlayKey, name);
    }
    section[Overlay::Common::ToUtf8(std::wstring(L"HKCU\\") + Registry::kOverlayKey)] = overlay;
    Json::Value client(Json::objectValue);
    client[Overlay::Common::ToUtf8(Registry::kOverlaySendExceptions)] =
        DwordOrNull(Registry::kClientKey, Registry::kOverlaySendExceptions);
    section[Overlay::Common::ToUtf8(std::wstring(L"HKCU\\") + Registry::kClientKey)] = client;
    Json::Value shell(Json::objectValue);
    wchar_t folder[FolderHandler::kShellFolderChars];
    FolderHandler::getShellFolder(L"Local AppData", folder);
    shell["Local AppData"] = folder[0] ? Text(folder) : Json::Value();
    section[Overlay::Common::ToUtf8(std::wstring(L"HKCU\\") + FolderHandler::kShellFoldersKey)] = shell;
    return section;
}

Json::Value CrashReportsSection() {
    Json::Value section(Json::objectValue);
    const std::wstring folder = CrashHandlerReport::CrashesFolder();
    section["folder"] = Text(folder);
    std::wstring newest;
    FILETIME newestTime{};
    unsigned count = 0;
    WIN32_FIND_DATAW found{};
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || found.cFileName[0] == L'.') continue;
            ++count;
            if (newest.empty() || ::CompareFileTime(&found.ftLastWriteTime, &newestTime) > 0) {
                newest = found.cFileName;
                newestTime = found.ftLastWriteTime;
            }
        } while (::FindNextFileW(find, &found));
        ::FindClose(find);
    }
    section["count"] = count;
    if (newest.empty()) {
        section["newest"] = Json::Value();
    } else {
        section["newest"] = Text(folder + L"\\" + newest);
        SYSTEMTIME t{};
        ::FileTimeToSystemTime(&newestTime, &t);
        section["newest_time"] = IsoTime(t);
    }
    const std::wstring dump = CrashHandlerReport::DumpFolder() + L"\\CrashDump.dmp";
    const DWORD a = ::GetFileAttributesW(dump.c_str());
    section["dump"] = a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY) ? Text(dump) : Json::Value();
    return section;
}

std::wstring ExecutablePath() {
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    return std::wstring(path, n);
}

std::wstring SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = n && text ? std::wstring(text, n) : std::wstring();
    if (text) ::LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' ||
                                message.back() == L'.')) {
        message.pop_back();
    }
    wchar_t code[32];
    std::swprintf(code, std::size(code), L"error %lu", static_cast<unsigned long>(error));
    return message.empty() ? std::wstring(code) : message + L" (" + code + L")";
}

// One line for whoever started us: a redirected handle as UTF-8, else the console of the parent.
void PrintLine(const std::wstring& line, bool isError) {
    const std::wstring text = line + L"\r\n";
    HANDLE h = ::GetStdHandle(isError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (h && h != INVALID_HANDLE_VALUE && ::GetFileType(h) != FILE_TYPE_UNKNOWN) {
        if (::GetConsoleMode(h, &mode)) {
            ::WriteConsoleW(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        } else {
            const std::string bytes = Overlay::Common::ToUtf8(text);
            ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        }
        return;
    }
    // A GUI program started from a command prompt has no handles of its own.
    static const bool attached = ::AttachConsole(ATTACH_PARENT_PROCESS) != FALSE;
    if (!attached) return;
    HANDLE console = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) return;
    ::WriteConsoleW(console, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(console);
}

}  // namespace

Json::Value Collect() {
    Json::Value report(Json::objectValue);
    report["version"] = QM_VERSION_STRING;
    report["executable"] = Text(ExecutablePath());
    report["os"] = OsSection();
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    report["time"] = IsoTime(now);

    const SystemLibrary shcore(L"shcore.dll");
    // First: the DPI of the outputs depends on it.
    report["dpi_awareness"] = DpiAwarenessSection(shcore);
    Json::Value dxgiError;
    report["adapters"] = AdaptersSection(shcore, &dxgiError);
    if (!dxgiError.isNull()) report["dxgi_error"] = dxgiError;

    Json::Value d3d = Direct3D11Section();
    d3d["composition"] = CompositionSection();
    d3d["presentation"] = PresentationName(d3d["composition"]);
    d3d["shader_compiler"] = ShaderCompilerSection();
    report["direct3d11"] = d3d;

    Json::Value hooks(Json::objectValue);
    hooks["mouse"] = HookProbe(WH_MOUSE_LL);
    hooks["keyboard"] = HookProbe(WH_KEYBOARD_LL);
    report["hooks"] = hooks;

    DWORD lockTimeout = 0;
    report["foreground_lock_timeout"] = ::SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &lockTimeout, 0)
                                            ? Json::Value(static_cast<Json::UInt>(lockTimeout))
                                            : Json::Value();
    report["log"] = LogSection();
    report["registry"] = RegistrySection();
    report["crash_reports"] = CrashReportsSection();
    return report;
}

std::string Format(const Json::Value& report) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, report) + "\n";
}

// The report's name in the log folder; `run` 2 and on keep reports of the same second apart, as
// the logs' names do.
std::wstring DefaultPath(const SYSTEMTIME& t, int run) {
    wchar_t name[80];
    std::swprintf(name, std::size(name), L"qm-overlay-diagnostics_%04u-%02u-%02u_%02u-%02u-%02u", t.wYear, t.wMonth,
                  t.wDay, t.wHour, t.wMinute, t.wSecond);
    return FlushLogger::Inspect().folder + L"\\" + name + (run > 1 ? L"_" + std::to_wstring(run) : L"") + L".json";
}

// False with `error` set, or with `exists` set when `createNew` found the name taken.
bool WriteReport(const std::wstring& path, const std::string& text, bool createNew, std::wstring* error,
                 bool* exists = nullptr) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, createNew ? CREATE_NEW : CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        if (exists) *exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
        *error = SystemMessage(code);
        return false;
    }
    DWORD written = 0;
    const bool ok = ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size();
    if (!ok) *error = SystemMessage(::GetLastError());
    ::CloseHandle(file);
    if (!ok) ::DeleteFileW(path.c_str());
    return ok;
}

int Run(const std::wstring& path) {
    const std::string text = Format(Collect());
    std::wstring target = path;
    std::wstring error;
    bool written = false;
    if (target.empty()) {
        SYSTEMTIME t{};
        ::GetLocalTime(&t);
        target = DefaultPath(t, 1);
        // Only now, for the report itself: the log folder may not exist yet.
        const std::wstring folder = target.substr(0, target.find_last_of(L'\\'));
        for (size_t at = folder.find(L'\\', 3); at != std::wstring::npos; at = folder.find(L'\\', at + 1)) {
            ::CreateDirectoryW(folder.substr(0, at).c_str(), nullptr);
        }
        ::CreateDirectoryW(folder.c_str(), nullptr);
        // Made new, never over another report: two runs in one second each keep their own.
        bool exists = true;
        for (int run = 1; run <= 100 && exists && !written; ++run) {
            target = DefaultPath(t, run);
            exists = false;
            written = WriteReport(target, text, true, &error, &exists);
        }
    } else {
        written = WriteReport(target, text, false, &error);
    }
    if (!written) {
        PrintLine(L"qm-overlay: cannot write the diagnostics report to " + target + L": " + error, true);
        return 1;
    }
    PrintLine(target, false);
    return 0;
}

}  // namespace Overlay::Diagnostics
