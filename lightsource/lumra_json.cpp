#include "lightsource/lumra_json.h"

#include <algorithm>

namespace lym {

void to_json(nlohmann::json& j, const LumraDescription& d) {
    j = nlohmann::json{{"serial", d.serial},
                       {"com_port", d.com_port},
                       {"type", d.type},
                       {"name", d.name},
                       {"wavelenghts_vec", d.wavelengths},
                       {"exclusivity_vec", d.exclusivity},
                       {"intensity_max_vec", d.intensity_max},
                       {"intensity_min_vec", d.intensity_min}};
}

void to_json(nlohmann::json& j, const LumraConfiguration& c) {
    std::vector<uint32_t> intensities(c.intensities.size());
    std::transform(c.intensities.begin(), c.intensities.end(), intensities.begin(),
                   [](int32_t v) { return static_cast<uint32_t>(v); });
    std::vector<uint32_t> on_states(c.on_states.size());
    std::transform(c.on_states.begin(), c.on_states.end(), on_states.begin(),
                   [](uint8_t v) { return v != 0 ? 1u : 0u; });
    j = nlohmann::json{{"intensities", intensities}, {"on_states", on_states}};
}

void from_json(const nlohmann::json& j, LumraConfiguration& c) {
    j.at("intensities").get_to(c.intensities);
    j.at("on_states").get_to(c.on_states);
}

}  // namespace lym
