// One failing vendor call at a time, injected into the running server through the device file: the
// route that reaches the call answers 503 with the call's status as "code" and the failed operation
// as "where", and the same request succeeds right afterwards. Every row starts its own server (in
// about 50 ms), so rows cannot disturb each other.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/server_process.h"

namespace {

using nlohmann::json;

constexpr int32_t kInjectedStatus = static_cast<int32_t>(0x80140007);

struct Request {
    std::string method;  // GET, POST or PUT
    std::string target;  // path with query
    std::string body;    // JSON body of PUT requests; "<config>" stands for the camera's configuration
};

struct FaultRow {
    std::string call;
    std::string camera;            // device template: mono or color
    std::vector<Request> prepare;  // requests that must succeed before the fault is met
    Request request;
    std::string where;
    int32_t code = kInjectedStatus;  // the "code" expected in the answer
    std::string device = "{}";       // keys merged into the camera's device entry
};

void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.call << " via " << row.request.target; }

const std::string kSample = std::string(QOR_SOURCE_DIR) + "/sim/luts/sample.lt1";
const std::string kQuotedSample = "%22" + kSample + "%22";
const Request kRecordTwo{"POST", "/v1/record?imgCount=2", ""};
const Request kRecordRing{"POST", "/v1/record?imgCount=4&recMode=%22ring_buffer%22", ""};
const std::string kCompression =
    "%7B%22dGainK%22%3A1%2C%22dDarkNoise_e%22%3A1%2C%22dDSNU_e%22%3A0%2C%22dPRNU_pct%22%3A0%2C"
    "%22dLightSourceNoise_pct%22%3A0%7D";

Request get(const std::string& target) { return {"GET", target, ""}; }
Request post(const std::string& target) { return {"POST", target, ""}; }
Request put(const std::string& target, const std::string& body) { return {"PUT", target, body}; }

// The pixel-rate and conversion-factor reads of a configuration read are left out: the camera treats
// them as optional (a failed read gives 0).
const std::vector<FaultRow> kRows = {
    {"QOR_GetCameraDescriptionEx", "mono", {}, get("/v1/getDescription"), "getDescription"},
    {"QOR_GetSensorFormat", "mono", {}, get("/v1/getDescription"), "getDescription"},
    {"QOR_GetDelayExposureTime", "mono", {}, get("/v1/getExposureTime"), "getExposureTime"},
    {"QOR_GetROI", "mono", {}, get("/v1/getConfiguration"), "getConfiguration"},
    {"QOR_GetTimestampMode", "mono", {}, get("/v1/getConfiguration"), "getConfiguration"},
    {"QOR_GetTriggerMode", "mono", {}, get("/v1/getConfiguration"), "getConfiguration"},
    {"QOR_GetAcquireModeEx", "mono", {}, get("/v1/getConfiguration"), "getConfiguration"},
    {"QOR_GetMetaDataMode", "mono", {}, get("/v1/getConfiguration"), "getConfiguration"},
    {"QOR_GetNoiseFilterMode", "mono", {}, get("/v1/getConfiguration"), "getConfiguration"},
    {"QOR_GetBinning", "mono", {}, get("/v1/getConfiguration"), "getConfiguration"},
    {"QOR_GetAcquireMode", "color", {}, get("/v1/getConfiguration"), "getConfiguration"},
    {"QOR_SetDelayExposureTime", "mono", {}, put("/v1/setExposureTime", R"({"exposure_s":0.002})"),
     "setExposureTime"},
    {"QOR_SetROI", "mono", {}, put("/v1/setConfiguration", "<config>"), "setConfiguration"},
    {"QOR_SetTimestampMode", "mono", {}, put("/v1/setConfiguration", "<config>"), "setConfiguration"},
    {"QOR_SetPixelRate", "mono", {}, put("/v1/setConfiguration", "<config>"), "setConfiguration"},
    {"QOR_SetConversionFactor", "mono", {}, put("/v1/setConfiguration", "<config>"), "setConfiguration"},
    {"QOR_SetTriggerMode", "mono", {}, put("/v1/setConfiguration", "<config>"), "setConfiguration"},
    {"QOR_SetAcquireModeEx", "mono", {}, put("/v1/setConfiguration", "<config>"), "setConfiguration"},
    {"QOR_SetNoiseFilterMode", "mono", {}, put("/v1/setConfiguration", "<config>"), "setConfiguration"},
    {"QOR_SetBinning", "mono", {}, put("/v1/setConfiguration", "<config>"), "setConfiguration"},
    {"QOR_SetAcquireMode", "color", {}, put("/v1/setConfiguration", "<config>"), "setConfiguration"},
    {"QOR_SetCameraSetup", "color", {}, put("/v1/setConfiguration", "<config>"), "setConfiguration"},
    {"QOR_RecorderSetAutoExpRegions", "mono", {}, post("/v1/autoExposureOn"), "autoExposureOn"},
    {"QOR_GetHWIOSignalCount", "mono", {},
     put("/v1/configureHWIO_1_exposureTrigger", R"({"on":true,"polarity":"rising_edge"})"),
     "configureHWIO_1_exposureTrigger"},
    {"QOR_GetHWIOSignal", "mono", {},
     put("/v1/configureHWIO_2_acquireEnable", R"({"on":true,"polarity":"high_level"})"),
     "configureHWIO_2_acquireEnable"},
    {"QOR_SetHWIOSignal", "mono", {},
     put("/v1/configureHWIO_4_statusExpos",
         R"({"on":true,"polarity":"high_level","signal_type":"status_expos","signal_timing":"first_line"})"),
     "configureHWIO_4_statusExpos"},
    {"QOR_GetHWIOSignalDescriptor", "mono", {},
     put("/v1/configureHWIO_3_statusBusy", R"({"on":true,"polarity":"high_level","signal_type":"status_busy"})"),
     "configureHWIO_3_statusBusy"},
    {"QOR_GetCameraRamSize", "mono", {}, get("/v1/getCamRamAllocation"), "getCamRamAllocation"},
    {"QOR_GetCameraRamSegmentSize", "mono", {}, get("/v1/getCamRamAllocation"), "getCamRamAllocation"},
    {"QOR_SetCameraRamSegmentSize", "mono", {}, put("/v1/setCamRamAllocation", R"({"percents":[100,0,0,0]})"),
     "setCamRamAllocation"},
    {"QOR_RecorderStartRecord", "mono", {}, post("/v1/record?imgCount=1"), "record"},
    {"QOR_GetDoubleImageMode", "mono", {}, post("/v1/record?imgCount=1"), "record"},
    {"QOR_RecorderSetAutoExposure", "color", {}, post("/v1/record?imgCount=1"), "record"},
    {"QOR_RecorderStopRecord", "mono", {kRecordRing}, post("/v1/stop"), "stop"},
    {"QOR_ForceTrigger", "mono", {kRecordRing}, post("/v1/trigger"), "trigger"},
    {"QOR_RecorderCopyImage", "mono", {kRecordTwo}, get("/v1/image?index=0&format=%22Mono16%22"), "image"},
    {"QOR_RecorderCopyAverageImage", "mono", {kRecordTwo}, get("/v1/imageAverage?format=%22Mono16%22"),
     "imageAverage"},
    {"QOR_RecorderSetCompressionParams", "mono", {kRecordTwo},
     get("/v1/image?index=0&format=%22CompressedMono8%22&comp_params=" + kCompression), "image"},
    {"QOR_RecorderCopyImageCompressed", "mono", {kRecordTwo},
     get("/v1/image?index=0&format=%22CompressedMono8%22&comp_params=" + kCompression), "image"},
    {"QOR_Convert16TO8", "mono", {kRecordTwo}, get("/v1/image?index=0&format=%22Mono8%22"), "image"},
    {"QOR_Convert16TOPSEUDO", "mono", {kRecordTwo}, get("/v1/image?index=0&format=%22BGR8%22"), "image"},
    {"QOR_Convert16TOCOL", "color", {kRecordTwo}, get("/v1/image?index=0&format=%22BGR8%22"), "image"},
    {"QOR_Convert16TOCOL16", "color", {kRecordTwo}, get("/v1/image?index=0&format=%22RGB16%22"), "image"},
    {"QOR_GetWhiteBalance", "color", {kRecordTwo}, post("/v1/adaptWhiteBalance?format=%22BGR8%22"),
     "adaptWhiteBalance"},
    {"QOR_LoadPseudoLut", "mono", {}, post("/v1/loadLut?format=%22BGR8%22&lutFile=" + kQuotedSample), "loadLut"},
    // Without a camera-RAM recorder (the default one is replaced) the count comes from the camera.
    {"QOR_GetNumberOfImagesInSegment", "mono", {kRecordTwo}, get("/v1/getCamRamMaxImages"), "getCamRamMaxImages"},
    {"QOR_GetWhiteBalanceGains", "color", {kRecordTwo}, get("/v1/image?index=0&format=%22BGR8%22"), "image"},
    // Calls that opening a camera makes too: the search for the skip count passes the start-up.
    {"QOR_ScanCameras", "mono", {}, post("/v1/setFree"), "open"},
    // A camera that does not open is passed over; the description read then fails on the missing handle.
    {"QOR_OpenCameraDevice", "mono", {}, post("/v1/setFree"), "open", static_cast<int32_t>(0x80140002)},
    {"QOR_GetCameraType", "mono", {}, post("/v1/setFree"), "open"},
    {"QOR_GetCameraName", "mono", {}, post("/v1/setFree"), "open"},
    {"QOR_ConvertCreate", "mono", {}, post("/v1/setFree"), "open"},
    {"QOR_GetCameraDescription", "mono", {}, get("/v1/getDescription"), "getDescription"},
    {"QOR_ArmCamera", "mono", {}, put("/v1/setExposureTime", R"({"exposure_s":0.002})"), "setExposureTime"},
    {"QOR_GetCameraHealthStatus", "mono", {}, put("/v1/setExposureTime", R"({"exposure_s":0.002})"),
     "setExposureTime"},
    {"QOR_ResetSettingsToDefault", "mono", {}, put("/v1/defaultConfiguration", "{}"), "defaultConfiguration"},
    {"QOR_SetBitAlignment", "mono", {}, put("/v1/defaultConfiguration", "{}"), "defaultConfiguration"},
    {"QOR_GetActiveRamSegment", "mono", {}, get("/v1/getCamRamSegment"), "getCamRamSegment"},
    {"QOR_GetRecordingState", "mono", {}, post("/v1/switchToCamRam"), "switchToCamRam"},
    {"QOR_SetActiveRamSegment", "mono", {}, post("/v1/switchToCamRam?segment=1"), "switchToCamRam"},
    {"QOR_SetMetaDataMode", "mono", {}, post("/v1/switchToCamRam?segment=1"), "switchToCamRam"},
    {"QOR_SetStorageMode", "mono", {}, post("/v1/switchToCamRam?segment=1"), "switchToCamRam"},
    {"QOR_SetRecorderSubmode", "mono", {}, post("/v1/switchToCamRam?segment=1"), "switchToCamRam"},
    {"QOR_GetBitAlignment", "mono", {}, get("/v1/getSensorInfo"), "getSensorInfo"},
    {"QOR_GetSensorDarkOffset", "mono", {}, get("/v1/getSensorInfo"), "getSensorInfo"},
    {"QOR_GetColorCorrectionMatrix", "color", {}, get("/v1/getSensorInfo"), "getSensorInfo"},
    {"QOR_GetCameraSetup", "color", {}, get("/v1/getRawFormat"), "getRawFormat"},
    {"QOR_ConvertSetSensorInfo", "mono", {}, post("/v1/record?imgCount=1"), "record"},
    {"QOR_RecorderCreate", "mono", {}, post("/v1/record?imgCount=1"), "record"},
    {"QOR_RecorderInit", "mono", {}, post("/v1/record?imgCount=1"), "record"},
    {"QOR_RecorderGetSettings", "mono", {kRecordTwo}, post("/v1/waitForNewImage?timeout=1"), "waitForNewImage"},
    // Without a recording first: a blocking record polls the status an unforeseeable number of times.
    {"QOR_RecorderGetStatus", "mono", {}, get("/v1/getRecordedImageCount"), "getRecordedImageCount"},
    {"QOR_ConvertGetDisplay", "mono", {}, get("/v1/getConvertControl?format=%22BGR8%22"), "getConvertControl"},
    {"QOR_ConvertSetDisplay", "mono", {}, post("/v1/loadLut?format=%22BGR8%22&lutFile=" + kQuotedSample), "loadLut"},
    // The camera stops its own acquisition before it changes the RAM segment.
    {"QOR_SetRecordingState", "mono", {kRecordRing}, post("/v1/switchToCamRam?segment=1"), "switchToCamRam"},
    // Only cameras with an infrared mode read it.
    {"QOR_GetIRSensitivity", "mono", {}, get("/v1/getDescription"), "getDescription", kInjectedStatus,
     R"({"description": {"wIRDESC": 1}})"},
};

// A fault armed to pass `skip` calls must meet the request, not the start-up or the preparation:
// the skip counts tried run up from 0 until the request is the first to fail.
constexpr int kMaxSkip = 80;

std::string deviceFile(const FaultRow& row, int skip) {
    json camera = {{"template", row.camera}, {"serial", 30001}, {"name", "Faulty"}};
    camera.update(json::parse(row.device));
    json file = {{"cameras", json::array({camera})},
                 {"faults", json::array({{{"call", row.call}, {"status", kInjectedStatus}, {"skip", skip},
                                          {"count", 1}}})}};
    return file.dump();
}

// The default configuration of each template, read once from a server without faults.
std::string defaultConfiguration(const std::string& camera) {
    static std::map<std::string, std::string> cache;
    auto it = cache.find(camera);
    if (it != cache.end()) return it->second;
    json file = {{"cameras", json::array({{{"template", camera}, {"serial", 30002}}})}};
    qortest::ServerProcess server(file.dump(), "config");
    EXPECT_TRUE(server.waitUntilReady());
    auto reply = qortest::client(8080)->Get("/v1/getConfiguration");
    EXPECT_TRUE(reply && reply->status == 200);
    return cache[camera] = reply ? reply->body : "";
}

httplib::Result send(const Request& request, const std::string& camera) {
    auto http = qortest::client(8080, 20);
    if (request.method == "GET") return http->Get(request.target.c_str());
    if (request.method == "POST") return http->Post(request.target.c_str());
    const std::string body = request.body == "<config>" ? defaultConfiguration(camera) : request.body;
    return http->Put(request.target.c_str(), body, "application/json");
}

class FaultInjectionTest : public ::testing::TestWithParam<FaultRow> {};

TEST_P(FaultInjectionTest, RouteAnswersTheFailedCallAndRecovers) {
    const FaultRow& row = GetParam();
    if (row.request.body == "<config>") defaultConfiguration(row.camera);  // before the faulty server
    const json expected = {{"code", row.code}, {"where", row.where}};
    std::string seen;
    for (int skip = 0; skip <= kMaxSkip; ++skip) {
        qortest::ServerProcess server(deviceFile(row, skip), "fault");
        if (!server.waitUntilReady(std::chrono::seconds(5))) continue;  // the fault stopped the start-up
        bool prepared = true;
        for (const Request& step : row.prepare) {
            auto reply = send(step, row.camera);
            prepared = prepared && reply && reply->status == 200;
        }
        if (!prepared) continue;

        auto failed = send(row.request, row.camera);
        ASSERT_TRUE(failed) << "no answer with skip " << skip;
        if (failed->status != 503 || json::parse(failed->body, nullptr, false) != expected) {
            seen += " skip " + std::to_string(skip) + ": " + std::to_string(failed->status) + " " + failed->body + ";";
            continue;
        }
        EXPECT_EQ(failed->get_header_value("Content-Type"), "application/json");
        auto again = send(row.request, row.camera);
        ASSERT_TRUE(again);
        EXPECT_EQ(again->status, 200) << again->body;
        EXPECT_TRUE(server.running());
        return;
    }
    ADD_FAILURE() << "no skip count made " << row.request.target << " answer " << expected.dump() << ";"
                  << seen.substr(0, 2000);
}

INSTANTIATE_TEST_SUITE_P(VendorCalls, FaultInjectionTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<FaultRow>& info) { return info.param.call; });

}  // namespace
