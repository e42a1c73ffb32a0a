#pragma once
#include <atomic>
#include <cstdint>

namespace Overlay::Logging {

// Rows the file could not take (a full or failing disk): all of them, and those not yet said in a
// row of the log. Read by any thread.
struct RowLoss {
    std::atomic<int32_t> pending{0};
    std::atomic<int64_t> total{0};
};

}  // namespace Overlay::Logging
