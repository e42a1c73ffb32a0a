#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <type_traits>

namespace test {

using UniqueCursor = std::unique_ptr<std::remove_pointer_t<HCURSOR>, decltype(&::DestroyCursor)>;

// A 32 x 32 cursor of one colour, with its hot spot at (5, 3).
inline UniqueCursor SolidCursor(uint8_t alpha, uint8_t red) {
    BITMAPV5HEADER h{};
    h.bV5Size = sizeof(h);
    h.bV5Width = 32;
    h.bV5Height = -32;
    h.bV5Planes = 1;
    h.bV5BitCount = 32;
    h.bV5Compression = BI_BITFIELDS;
    h.bV5RedMask = 0x00FF0000;
    h.bV5GreenMask = 0x0000FF00;
    h.bV5BlueMask = 0x000000FF;
    h.bV5AlphaMask = 0xFF000000;
    void* bits = nullptr;
    HDC screen = ::GetDC(nullptr);
    HBITMAP colour = ::CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&h), DIB_RGB_COLORS, &bits, nullptr, 0);
    ::ReleaseDC(nullptr, screen);
    auto* p = static_cast<uint32_t*>(bits);
    for (int i = 0; i < 32 * 32; ++i) p[i] = (uint32_t(alpha) << 24) | (uint32_t(red) << 16);
    HBITMAP mask = ::CreateBitmap(32, 32, 1, 1, nullptr);
    ICONINFO info{FALSE, 5, 3, mask, colour};
    UniqueCursor cursor(::CreateIconIndirect(&info), &::DestroyCursor);
    ::DeleteObject(colour);
    ::DeleteObject(mask);
    return cursor;
}

}  // namespace test
