#include "input/CursorImage.h"

#include <cstring>

void PremultiplyPixels(uint8_t* pixels, size_t count) {
    for (uint8_t* p = pixels; p != pixels + count * 4; p += 4) {
        const unsigned a = p[3];
        if (a == 0 || a == 255) continue;
        for (int c = 0; c < 3; ++c) p[c] = static_cast<uint8_t>((a * p[c] + 127) / 255);
    }
}

bool CaptureCursorImage(HCURSOR cursor, CursorImage* image) {
    std::memset(image, 0, sizeof(*image));
    ICONINFO info{};
    if (!::GetIconInfo(cursor, &info)) return false;
    image->hotspotX = info.xHotspot;
    image->hotspotY = info.yHotspot;
    if (info.hbmMask) ::DeleteObject(info.hbmMask);
    if (info.hbmColor) ::DeleteObject(info.hbmColor);

    HDC dc = ::CreateCompatibleDC(nullptr);
    if (!dc) return false;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = CursorImage::kSize;
    bi.bmiHeader.biHeight = -CursorImage::kSize;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap || !bits) {
        if (bitmap) ::DeleteObject(bitmap);
        ::DeleteDC(dc);
        return false;
    }
    HGDIOBJ previous = ::SelectObject(dc, bitmap);
    std::memset(bits, 0, sizeof(image->pixels));
    ::DrawIconEx(dc, 0, 0, cursor, CursorImage::kSize, CursorImage::kSize, 0, nullptr, DI_NORMAL);
    ::SelectObject(dc, previous);
    ::GdiFlush();

    PremultiplyPixels(static_cast<uint8_t*>(bits), CursorImage::kSize * CursorImage::kSize);
    std::memcpy(image->pixels, bits, sizeof(image->pixels));
    image->valid = true;
    ::DeleteObject(bitmap);
    ::DeleteDC(dc);
    return true;
}
