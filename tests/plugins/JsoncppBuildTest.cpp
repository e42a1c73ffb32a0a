#include <json/json.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

// The jsoncpp built from source with the host's toolchain parses and rejects as expected.
TEST(JsoncppBuild, ParsesAndRejects) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    const std::string good = R"({"game_id": 21216, "log_level": null, "config_file": "a\u00e9"})";
    ASSERT_TRUE(reader->parse(good.data(), good.data() + good.size(), &root, &errors)) << errors;
    EXPECT_EQ(root["game_id"].asInt(), 21216);
    EXPECT_TRUE(root["log_level"].isNull());
    EXPECT_EQ(root["config_file"].asString(), "a\xc3\xa9");

    const std::string bad = R"({"game_id": )";
    EXPECT_FALSE(reader->parse(bad.data(), bad.data() + bad.size(), &root, &errors));
    EXPECT_FALSE(errors.empty());
}
