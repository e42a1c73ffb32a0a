#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "QmVersion.h"

// Writes what a structured exception on a task runner's thread leaves behind: "ERRORLOG.TXT" and
// "Crash.json" in a folder of its own under Local AppData\Quillmar\Crashes (when the client asks
// for them), and "CrashDump.dmp" with another "ERRORLOG.TXT" in Local AppData\Quillmar\CrashDumps
// (when QA asks for them). Every step is best effort.
class CrashHandlerReport {
public:
    // What the OS-name table reads; the real values come from the system, tests bring their own.
    struct OsVersion {
        uint32_t major = 0;
        uint32_t minor = 0;
        uint32_t build = 0;
        uint32_t platformId = 0;
        char servicePack[128] = {};
        uint16_t suiteMask = 0;
        uint8_t productType = 0;     // 1: workstation
        uint16_t architecture = 0;   // PROCESSOR_ARCHITECTURE_*
        uint32_t productInfo = 0;    // GetProductInfo's edition (major 6 only)
        bool serverR2 = false;       // GetSystemMetrics(SM_SERVERR2)
    };

    static constexpr size_t kOsNameChars = 256;
    static constexpr const char* kVersion = QM_VERSION_STRING;  // the product's, as the collector expects

    // Becomes the reporter of the guarded steps' faults (at process start).
    static void Install();
    // Starts the report thread (once) and gives the calling thread the stack a report needs after
    // an overflow: called before guarded steps run, so that no fault finds it missing.
    static void Prepare();
    // The report of a fault of the calling thread, written on the report thread (a bounded wait);
    // `preview` gets the summary line. A fault inside the report ends the process with `code`.
    static void ReportFault(uint32_t code, EXCEPTION_POINTERS* pointers, char* preview, size_t size);
    // The runtime's translator: reports, then throws StructuredException. Never returns.
    static void Translate(unsigned int code, EXCEPTION_POINTERS* pointers);
    // Translate's report without the throw; returns the summary line ("preview"), which is also
    // the message of the exception that follows.
    static std::string Report(uint32_t code, EXCEPTION_POINTERS* pointers);

    static bool WriteErrorLog(EXCEPTION_POINTERS* pointers, const char* folder, char* summary, size_t summarySize);
    static bool WriteDump(const char* folder, EXCEPTION_POINTERS* pointers);
    static bool GetOsName(char* name, size_t size);
    // The values GetOsName reads; false when the system does not give them.
    static bool ReadOsVersion(OsVersion* version);
    static bool FormatOsName(const OsVersion& version, char* name, size_t size);
    static const char* GetExceptionName(uint32_t code);

    // "%s caused %s (0x%08x)" with the executable's file name.
    static std::string SummaryLine(uint32_t code);
    // Crash.json's text for the given preview, date text, OS name and faulting module's file name.
    static std::wstring CrashJson(const std::string& preview, const std::wstring& date, const std::string& osName,
                                  const std::string& module);
    // The module where the fault arose (for exceptions raised through the system's libraries, the
    // first caller outside them): its full path and the offset into it. False when none holds it.
    static bool FaultingModule(const EXCEPTION_POINTERS* pointers, char* path, size_t size, uintptr_t* offset);
    // Where the reports go: a folder per crash under the first, the dump's folder the second.
    static std::wstring CrashesFolder();
    static std::wstring DumpFolder();
    // The file name part of a path.
    static std::string FileName(const std::string& path);
    // MD5 of the bytes as 32 lower-case hex digits, from the platform's hashing service.
    static std::string Md5Hex(const std::string& bytes);
};
