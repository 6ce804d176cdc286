#include "server/request_json.h"

#include <string>

#include <gtest/gtest.h>

namespace {

using nlohmann::json;

std::string nestedArrays(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(RequestJsonTest, DocumentsUpToTheNestingLimitAreRead) {
    const size_t limit = request_json::kMaxDepth;
    json document = request_json::parse(nestedArrays(limit));
    size_t depth = 0;
    for (const json* level = &document; level->is_array(); level = level->empty() ? nullptr : &level->front()) {
        ++depth;
        if (level->empty()) break;
    }
    EXPECT_EQ(depth, limit);
    EXPECT_EQ(request_json::parse(R"({"a":[{"b":1}]})"), json::parse(R"({"a":[{"b":1}]})"));
    EXPECT_EQ(request_json::parse("17"), 17);
}

TEST(RequestJsonTest, DeeperDocumentsAndMalformedTextThrowParseErrors) {
    const std::string deep_object = [] {
        std::string text;
        for (int i = 0; i <= request_json::kMaxDepth; ++i) text += R"({"k":)";
        return text + "1" + std::string(request_json::kMaxDepth + 1, '}');
    }();
    const std::string cases[] = {
        nestedArrays(request_json::kMaxDepth + 1),
        nestedArrays(100000),
        deep_object,
        std::string(100000, '['),  // never closed
        "{",
        "",
        "[1,]",
        "\"\xff\"",
    };
    for (const std::string& text : cases)
        EXPECT_THROW(request_json::parse(text), json::parse_error) << text.substr(0, 20) << " (" << text.size() << ")";
}

}  // namespace
