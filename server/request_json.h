#pragma once

// Parsing JSON that arrives in requests. Converting, copying, comparing or printing a JSON value
// recurses once per nesting level, so a request document may only nest so deep: the limit keeps
// every later use of the value far from the end of a worker's stack.
#include <string_view>

#include <nlohmann/json.hpp>

namespace request_json {

/// Deepest nesting of arrays and objects a request document may have (a bare value has depth 0).
inline constexpr int kMaxDepth = 256;

/// Parses `text` strictly as one JSON document; throws nlohmann::json::parse_error for text that is
/// not JSON and for documents that nest deeper than kMaxDepth.
nlohmann::json parse(std::string_view text);

}  // namespace request_json
