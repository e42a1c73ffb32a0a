// Reference injection helper (QuillmarHelper64.exe; QuillmarHelper.exe for 32-bit games).
//
//   --inject --target-pid=<pid> --dll-path="<library>" --procn=<name> --proc-msg=<n> --param=<n> pid=<client>
//       loads the library into the target process (a remote thread running LoadLibraryW), then ends.
//   --stay <ms>
//       just runs for that long: the host starts the helper from the image of a running one.
//
// When QMHELPER_LOG names a file, every command line received is appended to it (UTF-16), so that
// a test can check what the host asked for.
// QMHELPER_STAY_MS=<n> keeps an injecting helper running that long after its work, as a helper
// that hangs would.
#include <windows.h>

#include <cwchar>
#include <string>

namespace {

void LogCommandLine() {
    wchar_t path[MAX_PATH] = {};
    if (::GetEnvironmentVariableW(L"QMHELPER_LOG", path, MAX_PATH) == 0) return;
    HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::wstring line = std::wstring(::GetCommandLineW()) + L"\n";
    DWORD written = 0;
    ::WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    ::CloseHandle(file);
}

std::wstring Argument(const std::wstring& line, const std::wstring& key) {
    const size_t at = line.find(key);
    if (at == std::wstring::npos) return std::wstring();
    size_t start = at + key.size();
    if (start < line.size() && line[start] == L'"') {
        const size_t end = line.find(L'"', start + 1);
        return line.substr(start + 1, end == std::wstring::npos ? std::wstring::npos : end - start - 1);
    }
    const size_t end = line.find(L' ', start);
    return line.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

int Inject(DWORD pid, const std::wstring& library) {
    HANDLE process = ::OpenProcess(PROCESS_CREATE_THREAD | PROCESS_VM_OPERATION | PROCESS_VM_WRITE |
                                       PROCESS_QUERY_INFORMATION | SYNCHRONIZE,
                                   FALSE, pid);
    if (!process) return 3;
    const SIZE_T bytes = (library.size() + 1) * sizeof(wchar_t);
    void* remote = ::VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    int result = 4;
    if (remote && ::WriteProcessMemory(process, remote, library.c_str(), bytes, nullptr)) {
        // kernel32 lies at the same address in every process of a session.
        auto loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
        HANDLE thread = ::CreateRemoteThread(process, nullptr, 0, loadLibrary, remote, 0, nullptr);
        if (thread) {
            ::WaitForSingleObject(thread, 10000);
            DWORD loaded = 0;
            ::GetExitCodeThread(thread, &loaded);
            ::CloseHandle(thread);
            result = loaded ? 0 : 5;
        }
    }
    if (remote) ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    ::CloseHandle(process);
    return result;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    LogCommandLine();
    const std::wstring line = ::GetCommandLineW();
    if (line.find(L"--stay") != std::wstring::npos) {
        ::Sleep(static_cast<DWORD>(std::wcstoul(Argument(line, L"--stay ").c_str(), nullptr, 10)));
        return 0;
    }
    if (line.find(L"--inject") == std::wstring::npos) return 2;
    const DWORD pid = std::wcstoul(Argument(line, L"--target-pid=").c_str(), nullptr, 10);
    const std::wstring library = Argument(line, L"--dll-path=");
    if (pid == 0 || library.empty()) return 2;
    const int result = Inject(pid, library);
    wchar_t stay[16] = {};
    if (::GetEnvironmentVariableW(L"QMHELPER_STAY_MS", stay, 16) > 0) ::Sleep(static_cast<DWORD>(std::wcstoul(stay, nullptr, 10)));
    return result;
}
