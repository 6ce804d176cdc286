// The identity, state and settings routes end to end: the real executable with simulated cameras,
// driven over HTTP in a private network namespace. The built-in device set puts the 16-bit mono
// camera (USB3, four hardware signals) on port 8080 and the colour camera (GigE, no hardware
// signals) on port 8081.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "tests/support/server_process.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using qortest::ServerProcess;

constexpr uint16_t kMono = 8080;
constexpr uint16_t kColor = 8081;

// Library error codes the camera answers with.
constexpr int32_t kInvalidArgument = static_cast<int32_t>(0xA0163001);
constexpr int32_t kNotSupported = static_cast<int32_t>(0x80163020);
constexpr int32_t kSdkValueOutOfRange = static_cast<int32_t>(0x80140007);

struct Reply {
    int status = -1;  // -1: no answer at all
    std::string body;
    std::string content_type;
};

Reply reply(const httplib::Result& res) {
    if (!res) return {};
    return {res->status, res->body, res->get_header_value("Content-Type")};
}

Reply get(uint16_t port, const std::string& path, const httplib::Params& params = {}) {
    return reply(qortest::client(port)->Get(path.c_str(), params, httplib::Headers{}));
}

Reply put(uint16_t port, const std::string& path, const std::string& body) {
    return reply(qortest::client(port)->Put(path.c_str(), body, "application/json"));
}

Reply putJson(uint16_t port, const std::string& path, const json& body) { return put(port, path, body.dump()); }

Reply post(uint16_t port, const std::string& path, const std::string& body = "") {
    return reply(qortest::client(port)->Post(path.c_str(), body, "application/json"));
}

// Parameters as form fields of the body.
Reply postForm(uint16_t port, const std::string& path, const httplib::Params& params) {
    return reply(qortest::client(port)->Post(path.c_str(), params));
}

Reply upload(uint16_t port, const httplib::MultipartFormDataItems& items) {
    return reply(qortest::client(port)->Post("/v1/uploadLut", items));
}

httplib::MultipartFormDataItems lutPart(const std::string& content, const std::string& filename) {
    return {{"lut", content, filename, "application/octet-stream"}};
}

json errorBody(int32_t code, const std::string& where) { return json{{"code", code}, {"where", where}}; }

json parsed(const Reply& r) { return json::parse(r.body); }

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string sampleLut() { return readFile(fs::path(QOR_SOURCE_DIR) / "sim" / "luts" / "sample.lt1"); }

// A 768-byte table different from the sample.
std::string rampLut() {
    std::string table;
    for (int i = 0; i < 256; ++i) table += {static_cast<char>(i), static_cast<char>(i / 2), static_cast<char>(255 - i)};
    return table;
}

// The mono template with hardware signals whose sub-signal names leave gaps: "Status Armed" exists
// for neither status output, so a type that looks for it is not found.
std::string sparseSignalCamera() {
    return R"({"cameras": [{"template": "mono", "serial": 31, "name": "Signals", "hwio": [
        {"names": ["Exposure Trigger", "", "", ""], "enabled": 1, "polarity": 4},
        {"names": ["Acquire Enable", "", "", ""], "enabled": 0, "polarity": 1},
        {"names": ["Status Busy", "Status Line", "", ""], "enabled": 1, "polarity": 1},
        {"names": ["Status Expos", "Status Line", "", ""], "enabled": 1, "polarity": 1,
         "functionality": [7, 0, 0, 0], "parameters": [2, 0, 0, 0]}]}]})";
}

// The start-up line comes before the last listener is bound: wait until every port answers.
bool startUp(ServerProcess& server, std::initializer_list<uint16_t> ports) {
    if (!server.waitUntilReady()) return false;
    for (uint16_t port : ports) {
        bool answered = false;
        for (int attempt = 0; attempt < 250 && !answered; ++attempt) {
            answered = static_cast<bool>(qortest::client(port, 2)->Get("/v1/info"));
            if (!answered) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!answered) return false;
    }
    return true;
}

void expectServing(uint16_t port) {
    Reply name = get(port, "/v1/getName");
    EXPECT_EQ(name.status, 200) << "the server stopped answering";
}

class SettingsRoutesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(startUp(server_, {kMono, kColor})) << server_.standardOutput() << server_.standardError();
    }

    ServerProcess server_;
};

// ---- Identity and description -------------------------------------------------------------------

TEST_F(SettingsRoutesTest, SimpleGettersAnswerBareJsonValues) {
    struct Case {
        uint16_t port;
        const char* path;
        const char* body;
    };
    const Case cases[] = {
        {kMono, "/v1/getName", R"("SimCam Mono")"}, {kColor, "/v1/getName", R"("SimCam Color")"},
        {kMono, "/v1/getSerial", "10001"},          {kColor, "/v1/getSerial", "10002"},
        {kMono, "/v1/getRawFormat", R"("word")"},   {kColor, "/v1/getRawFormat", R"("word")"},
        {kMono, "/v1/getInterface", R"("USB3")"},   {kColor, "/v1/getInterface", R"("GigE")"},
        {kMono, "/v1/isColored", "false"},          {kColor, "/v1/isColored", "true"},
    };
    for (const Case& c : cases) {
        Reply r = get(c.port, c.path);
        EXPECT_EQ(r.status, 200) << c.port << c.path;
        EXPECT_EQ(r.body, c.body) << c.port << c.path;
        EXPECT_EQ(r.content_type, "application/json") << c.port << c.path;
    }
    auto head = qortest::client(kMono)->Head("/v1/getSerial");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_EQ(head->body, "");
}

TEST_F(SettingsRoutesTest, RawFormatIsByteWhileTheColourCameraDelivers8BitPixels) {
    json config = parsed(get(kColor, "/v1/getConfiguration"));
    config["pixel_format"] = 16;
    ASSERT_EQ(putJson(kColor, "/v1/setConfiguration", config).status, 200);
    EXPECT_EQ(get(kColor, "/v1/getRawFormat").body, R"("byte")");
    config["pixel_format"] = 4;
    ASSERT_EQ(putJson(kColor, "/v1/setConfiguration", config).status, 200);
    EXPECT_EQ(get(kColor, "/v1/getRawFormat").body, R"("word")");
}

TEST_F(SettingsRoutesTest, DescriptionsCarryTheCamerasOwnValues) {
    Reply mono = get(kMono, "/v1/getDescription");
    ASSERT_EQ(mono.status, 200);
    EXPECT_EQ(mono.content_type, "application/json");
    json d = parsed(mono);
    EXPECT_EQ(d.size(), 33u);
    EXPECT_EQ(d["serial"], 10001);
    EXPECT_EQ(d["interface_type"], "USB3");
    EXPECT_EQ(d["max_width"], 2048);
    EXPECT_EQ(d["bit_resolution"], 16);
    EXPECT_EQ(d["pixelrate_vec"], json({100000000, 300000000}));
    EXPECT_EQ(d["is_colored"], false);
    json c = parsed(get(kColor, "/v1/getDescription"));
    EXPECT_EQ(c["serial"], 10002);
    EXPECT_EQ(c["interface_type"], "GigE");
    EXPECT_EQ(c["max_height"], 1200);
    EXPECT_EQ(c["is_colored"], true);
}

TEST_F(SettingsRoutesTest, SensorInfoAndSdkDescriptionAreWholeRecords) {
    Reply mono_info = get(kMono, "/v1/getSensorInfo");
    ASSERT_EQ(mono_info.status, 200);
    EXPECT_EQ(mono_info.content_type, "application/json");
    json info = parsed(mono_info);
    EXPECT_EQ(info.size(), 12u);
    EXPECT_EQ(info["wSize"], 264);
    EXPECT_EQ(info["iDataBits"], 16);
    EXPECT_EQ(info["iDarkOffset"], 100);
    EXPECT_EQ(info["dwzzDummy1"].size(), 38u);
    EXPECT_EQ(info["strColorCoeff"].size(), 9u);
    EXPECT_EQ(info["iSensorInfoBits"].get<int>() & 1, 0);
    json color_info = parsed(get(kColor, "/v1/getSensorInfo"));
    EXPECT_EQ(color_info["iSensorInfoBits"].get<int>() & 1, 1);
    EXPECT_DOUBLE_EQ(color_info["strColorCoeff"]["da11"].get<double>(), 1.6);
    EXPECT_DOUBLE_EQ(color_info["strColorCoeff"]["da12"].get<double>(), -0.4);

    Reply sdk = get(kMono, "/v1/getQORDescription");
    ASSERT_EQ(sdk.status, 200);
    EXPECT_EQ(sdk.content_type, "application/json");
    json desc = parsed(sdk);
    EXPECT_EQ(desc.size(), 53u);
    EXPECT_EQ(desc["wSize"], 436);
    EXPECT_EQ(desc["wDynResDESC"], 16);
    EXPECT_EQ(desc["dwPixelRateDESC"], json({100000000, 300000000, 0, 0}));
    EXPECT_EQ(desc["sMinCoolSetDESC"], -20);
    EXPECT_EQ(desc["ZZdwDummy"].size(), 40u);
    EXPECT_EQ(parsed(get(kColor, "/v1/getQORDescription"))["wDynResDESC"], 12);
}

// ---- Configuration --------------------------------------------------------------------------------

TEST_F(SettingsRoutesTest, ConfigurationRoundTripsAndDefaultConfigurationRestoresTheDefaults) {
    Reply original = get(kMono, "/v1/getConfiguration");
    ASSERT_EQ(original.status, 200);
    EXPECT_EQ(original.content_type, "application/json");
    json config = parsed(original);
    EXPECT_EQ(config["roi"], json({{"x0", 1}, {"y0", 1}, {"x1", 2048}, {"y1", 2048}}));
    EXPECT_DOUBLE_EQ(config["exposure_time_s"].get<double>(), 0.01);

    json changed = config;
    changed["roi"] = {{"x0", 1}, {"y0", 1}, {"x1", 1024}, {"y1", 512}};
    changed["exposure_time_s"] = 0.05;
    Reply set = putJson(kMono, "/v1/setConfiguration", changed);
    EXPECT_EQ(set.status, 200);
    EXPECT_EQ(set.body, "");
    json read_back = parsed(get(kMono, "/v1/getConfiguration"));
    EXPECT_EQ(read_back["roi"], changed["roi"]);
    EXPECT_DOUBLE_EQ(read_back["exposure_time_s"].get<double>(), 0.05);

    Reply defaults = put(kMono, "/v1/defaultConfiguration", "ignored");
    ASSERT_EQ(defaults.status, 200);
    EXPECT_EQ(defaults.content_type, "application/json");
    EXPECT_EQ(parsed(defaults)["roi"], config["roi"]);
    EXPECT_DOUBLE_EQ(parsed(defaults)["exposure_time_s"].get<double>(), 0.01);
    EXPECT_EQ(defaults.body, get(kMono, "/v1/getConfiguration").body);
}

TEST_F(SettingsRoutesTest, SetConfigurationRefusesMalformedBodiesWith500AndChangesNothing) {
    const std::string before = get(kMono, "/v1/getConfiguration").body;
    json valid = json::parse(before);
    valid["roi"] = {{"x0", 1}, {"y0", 1}, {"x1", 512}, {"y1", 512}};  // would change the camera if applied
    auto with = [&](const char* key, json value) {
        json body = valid;
        body[key] = std::move(value);
        return body.dump();
    };
    auto without = [&](const char* key) {
        json body = valid;
        body.erase(key);
        return body.dump();
    };
    const std::vector<std::string> bodies = {
        "",
        "not json",
        R"({"exposure_time_s": 0.01)",
        "[]",
        R"("configuration")",
        "{}",
        with("exposure_time_s", nullptr),  // what a camera with an unspecified exposure would answer
        with("exposure_time_s", true),
        with("exposure_time_s", "0.01"),
        with("roi", "full"),
        with("roi", {{"x0", 1}, {"y0", 1}, {"x1", 512}}),
        with("trigger_mode", "0"),
        with("binning", json::array({1, 1})),
        with("auto_exposure", {{"region", "full"}, {"min_exposure_s", 0.001}}),
        without("auto_exposure"),
        without("pixel_format"),
    };
    for (const std::string& body : bodies) {
        Reply r = put(kMono, "/v1/setConfiguration", body);
        EXPECT_EQ(r.status, 500) << body;
        EXPECT_EQ(r.body, "") << body;
    }
    EXPECT_EQ(get(kMono, "/v1/getConfiguration").body, before);
}

TEST(SettingsRoutesFaultTest, FailingCameraCallsAnswerTheirErrorOnceAndAClosedCameraAnswersUnknownError) {
    // Start-up applies the defaults three times; the next reset fails, so does the first ROI change, and
    // the second open of the camera (the reopen).
    ServerProcess server(R"({"cameras": [{"template": "mono", "serial": 41, "name": "Faulty"}],
                             "faults": [{"call": "QOR_SetROI", "status": -2146172921, "skip": 0, "count": 1},
                                        {"call": "QOR_ResetSettingsToDefault", "status": -2146172921, "skip": 3},
                                        {"call": "QOR_OpenCameraDevice", "status": -2146172925, "skip": 1}]})");
    ASSERT_TRUE(startUp(server, {kMono})) << server.standardOutput();
    json config = parsed(get(kMono, "/v1/getConfiguration"));
    config["roi"] = {{"x0", 1}, {"y0", 1}, {"x1", 1024}, {"y1", 1024}};

    Reply failed = putJson(kMono, "/v1/setConfiguration", config);
    EXPECT_EQ(failed.status, 503);
    EXPECT_EQ(failed.content_type, "application/json");
    EXPECT_EQ(parsed(failed), errorBody(kSdkValueOutOfRange, "setConfiguration"));
    EXPECT_NE(server.standardOutput().find("cam_->setConfiguration(config)failed:"), std::string::npos)
        << server.standardOutput();
    // The fault is spent and the error was reported once: the same request now succeeds.
    EXPECT_EQ(putJson(kMono, "/v1/setConfiguration", config).status, 200);
    EXPECT_EQ(parsed(get(kMono, "/v1/getConfiguration"))["roi"], config["roi"]);

    Reply reset = put(kMono, "/v1/defaultConfiguration", "");
    EXPECT_EQ(reset.status, 503);
    EXPECT_EQ(parsed(reset), errorBody(kSdkValueOutOfRange, "defaultConfiguration"));
    EXPECT_NE(server.standardOutput().find("cam_->defaultConfiguration()failed:"), std::string::npos);
    EXPECT_EQ(put(kMono, "/v1/defaultConfiguration", "").status, 200);

    ASSERT_EQ(post(kMono, "/v1/setFree").status, 503);  // reports and clears the failed open
    // Without a camera the operations fail without recording an error of their own.
    for (const char* path : {"/v1/getName", "/v1/getSerial", "/v1/getConfiguration", "/v1/getQORDescription"}) {
        Reply r = get(kMono, path);
        EXPECT_EQ(r.status, 503) << path;
        EXPECT_EQ(r.body, R"({"code":-1,"where":"Unknown Error!"})") << path;
    }
    EXPECT_EQ(put(kMono, "/v1/setConfiguration", config.dump()).body, R"({"code":-1,"where":"Unknown Error!"})");
}

// ---- Exposure and delay ---------------------------------------------------------------------------

TEST_F(SettingsRoutesTest, ExposureAndDelayTakeTheirOneKeyAndReadBackAsObjects) {
    Reply set = put(kMono, "/v1/setExposureTime", R"({"exposure_s": 0.02})");
    EXPECT_EQ(set.status, 200);
    EXPECT_EQ(set.body, "");
    Reply exposure = get(kMono, "/v1/getExposureTime");
    ASSERT_EQ(exposure.status, 200);
    EXPECT_EQ(exposure.content_type, "application/json");
    json e = parsed(exposure);
    ASSERT_EQ(e.size(), 1u);
    EXPECT_NEAR(e.at("exposure_s").get<double>(), 0.02, 1e-12);

    EXPECT_EQ(put(kMono, "/v1/setDelayTime", R"({"delay_s": 0.5})").status, 200);
    json d = parsed(get(kMono, "/v1/getDelayTime"));
    ASSERT_EQ(d.size(), 1u);
    EXPECT_NEAR(d.at("delay_s").get<double>(), 0.5, 1e-12);
    // Each setter keeps the other time.
    EXPECT_NEAR(parsed(get(kMono, "/v1/getExposureTime"))["exposure_s"].get<double>(), 0.02, 1e-12);
}

TEST_F(SettingsRoutesTest, ExposureAndDelayBodiesWithoutTheirNumberAnswer500) {
    struct Case {
        const char* path;
        const char* body;
    };
    const Case cases[] = {
        {"/v1/setExposureTime", R"({"exposure": 0.01})"},
        {"/v1/setExposureTime", R"({"exposure_s": "0.01"})"},
        {"/v1/setExposureTime", R"({"exposure_s": true})"},
        {"/v1/setExposureTime", R"({"exposure_s": null})"},
        {"/v1/setExposureTime", "0.01"},
        {"/v1/setExposureTime", "[0.01]"},
        {"/v1/setExposureTime", "exposure_s=0.01"},
        {"/v1/setExposureTime", ""},
        {"/v1/setDelayTime", R"({"delay": 0})"},
        {"/v1/setDelayTime", R"({"delay_s": false})"},
        {"/v1/setDelayTime", R"({"delay_s": [0]})"},
        {"/v1/setDelayTime", "{"},
    };
    for (const Case& c : cases) {
        Reply r = put(kMono, c.path, c.body);
        EXPECT_EQ(r.status, 500) << c.path << " " << c.body;
        EXPECT_EQ(r.body, "") << c.path << " " << c.body;
    }
    EXPECT_NEAR(parsed(get(kMono, "/v1/getExposureTime"))["exposure_s"].get<double>(), 0.01, 1e-12);
}

TEST_F(SettingsRoutesTest, TimesOutsideTheCamerasLimitsAnswerTheErrorReply) {
    struct Case {
        const char* path;
        const char* body;
        const char* where;
    };
    // Exposure 10 us to 10 s, delay 0 to 1 s.
    const Case cases[] = {
        {"/v1/setExposureTime", R"({"exposure_s": 11})", "setExposureTime"},
        {"/v1/setExposureTime", R"({"exposure_s": -0.01})", "setExposureTime"},
        {"/v1/setExposureTime", R"({"exposure_s": 1e308})", "setExposureTime"},
        {"/v1/setExposureTime", R"({"exposure_s": -1e308})", "setExposureTime"},
        {"/v1/setExposureTime", R"({"exposure_s": 18446744073709551615})", "setExposureTime"},
        {"/v1/setDelayTime", R"({"delay_s": 2})", "setDelayTime"},
        {"/v1/setDelayTime", R"({"delay_s": -1})", "setDelayTime"},
    };
    for (const Case& c : cases) {
        Reply r = put(kMono, c.path, c.body);
        EXPECT_EQ(r.status, 503) << c.body;
        EXPECT_EQ(r.content_type, "application/json") << c.body;
        EXPECT_EQ(parsed(r), errorBody(kInvalidArgument, c.where)) << c.body;
    }
    EXPECT_NEAR(parsed(get(kMono, "/v1/getExposureTime"))["exposure_s"].get<double>(), 0.01, 1e-12);
    EXPECT_NE(server_.standardOutput().find("cam_->setExposureTime(s)failed:"), std::string::npos);
}

// ---- Auto exposure --------------------------------------------------------------------------------

TEST_F(SettingsRoutesTest, AutoExposureRegionNamesMapToTheirRegionAndUnknownOnesToBalanced) {
    struct Case {
        json region;
        const char* configured;
    };
    // Alternating with a different region each time, so that every row changes the stored region.
    const Case cases[] = {
        {"full", "full"},      {"center", "balanced"},           {"corner_based", "corner_based"},
        {json(3), "balanced"}, {"center_based", "center_based"}, {"Full", "balanced"},
        {"full", "full"},      {"balanced", "balanced"},
    };
    for (const Case& c : cases) {
        Reply r = putJson(kMono, "/v1/configureAutoExposure",
                          {{"region", c.region}, {"min_exposure_s", 0.001}, {"max_exposure_s", 0.5}});
        EXPECT_EQ(r.status, 200) << c.region;
        EXPECT_EQ(r.body, "") << c.region;
        json ae = parsed(get(kMono, "/v1/getConfiguration"))["auto_exposure"];
        EXPECT_EQ(ae["region"], c.configured) << c.region;
        EXPECT_DOUBLE_EQ(ae["min_exposure_s"].get<double>(), 0.001);
        EXPECT_DOUBLE_EQ(ae["max_exposure_s"].get<double>(), 0.5);
    }
}

TEST_F(SettingsRoutesTest, AutoExposureLimitsAreCheckedAndSwitchingWorks) {
    for (const auto& [min_s, max_s] : std::vector<std::pair<double, double>>{{0.1, 0.1}, {0.2, 0.1}, {0.001, 1e300}}) {
        Reply r = putJson(kMono, "/v1/configureAutoExposure",
                          {{"region", "full"}, {"min_exposure_s", min_s}, {"max_exposure_s", max_s}});
        EXPECT_EQ(r.status, 503) << min_s << " " << max_s;
        EXPECT_EQ(parsed(r), errorBody(kInvalidArgument, "configureAutoExposure"));
    }
    for (const char* body :
         {R"({"min_exposure_s": 0.001, "max_exposure_s": 0.1})", R"({"region": "full", "max_exposure_s": 0.1})",
          R"({"region": "full", "min_exposure_s": "0.001", "max_exposure_s": 0.1})",
          R"({"region": "full", "min_exposure_s": 0.001, "max_exposure_s": true})", "[]", "full"}) {
        EXPECT_EQ(put(kMono, "/v1/configureAutoExposure", body).status, 500) << body;
    }
    EXPECT_EQ(parsed(get(kMono, "/v1/getConfiguration"))["auto_exposure"]["region"], "balanced");
    for (uint16_t port : {kMono, kColor}) {
        for (const char* path : {"/v1/autoExposureOn", "/v1/autoExposureOff"}) {
            Reply r = post(port, path, "ignored");
            EXPECT_EQ(r.status, 200) << port << path;
            EXPECT_EQ(r.body, "") << port << path;
        }
    }
}

// ---- Conversion settings --------------------------------------------------------------------------

TEST_F(SettingsRoutesTest, GetConvertControlNeedsAFormatWrittenAsJson) {
    EXPECT_EQ(get(kMono, "/v1/getConvertControl").status, 400);
    EXPECT_EQ(get(kMono, "/v1/getConvertControl", {{"form", "\"Mono8\""}}).status, 400);
    for (const char* bad : {"BGR8", "'BGR8'", "\"BGR8", ""}) {
        Reply r = get(kMono, "/v1/getConvertControl", {{"format", bad}});
        EXPECT_EQ(r.status, 500) << bad;
        EXPECT_EQ(r.body, "") << bad;
    }
    Reply mono = get(kMono, "/v1/getConvertControl", {{"format", "\"Mono8\""}});
    ASSERT_EQ(mono.status, 200);
    EXPECT_EQ(mono.content_type, "application/json");
    json m = parsed(mono);
    EXPECT_EQ(m["kind"], "mono");
    EXPECT_EQ(m["value"].size(), 9u);
    EXPECT_TRUE(m["value"].contains("gamma"));
    EXPECT_EQ(parsed(get(kMono, "/v1/getConvertControl", {{"format", "\"BGR8\""}}))["kind"], "pseudocolor");
    EXPECT_EQ(parsed(get(kColor, "/v1/getConvertControl", {{"format", "\"BGR8\""}}))["kind"], "color");
    // A name outside the table is Undefined, which no camera converts to.
    EXPECT_EQ(get(kMono, "/v1/getConvertControl", {{"format", "\"BGR\""}}).status, 503);
}

TEST_F(SettingsRoutesTest, SetConvertControlRoundTripsAndChecksTheAlternative) {
    json settings = parsed(get(kColor, "/v1/getConvertControl", {{"format", "\"RGB8\""}}));
    settings["value"]["gamma"] = 2.2;
    settings["value"]["contrast"] = 10;
    settings["value"]["color_saturation"] = -20;
    Reply set = putJson(kColor, "/v1/setConvertControl", {{"format", "RGB8"}, {"convert", settings}});
    EXPECT_EQ(set.status, 200);
    EXPECT_EQ(set.body, "");
    json read_back = parsed(get(kColor, "/v1/getConvertControl", {{"format", "\"RGB8\""}}));
    EXPECT_DOUBLE_EQ(read_back["value"]["gamma"].get<double>(), 2.2);
    EXPECT_EQ(read_back["value"]["contrast"], 10);
    EXPECT_EQ(read_back["value"]["color_saturation"], -20);
    // A format with a converter of its own keeps its settings.
    EXPECT_DOUBLE_EQ(
        parsed(get(kColor, "/v1/getConvertControl", {{"format", "\"BGR16\""}}))["value"]["gamma"].get<double>(), 1.0);

    json mono = parsed(get(kMono, "/v1/getConvertControl", {{"format", "\"Mono8\""}}));
    Reply wrong = putJson(kColor, "/v1/setConvertControl", {{"format", "RGB8"}, {"convert", mono}});
    EXPECT_EQ(wrong.status, 503);
    EXPECT_EQ(parsed(wrong), errorBody(kInvalidArgument, "setConvertControl"));
}

TEST_F(SettingsRoutesTest, SetConvertControlRefusesIncompleteBodies) {
    const json mono = parsed(get(kMono, "/v1/getConvertControl", {{"format", "\"Mono8\""}}));
    struct Case {
        std::string body;
        int status;
    };
    json unknown_kind = mono;
    unknown_kind["kind"] = "Mono";
    json missing_value_key = mono;
    missing_value_key["value"].erase("contrast");
    const Case cases[] = {
        {json{{"convert", mono}}.dump(), 400},
        {json{{"format", "Mono8"}}.dump(), 400},
        {json::array({"Mono8", mono}).dump(), 400},
        {R"("Mono8")", 400},
        {"{\"format\": \"Mono8\"", 500},
        {json{{"format", "Mono8"}, {"convert", unknown_kind}}.dump(), 500},
        {json{{"format", "Mono8"}, {"convert", missing_value_key}}.dump(), 500},
        {json{{"format", "Mono8"}, {"convert", "mono"}}.dump(), 500},
    };
    for (const Case& c : cases) {
        Reply r = put(kMono, "/v1/setConvertControl", c.body);
        EXPECT_EQ(r.status, c.status) << c.body;
        EXPECT_EQ(r.body, "") << c.body;
    }
}

TEST_F(SettingsRoutesTest, PseudoColourTableNamesResolveInsideTheTableDirectory) {
    json pseudo = parsed(get(kMono, "/v1/getConvertControl", {{"format", "\"BGR8\""}}));
    ASSERT_EQ(pseudo["kind"], "pseudocolor");
    auto withLut = [&](const std::string& file) {
        json settings = pseudo;
        settings["value"]["lut_file"] = file;
        return json{{"format", "BGR8"}, {"convert", settings}};
    };
    EXPECT_EQ(putJson(kMono, "/v1/setConvertControl", withLut("hot.lt1")).status, 404);
    ASSERT_EQ(upload(kMono, lutPart(sampleLut(), "hot.lt1")).status, 200);
    Reply set = putJson(kMono, "/v1/setConvertControl", withLut("elsewhere/hot.lt1"));
    EXPECT_EQ(set.status, 200);
    json stored = parsed(get(kMono, "/v1/getConvertControl", {{"format", "\"BGR8\""}}));
    EXPECT_TRUE(fs::equivalent(stored["value"]["lut_file"].get<std::string>(), server_.directory() / "lut" / "hot.lt1"))
        << stored;
    // An empty name loads nothing and needs no file.
    EXPECT_EQ(putJson(kMono, "/v1/setConvertControl", withLut("")).status, 200);
}

// ---- Hardware signals -----------------------------------------------------------------------------

TEST_F(SettingsRoutesTest, HardwareSignalRoutesNeedEveryKeyAndCheckTheirKinds) {
    struct Case {
        const char* path;
        const char* body;
        int status;
    };
    const Case cases[] = {
        {"/v1/configureHWIO_1_exposureTrigger", R"({"on": true})", 400},
        {"/v1/configureHWIO_1_exposureTrigger", R"({"polarity": "falling_edge"})", 400},
        {"/v1/configureHWIO_1_exposureTrigger", "[]", 400},
        {"/v1/configureHWIO_1_exposureTrigger", R"({"on": 1, "polarity": "falling_edge"})", 500},
        {"/v1/configureHWIO_1_exposureTrigger", R"({"on": true, "polarity": "falling_edge")", 500},
        {"/v1/configureHWIO_2_acquireEnable", R"({"on": true})", 400},
        {"/v1/configureHWIO_2_acquireEnable", R"({"on": "true", "polarity": "low_level"})", 500},
        {"/v1/configureHWIO_3_statusBusy", R"({"on": true, "polarity": "high_level"})", 400},
        {"/v1/configureHWIO_3_statusBusy", R"({"on": true, "signal_type": "status_busy"})", 400},
        {"/v1/configureHWIO_3_statusBusy", R"({"on": null, "polarity": "high_level", "signal_type": "status_busy"})",
         500},
        {"/v1/configureHWIO_4_statusExpos", R"({"on": true, "polarity": "high_level", "signal_type": "status_expos"})",
         400},
        {"/v1/configureHWIO_4_statusExpos",
         R"({"on": [true], "polarity": "high_level", "signal_type": "status_expos", "signal_timing": "global"})", 500},
        {"/v1/configureHWIO_1_exposureTrigger", R"({"on": true, "polarity": "falling_edge"})", 200},
        {"/v1/configureHWIO_1_exposureTrigger", R"({"on": false, "polarity": "sideways"})", 200},
        {"/v1/configureHWIO_2_acquireEnable", R"({"on": true, "polarity": "low_level"})", 200},
        {"/v1/configureHWIO_2_acquireEnable", R"({"on": false, "polarity": 7})", 200},
    };
    for (const Case& c : cases) {
        Reply r = put(kMono, c.path, c.body);
        EXPECT_EQ(r.status, c.status) << c.path << " " << c.body;
        EXPECT_EQ(r.body, "") << c.path << " " << c.body;
    }
}

TEST(SettingsRoutesSignalTest, StatusOutputsReportWhetherTheirSignalTypeWasFound) {
    ServerProcess server(sparseSignalCamera());
    ASSERT_TRUE(startUp(server, {kMono})) << server.standardOutput();
    struct Case {
        const char* path;
        json signal_type;
        bool found;
    };
    // Status busy offers "Status Busy" and "Status Line", status exposure "Status Expos" and
    // "Status Line". Names outside a route's table fall back to its first row.
    const Case cases[] = {
        {"/v1/configureHWIO_3_statusBusy", "status_busy", true},
        {"/v1/configureHWIO_3_statusBusy", "status_line", true},
        {"/v1/configureHWIO_3_statusBusy", "status_armed", false},
        {"/v1/configureHWIO_3_statusBusy", "status_expos", true},  // not in this table: status busy
        {"/v1/configureHWIO_3_statusBusy", 1, true},
        {"/v1/configureHWIO_4_statusExpos", "status_expos", true},
        {"/v1/configureHWIO_4_statusExpos", "status_line", true},
        {"/v1/configureHWIO_4_statusExpos", "status_armed", false},
        {"/v1/configureHWIO_4_statusExpos", "status_busy", true},  // not in this table: status exposure
        {"/v1/configureHWIO_4_statusExpos", "unknown", true},
    };
    for (const Case& c : cases) {
        json body = {{"on", true}, {"polarity", "low_level"}, {"signal_type", c.signal_type}};
        if (std::string(c.path).find("HWIO_4") != std::string::npos) body["signal_timing"] = "undefined";
        Reply r = putJson(kMono, c.path, body);
        ASSERT_EQ(r.status, 200) << c.path << " " << c.signal_type;
        EXPECT_EQ(r.content_type, "application/json");
        EXPECT_EQ(r.body, json({{"result", c.found}}).dump()) << c.path << " " << c.signal_type;
    }
}

TEST(SettingsRoutesSignalTest, StatusExposureTimingNeedsTheExposureSignal) {
    ServerProcess server(sparseSignalCamera());
    ASSERT_TRUE(startUp(server, {kMono})) << server.standardOutput();
    auto configure = [](const char* type, const char* timing) {
        return putJson(kMono, "/v1/configureHWIO_4_statusExpos",
                       {{"on", true}, {"polarity", "high_level"}, {"signal_type", type}, {"signal_timing", timing}});
    };
    EXPECT_EQ(configure("status_expos", "last_line").body, R"({"result":true})");
    Reply refused = configure("status_line", "global");
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(parsed(refused), errorBody(kNotSupported, "configureHWIO_4_statusExpos"));
    // An unknown timing name is "undefined", which every signal type accepts.
    EXPECT_EQ(configure("status_line", "sometimes").body, R"({"result":true})");
}

TEST_F(SettingsRoutesTest, CameraWithoutHardwareSignalsAnswersTheErrorReply) {
    struct Case {
        const char* path;
        json body;
        const char* where;
    };
    const Case cases[] = {
        {"/v1/configureHWIO_1_exposureTrigger",
         {{"on", true}, {"polarity", "rising_edge"}},
         "configureHWIO_1_exposureTrigger"},
        {"/v1/configureHWIO_2_acquireEnable",
         {{"on", true}, {"polarity", "high_level"}},
         "configureHWIO_2_acquireEnable"},
        {"/v1/configureHWIO_3_statusBusy",
         {{"on", true}, {"polarity", "high_level"}, {"signal_type", "status_busy"}},
         "configureHWIO_3_statusBusy"},
        {"/v1/configureHWIO_4_statusExpos",
         {{"on", true}, {"polarity", "high_level"}, {"signal_type", "status_expos"}, {"signal_timing", "global"}},
         "configureHWIO_4_statusExpos"},
    };
    for (const Case& c : cases) {
        Reply r = putJson(kColor, c.path, c.body);
        EXPECT_EQ(r.status, 503) << c.path;
        EXPECT_EQ(parsed(r), errorBody(kNotSupported, c.where)) << c.path;
    }
}

// ---- Look-up tables -------------------------------------------------------------------------------

TEST_F(SettingsRoutesTest, UploadStoresThePartUnderItsFileNameOrLutLt1) {
    const fs::path lut = server_.directory() / "lut";
    Reply named = upload(kMono, lutPart(sampleLut(), "hot.lt1"));
    EXPECT_EQ(named.status, 200);
    EXPECT_EQ(named.content_type, "application/json");
    EXPECT_EQ(named.body, R"({"saved":"hot.lt1"})");
    EXPECT_EQ(readFile(lut / "hot.lt1"), sampleLut());

    Reply nameless = upload(kMono, lutPart(rampLut(), ""));
    EXPECT_EQ(nameless.body, R"({"saved":"lut.lt1"})");
    EXPECT_EQ(readFile(lut / "lut.lt1"), rampLut());

    // A second upload of a name replaces the file, also with a shorter content.
    EXPECT_EQ(upload(kMono, lutPart("short", "hot.lt1")).status, 200);
    EXPECT_EQ(readFile(lut / "hot.lt1"), "short");

    // Only the first part named "lut" counts.
    httplib::MultipartFormDataItems two = {{"other", "x", "other.lt1", "application/octet-stream"},
                                           {"lut", "first", "first.lt1", "application/octet-stream"},
                                           {"lut", "second", "second.lt1", "application/octet-stream"}};
    EXPECT_EQ(upload(kMono, two).body, R"({"saved":"first.lt1"})");
    EXPECT_FALSE(fs::exists(lut / "second.lt1"));
    EXPECT_FALSE(fs::exists(lut / "other.lt1"));
}

TEST_F(SettingsRoutesTest, UploadRefusesRequestsWithoutAUsableLutPart) {
    EXPECT_EQ(post(kMono, "/v1/uploadLut", R"({"lut": "data"})").status, 400);
    EXPECT_EQ(reply(qortest::client(kMono)->Post("/v1/uploadLut", httplib::Params{{"lut", "data"}})).status, 400);
    EXPECT_EQ(upload(kMono, {{"table", sampleLut(), "hot.lt1", "application/octet-stream"}}).status, 400);
    EXPECT_EQ(upload(kMono, lutPart("", "empty.lt1")).status, 400);
    for (const char* name : {"..", ".", "dir/", "a/..", "/", "lut/."}) {
        Reply r = upload(kMono, lutPart(sampleLut(), name));
        EXPECT_EQ(r.status, 400) << name;
        EXPECT_EQ(r.body, "") << name;
    }
    EXPECT_FALSE(fs::exists(server_.directory() / "lut" / "empty.lt1"));
    // Nothing was written next to the tables or in the working directory.
    std::vector<std::string> written;
    for (const auto& entry : fs::recursive_directory_iterator(server_.directory()))
        if (entry.is_regular_file() && entry.path().extension() == ".lt1") written.push_back(entry.path().string());
    EXPECT_TRUE(written.empty()) << written.front();
}

TEST_F(SettingsRoutesTest, UploadKeepsOnlyTheLastComponentOfTheFileName) {
    const fs::path dir = server_.directory();
    struct Case {
        std::string name;
        const char* stored;
    };
    const Case cases[] = {
        {"../x.lt1", "x.lt1"},
        {"../../" + dir.filename().string() + "/y.lt1", "y.lt1"},  // would be the working directory
        {(dir / "z.lt1").string(), "z.lt1"},
        {"sub/dir/w.lt1", "w.lt1"},
    };
    for (const Case& c : cases) {
        Reply r = upload(kMono, lutPart(rampLut(), c.name));
        EXPECT_EQ(r.status, 200) << c.name;
        EXPECT_EQ(parsed(r), json({{"saved", c.stored}})) << c.name;
        EXPECT_EQ(readFile(dir / "lut" / c.stored), rampLut()) << c.name;
    }
    EXPECT_FALSE(fs::exists(dir / "x.lt1"));
    EXPECT_FALSE(fs::exists(dir / "y.lt1"));
    EXPECT_FALSE(fs::exists(dir / "z.lt1"));
    EXPECT_FALSE(fs::exists(dir / "lut" / "sub"));
}

TEST_F(SettingsRoutesTest, UploadThatCannotBeStoredAnswers500) {
    const fs::path lut = server_.directory() / "lut";
    fs::create_directories(lut / "taken.lt1");  // a directory where the file would go
    Reply r = upload(kMono, lutPart(sampleLut(), "taken.lt1"));
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(r.body, "");
    EXPECT_TRUE(fs::is_directory(lut / "taken.lt1"));

    fs::remove_all(lut);
    std::ofstream(lut) << "a file where the directory would go";
    EXPECT_EQ(upload(kMono, lutPart(sampleLut(), "hot.lt1")).status, 500);
    expectServing(kMono);
}

TEST_F(SettingsRoutesTest, LoadLutResolvesRelativeNamesInTheTableDirectoryAndTakesAbsolutePaths) {
    const fs::path dir = server_.directory();
    auto load = [](uint16_t port, const std::string& format, const std::string& file) {
        return postForm(port, "/v1/loadLut", {{"format", format}, {"lutFile", file}});
    };
    auto storedLut = [] {
        return parsed(get(kMono, "/v1/getConvertControl", {{"format", "\"BGR8\""}}))["value"]["lut_file"]
            .get<std::string>();
    };
    EXPECT_EQ(load(kMono, "\"BGR8\"", "\"sub/my.lt1\"").status, 404);
    // A table next to the working directory's "sub" or in it is not looked at.
    fs::create_directories(dir / "sub");
    std::ofstream(dir / "sub" / "my.lt1", std::ios::binary) << sampleLut();
    std::ofstream(dir / "my.lt1", std::ios::binary) << sampleLut();
    EXPECT_EQ(load(kMono, "\"BGR8\"", "\"sub/my.lt1\"").status, 404);
    EXPECT_EQ(load(kMono, "\"BGR8\"", "\"my.lt1\"").status, 404);

    ASSERT_EQ(upload(kMono, lutPart(sampleLut(), "my.lt1")).status, 200);
    Reply loaded = load(kMono, "\"BGR8\"", "\"sub/my.lt1\"");
    EXPECT_EQ(loaded.status, 200);
    EXPECT_EQ(loaded.body, "");
    EXPECT_TRUE(fs::equivalent(storedLut(), dir / "lut" / "my.lt1")) << storedLut();

    const fs::path absolute = fs::path(QOR_SOURCE_DIR) / "sim" / "luts" / "sample.lt2";
    EXPECT_EQ(load(kMono, "\"BGR8\"", json(absolute.string()).dump()).status, 200);
    EXPECT_EQ(storedLut(), absolute.string());
    EXPECT_EQ(load(kMono, "\"BGR8\"", json((dir / "lut" / "none.lt1").string()).dump()).status, 404);

    // Query-string parameters work as form fields do.
    EXPECT_EQ(
        reply(qortest::client(kMono)->Post("/v1/loadLut?format=%22RGB8%22&lutFile=%22my.lt1%22", "", "text/plain"))
            .status,
        200);
}

TEST_F(SettingsRoutesTest, LoadLutChecksItsParametersAndTheCamera) {
    ASSERT_EQ(upload(kMono, lutPart(sampleLut(), "my.lt1")).status, 200);
    struct Case {
        uint16_t port;
        httplib::Params params;
        int status;
    };
    const Case cases[] = {
        {kMono, {{"lutFile", "\"my.lt1\""}}, 400},
        {kMono, {{"format", "\"BGR8\""}}, 400},
        {kMono, {}, 400},
        {kMono, {{"format", "BGR8"}, {"lutFile", "\"my.lt1\""}}, 500},
        {kMono, {{"format", "\"BGR8\""}, {"lutFile", "my.lt1"}}, 500},
        {kMono, {{"format", "\"BGR8\""}, {"lutFile", "[\"my.lt1\"]"}}, 500},
        {kMono, {{"format", "\"BGR8\""}, {"lutFile", "17"}}, 500},
        {kMono, {{"format", "\"BGR8\""}, {"lutFile", "\"missing.lt1\""}}, 404},
    };
    for (const Case& c : cases) {
        Reply r = postForm(c.port, "/v1/loadLut", c.params);
        EXPECT_EQ(r.status, c.status) << (c.params.empty() ? "" : c.params.begin()->second);
        EXPECT_EQ(r.body, "");
    }
    // Mono8 holds no pseudo-colour settings, and the colour camera has none at all.
    Reply mono8 = postForm(kMono, "/v1/loadLut", {{"format", "\"Mono8\""}, {"lutFile", "\"my.lt1\""}});
    EXPECT_EQ(mono8.status, 503);
    EXPECT_EQ(parsed(mono8), errorBody(kInvalidArgument, "loadLut"));
    ASSERT_EQ(upload(kColor, lutPart(sampleLut(), "my.lt1")).status, 200);
    Reply color = postForm(kColor, "/v1/loadLut", {{"format", "\"BGR8\""}, {"lutFile", "\"my.lt1\""}});
    EXPECT_EQ(color.status, 503);
    EXPECT_EQ(parsed(color)["where"], "loadLut");
    // A file that is no table of its kind is refused by the conversion library.
    ASSERT_EQ(upload(kMono, lutPart("not a table", "broken.lt1")).status, 200);
    EXPECT_EQ(postForm(kMono, "/v1/loadLut", {{"format", "\"BGR8\""}, {"lutFile", "\"broken.lt1\""}}).status, 503);
}

// ---- White balance --------------------------------------------------------------------------------

TEST_F(SettingsRoutesTest, WhiteBalanceNeedsAFormatAndARecordedImage) {
    EXPECT_EQ(postForm(kColor, "/v1/adaptWhiteBalance", {}).status, 400);
    EXPECT_EQ(postForm(kColor, "/v1/adaptWhiteBalance", {{"format", "BGR8"}}).status, 500);
    for (const httplib::Params& params :
         {httplib::Params{{"format", "\"BGR8\""}},
          httplib::Params{{"format", "\"BGR8\""}, {"crop", R"({"x0":1,"y0":1,"x1":64,"y1":64})"}}}) {
        Reply r = postForm(kColor, "/v1/adaptWhiteBalance", params);
        EXPECT_EQ(r.status, 400);
        EXPECT_EQ(r.body, "");
    }
}

TEST_F(SettingsRoutesTest, WhiteBalanceAdaptsToTheNewestRecordedImage) {
    ASSERT_EQ(postForm(kColor, "/v1/record", {{"imgCount", "2"}, {"recMode", "\"sequence\""}}).status, 200);
    struct Case {
        httplib::Params params;
        int status;
    };
    const Case cases[] = {
        {{{"format", "\"BGR8\""}}, 200},
        {{{"format", "\"RGB16\""}}, 200},
        {{{"format", "\"BGR8\""}, {"crop", R"({"x0":1,"y0":1,"x1":64,"y1":64})"}}, 200},
        {{{"format", "\"BGR8\""}, {"crop", R"({"x0":1,"y0":1,"x1":4000,"y1":64})"}}, 503},  // beyond the image
        {{{"format", "\"Mono8\""}}, 503},                                                   // not a colour format
        {{{"format", "\"BGR8\""}, {"crop", R"({"x0":1,"y0":1,"x1":64})"}}, 500},
        {{{"format", "\"BGR8\""}, {"crop", "1,1,64,64"}}, 500},
    };
    for (const Case& c : cases) {
        Reply r = postForm(kColor, "/v1/adaptWhiteBalance", c.params);
        EXPECT_EQ(r.status, c.status) << c.params.begin()->second << " " << c.params.rbegin()->second;
        if (c.status == 503) {
            EXPECT_EQ(parsed(r)["where"], "adaptWhiteBalance");
        } else {
            EXPECT_EQ(r.body, "");
        }
    }
}

// ---- Robustness -----------------------------------------------------------------------------------

TEST_F(SettingsRoutesTest, MalformedAndExtremeInputsNeverStopTheServer) {
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::vector<std::string> bodies = {
        "",
        "{",
        "nul",
        "[1,2",
        "\"unterminated",
        "{\"a\":}",
        "\xff\xfe",
        std::string("{\"a\":\0}", 7),
        deep,
        R"({"exposure_s": 1e400, "delay_s": -1e400})",
        R"({"exposure_s": -0, "delay_s": 1e-400})",
        R"({"on": true, "polarity": {"nested": [1, 2, 3]}, "signal_type": [], "signal_timing": {}})",
        R"({"region": null, "min_exposure_s": -1e308, "max_exposure_s": 1e308})",
        R"({"format": "BGR8", "convert": {"kind": "pseudocolor", "value": null}})",
    };
    const char* const put_paths[] = {"/v1/setConfiguration",
                                     "/v1/setExposureTime",
                                     "/v1/setDelayTime",
                                     "/v1/configureAutoExposure",
                                     "/v1/setConvertControl",
                                     "/v1/configureHWIO_1_exposureTrigger",
                                     "/v1/configureHWIO_2_acquireEnable",
                                     "/v1/configureHWIO_3_statusBusy",
                                     "/v1/configureHWIO_4_statusExpos",
                                     "/v1/defaultConfiguration"};
    for (const char* path : put_paths) {
        for (const std::string& body : bodies) {
            Reply r = put(kMono, path, body);
            EXPECT_TRUE(r.status == 200 || r.status == 400 || r.status == 500 || r.status == 503)
                << path << " " << body.substr(0, 40) << " answered " << r.status;
        }
    }
    for (const char* text : {"", "{", "\"BGR8", "1e400", "-1", "18446744073709551616", deep.c_str()}) {
        for (const char* path : {"/v1/loadLut", "/v1/adaptWhiteBalance"}) {
            Reply r = postForm(kMono, path, {{"format", text}, {"lutFile", text}, {"crop", text}});
            EXPECT_TRUE(r.status >= 400 && r.status != 501) << path << " " << std::string(text).substr(0, 40);
        }
        EXPECT_GE(get(kMono, "/v1/getConvertControl", {{"format", text}}).status, 400);
    }
    // Huge and negative numbers in a configuration reach the camera, which refuses them.
    json config = parsed(get(kMono, "/v1/getConfiguration"));
    for (const auto& [key, value] :
         std::vector<std::pair<const char*, json>>{{"pixelrate", 1e20},
                                                   {"conversion_factor", 1e300},
                                                   {"trigger_mode", -7},
                                                   {"delay_time_s", -1e300},
                                                   {"roi", {{"x0", -5}, {"y0", 1e30}, {"x1", 1}, {"y1", 1}}}}) {
        json body = config;
        body[key] = value;
        Reply r = putJson(kMono, "/v1/setConfiguration", body);
        EXPECT_EQ(r.status, 503) << key;
        EXPECT_EQ(parsed(r)["where"], "setConfiguration") << key;
    }
    ASSERT_TRUE(server_.running());
    expectServing(kMono);
    expectServing(kColor);
}

}  // namespace
