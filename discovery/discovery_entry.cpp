#include "discovery/discovery_entry.h"

#include <nlohmann/json.hpp>

void to_json(nlohmann::json& j, const DiscoveryEntry& entry)
{
    j = nlohmann::json{{"type", entry.type},     {"ip", entry.ip},         {"port", entry.port},
                       {"name", entry.name},     {"serial", entry.serial}, {"free", entry.free}};
}
