#pragma once
#include <cstddef>
#include <utility>
#include <vector>

namespace base {

// First-in first-out storage in a ring that only ever grows (to 128 slots, then doubling), so that
// a queue in steady use allocates nothing. Not locked: its owner locks.
template <typename T>
class Ring {
public:
    void PushBack(T item) {
        if (count_ == slots_.size()) Grow();
        slots_[(head_ + count_) % slots_.size()] = std::move(item);
        ++count_;
    }

    // The caller checks Empty() first.
    T PopFront() {
        T item = std::move(slots_[head_]);
        slots_[head_] = T{};  // a moved-from slot must not keep what the item held
        head_ = (head_ + 1) % slots_.size();
        --count_;
        return item;
    }

    bool Empty() const { return count_ == 0; }
    size_t Size() const { return count_; }

    void Clear() {
        std::vector<T>().swap(slots_);
        head_ = 0;
        count_ = 0;
    }

    void Swap(Ring& other) noexcept {
        slots_.swap(other.slots_);
        std::swap(head_, other.head_);
        std::swap(count_, other.count_);
    }

private:
    void Grow() {
        std::vector<T> grown(slots_.empty() ? 128 : slots_.size() * 2);
        for (size_t i = 0; i < count_; ++i) grown[i] = std::move(slots_[(head_ + i) % slots_.size()]);
        slots_.swap(grown);
        head_ = 0;
    }

    std::vector<T> slots_;
    size_t head_ = 0;
    size_t count_ = 0;
};

}  // namespace base
