#include "crash/CrashHandlerReport.h"

#include <cstdio>
#include <string>

bool CrashHandlerReport::GetOsName(char* name, size_t size) {
    OsVersion v;
    return ReadOsVersion(&v) && FormatOsName(v, name, size);
}

bool CrashHandlerReport::ReadOsVersion(OsVersion* version) {
    OsVersion& v = *version;
    OSVERSIONINFOEXA info{};
    info.dwOSVersionInfoSize = sizeof(info);
#if defined(_MSC_VER)
#pragma warning(suppress : 4996)
#endif
    if (!::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) return false;
    v.major = info.dwMajorVersion;
    v.minor = info.dwMinorVersion;
    v.build = info.dwBuildNumber;
    v.platformId = info.dwPlatformId;
    std::snprintf(v.servicePack, sizeof(v.servicePack), "%s", info.szCSDVersion);
    v.suiteMask = info.wSuiteMask;
    v.productType = info.wProductType;

    SYSTEM_INFO si{};
    using NativeInfoFn = void(WINAPI*)(LPSYSTEM_INFO);
    const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    auto native = kernel ? reinterpret_cast<NativeInfoFn>(
                               reinterpret_cast<void*>(::GetProcAddress(kernel, "GetNativeSystemInfo")))
                         : nullptr;
    if (native) {
        native(&si);
    } else {
        ::GetSystemInfo(&si);
    }
    v.architecture = si.wProcessorArchitecture;
    if (v.major == 6) {
        using ProductInfoFn = BOOL(WINAPI*)(DWORD, DWORD, DWORD, DWORD, PDWORD);
        auto productInfo = kernel ? reinterpret_cast<ProductInfoFn>(
                                        reinterpret_cast<void*>(::GetProcAddress(kernel, "GetProductInfo")))
                                  : nullptr;
        DWORD type = 0;
        if (productInfo) productInfo(v.major, v.minor, 0, 0, &type);
        v.productInfo = type;
    }
    v.serverR2 = ::GetSystemMetrics(SM_SERVERR2) != 0;
    return true;
}

bool CrashHandlerReport::FormatOsName(const OsVersion& v, char* name, size_t size) {
    if (!name || size == 0) return false;
    name[0] = '\0';
    if (v.platformId != VER_PLATFORM_WIN32_NT || v.major < 5) {
        ::OutputDebugStringA("This sample does not support this version of Windows.\n");
        return false;
    }
    const bool workstation = v.productType == VER_NT_WORKSTATION;
    const bool amd64 = v.architecture == PROCESSOR_ARCHITECTURE_AMD64;
    const bool ia64 = v.architecture == PROCESSOR_ARCHITECTURE_IA64;
    std::string out = "Microsoft ";

    if (v.major == 6) {
        static const char* const kClient[] = {"Windows Vista", "Windows 7", "Windows 8", "Windows 8.1"};
        static const char* const kServer[] = {"Windows Server 2008", "Windows Server 2008 R2", "Windows Server 2012",
                                              "Windows Server 2012"};
        if (v.minor <= 3) out += workstation ? kClient[v.minor] : kServer[v.minor];
        switch (v.productInfo) {
            case 1: out += " Ultimate Edition"; break;
            case 2: out += " Home Basic Edition"; break;
            case 3: out += " Home Premium Edition"; break;
            case 4:
            case 10: out += " Enterprise Edition"; break;
            case 6: out += " Business Edition"; break;
            case 7: out += " Standard Edition"; break;
            case 8: out += " Datacenter Edition"; break;
            case 9: out += " Small Business Server"; break;
            case 11: out += " Starter Edition"; break;
            case 12: out += " Datacenter Edition (core installation)"; break;
            case 13: out += " Standard Edition (core installation)"; break;
            case 14: out += " Enterprise Edition (core installation)"; break;
            case 15: out += " Enterprise Edition for Itanium-based Systems"; break;
            case 17: out += " Web Server Edition"; break;
            case 18: out += " Cluster Server Edition"; break;
            case 25: out += " Small Business Server Premium Edition"; break;
            case 48: out += " Professional"; break;
            default: break;
        }
    } else if (v.major == 5 && v.minor == 2) {
        if (v.serverR2) {
            out += "Windows Server 2003 R2 ";
        } else if (v.suiteMask & 0x2000) {
            out += "Windows Storage Server 2003";
        } else if (v.suiteMask & 0x8000) {
            out += "Windows Home Server";
        } else if (workstation && amd64) {
            out += "Windows XP Professional x64 Edition";
        } else {
            out += "Windows Server 2003 ";
        }
        if (!workstation) {
            if (ia64) {
                if (v.suiteMask & VER_SUITE_DATACENTER) {
                    out += " Datacenter Edition for Itanium-based Systems";
                } else if (v.suiteMask & VER_SUITE_ENTERPRISE) {
                    out += " Enterprise Edition for Itanium-based Systems";
                }
            } else if (amd64) {
                if (v.suiteMask & VER_SUITE_DATACENTER) {
                    out += " Datacenter x64 Edition";
                } else if (v.suiteMask & VER_SUITE_ENTERPRISE) {
                    out += " Enterprise x64 Edition";
                } else {
                    out += " Standard x64 Edition";
                }
            } else if (v.suiteMask & 0x4000) {
                out += " Compute Cluster Edition";
            } else if (v.suiteMask & VER_SUITE_DATACENTER) {
                out += " Datacenter Edition";
            } else if (v.suiteMask & VER_SUITE_ENTERPRISE) {
                out += " Enterprise Edition";
            } else if (v.suiteMask & VER_SUITE_BLADE) {
                out += " Web Edition";
            } else {
                out += " Standard Edition";
            }
        }
    } else if (v.major == 5 && v.minor == 1) {
        out += "Windows XP";
        out += (v.suiteMask & VER_SUITE_PERSONAL) ? " Home Edition" : " Professional";
    } else if (v.major == 5 && v.minor == 0) {
        out += "Windows 2000";
        if (workstation) {
            out += " Professional";
        } else if (v.suiteMask & VER_SUITE_DATACENTER) {
            out += " Datacenter Server";
        } else if (v.suiteMask & VER_SUITE_ENTERPRISE) {
            out += " Advanced Server";
        } else {
            out += " Server";
        }
    }
    if (v.servicePack[0]) {
        out += " ";
        out += v.servicePack;
    }
    char build[32];
    std::snprintf(build, sizeof(build), " (build %u)", static_cast<unsigned>(v.build));
    out += build;
    if (v.major >= 6) {
        if (amd64) {
            out += " 64-bit";
        } else if (v.architecture == PROCESSOR_ARCHITECTURE_INTEL) {
            out += " 32-bit";
        }
    }
    std::snprintf(name, size < kOsNameChars ? size : kOsNameChars, "%s", out.c_str());
    return true;
}
