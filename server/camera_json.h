#pragma once

// JSON form of the camera types: free to_json/from_json functions that nlohmann finds for each type,
// and (value, name) tables for the enumerations whose first pair is the fallback in both directions.
// Reading reports every problem with the library's own exceptions (type_error 302/304, out_of_range 403).
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "camera/types.h"

namespace qor {

NLOHMANN_JSON_SERIALIZE_ENUM(DataFormat, {{DataFormat::Undefined, "Undefined"},
                                          {DataFormat::Mono8, "Mono8"},
                                          {DataFormat::Mono16, "Mono16"},
                                          {DataFormat::BGR8, "BGR8"},
                                          {DataFormat::BGRA8, "BGRA8"},
                                          {DataFormat::BGR16, "BGR16"},
                                          {DataFormat::RGB8, "RGB8"},
                                          {DataFormat::RGBA8, "RGBA8"},
                                          {DataFormat::RGB16, "RGB16"},
                                          {DataFormat::CompressedMono8, "CompressedMono8"}})

NLOHMANN_JSON_SERIALIZE_ENUM(RawFormat, {{RawFormat::Word, "word"}, {RawFormat::Byte, "byte"}})

NLOHMANN_JSON_SERIALIZE_ENUM(RecordMode, {{RecordMode::sequence, "sequence"},
                                          {RecordMode::sequence_non_blocking, "sequence_non_blocking"},
                                          {RecordMode::ring_buffer, "ring_buffer"},
                                          {RecordMode::fifo, "fifo"},
                                          {RecordMode::tif, "tif"},
                                          {RecordMode::multitif, "multitif"},
                                          {RecordMode::qorraw, "qorraw"},
                                          {RecordMode::b16, "b16"},
                                          {RecordMode::dicom, "dicom"},
                                          {RecordMode::multidicom, "multidicom"},
                                          {RecordMode::camram_ring, "camram_ring"},
                                          {RecordMode::camram_segment, "camram_segment"}})

NLOHMANN_JSON_SERIALIZE_ENUM(InterfaceType, {{InterfaceType::FireWire, "FireWire"},
                                             {InterfaceType::CameraLinkMTX, "CameraLinkMTX"},
                                             {InterfaceType::GenICam, "GenICam"},
                                             {InterfaceType::CameraLinkNAT, "CameraLinkNAT"},
                                             {InterfaceType::GigE, "GigE"},
                                             {InterfaceType::USB, "USB"},
                                             {InterfaceType::CameraLinkME4, "CameraLinkME4"},
                                             {InterfaceType::USB3, "USB3"},
                                             {InterfaceType::WLAN, "WLAN"},
                                             {InterfaceType::CLHS, "CLHS"},
                                             {InterfaceType::CLHS_HSR, "CLHS_HSR"},
                                             {InterfaceType::Any, "Any"}})

// The level polarities of the acquire-enable, status-busy and status-exposure signals; the
// exposure trigger reads its edges with json_tables::edgePolarityFromJson.
NLOHMANN_JSON_SERIALIZE_ENUM(SignalPolarity,
                             {{SignalPolarity::high_level, "high_level"}, {SignalPolarity::low_level, "low_level"}})

// The signal types of the status-exposure output; the status-busy output has its own table
// (json_tables::statusBusySignalTypeFromJson).
NLOHMANN_JSON_SERIALIZE_ENUM(SignalType, {{SignalType::status_expos, "status_expos"},
                                          {SignalType::status_line, "status_line"},
                                          {SignalType::status_armed, "status_armed"}})

NLOHMANN_JSON_SERIALIZE_ENUM(SignalTiming, {{SignalTiming::undefined, "undefined"},
                                            {SignalTiming::first_line, "first_line"},
                                            {SignalTiming::global, "global"},
                                            {SignalTiming::last_line, "last_line"},
                                            {SignalTiming::all_lines, "all_lines"}})

NLOHMANN_JSON_SERIALIZE_ENUM(BinningMode, {{BinningMode::sum, "sum"}, {BinningMode::average, "average"}})

NLOHMANN_JSON_SERIALIZE_ENUM(RegionType, {{RegionType::balanced, "balanced"},
                                          {RegionType::center_based, "center_based"},
                                          {RegionType::corner_based, "corner_based"},
                                          {RegionType::full, "full"}})

/// {"x0","y0","x1","y1"} as unsigned 64-bit numbers.
void to_json(nlohmann::json& j, const Roi& roi);
/// Reads all four coordinates (numbers only); throws the library's errors.
void from_json(const nlohmann::json& j, Roi& roi);

/// {"vert","horz","mode"}.
void to_json(nlohmann::json& j, const Binning& binning);
/// Reads all three keys; an unknown mode name reads as sum; throws the library's errors.
void from_json(const nlohmann::json& j, Binning& binning);

/// {"region","min_exposure_s","max_exposure_s"}.
void to_json(nlohmann::json& j, const AutoExposure& auto_exposure);
/// Reads all three keys; throws the library's errors.
void from_json(const nlohmann::json& j, AutoExposure& auto_exposure);

/// All fields; unspecified times are written as null, unspecified integers as their unsigned all-ones value.
void to_json(nlohmann::json& j, const Configuration& configuration);
/// Reads every key in field order; the first missing or mistyped one throws the library's error.
void from_json(const nlohmann::json& j, Configuration& configuration);

/// The 33 capability keys.
void to_json(nlohmann::json& j, const Description& description);

/// The fields of one conversion-settings alternative, as the "value" object of a ConvertControl.
void to_json(nlohmann::json& j, const ConvertControlMono& settings);
void to_json(nlohmann::json& j, const ConvertControlColor& settings);
void to_json(nlohmann::json& j, const ConvertControlPseudoColor& settings);
/// Reads every key of the alternative; throws the library's errors.
void from_json(const nlohmann::json& j, ConvertControlMono& settings);
void from_json(const nlohmann::json& j, ConvertControlColor& settings);
void from_json(const nlohmann::json& j, ConvertControlPseudoColor& settings);

/// {"kind": "mono"|"color"|"pseudocolor", "value": {...}}.
void to_json(nlohmann::json& j, const ConvertControl& settings);
/// Selects the alternative by "kind" (exact match); an unknown kind throws type_error 302
/// "Unknown kind in ConvertControl: " followed by the kind.
void from_json(const nlohmann::json& j, ConvertControl& settings);

}  // namespace qor

/// The SDK's sensor information record, 12 keys.
void to_json(nlohmann::json& j, const QOR_SensorInfo& info);
/// The SDK's description record, one key per field (53), arrays with all their elements.
void to_json(nlohmann::json& j, const QOR_Description& description);
/// The per-image metadata record, one key per field (36).
void to_json(nlohmann::json& j, const QOR_Metadata& metadata);
/// The per-image time stamp record, 9 keys.
void to_json(nlohmann::json& j, const QOR_Timestamp& timestamp);
/// Reads the five noise-model numbers; throws the library's errors.
void from_json(const nlohmann::json& j, QOR_CompressionParams& params);

namespace qor::json_tables {

/// "high_level" → 1, "low_level" → 2; anything else → 1.
SignalPolarity levelPolarityFromJson(const nlohmann::json& j);
/// "rising_edge" → 4, "falling_edge" → 8; anything else → 4.
SignalPolarity edgePolarityFromJson(const nlohmann::json& j);
/// "status_expos" → 1, "status_line" → 2, "status_armed" → 3; anything else → 1.
SignalType statusExposSignalTypeFromJson(const nlohmann::json& j);
/// "status_busy" → 0, "status_line" → 2, "status_armed" → 3; anything else → 0.
SignalType statusBusySignalTypeFromJson(const nlohmann::json& j);
/// The four region names; anything else, also a non-string, → balanced.
RegionType regionFromJson(const nlohmann::json& j);
/// "word" for 0, "byte" for 1, "word" for any other value.
std::string rawFormatName(RawFormat format);
/// An array of 32-bit integers (numbers or booleans); throws type_error 302 for a non-array or a bad element.
std::vector<uint32_t> percentsFromJson(const nlohmann::json& j);
/// A crop whose four values start at -1 and are then read from the object; throws the library's errors.
Roi cropFromJson(const nlohmann::json& j);
/// A number or boolean as a 16- or 32-bit unsigned integer by a plain numeric conversion (floats
/// truncated toward zero, low bits kept); other kinds throw type_error 302.
uint16_t uint16FromJson(const nlohmann::json& j);
uint32_t uint32FromJson(const nlohmann::json& j);
/// A number (not a boolean) as a 16-bit unsigned integer, converted as uint16FromJson does; other
/// kinds throw type_error 302.
uint16_t uint16NumberFromJson(const nlohmann::json& j);
/// A number (not a boolean) as a double; other kinds throw type_error 302.
double doubleFromJson(const nlohmann::json& j);

}  // namespace qor::json_tables
