#pragma once
#include <cstddef>

namespace Overlay::Logging {

// The sizes the logger's parts agree on.
inline constexpr size_t kScratchChars = 2048;
inline constexpr size_t kMessageChars = 2048;
inline constexpr size_t kRowChars = 2308;
inline constexpr size_t kConfigLineChars = 128;
inline constexpr size_t kMaxKeyChars = 64;
inline constexpr size_t kMaxValueChars = 1024;
// Rows that may wait for the writer; beyond them rows are dropped and counted.
inline constexpr size_t kRingSlots = 256;

}  // namespace Overlay::Logging
