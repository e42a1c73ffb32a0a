#include "crash/ModuleList.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "crash/ErrorLog.h"
#include "crash/ReportBuffer.h"

namespace {

using Overlay::Crash::FormatDosTime;
using Overlay::Crash::gReport;

// A version resource string of the first language the module lists.
void VersionString(const void* info, const char* name, char* out, size_t size) {
    out[0] = '\0';
    struct Translation {
        WORD language;
        WORD codePage;
    }* translations = nullptr;
    UINT length = 0;
    if (!::VerQueryValueA(info, "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &length) ||
        length < sizeof(Translation)) {
        return;
    }
    char key[128];
    std::snprintf(key, sizeof(key), "\\StringFileInfo\\%04x%04x\\%s", translations[0].language,
                  translations[0].codePage, name);
    char* value = nullptr;
    if (::VerQueryValueA(info, key, reinterpret_cast<void**>(&value), &length) && value) {
        std::snprintf(out, size, "%s", value);
    }
}

void WriteModule(int number, HMODULE module, const char* path) {
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    gReport.Printf("Module %d\r\n", number);
    gReport.Printf("%s\r\n", path);
    // Bases above 4 GiB are common on 64-bit systems: printed whole.
    gReport.Printf("Image Base: 0x%08llx  Image Size: 0x%08x\r\n",
                   static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(base)),
                   static_cast<unsigned>(nt->OptionalHeader.SizeOfImage));
    gReport.Printf("Checksum:   0x%08x  Time Stamp: 0x%08x\r\n", static_cast<unsigned>(nt->OptionalHeader.CheckSum),
                   static_cast<unsigned>(nt->FileHeader.TimeDateStamp));

    WIN32_FILE_ATTRIBUTE_DATA data{};
    char fileTime[64] = "";
    long fileSize = 0;
    if (::GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
        fileSize = static_cast<long>(data.nFileSizeLow);
        FormatDosTime(data.ftLastWriteTime, fileTime, sizeof(fileTime));
    }
    gReport.Printf("File Size:  %-10ld  File Time:  %s\r\n", fileSize, fileTime);

    char company[256] = "", product[256] = "", description[256] = "";
    unsigned fileVersion[4] = {}, productVersion[4] = {};
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(path, &ignored);
    if (size > 0 && size < (1u << 20)) {
        std::string info(size, '\0');
        if (::GetFileVersionInfoA(path, 0, size, info.data())) {
            VersionString(info.data(), "CompanyName", company, sizeof(company));
            VersionString(info.data(), "ProductName", product, sizeof(product));
            VersionString(info.data(), "FileDescription", description, sizeof(description));
            VS_FIXEDFILEINFO* fixed = nullptr;
            UINT length = 0;
            if (::VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length) && fixed) {
                const DWORD f[4] = {HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                                    HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS)};
                const DWORD p[4] = {HIWORD(fixed->dwProductVersionMS), LOWORD(fixed->dwProductVersionMS),
                                    HIWORD(fixed->dwProductVersionLS), LOWORD(fixed->dwProductVersionLS)};
                for (int i = 0; i < 4; ++i) {
                    fileVersion[i] = f[i];
                    productVersion[i] = p[i];
                }
            }
        }
    }
    gReport.Printf("Version Information:\r\n");
    gReport.Printf("   Company:    %s\r\n", company);
    gReport.Printf("   Product:    %s\r\n", product);
    gReport.Printf("   FileDesc:   %s\r\n", description);
    gReport.Printf("   FileVer:    %d.%d.%d.%d\r\n", fileVersion[0], fileVersion[1], fileVersion[2], fileVersion[3]);
    gReport.Printf("   ProdVer:    %d.%d.%d.%d\r\n", productVersion[0], productVersion[1], productVersion[2],
                   productVersion[3]);
    gReport.Printf("\r\n");
}

// A loaded image starts with "MZ" and a valid PE signature, and has a file name.
bool IsLoadedImage(const BYTE* base, char* path, size_t size) {
    if (::GetModuleFileNameA(reinterpret_cast<HMODULE>(const_cast<BYTE*>(base)), path, static_cast<DWORD>(size)) ==
        0) {
        return false;
    }
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 || dos->e_lfanew > 0x10000) return false;
    MEMORY_BASIC_INFORMATION mbi{};
    const BYTE* nt = base + dos->e_lfanew;
    if (::VirtualQuery(nt, &mbi, sizeof(mbi)) == 0 || mbi.State != MEM_COMMIT) return false;
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(nt)->Signature == IMAGE_NT_SIGNATURE;
}

}  // namespace

void Overlay::Crash::WriteModuleList() {
    SYSTEM_INFO system{};
    ::GetSystemInfo(&system);
    const auto limit = reinterpret_cast<uintptr_t>(system.lpMaximumApplicationAddress);
    uintptr_t address = 0;
    uintptr_t lastBase = 0;
    int number = 0;
    while (address < limit) {
        MEMORY_BASIC_INFORMATION mbi{};
        if (::VirtualQuery(reinterpret_cast<const void*>(address), &mbi, sizeof(mbi)) == 0) {
            address += 0x10000;
            continue;
        }
        const auto base = reinterpret_cast<uintptr_t>(mbi.AllocationBase);
        char path[MAX_PATH * 2];
        if (mbi.State == MEM_COMMIT && base > lastBase &&
            IsLoadedImage(reinterpret_cast<const BYTE*>(base), path, sizeof(path))) {
            WriteModule(++number, reinterpret_cast<HMODULE>(base), path);
            lastBase = base;
        }
        address += mbi.RegionSize ? mbi.RegionSize : 0x10000;
    }
}
