#include "input/CursorCache.h"

namespace {
int SlotOf(int32_t type) { return type >= 0 && type < CursorCache::kSlots ? type : 0; }
}  // namespace

void CursorCache::Request(int32_t type, HCURSOR cursor) {
    const int slot = SlotOf(type);
    requestedType_ = type;
    // A kind is captured once per process: the first handle offered for it is kept until then.
    if (cursor && !captured_[slot].load()) {
        HCURSOR none = nullptr;
        offered_[slot].compare_exchange_strong(none, cursor);
    }
    requested_ = true;
}

bool CursorCache::Apply(int32_t* type) {
    if (!requested_.exchange(false)) return false;
    *type = requestedType_.load();
    const int slot = SlotOf(*type);
    if (slot != index_) {
        index_ = slot;
        ++version_;
    }
    for (int i = 0; i < kSlots; ++i) {
        HCURSOR offered = offered_[i].exchange(nullptr);
        if (!offered || captured_[i].load()) continue;
        if (CaptureCursorImage(offered, &images_[i])) {
            captured_[i] = true;
            if (i == index_) ++version_;
        }
    }
    return true;
}

const CursorImage* CursorCache::ToDraw(uint32_t* version) const {
    *version = version_;
    return Current();
}

const CursorImage* CursorCache::Current() const { return images_[index_].valid ? &images_[index_] : nullptr; }
