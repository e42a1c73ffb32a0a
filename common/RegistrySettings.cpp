#include "common/RegistrySettings.h"

#include <shlwapi.h>

namespace Overlay::Common::Registry {

bool TryReadDword(const wchar_t* subKey, const wchar_t* valueName, uint32_t* value) {
    DWORD read = 0;
    DWORD size = sizeof(read);
    // RRF_RT_DWORD accepts a REG_DWORD or a REG_BINARY of exactly four bytes.
    const LSTATUS r = ::SHRegGetValueW(HKEY_CURRENT_USER, subKey, valueName, SRRF_RT_DWORD, nullptr, &read, &size);
    if (r != ERROR_SUCCESS || size != sizeof(read)) return false;
    *value = read;
    return true;
}

uint32_t ReadDword(const wchar_t* subKey, const wchar_t* valueName) {
    uint32_t value = 0;
    return TryReadDword(subKey, valueName, &value) ? value : 0;
}

bool ReadSwitch(const wchar_t* subKey, const wchar_t* valueName) { return ReadDword(subKey, valueName) != 0; }

}  // namespace Overlay::Common::Registry

namespace FolderHandler {

bool getShellFolder(const wchar_t* valueName, wchar_t* folder) {
    folder[0] = L'\0';
    DWORD size = static_cast<DWORD>(kShellFolderChars * sizeof(wchar_t));
    const LSTATUS r =
        ::SHRegGetValueW(HKEY_CURRENT_USER, kShellFoldersKey, valueName, SRRF_RT_ANY, nullptr, folder, &size);
    if (r != ERROR_SUCCESS) folder[0] = L'\0';
    folder[kShellFolderChars - 1] = L'\0';
    return true;
}

}  // namespace FolderHandler
