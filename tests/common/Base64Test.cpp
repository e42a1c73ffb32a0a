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
