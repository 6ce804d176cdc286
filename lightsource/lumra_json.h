#pragma once

// JSON form of the light-source types.
#include <nlohmann/json.hpp>

#include "lightsource/lumra.h"

namespace lym {

// The first pair is the fallback in both directions.
NLOHMANN_JSON_SERIALIZE_ENUM(LumraType, {
    {LumraType::ModelA, "LR_Model_A"},
    {LumraType::ModelB, "LR_Model_B"},
    {LumraType::ModelC, "LR_Model_C"},
    {LumraType::ModelD, "LR_Model_D"},
    {LumraType::ModelE, "LR_Model_E"},
    {LumraType::ModelF, "LR_Model_F"},
    {LumraType::ModelG, "LR_Model_G"},
    {LumraType::ModelH, "LR_Model_H"},
    {LumraType::ModelI, "LR_Model_I"},
    {LumraType::ModelJ, "LR_Model_J"},
    {LumraType::Any, "Any"},
})

/// Writes the 8 description keys; the lists as arrays of unsigned numbers.
void to_json(nlohmann::json& j, const LumraDescription& d);

/// Writes `intensities` and `on_states` (0 or 1) as arrays of unsigned numbers.
void to_json(nlohmann::json& j, const LumraConfiguration& c);
/// Reads both lists (elements numbers or booleans); throws nlohmann's errors for a missing key or a
/// value of the wrong kind.
void from_json(const nlohmann::json& j, LumraConfiguration& c);

}  // namespace lym
