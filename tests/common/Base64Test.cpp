#include <random>
#include <string>

#include <gtest/gtest.h>

#include "common/Base64.h"
#include "tests/support/TestSupport.h"

using Overlay::Common::DecodeBase64;

TEST(Base64, RejectsEverythingElse) {
    for (const char* bad : {"Z", "Zg", "Zg=", "Zm9v=", "Zm9vY", "====", "Z===", "Zm=v", "Zg==Zm9v", "Zm9*", "Zm9v\n",
                            "Zm 9", "Zm9-", "Zm9_", "Zm9\xc3"}) {
        std::string out;
        EXPECT_FALSE(DecodeBase64(bad, &out)) << bad;
    }
}

// Against the system's own encoder: random data of every length up to 300 bytes decodes back
// exactly; one character changed to one outside the alphabet is refused.
TEST(Base64, DecodesWhatTheSystemEncodesAndRefusesItOnceDamaged) {
    std::mt19937 random(20261206);
    std::string out = "junk";  // replaced, never added to
    for (int length = 0; length <= 300; ++length) {
        std::string plain(static_cast<size_t>(length), '\0');
        for (char& c : plain) c = static_cast<char>(random() & 0xFF);
        const std::string text = test::Base64Encode(plain);
        ASSERT_EQ(text.empty(), plain.empty());
        ASSERT_TRUE(DecodeBase64(text, &out)) << text;
        EXPECT_EQ(out, plain) << text;
        if (!text.empty()) {
            std::string damaged = text;
            damaged[random() % damaged.size()] = "!-_.~ \n\0"[random() % 8];
            EXPECT_FALSE(DecodeBase64(damaged, &out)) << damaged;
        }
    }
}
