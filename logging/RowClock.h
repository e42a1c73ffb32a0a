#pragma once
#include <atomic>
#include <cstdint>

namespace Overlay::Logging {

// The row's time: "HH:MM:SS" of local time and the milliseconds. Converting to local time costs
// more than the rest of a row, so the text is kept for the second it belongs to and shared by all
// threads through a sequence counter (an odd count: being rewritten).
class RowClock {
public:
    struct Reading {
        int64_t second;         // since 1601, UTC
        uint32_t milliseconds;
        wchar_t text[8];        // HH:MM:SS, not terminated
    };

    void Read(Reading* r);

private:
    std::atomic<uint32_t> sequence_{0};
    std::atomic<int64_t> second_{-1};
    std::atomic<uint64_t> text_[2] = {};
};
static_assert(sizeof(wchar_t) == 2, "the time text is kept as two 64-bit words of UTF-16");

}  // namespace Overlay::Logging
