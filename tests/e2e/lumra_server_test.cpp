// The light-source server end to end: qor-lumra-test-server with a simulated light source, found by UDP
// discovery and driven over HTTP in a private network namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/server_process.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using qortest::ServerProcess;

constexpr uint16_t kPort = 8090;

// Four channels; 488 nm and 561 nm share exclusivity group 2, so only one of them may be on.
json lightSource() {
    return json::parse(R"({
        "type": 3, "port": "/dev/ttyLR7", "serial": 4711,
        "channels": [
            {"wavelength": 405, "group": 0, "min": 0, "max": 1000, "intensity": 100, "on": true},
            {"wavelength": 488, "group": 2, "min": 0, "max": 1000, "intensity": 200},
            {"wavelength": 561, "group": 2, "min": 5, "max": 900, "intensity": 300},
            {"wavelength": 640, "group": 0, "min": 0, "max": 1000, "intensity": 400}
        ]})");
}

// A device file with the light source above and the given extra top-level keys (faults, versions).
std::string devices(json extra = json::object()) {
    extra["cameras"] = json::array();
    extra["light_sources"] = json::array({lightSource()});
    return extra.dump();
}

json switchFault(int skip, int count) {
    return json::array({{{"call", "LUMRA_SwitchLumra"}, {"status", -2145910778}, {"skip", skip}, {"count", count}}});
}

class LumraServer {
public:
    explicit LumraServer(const std::string& device_json, uint16_t port = kPort)
        : port_(port), process_(QOR_LUMRA_TEST_SERVER, {std::to_string(port)}, device_json, "lumra") {}

    bool ready() { return process_.waitForOutput("ready. Press Ctrl-C to quit.\n"); }
    ServerProcess& process() { return process_; }

    httplib::Result get(const std::string& path, const httplib::Params& params = {}) {
        return http_->Get(path, params, httplib::Headers{});
    }
    httplib::Result post(const std::string& path, const std::string& body = "") {
        return http_->Post(path, body, "application/json");
    }
    // Parameters as a form body.
    httplib::Result post(const std::string& path, const httplib::Params& params) { return http_->Post(path, params); }

    // The body of a 200 answer, parsed; null when the request failed otherwise.
    json getJson(const std::string& path) {
        auto res = get(path);
        if (!res || res->status != 200) return nullptr;
        return json::parse(res->body);
    }
    json configuration() { return getJson("/v1/getConfiguration"); }

private:
    uint16_t port_;
    ServerProcess process_;
    std::unique_ptr<httplib::Client> http_ = qortest::client(port_);
};

// Status and body of an answer, so a failure shows both.
std::string answer(const httplib::Result& res) {
    if (!res) return "no answer";
    return std::to_string(res->status) + " " + res->body;
}

TEST(LumraServerTest, DiscoveryListsTheLightSourceUnderLumraOnlyAndInfoShowsTheSameEntry) {
    LumraServer server(devices());
    ASSERT_TRUE(server.ready()) << server.process().standardOutput() << server.process().standardError();
    const std::string entry =
        R"({"free":true,"ip":"0.0.0.0","name":"Light source model D","port":8090,"serial":4711,"type":"lumra"})";
    EXPECT_EQ(qortest::discoverRaw(R"({"action":"discover","type":"lumra"})"), "[" + entry + "]");
    EXPECT_EQ(qortest::discoverRaw(R"({"action":"discover","type":"camera"})"), "[]");

    auto info = server.get("/v1/info");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->status, 200);
    EXPECT_EQ(info->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(info->body, entry);
}

TEST(LumraServerTest, HeartbeatClaimsTheLightSourceUntilTheWatchdogFreesIt) {
    LumraServer server(devices());
    ASSERT_TRUE(server.ready());
    auto beat = server.post("/v1/heartbeat");
    ASSERT_TRUE(beat);
    EXPECT_EQ(beat->status, 200);
    EXPECT_EQ(beat->body, R"({"ok":"ok"})");
    ASSERT_EQ(qortest::discover("lumra").size(), 1u);
    EXPECT_EQ(qortest::discover("lumra")[0]["free"], false);
    EXPECT_EQ(server.getJson("/v1/info")["free"], false);

    // Without further heartbeats the claim lapses after five seconds; give it a bounded while.
    bool freed = false;
    for (int i = 0; i < 100 && !freed; ++i) {
        std::this_thread::sleep_for(100ms);
        freed = server.getJson("/v1/info")["free"] == true;
    }
    EXPECT_TRUE(freed);
    EXPECT_EQ(qortest::discover("lumra")[0]["free"], true);
    EXPECT_NE(server.process().standardOutput().find("[Lumra on port 8090] heartbeat timeout - set free\n"),
              std::string::npos);
}

TEST(LumraServerTest, SetFreeFreesTheEntryAndReopensTheLightSource) {
    LumraServer server(devices());
    ASSERT_TRUE(server.ready());
    ASSERT_EQ(server.post("/v1/setConfiguration", R"({"intensities":[1,2,6,4],"on_states":[1,1,0,1]})")->status, 200);
    ASSERT_TRUE(server.post("/v1/heartbeat"));

    auto res = server.post("/v1/setFree");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "");
    EXPECT_EQ(qortest::discover("lumra")[0]["free"], true);
    EXPECT_EQ(server.getJson("/v1/info")["free"], true);
    EXPECT_NE(server.process().standardOutput().find("[Lumra port 8090] Manually set to free\n"), std::string::npos);
    // A freshly opened light source has every channel off and keeps the intensities.
    EXPECT_EQ(server.configuration(), json::parse(R"({"intensities":[1,2,6,4],"on_states":[0,0,0,0]})"));
}

TEST(LumraServerTest, AFailedReopenAnswers500AndLeavesTheDeviceRoutesUnavailableUntilTheNext) {
    json extra;
    extra["faults"] = json::array({{{"call", "LUMRA_OpenDeviceEx"}, {"status", -2145910781}, {"skip", 1}}});
    LumraServer server(devices(extra));
    ASSERT_TRUE(server.ready());
    auto failed = server.post("/v1/setFree");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->status, 500);
    EXPECT_EQ(failed->body, "");
    EXPECT_NE(server.process().standardError().find("open() failed:"), std::string::npos);
    EXPECT_EQ(server.get("/v1/getType")->status, 503);

    EXPECT_EQ(server.post("/v1/setFree")->status, 200);
    EXPECT_EQ(server.getJson("/v1/getType"), "LR_Model_D");
}

TEST(LumraServerTest, IdentityRoutesAnswerTheDevicesValues) {
    LumraServer server(devices());
    ASSERT_TRUE(server.ready());
    auto type = server.get("/v1/getType");
    ASSERT_TRUE(type);
    EXPECT_EQ(type->status, 200);
    EXPECT_EQ(type->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(type->body, R"("LR_Model_D")");
    EXPECT_EQ(server.get("/v1/getComPort")->body, R"("/dev/ttyLR7")");
    EXPECT_EQ(server.get("/v1/getDescription")->body,
              R"({"com_port":"/dev/ttyLR7","exclusivity_vec":[0,2,2,0],"intensity_max_vec":[1000,1000,900,1000],)"
              R"("intensity_min_vec":[0,0,5,0],"name":"Light source model D","serial":4711,"type":"LR_Model_D",)"
              R"("wavelenghts_vec":[405,488,561,640]})");
    // Opening turned every channel off; the intensities are the device's.
    EXPECT_EQ(server.configuration(), json::parse(R"({"intensities":[100,200,300,400],"on_states":[0,0,0,0]})"));
    EXPECT_EQ(server.process().standardError(), "");
}

TEST(LumraServerTest, GetVersionsAnswersTheSdkVersionWithOrWithoutALibrary) {
    json extra;
    extra["lumra_sdk_version"] = {3, 1, 4, 15};
    LumraServer server(devices(extra));
    ASSERT_TRUE(server.ready());
    struct Case {
        httplib::Params params;
        int status;
        std::string body;
    };
    const std::vector<Case> cases = {
        {{}, 200, R"("3.1.4.15")"},
        {{{"library", R"("lym_lumra")"}}, 200, R"("3.1.4.15")"},
        {{{"library", "lym_lumra"}}, 500, ""},  // not a JSON string
        {{{"library", "7"}}, 500, ""},
    };
    for (const Case& c : cases) {
        auto res = server.get("/v1/getVersions", c.params);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status) << (c.params.empty() ? "" : c.params.begin()->second);
        EXPECT_EQ(res->body, c.body);
    }
}

TEST(LumraServerTest, ExecuteCommandTakesQuotedParametersAndAnswersTheDevice) {
    LumraServer server(devices());
    ASSERT_TRUE(server.ready());
    struct Case {
        httplib::Params params;
        int status;
        std::string body;
    };
    const std::vector<Case> cases = {
        {{{"command", R"("PING")"}}, 200, R"("PONG")"},
        {{{"command", R"("GET_SERIAL")"}}, 200, R"("4711")"},
        {{{"command", R"("GET_WAVELENGTH")"}, {"in_val", R"("2")"}}, 200, R"("561")"},
        {{{"command", R"("SET_INTENSITY")"}, {"in_val", R"("3,640")"}}, 200, R"("OK")"},
        {{{"command", "abc"}}, 500, ""},                                    // bare text is no JSON
        {{{"command", R"("GET_WAVELENGTH")"}, {"in_val", "2"}}, 500, ""},   // a number, not a string
        {{{"command", R"("NO_SUCH_COMMAND")"}}, 503, ""},
        {{{"command", R"("GET_WAVELENGTH")"}}, 503, ""},                    // the device needs a channel
        {{{"in_val", R"("2")"}}, 400, ""},
        {{}, 400, ""},
    };
    for (const Case& c : cases) {
        auto res = server.post("/v1/executeCommand", c.params);
        ASSERT_TRUE(res);
        const std::string label = c.params.empty() ? "no parameters" : c.params.begin()->second;
        EXPECT_EQ(res->status, c.status) << label;
        EXPECT_EQ(res->body, c.body) << label;
    }
    EXPECT_EQ(server.configuration()["intensities"][3], 640);
    // The same parameter in the query string of a POST.
    auto res = server.post("/v1/executeCommand?command=%22GET_PORT%22");
    ASSERT_TRUE(res);
    EXPECT_EQ(answer(res), R"(200 "/dev/ttyLR7")");
}

TEST(LumraServerTest, SetConfigurationRoundTripsAndRejectsWhatTheDeviceCannotTake) {
    LumraServer server(devices());
    ASSERT_TRUE(server.ready());
    const json wanted = json::parse(R"({"intensities":[10,20,30,40],"on_states":[1,0,1,1]})");
    auto res = server.post("/v1/setConfiguration", wanted.dump());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->body, "");
    EXPECT_EQ(server.configuration(), wanted);

    struct Case {
        std::string body;
        int status;
    };
    const std::vector<Case> cases = {
        {"{}", 503},                                                        // empty lists, four channels
        {R"({"intensities":[11,21,31,41]})", 503},                          // on_states missing
        {R"({"on_states":[0,0,0,0]})", 503},                                // intensities missing
        {"[11,21,31,41]", 503},                                             // no object: both lists empty
        {R"({"intensities":[11,21,31],"on_states":[0,0,0]})", 503},         // one channel short
        {R"({"intensities":[11,21,31,41],"on_states":[0,1,1,0]})", 503},    // 488 and 561 share a group
        {R"({"intensities":[11,21,31,41],"on_states":[0,0,0,0],)", 500},    // malformed JSON
        {"", 500},
        {R"({"intensities":"11,21,31,41","on_states":[0,0,0,0]})", 500},    // not an array
        {R"({"intensities":[11,21,31,41],"on_states":["on",0,0,0]})", 500}, // element of the wrong kind
    };
    for (const Case& c : cases) {
        res = server.post("/v1/setConfiguration", c.body);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status) << c.body;
        EXPECT_EQ(res->body, "") << c.body;
    }
    EXPECT_EQ(server.configuration(), wanted);  // nothing above reached the device
    EXPECT_NE(server.process().standardError().find("Just single wavelength from exclusive list can be set."),
              std::string::npos);

    // Booleans count as on-states.
    res = server.post("/v1/setConfiguration", R"({"intensities":[10,20,30,40],"on_states":[false,true,false,true]})");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(server.configuration()["on_states"], json::parse("[0,1,0,1]"));
}

TEST(LumraServerTest, HostileBodiesAreRefusedWhileTheSwitchedOnLightSourceKeepsBeingServed) {
    LumraServer server(devices());
    ASSERT_TRUE(server.ready());
    ASSERT_EQ(answer(server.post("/v1/switchOn")), "200 ");
    const json lit = json::parse(R"({"intensities":[10,20,30,40],"on_states":[1,0,1,1]})");
    ASSERT_EQ(answer(server.post("/v1/setConfiguration", lit.dump())), "200 ");

    const std::string deep = std::string(100000, '[') + std::string(100000, ']');  // about 200 kB
    const std::vector<std::string> bodies = {
        R"({"intensities":)" + deep + R"(,"on_states":[0,0,0,0]})",
        R"({"intensities":[1,2,3,4],"on_states":)" + deep + "}",
        R"({"intensities":[)" + deep + R"(,2,3,4],"on_states":[0,0,0,0]})",
        deep,
    };
    for (const std::string& body : bodies) EXPECT_EQ(answer(server.post("/v1/setConfiguration", body)), "500 ");
    // Form bodies are limited by the HTTP library to 8 kB; this nests far beyond the limit in fewer.
    const std::string deep_text = std::string(1000, '[') + "\"PING\"" + std::string(1000, ']');
    EXPECT_EQ(answer(server.post("/v1/executeCommand", httplib::Params{{"command", deep_text}})), "500 ");
    auto huge = server.post("/v1/setConfiguration", std::string(5u << 20, ' '));
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->status, 413);

    ASSERT_TRUE(server.process().running()) << server.process().standardError();
    EXPECT_EQ(server.configuration(), lit);
    auto state = server.post("/v1/executeCommand", httplib::Params{{"command", R"("GET_OUTPUT")"}});
    EXPECT_EQ(answer(state), R"(200 "ON")");
}

TEST(LumraServerTest, DefaultConfigurationTurnsEveryChannelOffAndAnswersTheConfiguration) {
    LumraServer server(devices());
    ASSERT_TRUE(server.ready());
    ASSERT_EQ(server.post("/v1/setConfiguration", R"({"intensities":[10,20,30,40],"on_states":[1,1,0,1]})")->status,
              200);
    ASSERT_EQ(server.post("/v1/switchOn")->status, 200);
    auto res = server.post("/v1/defaultConfiguration");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(res->body, R"({"intensities":[10,20,30,40],"on_states":[0,0,0,0]})");
    EXPECT_EQ(server.configuration(), json::parse(res->body));
    EXPECT_EQ(answer(server.post("/v1/executeCommand", httplib::Params{{"command", R"("GET_OUTPUT")"}})),
              R"(200 "OFF")");
}

TEST(LumraServerTest, SwitchesTurnTheOutputOnAndOffAndAFailureAnswers500) {
    // The switch-off of opening passes; the next two switch calls fail.
    json extra;
    extra["faults"] = switchFault(1, 2);
    LumraServer server(devices(extra));
    ASSERT_TRUE(server.ready());
    auto output = [&] {
        return answer(server.post("/v1/executeCommand", httplib::Params{{"command", R"("GET_OUTPUT")"}}));
    };

    auto failed = server.post("/v1/switchOn");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->status, 500);
    EXPECT_EQ(failed->body, "");
    EXPECT_EQ(output(), R"(200 "OFF")");
    EXPECT_NE(server.process().standardError().find("lumra_->switchOn()failed:"), std::string::npos);
    // A failed default configuration still reports the configuration it could read.
    auto defaulted = server.post("/v1/defaultConfiguration");
    ASSERT_TRUE(defaulted);
    EXPECT_EQ(defaulted->status, 503);
    EXPECT_EQ(defaulted->body, R"({"intensities":[100,200,300,400],"on_states":[0,0,0,0]})");

    auto on = server.post("/v1/switchOn");
    ASSERT_TRUE(on);
    EXPECT_EQ(answer(on), "200 ");
    EXPECT_EQ(output(), R"(200 "ON")");
    EXPECT_EQ(answer(server.post("/v1/switchOff")), "200 ");
    EXPECT_EQ(output(), R"(200 "OFF")");
}

TEST(LumraServerTest, WithoutALightSourceTheEntryIsAnonymousAndDeviceRoutesFail) {
    const std::string none = R"({"cameras": [], "light_sources": []})";
    LumraServer server(none, 8093);
    ASSERT_TRUE(server.ready()) << server.process().standardOutput() << server.process().standardError();
    EXPECT_EQ(qortest::discoverRaw(R"({"action":"discover","type":"lumra"})"),
              R"([{"free":true,"ip":"0.0.0.0","name":"","port":8093,"serial":4294967295,"type":"lumra"}])");
    for (const char* path : {"/v1/getComPort", "/v1/getType", "/v1/getDescription", "/v1/getConfiguration"}) {
        auto res = server.get(path);
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(answer(res), "503 ") << path;
    }
    // The SDK's version needs no light source.
    EXPECT_EQ(server.get("/v1/getVersions")->status, 200);
    EXPECT_EQ(answer(server.post("/v1/setConfiguration", "{}")), "503 ");
    EXPECT_EQ(answer(server.post("/v1/defaultConfiguration")), "503 ");
    EXPECT_EQ(answer(server.post("/v1/executeCommand", httplib::Params{{"command", R"("PING")"}})), "503 ");
    EXPECT_EQ(answer(server.post("/v1/switchOn")), "500 ");
    EXPECT_EQ(answer(server.post("/v1/switchOff")), "500 ");
    EXPECT_EQ(answer(server.post("/v1/setFree")), "500 ");
}

TEST(LumraServerTest, SigintStopsTheServerInOrderWithExitStatusZero) {
    LumraServer server(devices());
    ASSERT_TRUE(server.ready());
    ASSERT_TRUE(server.post("/v1/heartbeat"));
    server.process().interrupt();
    EXPECT_EQ(server.process().waitForExit(10s), 0);
    const std::string out = server.process().standardOutput();
    const size_t heartbeat = out.find("\n[LR-SERVER: 8090] Heartbeat thread stopped!\n");
    const size_t http = out.find("\n[LR-SERVER: 8090] HTTP Server + Thread stopped!\n");
    ASSERT_NE(heartbeat, std::string::npos) << out;
    ASSERT_NE(http, std::string::npos) << out;
    EXPECT_LT(heartbeat, http);
    EXPECT_NE(out.find("[Lumra on port 8090] HTTP listening\n"), std::string::npos);
    EXPECT_FALSE(qortest::discoverRaw(R"({"action":"discover","type":"lumra"})", 300ms));
    EXPECT_FALSE(qortest::client(kPort, 2)->Get("/v1/info"));
}

}  // namespace
