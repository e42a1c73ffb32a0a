#include <windows.h>
#include <wincrypt.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "common/Base64.h"

using Overlay::Common::DecodeBase64;

TEST(Base64, DecodesTheStandardAlphabetWithPadding) {
    const struct {
        const char* text;
        const char* plain;
    } good[] = {{"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"}, {"Zm9vYg==", "foob"}, {"Zm9vYmFy", "foobar"},
                {"+/+/", "\xfb\xff\xbf"}, {"AAAA", std::string(3, '\0').c_str()}};
    for (const auto& g : good) {
        std::string out = "junk";
        EXPECT_TRUE(DecodeBase64(g.text, &out)) << g.text;
        if (std::string(g.text) != "AAAA") {
            EXPECT_EQ(out, g.plain) << g.text;
        }
    }
    std::string zeros;
    ASSERT_TRUE(DecodeBase64("AAAA", &zeros));
    EXPECT_EQ(zeros, std::string(3, '\0'));
}

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
    for (int length = 0; length <= 300; ++length) {
        std::string plain(static_cast<size_t>(length), '\0');
        for (char& c : plain) c = static_cast<char>(random() & 0xFF);
        DWORD chars = 0;
        const auto* bytes = reinterpret_cast<const BYTE*>(plain.data());
        const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
        std::string text;
        if (length > 0) {
            ASSERT_TRUE(::CryptBinaryToStringA(bytes, static_cast<DWORD>(length), flags, nullptr, &chars));
            text.resize(chars);
            ASSERT_TRUE(::CryptBinaryToStringA(bytes, static_cast<DWORD>(length), flags, text.data(), &chars));
            text.resize(chars);
        }
        std::string out;
        ASSERT_TRUE(DecodeBase64(text, &out)) << text;
        EXPECT_EQ(out, plain) << text;
        if (!text.empty()) {
            std::string damaged = text;
            damaged[random() % damaged.size()] = "!-_.~ \n\0"[random() % 8];
            EXPECT_FALSE(DecodeBase64(damaged, &out)) << damaged;
        }
    }
}
