#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "input/CursorImage.h"

// The cursor pictures the host draws while the overlay takes the mouse: seven kinds, each captured
// once from the first handle offered for it, and the kind asked for last (an odd kind counts as the
// first). Any thread asks; the window's thread applies what was asked and draws.
class CursorCache {
public:
    static constexpr int kSlots = 7;

    // From any thread: the kind to draw from now on, and a handle for its picture (may be null).
    void Request(int32_t type, HCURSOR cursor);
    // On the window's thread: what was asked since the last call. False when nothing was; else
    // `type` is the kind last asked for, as the client gave it.
    bool Apply(int32_t* type);
    // The current kind's picture as last applied (null while it was never captured), and its
    // version: a number that changes whenever the picture to draw does.
    const CursorImage* ToDraw(uint32_t* version) const;

private:
    const CursorImage* Current() const;

    int index_ = 0;
    uint32_t version_ = 0;
    CursorImage images_[kSlots] = {};
    std::atomic<bool> captured_[kSlots] = {};
    std::atomic<int32_t> requestedType_{0};
    std::atomic<bool> requested_{false};
    std::atomic<HCURSOR> offered_[kSlots] = {};
};
