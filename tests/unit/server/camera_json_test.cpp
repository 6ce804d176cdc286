#include "server/camera_json.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace qor {
namespace {

using nlohmann::json;
using namespace nlohmann::literals;

// Runs the call and expects the JSON library's exception with exactly this text.
void expectJsonError(const std::function<void()>& call, const std::string& what) {
    try {
        call();
        ADD_FAILURE() << "no exception, expected: " << what;
    } catch (const json::exception& e) {
        EXPECT_EQ(std::string(e.what()), what);
    }
}

const std::string kNotNumber = "[json.exception.type_error.302] type must be number, but is ";

Configuration sampleConfiguration() {
    Configuration c;
    c.exposure_time_s = 0.25;
    c.delay_time_s = 0.5;
    c.roi = {1, 2, 640, 480};
    c.timestamp_mode = 2;
    c.pixelrate = 95333333;
    c.conversion_factor = 1.5;
    c.trigger_mode = 1;
    c.acquire_mode = 4;
    c.acquire_sequence_number = 17;
    c.metadata_mode = 1;
    c.noise_filter_mode = 3;
    c.pixel_format = 4;
    c.binning = {2, 4, BinningMode::average};
    c.auto_exposure = {RegionType::corner_based, 0.002, 0.2};
    return c;
}

TEST(CameraJsonTest, ConfigurationRoundTripsThroughText) {
    const Configuration in = sampleConfiguration();
    const auto out = json::parse(json(in).dump()).get<Configuration>();
    EXPECT_EQ(out.exposure_time_s, 0.25);
    EXPECT_EQ(out.delay_time_s, 0.5);
    EXPECT_EQ(out.roi, in.roi);
    EXPECT_EQ(out.timestamp_mode, 2);
    EXPECT_EQ(out.pixelrate, 95333333);
    EXPECT_EQ(out.conversion_factor, 1.5);
    EXPECT_EQ(out.trigger_mode, 1);
    EXPECT_EQ(out.acquire_mode, 4);
    EXPECT_EQ(out.acquire_sequence_number, 17);
    EXPECT_EQ(out.metadata_mode, 1);
    EXPECT_EQ(out.noise_filter_mode, 3);
    EXPECT_EQ(out.pixel_format, 4u);
    EXPECT_EQ(out.binning, in.binning);
    EXPECT_EQ(out.auto_exposure.region, RegionType::corner_based);
    EXPECT_EQ(out.auto_exposure.min_exposure_s, 0.002);
    EXPECT_EQ(out.auto_exposure.max_exposure_s, 0.2);
}

TEST(CameraJsonTest, UnspecifiedConfigurationIsWrittenUnsignedAndNullAndRefusedBack) {
    const json j = json::parse(json(Configuration{}).dump());
    EXPECT_EQ(j.size(), 14u);
    EXPECT_TRUE(j["exposure_time_s"].is_null());
    EXPECT_EQ(j["roi"], R"({"x0":18446744073709551615,"y0":18446744073709551615,
                           "x1":18446744073709551615,"y1":18446744073709551615})"_json);
    EXPECT_EQ(j["timestamp_mode"], 65535);
    EXPECT_EQ(j["pixelrate"], 4294967295u);
    EXPECT_EQ(j["pixel_format"], 4294967295u);
    EXPECT_EQ(j["binning"], R"({"vert":65535,"horz":65535,"mode":"sum"})"_json);
    EXPECT_EQ(j["auto_exposure"], R"({"region":"balanced","min_exposure_s":0.001,"max_exposure_s":0.1})"_json);
    expectJsonError([&] { (void)j.get<Configuration>(); }, kNotNumber + "null");

    json specified = j;
    specified["exposure_time_s"] = 0.1;
    specified["delay_time_s"] = 0.0;
    specified["conversion_factor"] = 1.0;
    const auto c = specified.get<Configuration>();
    EXPECT_EQ(c.roi, (Roi{-1, -1, -1, -1}));
    EXPECT_EQ(c.timestamp_mode, -1);
    EXPECT_EQ(c.pixelrate, -1);
    EXPECT_EQ(c.noise_filter_mode, -1);
    EXPECT_EQ(c.pixel_format, 0xFFFFFFFFu);
    EXPECT_EQ(c.binning.vert, 0xFFFF);
}

TEST(CameraJsonTest, EveryConfigurationKeyIsRequired) {
    const json full = sampleConfiguration();
    const char* paths[] = {"/exposure_time_s", "/delay_time_s", "/roi", "/roi/x0", "/roi/y1",
                           "/timestamp_mode", "/pixelrate", "/conversion_factor", "/trigger_mode",
                           "/acquire_mode", "/acquire_sequence_number", "/metadata_mode",
                           "/noise_filter_mode", "/pixel_format", "/binning", "/binning/vert",
                           "/binning/horz", "/binning/mode", "/auto_exposure", "/auto_exposure/region",
                           "/auto_exposure/min_exposure_s", "/auto_exposure/max_exposure_s"};
    for (const char* path : paths) {
        const json::json_pointer pointer(path);
        json j = full;
        j[pointer.parent_pointer()].erase(pointer.back());
        expectJsonError([&] { (void)j.get<Configuration>(); },
                        "[json.exception.out_of_range.403] key '" + pointer.back() + "' not found");
    }
}

TEST(CameraJsonTest, RecordsMustBeObjects) {
    expectJsonError([] { (void)json("abc").get<Configuration>(); },
                    "[json.exception.type_error.304] cannot use at() with string");
    expectJsonError([] { (void)json::array().get<Roi>(); },
                    "[json.exception.type_error.304] cannot use at() with array");
    expectJsonError([] { (void)json().get<ConvertControl>(); },
                    "[json.exception.type_error.304] cannot use at() with null");
}

TEST(CameraJsonTest, NarrowFieldsTakeNumbersAndBooleansWithPlainConversion) {
    struct Case {
        const char* path;
        json value;
        int64_t expected;
        int64_t (*field)(const Configuration&);
    };
    const auto trigger = [](const Configuration& c) -> int64_t { return c.trigger_mode; };
    const auto pixelrate = [](const Configuration& c) -> int64_t { return c.pixelrate; };
    const auto vert = [](const Configuration& c) -> int64_t { return c.binning.vert; };
    const auto x0 = [](const Configuration& c) -> int64_t { return c.roi.x0; };
    const Case cases[] = {
        {"/trigger_mode", true, 1, trigger},       {"/trigger_mode", false, 0, trigger},
        {"/trigger_mode", 2.9, 2, trigger},        {"/trigger_mode", -2.9, -2, trigger},
        {"/trigger_mode", 65535, -1, trigger},     {"/trigger_mode", 65536 + 5, 5, trigger},
        {"/trigger_mode", 1e30, 0, trigger},       {"/pixelrate", 4294967295u, -1, pixelrate},
        {"/pixelrate", true, 1, pixelrate},        {"/binning/vert", true, 1, vert},
        {"/roi/x0", 18446744073709551615u, -1, x0}, {"/roi/x0", 7.9, 7, x0},
        {"/roi/x0", -3, -3, x0}};
    for (const Case& c : cases) {
        json j = sampleConfiguration();
        j[json::json_pointer(c.path)] = c.value;
        EXPECT_EQ(c.field(j.get<Configuration>()), c.expected) << c.path << " = " << c.value.dump();
    }
}

TEST(CameraJsonTest, WrongValueKindsFail) {
    const std::tuple<const char*, json, const char*> cases[] = {
        {"/exposure_time_s", true, "boolean"},     {"/delay_time_s", "0.1", "string"},
        {"/conversion_factor", nullptr, "null"},   {"/roi/x0", true, "boolean"},
        {"/roi/y1", json::array(), "array"},       {"/trigger_mode", "1", "string"},
        {"/metadata_mode", nullptr, "null"},       {"/acquire_mode", json::object(), "object"},
        {"/auto_exposure/min_exposure_s", false, "boolean"}};
    for (const auto& [path, value, kind] : cases) {
        json j = sampleConfiguration();
        j[json::json_pointer(path)] = value;
        expectJsonError([&] { (void)j.get<Configuration>(); }, kNotNumber + kind);
    }
}

TEST(CameraJsonTest, EnumerationsFallBackToTheFirstPair) {
    EXPECT_EQ(json(DataFormat::BGR16).dump(), R"("BGR16")");
    EXPECT_EQ(json(static_cast<DataFormat>(42)), "Undefined");
    EXPECT_EQ(json(static_cast<InterfaceType>(10)), "FireWire");
    EXPECT_EQ(json(static_cast<InterfaceType>(0xFFFF)), "Any");
    EXPECT_EQ(json(InterfaceType::CLHS_HSR), "CLHS_HSR");
    EXPECT_EQ(json("BGR").get<DataFormat>(), DataFormat::Undefined);
    EXPECT_EQ(json(3).get<DataFormat>(), DataFormat::Undefined);
    EXPECT_EQ(json("RGBA8").get<DataFormat>(), DataFormat::RGBA8);
    EXPECT_EQ(json("CompressedMono8").get<DataFormat>(), DataFormat::CompressedMono8);
    EXPECT_EQ(json("camram_segment").get<RecordMode>(), RecordMode::camram_segment);
    EXPECT_EQ(json("multitif").get<RecordMode>(), RecordMode::multitif);
    EXPECT_EQ(json("Sequence").get<RecordMode>(), RecordMode::sequence);
    EXPECT_EQ(json("all_lines").get<SignalTiming>(), SignalTiming::all_lines);
    EXPECT_EQ(json("none").get<SignalTiming>(), SignalTiming::undefined);
    EXPECT_EQ(json(BinningMode::average), "average");
    EXPECT_EQ(json(RegionType::center_based), "center_based");
    EXPECT_EQ(json_tables::rawFormatName(RawFormat::Word), "word");
    EXPECT_EQ(json_tables::rawFormatName(RawFormat::Byte), "byte");
    EXPECT_EQ(json_tables::rawFormatName(static_cast<RawFormat>(7)), "word");

    json binning = R"({"vert":1,"horz":1,"mode":"median"})"_json;
    EXPECT_EQ(binning.get<Binning>().mode, BinningMode::sum);
    binning["mode"] = "average";
    EXPECT_EQ(binning.get<Binning>().mode, BinningMode::average);
}

TEST(CameraJsonTest, RouteTablesHaveTheirOwnRowsAndFallbacks) {
    using json_tables::edgePolarityFromJson;
    using json_tables::levelPolarityFromJson;
    using json_tables::regionFromJson;
    using json_tables::statusBusySignalTypeFromJson;
    using json_tables::statusExposSignalTypeFromJson;
    const auto level = [](const json& j) { return static_cast<int>(levelPolarityFromJson(j)); };
    const auto edge = [](const json& j) { return static_cast<int>(edgePolarityFromJson(j)); };
    const auto expos = [](const json& j) { return static_cast<int>(statusExposSignalTypeFromJson(j)); };
    const auto busy = [](const json& j) { return static_cast<int>(statusBusySignalTypeFromJson(j)); };
    const auto region = [](const json& j) { return static_cast<int>(regionFromJson(j)); };
    const std::tuple<std::function<int(const json&)>, json, int> cases[] = {
        {level, "high_level", 1},   {level, "low_level", 2},       {level, "falling_edge", 1},
        {level, 2, 1},              {edge, "rising_edge", 4},      {edge, "falling_edge", 8},
        {edge, "low_level", 4},     {edge, 8, 4},                  {expos, "status_expos", 1},
        {expos, "status_line", 2},  {expos, "status_armed", 3},    {expos, "status_busy", 1},
        {busy, "status_busy", 0},   {busy, "status_line", 2},      {busy, "status_armed", 3},
        {busy, "status_expos", 0},  {region, "center_based", 1},   {region, "corner_based", 2},
        {region, "full", 3},        {region, "center", 0},         {region, 3, 0}};
    for (const auto& [table, input, expected] : cases) {
        EXPECT_EQ(table(input), expected) << input.dump();
    }
}

TEST(CameraJsonTest, ConvertControlRoundTripsEachKind) {
    ConvertControlMono mono;
    mono.sharpen = false;
    mono.max_limit = 4095;
    mono.gamma = 0.8;
    ConvertControlColor color;
    color.qor_debayer_algorithm = true;
    color.color_temperature = 5000;
    color.color_tint = -3;
    ConvertControlPseudoColor pseudo;
    pseudo.contrast = 7;
    pseudo.color_vibrance = 12;
    pseudo.lut_file = "/tmp/lut/heat.lt1";

    const std::tuple<ConvertControl, const char*, size_t> cases[] = {
        {mono, "mono", 9}, {color, "color", 14}, {pseudo, "pseudocolor", 14}};
    for (const auto& [settings, kind, value_keys] : cases) {
        const json j = json::parse(json(settings).dump());
        EXPECT_EQ(j.size(), 2u);
        EXPECT_EQ(j["kind"], kind);
        EXPECT_EQ(j["value"].size(), value_keys) << kind;
        EXPECT_EQ(j.get<ConvertControl>().index(), settings.index());
    }
    const auto m = std::get<ConvertControlMono>(json(ConvertControl{mono}).get<ConvertControl>());
    EXPECT_FALSE(m.sharpen);
    EXPECT_EQ(m.max_limit, 4095);
    EXPECT_EQ(m.gamma, 0.8);
    const auto c = std::get<ConvertControlColor>(json(ConvertControl{color}).get<ConvertControl>());
    EXPECT_TRUE(c.qor_debayer_algorithm);
    EXPECT_EQ(c.color_temperature, 5000);
    EXPECT_EQ(c.color_tint, -3);
    const auto p = std::get<ConvertControlPseudoColor>(json(ConvertControl{pseudo}).get<ConvertControl>());
    EXPECT_EQ(p.contrast, 7);
    EXPECT_EQ(p.color_vibrance, 12);
    EXPECT_EQ(p.lut_file, std::filesystem::path("/tmp/lut/heat.lt1"));
}

TEST(CameraJsonTest, ConvertControlReadingErrors) {
    const json mono_value = json(ConvertControlMono{});
    const json color_value = json(ConvertControlColor{});
    json color_without_debayer = color_value;
    color_without_debayer.erase("qor_debayer_algorithm");
    json sharpen_number = mono_value;
    sharpen_number["sharpen"] = 1;
    const std::pair<json, std::string> cases[] = {
        {{{"kind", "Color"}, {"value", color_value}},
         "[json.exception.type_error.302] Unknown kind in ConvertControl: Color"},
        {{{"kind", "color"}}, "[json.exception.out_of_range.403] key 'value' not found"},
        {{{"value", color_value}}, "[json.exception.out_of_range.403] key 'kind' not found"},
        {{{"kind", 1}, {"value", color_value}}, "[json.exception.type_error.302] type must be string, but is number"},
        {{{"kind", "pseudocolor"}, {"value", mono_value}},
         "[json.exception.out_of_range.403] key 'color_temperature' not found"},
        {{{"kind", "pseudocolor"}, {"value", color_value}},
         "[json.exception.out_of_range.403] key 'lut_file' not found"},
        {{{"kind", "color"}, {"value", color_without_debayer}},
         "[json.exception.out_of_range.403] key 'qor_debayer_algorithm' not found"},
        {{{"kind", "mono"}, {"value", sharpen_number}},
         "[json.exception.type_error.302] type must be boolean, but is number"}};
    for (const auto& [input, what] : cases) {
        expectJsonError([&] { (void)input.get<ConvertControl>(); }, what);
    }
    // Keys that the alternative does not name are ignored.
    const json mono_with_color_keys = {{"kind", "mono"}, {"value", color_value}};
    EXPECT_EQ(mono_with_color_keys.get<ConvertControl>().index(), 0u);
}

TEST(CameraJsonTest, CompressionParamsCropAndPercents) {
    const json params =
        R"({"dGainK":2.5,"dDarkNoise_e":1,"dDSNU_e":0.3,"dPRNU_pct":0.34,"dLightSourceNoise_pct":0})"_json;
    const auto p = params.get<CompressionParams>();
    EXPECT_EQ(p.dGainK, 2.5);
    EXPECT_EQ(p.dDarkNoise_e, 1.0);
    EXPECT_EQ(p.dPRNU_pct, 0.34);
    json missing = params;
    missing.erase("dLightSourceNoise_pct");
    expectJsonError([&] { (void)missing.get<CompressionParams>(); },
                    "[json.exception.out_of_range.403] key 'dLightSourceNoise_pct' not found");
    json boolean = params;
    boolean["dDSNU_e"] = true;
    expectJsonError([&] { (void)boolean.get<CompressionParams>(); }, kNotNumber + "boolean");

    EXPECT_EQ(json_tables::cropFromJson(R"({"x0":1,"y0":2,"x1":30,"y1":40})"_json), (Roi{1, 2, 30, 40}));
    expectJsonError([] { (void)json_tables::cropFromJson(R"({"x0":1,"y0":2,"x1":30})"_json); },
                    "[json.exception.out_of_range.403] key 'y1' not found");
    EXPECT_EQ(json(Roi{1, 2, 30, 40}).dump(), R"({"x0":1,"x1":30,"y0":2,"y1":40})");

    EXPECT_EQ(json_tables::percentsFromJson(R"([10, true, 2.7, false])"_json), (std::vector<uint32_t>{10, 1, 2, 0}));
    expectJsonError([] { (void)json_tables::percentsFromJson(R"({"a":1})"_json); },
                    "[json.exception.type_error.302] type must be array, but is object");
    expectJsonError([] { (void)json_tables::percentsFromJson(R"([1, "2"])"_json); }, kNotNumber + "string");
    expectJsonError([] { (void)json_tables::percentsFromJson(R"([null])"_json); }, kNotNumber + "null");
}

TEST(CameraJsonTest, DescriptionKeysAndKinds) {
    const json unspecified = json::parse(json(Description{}).dump());
    EXPECT_EQ(unspecified.size(), 33u);
    EXPECT_EQ(unspecified["serial"], 4294967295u);
    EXPECT_EQ(unspecified["interface_type"], "Any");
    EXPECT_EQ(unspecified["min_width"], 18446744073709551615u);
    EXPECT_EQ(unspecified["bit_resolution"], 65535);
    EXPECT_TRUE(unspecified["max_delay_time_s"].is_null());
    EXPECT_EQ(unspecified["pixelrate_vec"], json::array());

    Description d;
    d.interface_type = static_cast<uint16_t>(InterfaceType::USB3);
    d.pixelrate_vec = {95000000, 286000000};
    d.conversion_factor_vec = {1.0, 1.5};
    d.binning_horz_vec = {1, 2, 4};
    d.has_ram = true;
    const json j = d;
    EXPECT_EQ(j["interface_type"], "USB3");
    EXPECT_EQ(j["pixelrate_vec"], R"([95000000, 286000000])"_json);
    EXPECT_EQ(j["conversion_factor_vec"], R"([1.0, 1.5])"_json);
    EXPECT_EQ(j["binning_horz_vec"], R"([1, 2, 4])"_json);
    EXPECT_EQ(j["has_ram"], true);
}

// Little-endian value of `bytes` bytes at `offset`, sign-extended when `is_signed`.
json valueAt(const uint8_t* record, size_t offset, size_t bytes, bool is_signed) {
    uint64_t v = 0;
    for (size_t i = bytes; i-- > 0;) v = (v << 8) | record[offset + i];
    if (!is_signed) return v;
    const int shift = static_cast<int>(64 - 8 * bytes);
    return static_cast<int64_t>(v << shift) >> shift;
}

struct Field {
    const char* key;
    size_t bytes;  // per element
    size_t count;  // 1 for scalars
    bool is_signed;
};

// Fills the record with distinct bytes and checks each key against the bytes of its documented place.
template <class Record, size_t N>
void expectPackedLayout(const Field (&fields)[N]) {
    uint8_t bytes[sizeof(Record)];
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<uint8_t>(0x80 + i);
    Record record;
    std::memcpy(&record, bytes, sizeof record);
    const json j = record;
    EXPECT_EQ(j.size(), N);
    size_t offset = 0;
    for (const Field& f : fields) {
        ASSERT_TRUE(j.contains(f.key)) << f.key;
        const json& entry = j.at(f.key);
        if (f.count > 1) {
            ASSERT_EQ(entry.size(), f.count) << f.key;
        }
        for (size_t k = 0; k < f.count; ++k) {
            const json& element = f.count == 1 ? entry : entry.at(k);
            EXPECT_EQ(element, valueAt(bytes, offset, f.bytes, f.is_signed)) << f.key << " at byte " << offset;
            EXPECT_EQ(element.is_number_unsigned(), !f.is_signed) << f.key;
            offset += f.bytes;
        }
    }
    EXPECT_EQ(offset, sizeof(Record));
}

TEST(CameraJsonTest, MetadataRecordKeysFollowTheByteLayout) {
    const Field fields[] = {
        {"wSize", 2, 1, false}, {"wVersion", 2, 1, false}, {"bIMAGE_COUNTER_BCD", 1, 4, false},
        {"bIMAGE_TIME_US_BCD", 1, 3, false}, {"bIMAGE_TIME_SEC_BCD", 1, 1, false},
        {"bIMAGE_TIME_MIN_BCD", 1, 1, false}, {"bIMAGE_TIME_HOUR_BCD", 1, 1, false},
        {"bIMAGE_TIME_DAY_BCD", 1, 1, false}, {"bIMAGE_TIME_MON_BCD", 1, 1, false},
        {"bIMAGE_TIME_YEAR_BCD", 1, 1, false}, {"bIMAGE_TIME_STATUS", 1, 1, false},
        {"wEXPOSURE_TIME_BASE", 2, 1, false}, {"dwEXPOSURE_TIME", 4, 1, false},
        {"dwFRAMERATE_MILLIHZ", 4, 1, false}, {"sSENSOR_TEMPERATURE", 2, 1, true}, {"wIMAGE_SIZE_X", 2, 1, false},
        {"wIMAGE_SIZE_Y", 2, 1, false}, {"bBINNING_X", 1, 1, false}, {"bBINNING_Y", 1, 1, false},
        {"dwSENSOR_READOUT_FREQUENCY", 4, 1, false}, {"wSENSOR_CONV_FACTOR", 2, 1, false},
        {"dwCAMERA_SERIAL_NO", 4, 1, false}, {"wCAMERA_TYPE", 2, 1, false}, {"bBIT_RESOLUTION", 1, 1, false},
        {"bSYNC_STATUS", 1, 1, false}, {"wDARK_OFFSET", 2, 1, false}, {"bTRIGGER_MODE", 1, 1, false},
        {"bDOUBLE_IMAGE_MODE", 1, 1, false}, {"bCAMERA_SYNC_MODE", 1, 1, false}, {"bIMAGE_TYPE", 1, 1, false},
        {"wCOLOR_PATTERN", 2, 1, false}, {"wCAMERA_SUBTYPE", 2, 1, false}, {"dwEVENT_NUMBER", 4, 1, false},
        {"wIMAGE_SIZE_X_Offset", 2, 1, false}, {"wIMAGE_SIZE_Y_Offset", 2, 1, false},
        {"bREADOUT_MODE", 1, 1, false}};
    expectPackedLayout<QOR_Metadata>(fields);
}

TEST(CameraJsonTest, TimestampRecordKeysFollowTheByteLayout) {
    const Field fields[] = {{"wSize", 2, 1, false},  {"dwImgCounter", 4, 1, false}, {"wYear", 2, 1, false},
                            {"wMonth", 2, 1, false}, {"wDay", 2, 1, false},         {"wHour", 2, 1, false},
                            {"wMinute", 2, 1, false}, {"wSecond", 2, 1, false},     {"dwMicroSeconds", 4, 1, false}};
    expectPackedLayout<QOR_Timestamp>(fields);
}

TEST(CameraJsonTest, SdkDescriptionHasEveryFieldWithItsArrays) {
    QOR_Description d{};
    d.wSize = sizeof d;
    d.dwPixelRateDESC[1] = 286000000;
    d.sCoolingSetpoints[9] = -15;
    d.sMinCoolSetDESC = -20;
    d.ZZdwDummy[39] = 0xFFFFFFFF;
    const json j = d;
    EXPECT_EQ(j.size(), 53u);
    EXPECT_EQ(j["wSize"], 436);
    const std::pair<const char*, size_t> arrays[] = {{"dwPixelRateDESC", 4}, {"ZZdwDummypr", 20},
                                                     {"wConvFactDESC", 4},   {"sCoolingSetpoints", 10},
                                                     {"ZZwDummycv", 8},      {"dwExtSyncFrequency", 4},
                                                     {"ZZdwDummy", 40}};
    for (const auto& [key, size] : arrays) EXPECT_EQ(j[key].size(), size) << key;
    EXPECT_EQ(j["dwPixelRateDESC"][1], 286000000);
    EXPECT_EQ(j["sCoolingSetpoints"][9], -15);
    EXPECT_EQ(j["sMinCoolSetDESC"], -20);
    EXPECT_EQ(j["ZZdwDummy"][39], 4294967295u);
    EXPECT_TRUE(j["wNumCoolingSetpoints"].is_number_unsigned());
}

TEST(CameraJsonTest, SensorInfoHasTwelveKeys) {
    QOR_SensorInfo info{};
    info.wSize = sizeof info;
    info.iDarkOffset = -5;
    info.wIMAGE_SIZE_Y_Offset = 3;
    info.strColorCoeff.da23 = 0.25;
    info.hCamera = reinterpret_cast<QOR_HANDLE>(uintptr_t{0x8000000000001234});
    info.dwzzDummy1[37] = 9;
    const json j = info;
    EXPECT_EQ(j.size(), 12u);
    EXPECT_EQ(j["wSize"], 264);
    EXPECT_EQ(j["iDarkOffset"], -5);
    EXPECT_EQ(j["wIMAGE_SIZE_Y_Offset"], 3);
    EXPECT_EQ(j["strColorCoeff"].size(), 9u);
    EXPECT_EQ(j["strColorCoeff"]["da23"], 0.25);
    EXPECT_EQ(j["hCamera"], 0x8000000000001234u);
    EXPECT_EQ(j["dwzzDummy1"].size(), 38u);
    EXPECT_EQ(j["dwzzDummy1"][37], 9);
}

}  // namespace
}  // namespace qor
