#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/UniqueHandle.h"
#include "logging/RowLoss.h"

namespace Overlay::Logging {

// The open log file: UTF-8 text, every line feed stored as CR LF, written through a buffer that
// only the writer thread (or the stopping thread, once the writer is gone) touches. The file only
// ever holds whole rows: a write that fails part-way is cut back, and its rows stay buffered for the
// next try; a row that finds the buffer full of them is lost, and counted.
class OutputFile {
public:
    explicit OutputFile(HANDLE h) : handle_(h) {}
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Where lost rows are counted; the count of those lost becomes pending once writing works again.
    void CountLossesIn(RowLoss* loss) { loss_ = loss; }
    // One row, whole or not at all; false when it was lost.
    bool WriteRow(const wchar_t* text, size_t length);
    // Text outside the rows (the page's frame).
    void Write(const wchar_t* text, size_t length);
    // False while the file does not take what is buffered.
    bool Flush();

private:
    void Encode(const wchar_t* text, size_t length);

    base::UniqueHandle handle_;
    RowLoss* loss_ = nullptr;
    int32_t lostUnsaid_ = 0;
    uint64_t fileEnd_ = 0;  // bytes the file holds, all of them whole rows
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
