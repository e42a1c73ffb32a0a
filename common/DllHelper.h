#pragma once
#include <windows.h>

#include <cstdint>

#include "qm/ClientContract.h"
#include "qm/PluginContract.h"

namespace base::dll_helper {

// Keeps the current folder and PATH out of every later library search of the process: the
// application's folder, System32 and folders added on purpose remain.
void RestrictLibrarySearch();
// A library of the system, from System32 only; null when it is not there.
HMODULE LoadSystemLibrary(const wchar_t* name);

// One dynamically loaded library, reference counted: the first Load loads it, the last Free
// frees it.
class PDLL {
public:
    PDLL() = default;
    virtual ~PDLL();
    PDLL(const PDLL&) = delete;
    PDLL& operator=(const PDLL&) = delete;

    // Tries `name` as given, then `folder` + "\" + `name` when a folder is given. A plain name is
    // looked for in the safe folders only (the application's, System32); a library given by path
    // finds its own dependencies next to it.
    virtual bool Load(const wchar_t* name, const wchar_t* folder, DWORD flags);
    // The count left; when it reaches 0, FreeLibrary's result.
    virtual int Free();

    HMODULE Module() const { return module_; }
    uint32_t RefCount() const { return refCount_; }
    bool IsLoaded() const { return module_ != nullptr; }

protected:
    HMODULE module_ = nullptr;
    uint32_t refCount_ = 0;
};

// An export looked up on first use, and only once per loaded module: `marker` holds kTried once
// GetProcAddress has been asked, and what it answered (null included) is used from then on.
template <class Fn>
struct EntryPoint {
    static constexpr uint16_t kTried = 0x0D80;
    Fn fn = nullptr;
    uint16_t marker = 0;
    HMODULE resolvedFor = nullptr;

    Fn Resolve(HMODULE module, const char* name) {
        if (!module) return nullptr;
        if (marker != kTried || resolvedFor != module) {
            fn = nullptr;
            fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
            marker = kTried;
            resolvedFor = module;
        }
        return fn;
    }
};

}  // namespace base::dll_helper

// The client controller library, QMClient.dll.
class QMClientDll : public base::dll_helper::PDLL {
public:
    static constexpr const wchar_t* kFileName = L"QMClient.dll";

    // Null when the export is missing or the library is not loaded.
    qm::IOverlayManagerController* GetOverlayManagerController(uint32_t clientPid, const wchar_t* name);
    // Nothing when the export is missing.
    void ClearClient();

    const base::dll_helper::EntryPoint<qm::GetOverlayManagerControllerFn>& FactoryEntry() const { return factory_; }
    const base::dll_helper::EntryPoint<qm::ClearClientFn>& ClearEntry() const { return clear_; }

private:
    base::dll_helper::EntryPoint<qm::GetOverlayManagerControllerFn> factory_;
    base::dll_helper::EntryPoint<qm::ClearClientFn> clear_;
};

// A plug-in library of the GEP kind.
class GEPPluginDll : public base::dll_helper::PDLL {
public:
    // False when the export is missing or the library is not loaded.
    bool StartPluginOOP(const wchar_t* gameProcessName, int32_t reserved);

    const base::dll_helper::EntryPoint<qm::StartPluginOOPFn>& StartEntry() const { return start_; }

private:
    base::dll_helper::EntryPoint<qm::StartPluginOOPFn> start_;
};

// A plug-in library of the GOOP kind: "Init" with the parameter block, "Tick", "Shutdown".
class GOOPPluginDll : public base::dll_helper::PDLL {
public:
    // False when the export is missing or the library is not loaded.
    bool Init(const qm::GoopInitParams* params);
    // Nothing unless the library is loaded and exports them.
    void Tick();
    bool Shutdown();

private:
    base::dll_helper::EntryPoint<qm::GoopInitFn> init_;
    base::dll_helper::EntryPoint<qm::GoopTickFn> tick_;
    base::dll_helper::EntryPoint<qm::GoopShutdownFn> shutdown_;
};
