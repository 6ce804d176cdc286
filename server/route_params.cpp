#include "server/route_params.h"

#include <system_error>

#include "server/request_json.h"

namespace route_params {

nlohmann::json jsonBody(const httplib::Request& req) { return request_json::parse(req.body); }

std::optional<nlohmann::json> jsonParam(const httplib::Request& req, const std::string& name) {
    if (!req.has_param(name)) return std::nullopt;
    return request_json::parse(req.get_param_value(name));
}

double requiredNumber(const nlohmann::json& object, const char* key) {
    const nlohmann::json& value = object.at(key);
    // Checked here rather than left to the library's conversion overloads, some of which take booleans.
    if (!value.is_number())
        throw nlohmann::json::type_error::create(302, std::string("type must be number, but is ") + value.type_name(),
                                                 &value);
    return value.get<double>();
}

std::filesystem::path lutDirectory(const std::filesystem::path& lut_dir) {
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::absolute(lut_dir, ec);
    // Without a working directory the relative form is the best that can be named.
    return ec ? lut_dir : dir;
}

std::optional<std::filesystem::path> resolveLutPath(const std::filesystem::path& path,
                                                    const std::filesystem::path& lut_dir) {
    std::filesystem::path resolved = path.has_root_directory() ? path : lutDirectory(lut_dir) / path.filename();
    // Only a regular file is a table: opening a FIFO would wait for a writer, a device could be anything.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::status(resolved, ec))) return std::nullopt;
    return resolved;
}

}  // namespace route_params
