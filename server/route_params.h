#pragma once

// Reading the inputs of the route handlers: JSON request bodies and parameters (parsed strictly, so
// text that is not JSON throws), strict numbers, and the look-up-table directory with its path rule.
#include <filesystem>
#include <optional>
#include <string>

#include <httplib.h>
#include <nlohmann/json.hpp>

namespace route_params {

/// The request body parsed as one JSON document; throws nlohmann::json::parse_error for other text and
/// for nesting deeper than request_json::kMaxDepth.
nlohmann::json jsonBody(const httplib::Request& req);

/// The first value of the named parameter (query string or form field) parsed as JSON; empty when the
/// request has no such parameter. Throws nlohmann::json::parse_error for text that is not JSON or that
/// nests too deep.
std::optional<nlohmann::json> jsonParam(const httplib::Request& req, const std::string& name);

/// The value under `key` as a double; throws out_of_range 403 when the key is missing, type_error 304
/// when `object` is not an object and type_error 302 when the value is not a number (booleans included).
double requiredNumber(const nlohmann::json& object, const char* key);

/// The directory of the look-up tables: `lut_dir` made absolute against the working directory, not normalised.
std::filesystem::path lutDirectory(const std::filesystem::path& lut_dir);

/// An absolute path unchanged; a relative one becomes its file-name part inside lutDirectory(lut_dir)
/// (directory parts are dropped). Empty when the result is no regular file (missing, a directory, a
/// FIFO, a device); symbolic links are followed. Throws only on allocation.
std::optional<std::filesystem::path> resolveLutPath(const std::filesystem::path& path,
                                                    const std::filesystem::path& lut_dir);

}  // namespace route_params
