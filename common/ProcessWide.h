#pragma once
#include <memory>

namespace base {

// The one process-wide instance of a subsystem's state (Derived), made on first use. Reset makes
// it anew from its defaults; it may only run while nothing else uses the state.
template <class Derived>
class ProcessWide {
public:
    static Derived& Get() {
        static Derived instance;
        return instance;
    }
    static void Reset() {
        Derived& state = Get();
        std::destroy_at(&state);
        std::construct_at(&state);
    }
};

}  // namespace base
