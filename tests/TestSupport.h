#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace test {

// The folder of the running test program; the product and the tools are built next to it.
std::wstring ExeDir();
std::wstring InExeDir(const std::wstring& name);

struct ProcessResult {
    bool started = false;
    bool finished = false;
    DWORD exitCode = 0;
    std::string output;  // standard output and error, as written
};

using Environment = std::vector<std::pair<std::wstring, std::wstring>>;

// Starts `commandLine` (with `environment` set on top of ours), collects its output and waits at
// most `timeoutMs` (then ends it).
ProcessResult RunProcess(const std::wstring& commandLine, DWORD timeoutMs, const Environment& environment = {});

// Runs `arguments` through qm-run.exe and returns the signed exit code it reported; `timedOut` is
// set when the runner said "timeout". Fails the calling test when the runner says neither.
bool RunThroughRunner(const std::wstring& arguments, DWORD timeoutMs, int32_t* exitCode, bool* timedOut,
                      const Environment& environment = {});

// A started child process that is ended (if still running) when this goes away.
class ChildProcess {
public:
    explicit ChildProcess(const std::wstring& commandLine);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool Started() const { return process_ != nullptr; }
    DWORD Pid() const { return pid_; }
    HANDLE Handle() const { return process_; }
    bool WaitExit(DWORD timeoutMs) const { return ::WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0; }

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

// test-child.exe next to the test program, with its arguments.
std::wstring ChildCommand(const std::wstring& arguments);

// A fresh folder under the temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

bool FileExists(const std::wstring& path);
bool DirectoryExists(const std::wstring& path);
std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// UTF-16LE bytes of `text`, as the configuration files store it.
std::string Utf16Bytes(const std::wstring& text);
std::vector<std::wstring> ListFiles(const std::wstring& folder, const std::wstring& pattern = L"*");

}  // namespace test
