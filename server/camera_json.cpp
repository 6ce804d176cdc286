#include "server/camera_json.h"

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>

using nlohmann::json;

namespace {

[[noreturn]] void throwNotNumber(const json& value) {
    throw json::type_error::create(302, std::string("type must be number, but is ") + value.type_name(), &value);
}

// A JSON number as an integer of type T by a plain numeric conversion: a float is truncated toward zero,
// and every value keeps its low bits as an integer cast does (also for floats beyond T's range, where a
// direct cast would be undefined).
template <std::integral T>
T integerFrom(const json& value) {
    if (value.is_number_unsigned()) return static_cast<T>(value.get<uint64_t>());
    if (value.is_number_integer()) return static_cast<T>(value.get<int64_t>());
    const double truncated = std::trunc(value.get<double>());
    if (!std::isfinite(truncated)) return T{0};
    constexpr double kTwoTo64 = 18446744073709551616.0;
    const auto magnitude = static_cast<uint64_t>(std::fmod(std::fabs(truncated), kTwoTo64));
    return static_cast<T>(truncated < 0 ? uint64_t{0} - magnitude : magnitude);
}

// 8-, 16- and 32-bit fields accept any number or a boolean.
template <std::integral T>
T narrowFrom(const json& value) {
    static_assert(sizeof(T) <= 4);
    if (value.is_boolean()) return static_cast<T>(value.get<bool>());
    if (!value.is_number()) throwNotNumber(value);
    return integerFrom<T>(value);
}

template <std::integral T>
T readNarrow(const json& object, const char* key) {
    return narrowFrom<T>(object.at(key));
}

// 64-bit integer and double fields accept numbers only; a boolean is refused.
template <class T>
T readNumber(const json& object, const char* key) {
    static_assert(sizeof(T) == 8);
    const json& value = object.at(key);
    if (!value.is_number()) throwNotNumber(value);
    if constexpr (std::is_floating_point_v<T>) {
        return value.get<double>();
    } else {
        return integerFrom<T>(value);
    }
}

bool readBool(const json& object, const char* key) { return object.at(key).get<bool>(); }

// The field's bits as an unsigned number of the field's width, so that -1 is written as all ones.
template <std::integral T>
std::make_unsigned_t<T> asUnsigned(T value) {
    return static_cast<std::make_unsigned_t<T>>(value);
}

// Writers for the SDK records. The scalar one takes its value by copy, because fields of the byte-packed
// records cannot be bound to references.
template <class T>
    requires std::is_arithmetic_v<T>
void put(json& j, const char* key, T value) {
    j[key] = value;
}

template <class T, std::size_t N>
void put(json& j, const char* key, const T (&values)[N]) {
    json array = json::array();
    for (const T value : values) array.push_back(value);
    j[key] = std::move(array);
}

// Route-specific tables that share an enumeration with the general ones; called qualified, so they
// never compete with the tables found by argument-dependent lookup.
namespace edge {
NLOHMANN_JSON_SERIALIZE_ENUM(qor::SignalPolarity, {{qor::SignalPolarity::rising_edge, "rising_edge"},
                                                   {qor::SignalPolarity::falling_edge, "falling_edge"}})
}  // namespace edge

namespace status_busy {
NLOHMANN_JSON_SERIALIZE_ENUM(qor::SignalType, {{qor::SignalType::status_busy, "status_busy"},
                                               {qor::SignalType::status_line, "status_line"},
                                               {qor::SignalType::status_armed, "status_armed"}})
}  // namespace status_busy

}  // namespace

// Writes a record field into j under the field's own name.
#define QOR_PUT(record, field) put(j, #field, record.field)

namespace {

json colorCoeffJson(const QOR_ColorCoeff& c) {
    json j = json::object();
    QOR_PUT(c, da11);
    QOR_PUT(c, da12);
    QOR_PUT(c, da13);
    QOR_PUT(c, da21);
    QOR_PUT(c, da22);
    QOR_PUT(c, da23);
    QOR_PUT(c, da31);
    QOR_PUT(c, da32);
    QOR_PUT(c, da33);
    return j;
}

}  // namespace

void to_json(json& j, const QOR_SensorInfo& info) {
    j = json::object();
    QOR_PUT(info, wSize);
    QOR_PUT(info, wDummy);
    QOR_PUT(info, iConversionFactor);
    QOR_PUT(info, iDataBits);
    QOR_PUT(info, iSensorInfoBits);
    QOR_PUT(info, iDarkOffset);
    QOR_PUT(info, wIMAGE_SIZE_X_Offset);
    QOR_PUT(info, wIMAGE_SIZE_Y_Offset);
    j["strColorCoeff"] = colorCoeffJson(info.strColorCoeff);
    QOR_PUT(info, iCamNum);
    j["hCamera"] = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(info.hCamera));
    QOR_PUT(info, dwzzDummy1);
}

void to_json(json& j, const QOR_Description& d) {
    j = json::object();
    QOR_PUT(d, wSize);
    QOR_PUT(d, wSensorTypeDESC);
    QOR_PUT(d, wSensorSubTypeDESC);
    QOR_PUT(d, wMaxHorzResStdDESC);
    QOR_PUT(d, wMaxVertResStdDESC);
    QOR_PUT(d, wMaxHorzResExtDESC);
    QOR_PUT(d, wMaxVertResExtDESC);
    QOR_PUT(d, wDynResDESC);
    QOR_PUT(d, wMaxBinHorzDESC);
    QOR_PUT(d, wBinHorzSteppingDESC);
    QOR_PUT(d, wMaxBinVertDESC);
    QOR_PUT(d, wBinVertSteppingDESC);
    QOR_PUT(d, wRoiHorStepsDESC);
    QOR_PUT(d, wRoiVertStepsDESC);
    QOR_PUT(d, wNumADCsDESC);
    QOR_PUT(d, wMinSizeHorzDESC);
    QOR_PUT(d, dwPixelRateDESC);
    QOR_PUT(d, ZZdwDummypr);
    QOR_PUT(d, wConvFactDESC);
    QOR_PUT(d, sCoolingSetpoints);
    QOR_PUT(d, ZZwDummycv);
    QOR_PUT(d, wSoftRoiHorStepsDESC);
    QOR_PUT(d, wSoftRoiVertStepsDESC);
    QOR_PUT(d, wIRDESC);
    QOR_PUT(d, wMinSizeVertDESC);
    QOR_PUT(d, dwMinDelayDESC);
    QOR_PUT(d, dwMaxDelayDESC);
    QOR_PUT(d, dwMinDelayStepDESC);
    QOR_PUT(d, dwMinExposureDESC);
    QOR_PUT(d, dwMaxExposureDESC);
    QOR_PUT(d, dwMinExposureStepDESC);
    QOR_PUT(d, dwMinDelayIRDESC);
    QOR_PUT(d, dwMaxDelayIRDESC);
    QOR_PUT(d, dwMinExposureIRDESC);
    QOR_PUT(d, dwMaxExposureIRDESC);
    QOR_PUT(d, wTimeTableDESC);
    QOR_PUT(d, wDoubleImageDESC);
    QOR_PUT(d, sMinCoolSetDESC);
    QOR_PUT(d, sMaxCoolSetDESC);
    QOR_PUT(d, sDefaultCoolSetDESC);
    QOR_PUT(d, wPowerDownModeDESC);
    QOR_PUT(d, wOffsetRegulationDESC);
    QOR_PUT(d, wColorPatternDESC);
    QOR_PUT(d, wPatternTypeDESC);
    QOR_PUT(d, wDummy1);
    QOR_PUT(d, wDummy2);
    QOR_PUT(d, wNumCoolingSetpoints);
    QOR_PUT(d, dwGeneralCapsDESC1);
    QOR_PUT(d, dwGeneralCapsDESC2);
    QOR_PUT(d, dwExtSyncFrequency);
    QOR_PUT(d, dwGeneralCapsDESC3);
    QOR_PUT(d, dwGeneralCapsDESC4);
    QOR_PUT(d, ZZdwDummy);
}

void to_json(json& j, const QOR_Metadata& m) {
    j = json::object();
    QOR_PUT(m, wSize);
    QOR_PUT(m, wVersion);
    QOR_PUT(m, bIMAGE_COUNTER_BCD);
    QOR_PUT(m, bIMAGE_TIME_US_BCD);
    QOR_PUT(m, bIMAGE_TIME_SEC_BCD);
    QOR_PUT(m, bIMAGE_TIME_MIN_BCD);
    QOR_PUT(m, bIMAGE_TIME_HOUR_BCD);
    QOR_PUT(m, bIMAGE_TIME_DAY_BCD);
    QOR_PUT(m, bIMAGE_TIME_MON_BCD);
    QOR_PUT(m, bIMAGE_TIME_YEAR_BCD);
    QOR_PUT(m, bIMAGE_TIME_STATUS);
    QOR_PUT(m, wEXPOSURE_TIME_BASE);
    QOR_PUT(m, dwEXPOSURE_TIME);
    QOR_PUT(m, dwFRAMERATE_MILLIHZ);
    QOR_PUT(m, sSENSOR_TEMPERATURE);
    QOR_PUT(m, wIMAGE_SIZE_X);
    QOR_PUT(m, wIMAGE_SIZE_Y);
    QOR_PUT(m, bBINNING_X);
    QOR_PUT(m, bBINNING_Y);
    QOR_PUT(m, dwSENSOR_READOUT_FREQUENCY);
    QOR_PUT(m, wSENSOR_CONV_FACTOR);
    QOR_PUT(m, dwCAMERA_SERIAL_NO);
    QOR_PUT(m, wCAMERA_TYPE);
    QOR_PUT(m, bBIT_RESOLUTION);
    QOR_PUT(m, bSYNC_STATUS);
    QOR_PUT(m, wDARK_OFFSET);
    QOR_PUT(m, bTRIGGER_MODE);
    QOR_PUT(m, bDOUBLE_IMAGE_MODE);
    QOR_PUT(m, bCAMERA_SYNC_MODE);
    QOR_PUT(m, bIMAGE_TYPE);
    QOR_PUT(m, wCOLOR_PATTERN);
    QOR_PUT(m, wCAMERA_SUBTYPE);
    QOR_PUT(m, dwEVENT_NUMBER);
    QOR_PUT(m, wIMAGE_SIZE_X_Offset);
    QOR_PUT(m, wIMAGE_SIZE_Y_Offset);
    QOR_PUT(m, bREADOUT_MODE);
}

void to_json(json& j, const QOR_Timestamp& t) {
    j = json::object();
    QOR_PUT(t, wSize);
    QOR_PUT(t, dwImgCounter);
    QOR_PUT(t, wYear);
    QOR_PUT(t, wMonth);
    QOR_PUT(t, wDay);
    QOR_PUT(t, wHour);
    QOR_PUT(t, wMinute);
    QOR_PUT(t, wSecond);
    QOR_PUT(t, dwMicroSeconds);
}

#undef QOR_PUT

void from_json(const json& j, QOR_CompressionParams& params) {
    params.dGainK = readNumber<double>(j, "dGainK");
    params.dDarkNoise_e = readNumber<double>(j, "dDarkNoise_e");
    params.dDSNU_e = readNumber<double>(j, "dDSNU_e");
    params.dPRNU_pct = readNumber<double>(j, "dPRNU_pct");
    params.dLightSourceNoise_pct = readNumber<double>(j, "dLightSourceNoise_pct");
}

namespace qor {

namespace {

void writeCommon(json& j, const ConvertControlCommon& c) {
    j["sharpen"] = c.sharpen;
    j["adaptive_sharpen"] = c.adaptive_sharpen;
    j["flip_vertical"] = c.flip_vertical;
    j["auto_minmax"] = c.auto_minmax;
    j["add_conv_flags"] = c.add_conv_flags;
    j["min_limit"] = c.min_limit;
    j["max_limit"] = c.max_limit;
    j["gamma"] = c.gamma;
    j["contrast"] = c.contrast;
}

void readCommon(const json& j, ConvertControlCommon& c) {
    c.sharpen = readBool(j, "sharpen");
    c.adaptive_sharpen = readBool(j, "adaptive_sharpen");
    c.flip_vertical = readBool(j, "flip_vertical");
    c.auto_minmax = readBool(j, "auto_minmax");
    c.add_conv_flags = readNarrow<int32_t>(j, "add_conv_flags");
    c.min_limit = readNarrow<int32_t>(j, "min_limit");
    c.max_limit = readNarrow<int32_t>(j, "max_limit");
    c.gamma = readNumber<double>(j, "gamma");
    c.contrast = readNarrow<int32_t>(j, "contrast");
}

// The colour values shared by the colour and pseudo-colour settings.
template <class Settings>
void writeColorValues(json& j, const Settings& c) {
    j["color_temperature"] = c.color_temperature;
    j["color_saturation"] = c.color_saturation;
    j["color_vibrance"] = c.color_vibrance;
    j["color_tint"] = c.color_tint;
}

template <class Settings>
void readColorValues(const json& j, Settings& c) {
    c.color_temperature = readNarrow<int32_t>(j, "color_temperature");
    c.color_saturation = readNarrow<int32_t>(j, "color_saturation");
    c.color_vibrance = readNarrow<int32_t>(j, "color_vibrance");
    c.color_tint = readNarrow<int32_t>(j, "color_tint");
}

// Kind names by variant index.
constexpr const char* kConvertKinds[] = {"mono", "color", "pseudocolor"};
static_assert(std::size(kConvertKinds) == std::variant_size_v<ConvertControl>);

}  // namespace

void to_json(json& j, const Roi& roi) {
    j = json::object();
    j["x0"] = asUnsigned(roi.x0);
    j["y0"] = asUnsigned(roi.y0);
    j["x1"] = asUnsigned(roi.x1);
    j["y1"] = asUnsigned(roi.y1);
}

void from_json(const json& j, Roi& roi) {
    roi.x0 = readNumber<int64_t>(j, "x0");
    roi.y0 = readNumber<int64_t>(j, "y0");
    roi.x1 = readNumber<int64_t>(j, "x1");
    roi.y1 = readNumber<int64_t>(j, "y1");
}

void to_json(json& j, const Binning& binning) {
    j = json::object();
    j["vert"] = binning.vert;
    j["horz"] = binning.horz;
    j["mode"] = binning.mode;
}

void from_json(const json& j, Binning& binning) {
    binning.vert = readNarrow<uint16_t>(j, "vert");
    binning.horz = readNarrow<uint16_t>(j, "horz");
    binning.mode = j.at("mode").get<BinningMode>();
}

void to_json(json& j, const AutoExposure& auto_exposure) {
    j = json::object();
    j["region"] = auto_exposure.region;
    j["min_exposure_s"] = auto_exposure.min_exposure_s;
    j["max_exposure_s"] = auto_exposure.max_exposure_s;
}

void from_json(const json& j, AutoExposure& auto_exposure) {
    auto_exposure.region = j.at("region").get<RegionType>();
    auto_exposure.min_exposure_s = readNumber<double>(j, "min_exposure_s");
    auto_exposure.max_exposure_s = readNumber<double>(j, "max_exposure_s");
}

void to_json(json& j, const Configuration& c) {
    j = json::object();
    j["exposure_time_s"] = c.exposure_time_s;
    j["delay_time_s"] = c.delay_time_s;
    j["roi"] = c.roi;
    j["timestamp_mode"] = asUnsigned(c.timestamp_mode);
    j["pixelrate"] = asUnsigned(c.pixelrate);
    j["conversion_factor"] = c.conversion_factor;
    j["trigger_mode"] = asUnsigned(c.trigger_mode);
    j["acquire_mode"] = asUnsigned(c.acquire_mode);
    j["acquire_sequence_number"] = asUnsigned(c.acquire_sequence_number);
    j["metadata_mode"] = asUnsigned(c.metadata_mode);
    j["noise_filter_mode"] = asUnsigned(c.noise_filter_mode);
    j["pixel_format"] = c.pixel_format;
    j["binning"] = c.binning;
    j["auto_exposure"] = c.auto_exposure;
}

void from_json(const json& j, Configuration& c) {
    c.exposure_time_s = readNumber<double>(j, "exposure_time_s");
    c.delay_time_s = readNumber<double>(j, "delay_time_s");
    from_json(j.at("roi"), c.roi);
    c.timestamp_mode = readNarrow<int16_t>(j, "timestamp_mode");
    c.pixelrate = readNarrow<int32_t>(j, "pixelrate");
    c.conversion_factor = readNumber<double>(j, "conversion_factor");
    c.trigger_mode = readNarrow<int16_t>(j, "trigger_mode");
    c.acquire_mode = readNarrow<int16_t>(j, "acquire_mode");
    c.acquire_sequence_number = readNarrow<int32_t>(j, "acquire_sequence_number");
    c.metadata_mode = readNarrow<int16_t>(j, "metadata_mode");
    c.noise_filter_mode = readNarrow<int16_t>(j, "noise_filter_mode");
    c.pixel_format = readNarrow<uint32_t>(j, "pixel_format");
    from_json(j.at("binning"), c.binning);
    from_json(j.at("auto_exposure"), c.auto_exposure);
}

void to_json(json& j, const Description& d) {
    j = json::object();
    j["serial"] = d.serial;
    j["type"] = d.type;
    j["sub_type"] = d.sub_type;
    j["interface_type"] = static_cast<InterfaceType>(d.interface_type);
    j["min_exposure_time_s"] = d.min_exposure_time_s;
    j["max_exposure_time_s"] = d.max_exposure_time_s;
    j["min_exposure_step_s"] = d.min_exposure_step_s;
    j["min_delay_time_s"] = d.min_delay_time_s;
    j["max_delay_time_s"] = d.max_delay_time_s;
    j["min_delay_step_s"] = d.min_delay_step_s;
    j["min_width"] = d.min_width;
    j["min_height"] = d.min_height;
    j["max_width"] = d.max_width;
    j["max_height"] = d.max_height;
    j["roi_step_horz"] = d.roi_step_horz;
    j["roi_step_vert"] = d.roi_step_vert;
    j["roi_symmetric_horz"] = d.roi_symmetric_horz;
    j["roi_symmetric_vert"] = d.roi_symmetric_vert;
    j["bit_resolution"] = d.bit_resolution;
    j["has_timestamp_mode"] = d.has_timestamp_mode;
    j["has_timestamp_mode_ascii_only"] = d.has_timestamp_mode_ascii_only;
    j["pixelrate_vec"] = d.pixelrate_vec;
    j["conversion_factor_vec"] = d.conversion_factor_vec;
    j["has_trigger_mode_extexpctrl"] = d.has_trigger_mode_extexpctrl;
    j["has_acquire_mode"] = d.has_acquire_mode;
    j["has_ext_acquire_mode"] = d.has_ext_acquire_mode;
    j["has_metadata_mode"] = d.has_metadata_mode;
    j["has_ram"] = d.has_ram;
    j["binning_horz_vec"] = d.binning_horz_vec;
    j["binning_vert_vec"] = d.binning_vert_vec;
    j["has_average_binning"] = d.has_average_binning;
    j["pixel_format_vec"] = d.pixel_format_vec;
    j["is_colored"] = d.is_colored;
}

void to_json(json& j, const ConvertControlMono& settings) {
    j = json::object();
    writeCommon(j, settings);
}

void to_json(json& j, const ConvertControlColor& settings) {
    j = json::object();
    writeCommon(j, settings);
    j["qor_debayer_algorithm"] = settings.qor_debayer_algorithm;
    writeColorValues(j, settings);
}

void to_json(json& j, const ConvertControlPseudoColor& settings) {
    j = json::object();
    writeCommon(j, settings);
    writeColorValues(j, settings);
    j["lut_file"] = settings.lut_file.string();
}

void from_json(const json& j, ConvertControlMono& settings) { readCommon(j, settings); }

void from_json(const json& j, ConvertControlColor& settings) {
    readCommon(j, settings);
    settings.qor_debayer_algorithm = readBool(j, "qor_debayer_algorithm");
    readColorValues(j, settings);
}

void from_json(const json& j, ConvertControlPseudoColor& settings) {
    readCommon(j, settings);
    readColorValues(j, settings);
    settings.lut_file = std::filesystem::path(j.at("lut_file").get<std::string>());
}

void to_json(json& j, const ConvertControl& settings) {
    j = json::object();
    j["kind"] = kConvertKinds[settings.index()];
    std::visit([&j](const auto& alternative) { j["value"] = alternative; }, settings);
}

void from_json(const json& j, ConvertControl& settings) {
    const auto kind = j.at("kind").get<std::string>();
    const json& value = j.at("value");
    if (kind == kConvertKinds[0]) {
        ConvertControlMono mono;
        from_json(value, mono);
        settings = std::move(mono);
    } else if (kind == kConvertKinds[1]) {
        ConvertControlColor color;
        from_json(value, color);
        settings = std::move(color);
    } else if (kind == kConvertKinds[2]) {
        ConvertControlPseudoColor pseudo;
        from_json(value, pseudo);
        settings = std::move(pseudo);
    } else {
        throw json::type_error::create(302, "Unknown kind in ConvertControl: " + kind, &j);
    }
}

namespace json_tables {

SignalPolarity levelPolarityFromJson(const json& j) { return j.get<SignalPolarity>(); }

SignalPolarity edgePolarityFromJson(const json& j) {
    SignalPolarity polarity{};
    edge::from_json(j, polarity);
    return polarity;
}

SignalType statusExposSignalTypeFromJson(const json& j) { return j.get<SignalType>(); }

SignalType statusBusySignalTypeFromJson(const json& j) {
    SignalType type{};
    status_busy::from_json(j, type);
    return type;
}

RegionType regionFromJson(const json& j) { return j.get<RegionType>(); }

std::string rawFormatName(RawFormat format) { return json(format).get<std::string>(); }

std::vector<uint32_t> percentsFromJson(const json& j) {
    if (!j.is_array()) {
        throw json::type_error::create(302, std::string("type must be array, but is ") + j.type_name(), &j);
    }
    std::vector<uint32_t> percents;
    percents.reserve(j.size());
    for (const json& element : j) percents.push_back(narrowFrom<uint32_t>(element));
    return percents;
}

Roi cropFromJson(const json& j) {
    Roi crop{-1, -1, -1, -1};
    from_json(j, crop);
    return crop;
}

}  // namespace json_tables

}  // namespace qor

namespace qor::json_tables {

uint16_t uint16FromJson(const json& j) { return narrowFrom<uint16_t>(j); }
uint32_t uint32FromJson(const json& j) { return narrowFrom<uint32_t>(j); }

uint16_t uint16NumberFromJson(const json& j) {
    if (!j.is_number()) throwNotNumber(j);
    return narrowFrom<uint16_t>(j);
}

double doubleFromJson(const json& j) {
    if (!j.is_number()) throwNotNumber(j);
    return j.get<double>();
}

}  // namespace qor::json_tables
