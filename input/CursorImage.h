#pragma once
#include <windows.h>

#include <cstddef>
#include <cstdint>

// One cursor picture: 32 x 32, top row first, blue-green-red-alpha, colour premultiplied by alpha.
struct CursorImage {
    static constexpr int kSize = 32;
    uint8_t pixels[kSize * kSize * 4];
    uint32_t hotspotX;
    uint32_t hotspotY;
    bool valid;
};
static_assert(sizeof(CursorImage::pixels) == 4096, "32 x 32 pixels of 4 bytes");

// Premultiplies `count` blue-green-red-alpha pixels whose alpha lies between 1 and 254.
void PremultiplyPixels(uint8_t* pixels, size_t count);

// Draws `cursor` into `image`; false (and `image` zeroed) when the handle gives no picture.
bool CaptureCursorImage(HCURSOR cursor, CursorImage* image);
