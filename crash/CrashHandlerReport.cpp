#include "crash/CrashHandlerReport.h"

#include <bcrypt.h>
#include <dbghelp.h>
#include <rpc.h>
#include <shlobj.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/DllHelper.h"
#include "common/GuardedStep.h"
#include "common/OverlayException.h"
#include "common/RegistrySettings.h"
#include "common/UniqueHandle.h"

namespace {

constexpr DWORD kAccessViolation = 0xC0000005;

// The report text goes through one buffer for the process; the lock keeps two threads that fail
// at once from writing into each other's report.
class ReportBuffer {
public:
    static constexpr size_t kFlushAt = 7168;

    void Begin(HANDLE file) {
        file_ = file;
        used_ = 0;
    }
    void Append(const char* text, size_t length) {
        if (used_ > kFlushAt) Drain();
        while (length > 0) {
            const size_t room = sizeof(data_) - used_;
            const size_t n = length < room ? length : room;
            std::memcpy(data_ + used_, text, n);
            used_ += n;
            text += n;
            length -= n;
            if (length > 0) Drain();
        }
    }
    void Printf(const char* format, ...) {
        char piece[1024];
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(piece, sizeof(piece), format, args);
        va_end(args);
        if (n > 0) Append(piece, static_cast<size_t>(n) < sizeof(piece) ? static_cast<size_t>(n) : sizeof(piece) - 1);
    }
    void Drain() {
        if (file_ && used_ > 0) {
            DWORD written = 0;
            ::WriteFile(file_, data_, static_cast<DWORD>(used_), &written, nullptr);
        }
        used_ = 0;
    }
    const char* Data() const { return data_; }
    size_t Used() const { return used_; }

private:
    HANDLE file_ = nullptr;
    size_t used_ = 0;
    char data_[8192];
};

ReportBuffer gReport;

// The thread whose fault the report thread is writing up (0: none).
std::atomic<DWORD> gSubjectThread{0};
DWORD ReportedThreadId() {
    const DWORD subject = gSubjectThread.load();
    return subject ? subject : ::GetCurrentThreadId();
}

std::mutex& ReportLock() {
    static std::mutex lock;
    return lock;
}

std::string ExecutablePath() {
    char path[MAX_PATH * 2] = {};
    if (::GetModuleFileNameA(nullptr, path, sizeof(path)) == 0) return std::string();
    return path;
}

std::string ExecutableName() {
    const std::string path = ExecutablePath();
    if (path.empty()) return "Unknown";
    const size_t slash = path.find_last_of('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::wstring LocalAppData() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return L"";
    return folder;
}

// Creates every missing level of `path`; true when it exists at the end.
bool CreateFolders(const std::wstring& path) {
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        ::CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    ::CreateDirectoryW(path.c_str(), nullptr);
    const DWORD a = ::GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                        nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::wstring NewGuidText() {
    GUID guid{};
    if (FAILED(::CoCreateGuid(&guid))) return L"";
    RPC_WSTR text = nullptr;
    if (::UuidToStringW(&guid, &text) != RPC_S_OK || !text) return L"";
    std::wstring out(reinterpret_cast<wchar_t*>(text));
    ::RpcStringFreeW(&text);
    for (wchar_t& c : out) c = static_cast<wchar_t>(towlower(c));
    return out;
}

// "%d/%d/%d %02d:%02d:%02d" of a local file time, through its DOS date and time (even seconds).
void FormatDosTime(const FILETIME& utc, char* out, size_t size) {
    FILETIME local{};
    WORD date = 0, time = 0;
    ::FileTimeToLocalFileTime(&utc, &local);
    ::FileTimeToDosDateTime(&local, &date, &time);
    std::snprintf(out, size, "%d/%d/%d %02d:%02d:%02d", (date >> 5) & 15, date & 31, (date >> 9) + 1980,
                  time >> 11, (time >> 5) & 63, (time & 31) * 2);
}

bool IsAccessViolationWithAddress(const EXCEPTION_RECORD* record) {
    return record && record->ExceptionCode == kAccessViolation && record->NumberParameters >= 2;
}

HMODULE ModuleAt(DWORD64 address) {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(address), &module);
    return module;
}

// Raised exceptions (C++ throws, breakpoints) start inside the system's own libraries: the module
// to name is the first caller outside them.
bool IsSystemModule(HMODULE module) {
    static const HMODULE kSystem[] = {::GetModuleHandleW(L"ntdll.dll"), ::GetModuleHandleW(L"kernelbase.dll"),
                                      ::GetModuleHandleW(L"kernel32.dll")};
    for (HMODULE system : kSystem) {
        if (module && module == system) return true;
    }
    return false;
}

DWORD64 FaultSite(const EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
    if (!record) return 0;
    const auto address = reinterpret_cast<DWORD64>(record->ExceptionAddress);
    if (!pointers->ContextRecord || !IsSystemModule(ModuleAt(address))) return address;
    CONTEXT c = *pointers->ContextRecord;
    for (int depth = 0; depth < 64 && c.Rip != 0; ++depth) {
        const HMODULE module = ModuleAt(c.Rip);
        if (!module) break;
        if (!IsSystemModule(module)) return c.Rip;
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(c.Rip, &imageBase, nullptr);
        if (function) {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, c.Rip, function, &c, &handlerData, &establisher, nullptr);
        } else {
            // A leaf: the return address is on top of the stack, if the stack can be read at all.
            DWORD64 ret = 0;
            if (!::ReadProcessMemory(::GetCurrentProcess(), reinterpret_cast<void*>(c.Rsp), &ret, sizeof(ret), nullptr)) break;
            c.Rip = ret;
            c.Rsp += sizeof(ret);
        }
    }
    return address;
}

void AccessViolationLine(const EXCEPTION_RECORD* record, char* out, size_t size) {
    std::snprintf(out, size, "%s location %08x caused an access violation.\r\n",
                  record->ExceptionInformation[0] == 0 ? "Read from" : "Write to",
                  static_cast<unsigned>(record->ExceptionInformation[1] & 0xFFFFFFFFu));
}

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

void WriteModuleList() {
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

void WriteRegisters(const CONTEXT* c) {
    gReport.Printf("\r\n");
    gReport.Printf("Context:\r\n");
    gReport.Printf("RAX=%016llX  RBX=%016llX  RCX=%016llX  RDX=%016llX  RSI=%016llX\n", c->Rax, c->Rbx, c->Rcx,
                   c->Rdx, c->Rsi);
    gReport.Printf(" RDI=%016llX  RBP=%016llX  RSP=%016llX  RIP=%016llX  FLG=%016llX\n", c->Rdi, c->Rbp, c->Rsp,
                   c->Rip, static_cast<unsigned long long>(c->EFlags));
    gReport.Printf(" R8=%016llX   R9=%016llX  R10=%016llX  R11=%016llX  R12=%016llX\n", c->R8, c->R9, c->R10, c->R11,
                   c->R12);
    gReport.Printf("R13=%016llX  R14=%016llX  R15=%016llX", c->R13, c->R14, c->R15);
}

bool ReadSendExceptions() {
    static const bool send = Overlay::Common::Registry::ReadSwitch(Overlay::Common::Registry::kClientKey,
                                                                    Overlay::Common::Registry::kOverlaySendExceptions);
    return send;
}

void ReplaceAll(std::wstring& text, const std::wstring& what, const std::wstring& with) {
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
}

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

MiniDumpWriteDumpFn MiniDumpWriter() {
    static const HMODULE dbghelp = base::dll_helper::LoadSystemLibrary(L"Dbghelp.dll");
    static const MiniDumpWriteDumpFn fn =
        dbghelp ? reinterpret_cast<MiniDumpWriteDumpFn>(
                      reinterpret_cast<void*>(::GetProcAddress(dbghelp, "MiniDumpWriteDump")))
                : nullptr;
    return fn;
}

}  // namespace

const char* CrashHandlerReport::GetExceptionName(uint32_t code) {
    static const struct {
        uint32_t code;
        const char* name;
    } kNames[] = {
        {0x40010005, "a Control-C"},
        {0x40010008, "a Control-Break"},
        {0x80000002, "a Datatype Misalignment"},
        {0x80000003, "a Breakpoint"},
        {0xC0000005, "an Access Violation"},
        {0xC0000006, "an In Page Error"},
        {0xC0000017, "a No Memory"},
        {0xC000001D, "an Illegal Instruction"},
        {0xC0000025, "a Noncontinuable Exception"},
        {0xC0000026, "an Invalid Disposition"},
        {0xC000008C, "a Array Bounds Exceeded"},
        {0xC000008D, "a Float Denormal Operand"},
        {0xC000008E, "a Float Divide by Zero"},
        {0xC000008F, "a Float Inexact Result"},
        {0xC0000090, "a Float Invalid Operation"},
        {0xC0000091, "a Float Overflow"},
        {0xC0000092, "a Float Stack Check"},
        {0xC0000093, "a Float Underflow"},
        {0xC0000094, "an Integer Divide by Zero"},
        {0xC0000095, "an Integer Overflow"},
        {0xC0000096, "a Privileged Instruction"},
        {0xC00000FD, "a Stack Overflow"},
        {0xC0000142, "a DLL Initialization Failed"},
        {0xE06D7363, "a Microsoft C++ Exception"},
        {0x20474343, "a C++ Exception"},  // thrown by a GCC-built module
        {0x40000015, "an Abort"},
    };
    for (const auto& entry : kNames) {
        if (entry.code == code) return entry.name;
    }
    return "an Unknown exception type";
}

std::string CrashHandlerReport::SummaryLine(uint32_t code) {
    char line[512];
    std::snprintf(line, sizeof(line), "%s caused %s (0x%08x)", ExecutableName().c_str(), GetExceptionName(code),
                  static_cast<unsigned>(code));
    return line;
}

bool CrashHandlerReport::WriteErrorLog(EXCEPTION_POINTERS* pointers, const char* folder, char* summary,
                                       size_t summarySize) {
    const std::string path = std::string(folder ? folder : "") + "\\ERRORLOG.TXT";
    const base::UniqueHandle owned(
        ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr));
    const HANDLE file = owned.Get();
    if (!file) {
        ::OutputDebugStringA("Error creating exception report\r\n");
        return false;
    }
    ::SetFilePointer(file, 0, nullptr, FILE_END);
    const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
    const uint32_t code = record ? record->ExceptionCode : 0;

    std::lock_guard<std::mutex> guard(ReportLock());
    gReport.Begin(file);
    const std::string line = SummaryLine(code);
    gReport.Printf("%s", line.c_str());
    if (summary && summarySize > 0) std::snprintf(summary, summarySize, "%s", line.c_str());
    char module[MAX_PATH * 2];
    uintptr_t offset = 0;
    if (FaultingModule(pointers, module, sizeof(module), &offset)) {
        gReport.Printf("\r\nFaulting module: %s (offset 0x%llx)", module, static_cast<unsigned long long>(offset));
    }

    gReport.Printf("\r\nProcessId=%d (0x%x) ThreadId=%d (0x%x)\r\n", static_cast<int>(::GetCurrentProcessId()),
                   static_cast<unsigned>(::GetCurrentProcessId()), static_cast<int>(ReportedThreadId()),
                   static_cast<unsigned>(ReportedThreadId()));

    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    char when[64];
    FormatDosTime(now, when, sizeof(when));
    gReport.Printf("\r\nError occurred at %s.\r\n", when);
    const std::string exe = ExecutablePath();
    char user[256] = "Unknown";
    DWORD userSize = sizeof(user);
    if (!::GetUserNameA(user, &userSize)) std::snprintf(user, sizeof(user), "Unknown");
    gReport.Printf("%s, run by %s.\r\n", exe.empty() ? "Unknown" : exe.c_str(), user);
    char os[kOsNameChars];
    if (GetOsName(os, sizeof(os))) {
        gReport.Printf("Operating system:  %s\r\n", os);
    } else {
        gReport.Printf("Operating system:  Could not Determine\r\n");
    }
    SYSTEM_INFO si{};
    ::GetSystemInfo(&si);
    gReport.Printf("%d processor(s), type %d.\r\n", static_cast<int>(si.dwNumberOfProcessors),
                   static_cast<int>(si.dwProcessorType));
    MEMORYSTATUS ms{};
    ms.dwLength = sizeof(ms);
    ::GlobalMemoryStatus(&ms);
    auto mib = [](SIZE_T bytes) { return static_cast<int>((static_cast<unsigned long long>(bytes) + 0xFFFFF) >> 20); };
    gReport.Printf("%d%% memory in use.\r\n", static_cast<int>(ms.dwMemoryLoad));
    gReport.Printf("%d MBytes physical memory.\r\n", mib(ms.dwTotalPhys));
    gReport.Printf("%d MBytes physical memory free.\r\n", mib(ms.dwAvailPhys));
    gReport.Printf("%d MBytes paging file.\r\n", mib(ms.dwTotalPageFile));
    gReport.Printf("%d MBytes paging file free.\r\n", mib(ms.dwAvailPageFile));
    gReport.Printf("%d MBytes user address space.\r\n", mib(ms.dwTotalVirtual));
    gReport.Printf("%d MBytes user address space free.\r\n", mib(ms.dwAvailVirtual));

    if (IsAccessViolationWithAddress(record)) {
        char av[128];
        AccessViolationLine(record, av, sizeof(av));
        gReport.Printf("%s", av);
        ::OutputDebugStringA(av);
    }
    if (pointers && pointers->ContextRecord) WriteRegisters(pointers->ContextRecord);
    gReport.Printf("code at the instruction pointer isn't available under x64.\r\n");
    gReport.Printf("stack dump isn't available under x64.\r\n");
    WriteModuleList();
    gReport.Printf("\r\n===== [end of %s] =====\r\n", "ERRORLOG.TXT");
    gReport.Drain();
    gReport.Begin(nullptr);
    return true;
}

bool CrashHandlerReport::WriteDump(const char* folder, EXCEPTION_POINTERS* pointers) {
    const MiniDumpWriteDumpFn write = MiniDumpWriter();
    if (!write) return false;
    const std::string path = std::string(folder ? folder : "") + "\\CrashDump.dmp";
    const base::UniqueHandle file(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        char message[128];
        std::snprintf(message, sizeof(message), "Error creating dump file, err=%d",
                      static_cast<int>(::GetLastError()));
        std::lock_guard<std::mutex> guard(ReportLock());
        gReport.Printf("%s", message);
        ::OutputDebugStringA(message);
        return false;
    }
    MINIDUMP_EXCEPTION_INFORMATION info{};
    info.ThreadId = ReportedThreadId();
    info.ExceptionPointers = pointers;
    info.ClientPointers = TRUE;
    const BOOL ok = write(::GetCurrentProcess(), ::GetCurrentProcessId(), file.Get(),
                          static_cast<MINIDUMP_TYPE>(MiniDumpWithUnloadedModules | MiniDumpWithProcessThreadData),
                          pointers ? &info : nullptr, nullptr, nullptr);
    return ok != FALSE;
}

std::string CrashHandlerReport::Md5Hex(const std::string& bytes) {
    std::string hex;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0))) return hex;
    UCHAR digest[16] = {};
    if (BCRYPT_SUCCESS(::BCryptHash(algorithm, nullptr, 0,
                                    reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                    static_cast<ULONG>(bytes.size()), digest, sizeof(digest)))) {
        char two[3];
        for (UCHAR b : digest) {
            std::snprintf(two, sizeof(two), "%02x", b);
            hex += two;
        }
    }
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
    return hex;
}

bool CrashHandlerReport::FaultingModule(const EXCEPTION_POINTERS* pointers, char* path, size_t size,
                                        uintptr_t* offset) {
    if (!path || size == 0) return false;
    path[0] = '\0';
    const DWORD64 site = FaultSite(pointers);
    const HMODULE module = site ? ModuleAt(site) : nullptr;
    if (!module || ::GetModuleFileNameA(module, path, static_cast<DWORD>(size)) == 0) return false;
    if (offset) *offset = static_cast<uintptr_t>(site - reinterpret_cast<DWORD64>(module));
    return true;
}

std::string CrashHandlerReport::FileName(const std::string& path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::wstring CrashHandlerReport::CrashJson(const std::string& preview, const std::wstring& date,
                                           const std::string& osName, const std::string& module) {
    std::wstring text =
        L"{\n\"ExceptionHash\": \"ALIAS_EXCEPTION_HASH\",\n\"ExceptionDate\": \"ALIAS_EXCEPTION_DATE\",\n"
        L"\"Version\": \"ALIAS_VERSION\",\n\"SubSystem\": \"ALIAS_SUB_SYSTEM\",\n\"Preview\": \"ALIAS_PREVIEW\",\n"
        L"\"Username\": \"\",\n\"IsUnique\": true,\n\"FailedCount\": 0,\n\"Status\": 1,\n\"LastSendAttempt\": null,\n"
        L"\"CustomValues\":\n{\n\"OS\": \"ALIAS_OS\",\n\"Module\": \"ALIAS_MODULE\"\n}\n}\n";
    ReplaceAll(text, L"ALIAS_EXCEPTION_HASH", Wide(Md5Hex(preview)));
    ReplaceAll(text, L"ALIAS_PREVIEW", Wide(preview));
    ReplaceAll(text, L"ALIAS_EXCEPTION_DATE", date);
    ReplaceAll(text, L"ALIAS_VERSION", Wide(kVersion));
    ReplaceAll(text, L"ALIAS_SUB_SYSTEM", L"Overlay");
    ReplaceAll(text, L"ALIAS_OS", Wide(osName));
    // A file name holds neither quotes nor backslashes: nothing to escape.
    ReplaceAll(text, L"ALIAS_MODULE", Wide(module));
    return text;
}

std::string CrashHandlerReport::Report(uint32_t code, EXCEPTION_POINTERS* pointers) {
    const std::wstring folder = CrashesFolder() + L"\\" + NewGuidText();
    const EXCEPTION_RECORD* record = pointers ? pointers->ExceptionRecord : nullptr;
    std::string preview;

    if (!ReadSendExceptions()) {
        preview = SummaryLine(code);
        if (IsAccessViolationWithAddress(record)) {
            char av[128];
            AccessViolationLine(record, av, sizeof(av));
            ::OutputDebugStringA(av);
        }
    } else if (CreateFolders(folder)) {
        char os[kOsNameChars] = "";
        GetOsName(os, sizeof(os));
        char summary[512] = "";
        WriteErrorLog(pointers, Narrow(folder).c_str(), summary, sizeof(summary));
        preview = summary;

        // Written as text: line feeds become CR LF on disk.
        SYSTEMTIME st{};
        ::GetLocalTime(&st);
        wchar_t date[64];
        std::swprintf(date, 64, L"%02d/%02d/%02d %02d:%02d:%02d", st.wMonth, st.wDay, st.wYear % 100, st.wHour,
                      st.wMinute, st.wSecond);
        char module[MAX_PATH * 2] = "";
        FaultingModule(pointers, module, sizeof(module), nullptr);
        const std::wstring json = CrashJson(preview, date, os, FileName(module));
        std::wstring lines;
        for (wchar_t c : json) {
            if (c == L'\n') lines += L'\r';
            lines += c;
        }
        const std::string bytes = Narrow(lines);
        const base::UniqueHandle file(::CreateFileA(Narrow(folder + L"\\Crash.json").c_str(), GENERIC_WRITE, 0,
                                                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (file) ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }

    if (Overlay::Common::Registry::ReadSwitch(Overlay::Common::Registry::kOverlayKey,
                                              Overlay::Common::Registry::kCreateCrashDumps)) {
        const std::wstring dumps = DumpFolder();
        if (CreateFolders(dumps)) {
            const std::string narrow = Narrow(dumps);
            WriteDump(narrow.c_str(), pointers);
            WriteErrorLog(pointers, narrow.c_str(), nullptr, 0);
        }
    }
    return preview;
}

namespace {

LONG CALLBACK EndOnFaultInReport(EXCEPTION_POINTERS* info);

// Reports are written by a thread of their own, started before any guarded step runs: the
// faulting thread may have next to no stack left (an overflow) and may hold locks that writing
// the report needs; it only hands the fault over and waits, for a bounded time.
class ReportThread {
public:
    static ReportThread& Instance() {
        static ReportThread* const instance = new ReportThread();  // lives as long as the process
        return *instance;
    }

    bool Run(uint32_t code, EXCEPTION_POINTERS* pointers, char* preview, size_t size) {
        // A minidump of a large process can take long; a stuck report thread must not hang the
        // faulting one for ever.
        constexpr DWORD kReportWaitMs = 120000;
        if (!thread_ || ::GetCurrentThreadId() == threadId_) return false;
        if (::WaitForSingleObject(busy_.Get(), kReportWaitMs) != WAIT_OBJECT_0) return false;
        code_ = code;
        pointers_ = pointers;
        preview_.clear();
        gSubjectThread = ::GetCurrentThreadId();
        ::SetEvent(request_.Get());
        if (::WaitForSingleObject(done_.Get(), kReportWaitMs) != WAIT_OBJECT_0) {
            return false;  // `busy_` stays taken: later faults are not written into this report
        }
        if (preview && size > 0) std::snprintf(preview, size, "%s", preview_.c_str());
        ::ReleaseMutex(busy_.Get());
        return true;
    }

    // A fault on the report thread while it writes: the original fault's code, at once.
    void EndIfFaultInReport() {
        if (::GetCurrentThreadId() == threadId_ && gSubjectThread.load() != 0) {
            ::TerminateProcess(::GetCurrentProcess(), code_);
        }
    }

private:
    ReportThread()
        : request_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          done_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          busy_(::CreateMutexW(nullptr, FALSE, nullptr)) {
        if (request_ && done_ && busy_) thread_.Reset(::CreateThread(nullptr, 0, &Main, this, 0, &threadId_));
        if (thread_) ::AddVectoredExceptionHandler(1, &EndOnFaultInReport);
    }

    static DWORD WINAPI Main(void* context) {
        auto* self = static_cast<ReportThread*>(context);
        for (;;) {
            if (::WaitForSingleObject(self->request_.Get(), INFINITE) != WAIT_OBJECT_0) return 1;
            self->preview_ = CrashHandlerReport::Report(self->code_, self->pointers_);
            gSubjectThread = 0;
            ::SetEvent(self->done_.Get());
        }
    }

    base::UniqueHandle request_;
    base::UniqueHandle done_;
    base::UniqueHandle busy_;
    base::UniqueHandle thread_;
    DWORD threadId_ = 0;
    uint32_t code_ = 0;
    EXCEPTION_POINTERS* pointers_ = nullptr;
    std::string preview_;
};

LONG CALLBACK EndOnFaultInReport(EXCEPTION_POINTERS* info) {
    if (info && info->ExceptionRecord && Overlay::Common::IsFault(info->ExceptionRecord->ExceptionCode)) {
        ReportThread::Instance().EndIfFaultInReport();
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void CrashHandlerReport::Install() {
    static const Overlay::Common::FaultReporter reporter{&CrashHandlerReport::Prepare, &CrashHandlerReport::ReportFault};
    Overlay::Common::SetFaultReporter(&reporter);
}

void CrashHandlerReport::Prepare() {
    ReportThread::Instance();
    // Room for the report hand-over when the step overflows its stack.
    ULONG guarantee = 64 * 1024;
    ::SetThreadStackGuarantee(&guarantee);
}

void CrashHandlerReport::ReportFault(uint32_t code, EXCEPTION_POINTERS* pointers, char* preview, size_t size) {
    if (preview && size > 0) preview[0] = '\0';
    ReportThread::Instance().Run(code, pointers, preview, size);
}

void CrashHandlerReport::Translate(unsigned int code, EXCEPTION_POINTERS* pointers) {
    char preview[512];
    ReportFault(code, pointers, preview, sizeof(preview));
    throw Overlay::Common::StructuredException(preview);
}

std::wstring CrashHandlerReport::CrashesFolder() { return LocalAppData() + L"\\Quillmar\\Crashes"; }

std::wstring CrashHandlerReport::DumpFolder() { return LocalAppData() + L"\\Quillmar\\CrashDumps"; }

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
