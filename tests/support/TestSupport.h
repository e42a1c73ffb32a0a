#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/UniqueHandle.h"
#include "core/CommandLineArgs.h"

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

// A started child process (with `environment` set on top of ours) that is ended, if still running,
// when this goes away.
class ChildProcess {
public:
    explicit ChildProcess(const std::wstring& commandLine, const Environment& environment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    bool Started() const { return static_cast<bool>(process_); }
    DWORD Pid() const { return pid_; }
    HANDLE Handle() const { return process_.Get(); }
    bool WaitExit(DWORD timeoutMs) const { return ::WaitForSingleObject(process_.Get(), timeoutMs) == WAIT_OBJECT_0; }

private:
    base::UniqueHandle process_;
    DWORD pid_ = 0;
};

// `text` split and parsed as the host parses its command line.
CommandLineArgs Parsed(const std::wstring& text);

// test-child.exe next to the test program, with its arguments.
std::wstring ChildCommand(const std::wstring& arguments);

// A fresh folder under the temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    // Owns `path` when it can create it, for a folder that code under test makes in a fixed place.
    explicit TempDir(const std::wstring& path);
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
// `bytes` in Base64, by the system's own encoder; as wide text for command lines.
std::string Base64Encode(const std::string& bytes);
std::wstring Base64Text(const std::string& bytes);
// How often `part` occurs in `text`, overlaps included.
size_t Count(const std::string& text, const std::string& part);
// A user profile of its own for a child process, whose log folder (Local AppData's) holds a
// QMLog.cfg asking for every row unless `configured` is false.
class LogProfile {
public:
    explicit LogProfile(bool configured = true);
    // `more`, with this profile as the user's.
    Environment Env(Environment more = {}) const {
        more.emplace_back(L"USERPROFILE", profile_.Path());
        return more;
    }
    const std::wstring& Folder() const { return logs_; }
    // The text of the one log file that matches `pattern`; empty unless there is exactly one.
    std::string Log(const std::wstring& pattern) const;

private:
    TempDir profile_;
    std::wstring logs_;
};

// The names of the files (or the folders) in `folder` that match `pattern`, sorted.
std::vector<std::wstring> ListFiles(const std::wstring& folder, const std::wstring& pattern = L"*", bool folders = false);

// Dispatches what is waiting in this thread's queue.
void PumpMessages();
// Checks `done` until it holds or `timeoutMs` passes, pumping this thread's messages in between:
// for states that no event announces.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs);
// Pumps this thread's messages for `ms`: for checks that something does not happen.
inline void PumpFor(DWORD ms) { WaitUntil([] { return false; }, ms); }

// Guards that put back what a test changed, also when a failed assertion ends the test early.

// An environment variable set (or removed, for nullopt) for the guard's life.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const std::optional<std::wstring>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::wstring name_;
    std::optional<std::wstring> old_;
};

// A value under HKEY_CURRENT_USER set to a DWORD (or removed, for nullopt) for the guard's life.
class ScopedRegistryValue {
public:
    ScopedRegistryValue(const wchar_t* key, const wchar_t* name, std::optional<DWORD> value);
    ~ScopedRegistryValue();
    ScopedRegistryValue(const ScopedRegistryValue&) = delete;
    ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;

private:
    std::wstring key_;
    std::wstring name_;
    bool had_ = false;
    DWORD type_ = 0;
    std::vector<BYTE> old_;
};

// The current folder, put back when the guard goes.
class ScopedCurrentDirectory {
public:
    explicit ScopedCurrentDirectory(const std::wstring& folder);
    ~ScopedCurrentDirectory();
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

private:
    std::wstring old_;
};

// Runs `undo` when the guard goes: for a change that no other guard here covers.
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F undo) : undo_(std::move(undo)) {}
    ~ScopeExit() { undo_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    F undo_;
};

// A window destroyed when the guard goes.
class ScopedWindow {
public:
    explicit ScopedWindow(HWND window) : window_(window) {}
    ~ScopedWindow() {
        if (window_) ::DestroyWindow(window_);
    }
    ScopedWindow(const ScopedWindow&) = delete;
    ScopedWindow& operator=(const ScopedWindow&) = delete;
    HWND Get() const { return window_; }

private:
    HWND window_;
};

}  // namespace test
