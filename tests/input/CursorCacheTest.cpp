#include <windows.h>

#include <vector>

#include <gtest/gtest.h>

#include "input/CursorCache.h"
#include "tests/support/CursorSupport.h"

using test::SolidCursor;
using test::UniqueCursor;

// Asked from any thread, applied on the window's: each kind's first picture is kept, an odd kind
// counts as the first, and the picture's version changes exactly when the picture to draw does.
TEST(CursorCache, SlotsAreCapturedOnceAndOddKindsUseTheFirst) {
    CursorCache cache;
    const UniqueCursor half = SolidCursor(128, 255);
    const UniqueCursor opaque = SolidCursor(255, 255);
    uint32_t version = 0, before = 0;
    EXPECT_EQ(cache.ToDraw(&before), nullptr);
    cache.Request(3, half.get());
    int32_t type = -9;
    EXPECT_TRUE(cache.Apply(&type));
    EXPECT_EQ(type, 3);
    EXPECT_FALSE(cache.Apply(&type));  // nothing asked since
    const CursorImage* image = cache.ToDraw(&version);
    ASSERT_NE(image, nullptr);
    EXPECT_NE(version, before);
    EXPECT_EQ(image->hotspotX, 5u);
    EXPECT_EQ(image->hotspotY, 3u);
    // Blue, green, red, alpha, premultiplied: the colour never exceeds the alpha.
    EXPECT_EQ(image->pixels[3], 128);
    EXPECT_GT(image->pixels[2], 0);
    EXPECT_LE(image->pixels[2], 128);

    before = version;
    cache.Request(3, opaque.get());  // the first picture stays, and nothing changed
    EXPECT_TRUE(cache.Apply(&type));
    EXPECT_EQ(cache.ToDraw(&version)->pixels[3], 128);
    EXPECT_EQ(version, before);

    cache.Request(7, nullptr);
    EXPECT_TRUE(cache.Apply(&type));
    EXPECT_EQ(cache.ToDraw(&version), nullptr);  // kind 0, never captured
    EXPECT_NE(version, before);
    cache.Request(-1, opaque.get());
    EXPECT_TRUE(cache.Apply(&type));
    ASSERT_NE(cache.ToDraw(&version), nullptr);
    EXPECT_EQ(cache.ToDraw(&version)->pixels[3], 255);
}

TEST(CursorImage, PremultipliesOnlyPartlyTransparentPixels) {
    uint8_t pixels[] = {0, 0, 255, 128, 10, 20, 30, 0, 10, 20, 30, 255, 255, 255, 255, 1};
    PremultiplyPixels(pixels, 4);
    const uint8_t expected[] = {0, 0, 128, 128, 10, 20, 30, 0, 10, 20, 30, 255, 1, 1, 1, 1};
    EXPECT_EQ(std::vector<uint8_t>(pixels, pixels + 16), std::vector<uint8_t>(expected, expected + 16));
}
