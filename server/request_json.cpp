#include "server/request_json.h"

#include <string>

namespace request_json {

nlohmann::json parse(std::string_view text) {
    // The parser itself keeps its nesting on the heap; only the depth has to be watched.
    const nlohmann::json::parser_callback_t limit_depth = [](int depth, nlohmann::json::parse_event_t event,
                                                             nlohmann::json&) {
        const bool opens = event == nlohmann::json::parse_event_t::object_start ||
                           event == nlohmann::json::parse_event_t::array_start;
        if (opens && depth >= kMaxDepth)
            throw nlohmann::json::parse_error::create(
                101, 0, "nesting deeper than " + std::to_string(kMaxDepth) + " levels", nullptr);
        return true;
    };
    return nlohmann::json::parse(text, limit_depth);
}

}  // namespace request_json
