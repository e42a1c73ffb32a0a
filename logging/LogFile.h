#pragma once
#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>

#include "common/UniqueHandle.h"

namespace Overlay::Logging {

// The open log file: UTF-8 text, every line feed stored as CR LF, written through a buffer that
// only the writer thread (or the stopping thread, once the writer is gone) touches.
class OutputFile {
public:
    explicit OutputFile(HANDLE h) : handle_(h) {}
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void Write(const wchar_t* text, size_t length);
    void Flush();

private:
    base::UniqueHandle handle_;
    size_t used_ = 0;
    char buffer_[65536];
};

// A run's file name but for the number that keeps runs of the same second apart.
struct LogFileName {
    std::wstring stem;         // the executable's name, the suffix, the local time
    const wchar_t* kind;       // ".Server" or ".Game"
    bool renameToHtmlOnClose;  // written as ".log", renamed to ".html" once closed
};

LogFileName NameLogFile(const std::wstring& executablePath, const std::wstring& suffix);

// A new file in `folder`, never one that exists already; `fileName` and `filePath` get the last name
// tried. Null when none could be created.
std::unique_ptr<OutputFile> CreateLogFile(const std::wstring& folder, const LogFileName& name, std::wstring* fileName,
                                          std::wstring* filePath);

// The page's frame around the rows; `scratch` is the logger's buffer of `scratchChars`.
void WriteHeader(OutputFile& file, const std::wstring& fileName, wchar_t* scratch, size_t scratchChars);
void WriteFooter(OutputFile& file, wchar_t* scratch, size_t scratchChars);

}  // namespace Overlay::Logging
