#include "tests/support/TestSupport.h"

#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "common/UniqueHandle.h"
#include "core/CommandLineArgs.h"

namespace test {

std::wstring ExeDir() {
    wchar_t path[MAX_PATH * 2] = {};
    const DWORD n = ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring s(path, n);
    const size_t slash = s.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : s.substr(0, slash);
}

std::wstring InExeDir(const std::wstring& name) { return ExeDir() + L"\\" + name; }

namespace {
// Our environment block with `overrides` set on top, sorted as CreateProcess expects.
std::wstring EnvironmentBlock(const Environment& overrides) {
    std::vector<std::wstring> entries;
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) entries.emplace_back(p);
    ::FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : overrides) {
        const std::wstring prefix = name + L"=";
        std::erase_if(entries, [&](const std::wstring& e) {
            return ::CompareStringOrdinal(e.c_str(), static_cast<int>(std::min(e.size(), prefix.size())),
                                          prefix.c_str(), static_cast<int>(prefix.size()), TRUE) == CSTR_EQUAL;
        });
        entries.push_back(prefix + value);
    }
    std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    std::wstring out;
    for (const std::wstring& e : entries) {
        out += e;
        out += L'\0';
    }
    out += L'\0';
    return out;
}
}  // namespace

ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs, const Environment& environment) {
    ProcessResult result;
    SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
    HANDLE readRaw = nullptr;
    HANDLE writeRaw = nullptr;
    if (!::CreatePipe(&readRaw, &writeRaw, &sa, 0)) return result;
    base::UniqueHandle readEnd(readRaw);
    base::UniqueHandle writeEnd(writeRaw);
    ::SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writeEnd.Get();
    si.hStdError = writeEnd.Get();
    si.hStdInput = nullptr;
    PROCESS_INFORMATION pi{};
    std::wstring line = commandLine;
    std::wstring env = environment.empty() ? std::wstring() : EnvironmentBlock(environment);
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                          env.empty() ? nullptr : env.data(), nullptr, &si, &pi)) {
        return result;
    }
    result.started = true;
    base::UniqueHandle process(pi.hProcess);
    base::UniqueHandle thread(pi.hThread);
    writeEnd.Reset();

    // The pipe is polled rather than read to its end: a process that the child started (Wine's
    // desktop or console host, for instance) may inherit it and keep it open long after.
    std::string output;
    const auto drain = [&output, h = readEnd.Get()] {
        char buffer[4096];
        DWORD available = 0;
        DWORD got = 0;
        while (::PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
               ::ReadFile(h, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
            output.append(buffer, got);
        }
    };
    const DWORD start = ::GetTickCount();
    for (;;) {
        drain();
        if (::WaitForSingleObject(process.Get(), 10) == WAIT_OBJECT_0) {
            result.finished = true;
            ::GetExitCodeProcess(process.Get(), &result.exitCode);
            break;
        }
        if (::GetTickCount() - start >= timeoutMs) {
            ::TerminateProcess(process.Get(), 1);
            ::WaitForSingleObject(process.Get(), 5000);
            break;
        }
    }
    drain();
    result.output = output;
    return result;
}

ChildProcess::ChildProcess(const std::wstring& commandLine, const Environment& environment) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring env = environment.empty() ? std::wstring() : EnvironmentBlock(environment);
    // A start that fails is said with its error, and tried once more: a test that then finds no
    // process must not leave one to guess why.
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::wstring line = commandLine;
        if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT,
                             env.empty() ? nullptr : env.data(), nullptr, &si, &pi)) {
            base::UniqueHandle thread(pi.hThread);
            process_.Reset(pi.hProcess);
            pid_ = pi.dwProcessId;
            return;
        }
        std::fprintf(stderr, "could not start (error %lu): %ls\n", ::GetLastError(), commandLine.c_str());
        if (attempt == 0) ::Sleep(200);
    }
}

ChildProcess::~ChildProcess() {
    if (process_ && ::WaitForSingleObject(process_.Get(), 0) != WAIT_OBJECT_0) {
        ::TerminateProcess(process_.Get(), 1);
        ::WaitForSingleObject(process_.Get(), 5000);
    }
}

CommandLineArgs Parsed(const std::wstring& text) {
    CommandLineArgs cmd;
    cmd.Parse(text);
    return cmd;
}

std::wstring ChildCommand(const std::wstring& arguments) {
    return Overlay::Common::QuoteArgument(InExeDir(L"test-child.exe")) + L" " + arguments;
}

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    std::error_code ignored;
    do {
        path_ = (std::filesystem::temp_directory_path(ignored) /
                 (L"qm-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter)))
                    .wstring();
    } while (!::CreateDirectoryW(path_.c_str(), nullptr) && ::GetLastError() == ERROR_ALREADY_EXISTS);
}

TempDir::TempDir(const std::wstring& path) {
    if (::CreateDirectoryW(path.c_str(), nullptr)) path_ = path;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

bool FileExists(const std::wstring& path) {
    std::error_code ignored;
    return std::filesystem::is_regular_file(path, ignored);
}

bool DirectoryExists(const std::wstring& path) {
    std::error_code ignored;
    return std::filesystem::is_directory(path, ignored);
}

std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream file(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    return static_cast<bool>(file.write(bytes.data(), static_cast<std::streamsize>(bytes.size())).flush());
}

std::string Utf16Bytes(const std::wstring& text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::string Base64Encode(const std::string& bytes) {
    const auto* data = reinterpret_cast<const BYTE*>(bytes.data());
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    DWORD chars = 0;
    if (bytes.empty() || !::CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, nullptr, &chars)) return {};
    std::string text(chars, '\0');
    if (!::CryptBinaryToStringA(data, static_cast<DWORD>(bytes.size()), flags, text.data(), &chars)) return {};
    text.resize(chars);
    return text;
}

std::wstring Base64Text(const std::string& bytes) {
    const std::string text = Base64Encode(bytes);
    return std::wstring(text.begin(), text.end());
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

std::vector<std::wstring> ListFiles(const std::wstring& folder, const std::wstring& pattern, bool folders) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"\\" + pattern).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = data.cFileName;
        if (((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folders && name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

LogProfile::LogProfile(bool configured) : logs_(profile_.Path() + L"\\AppData\\Local\\QuillMar\\Log") {
    std::error_code ignored;
    if (!configured || !std::filesystem::create_directories(logs_, ignored)) return;
    WriteFileBytes(logs_ + L"\\QMLog.cfg", Utf16Bytes(L"SEVERITY_NORMAL +\r\nSEVERITY_MEDIUM +\r\nSEVERITY_HIGH +\r\n"
                                                         L"ERROR H\r\nOOPOHooksManager H\r\nInputBlockerProxy H\r\n"));
}

std::string LogProfile::Log(const std::wstring& pattern) const {
    const std::vector<std::wstring> files = ListFiles(logs_, pattern);
    return files.size() == 1 ? ReadFileBytes(logs_ + L"\\" + files[0]) : std::string();
}

void PumpMessages() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        PumpMessages();
        if (done()) return true;
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= timeoutMs) return false;
        // Woken early by a message for this thread, else looked at again in 5 ms.
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min<DWORD>(5, timeoutMs - elapsed), QS_ALLINPUT);
    }
}

namespace {
std::optional<std::wstring> Variable(const std::wstring& name) {
    const DWORD size = ::GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(name.c_str(), value.data(), size));
    return value;
}

void SetVariable(const std::wstring& name, const std::optional<std::wstring>& value) {
    ::SetEnvironmentVariableW(name.c_str(), value ? value->c_str() : nullptr);
}
}  // namespace

ScopedEnv::ScopedEnv(const wchar_t* name, const std::optional<std::wstring>& value)
    : name_(name), old_(Variable(name)) {
    SetVariable(name_, value);
}

ScopedEnv::~ScopedEnv() { SetVariable(name_, old_); }

ScopedRegistryValue::ScopedRegistryValue(const wchar_t* key, const wchar_t* name, std::optional<DWORD> value)
    : key_(key), name_(name) {
    DWORD size = 0;
    if (::RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, &type_, nullptr, &size) == ERROR_SUCCESS) {
        old_.resize(size);
        had_ = ::RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, &type_, old_.data(), &size) == ERROR_SUCCESS;
        old_.resize(size);
    }
    if (value) {
        ::RegSetKeyValueW(HKEY_CURRENT_USER, key, name, REG_DWORD, &*value, sizeof(DWORD));
    } else {
        ::RegDeleteKeyValueW(HKEY_CURRENT_USER, key, name);
    }
}

ScopedRegistryValue::~ScopedRegistryValue() {
    if (had_) {
        ::RegSetKeyValueW(HKEY_CURRENT_USER, key_.c_str(), name_.c_str(), type_, old_.data(),
                          static_cast<DWORD>(old_.size()));
    } else {
        ::RegDeleteKeyValueW(HKEY_CURRENT_USER, key_.c_str(), name_.c_str());
    }
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::wstring& folder) {
    wchar_t old[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, old);
    old_ = old;
    ::SetCurrentDirectoryW(folder.c_str());
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() { ::SetCurrentDirectoryW(old_.c_str()); }

}  // namespace test
