#include "common/json_read.hpp"

#include <gtest/gtest.h>

namespace td::jsonread {
namespace {

// One row per member value: what each reader makes of it.
TEST(JsonReadingRules, EachReaderTakesOnlyItsKind) {
    struct Row {
        const char* value;
        std::optional<std::string> asString;
        std::optional<bool> asBoolean;
        std::optional<double> asNumber;
        bool asObject;
        bool asObjects;
    };
    const std::vector<Row> rows = {
        {R"("text")", "text", std::nullopt, std::nullopt, false, false},
        {R"("")", "", std::nullopt, std::nullopt, false, false},
        {R"("1")", "1", std::nullopt, std::nullopt, false, false},  // no conversion from text
        {"true", std::nullopt, true, 1, false, false},
        {"false", std::nullopt, false, 0, false, false},
        {"1", std::nullopt, true, 1, false, false},
        {"0", std::nullopt, false, 0, false, false},
        {"1.0", std::nullopt, true, 1, false, false},
        {"2", std::nullopt, std::nullopt, 2, false, false},  // only 1 and 0 are booleans
        {"-0.5", std::nullopt, std::nullopt, -0.5, false, false},
        {"null", std::nullopt, std::nullopt, std::nullopt, false, false},
        {"{}", std::nullopt, std::nullopt, std::nullopt, true, false},
        {"[]", std::nullopt, std::nullopt, std::nullopt, false, true},
        {R"([{},{"a":1}])", std::nullopt, std::nullopt, std::nullopt, false, true},
        {R"([{},1])", std::nullopt, std::nullopt, std::nullopt, false, false},  // one stray
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        const Json object = {{"m", Json::parse(row.value)}};
        EXPECT_EQ(string(object, "m"), row.asString);
        EXPECT_EQ(boolean(object, "m"), row.asBoolean);
        EXPECT_EQ(number(object, "m"), row.asNumber);
        EXPECT_EQ(jsonread::object(object, "m").has_value(), row.asObject);
        EXPECT_EQ(objects(object, "m").has_value(), row.asObjects);
        // A missing member, or a document that is not an object, is absent to every reader.
        EXPECT_FALSE(string(object, "other") || boolean(object, "other") ||
                     number(object, "other") || objects(Json::parse(row.value), "m"));
    }
}

TEST(JsonText, BadTextAndBadUtf8NeverThrow) {
    for (const char* text : {"", "{", "[1,2]", "nul", "{\"a\":1}x"}) {
        EXPECT_EQ(parseObjectOrEmpty(text), Json::object()) << text;
    }
    EXPECT_EQ(parseObjectOrEmpty(R"({"a":[1]})"), (Json{{"a", {1}}}));
    // Bounded before anything is built: as deep or as wide as allowed, and one more.
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    auto wide = [](std::size_t members) {
        std::string text = "{";
        for (std::size_t i = 0; i < members; ++i) {
            text += (i ? ",\"" : "\"") + std::to_string(i) + "\":[]";  // closed arrays: depth 2
        }
        return text + "}";
    };
    for (const auto& [text, fits] :
         std::vector<std::pair<std::string, bool>>{{nested(MAX_JSON_DEPTH), true},
                                                   {nested(MAX_JSON_DEPTH + 1), false},
                                                   {wide(MAX_JSON_MEMBERS), true},
                                                   {wide(MAX_JSON_MEMBERS + 1), false}}) {
        EXPECT_EQ(parseJson(text).has_value(), fits) << text.size();
        EXPECT_EQ(parseOrderedJson(text).has_value(), fits) << text.size();
    }
    // An app's name need not be UTF-8; the answer must still go out.
    const std::string dumped = dumpCompact({{"name", std::string("caf\xE9")}});
    EXPECT_EQ(dumped, "{\"name\":\"caf\xEF\xBF\xBD\"}");
}

}  // namespace
}  // namespace td::jsonread
