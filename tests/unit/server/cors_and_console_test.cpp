// What every device server answers besides its routes: CORS headers on every answer (also errors
// and refusals), preflight requests with each path's own methods, and the embedded console files.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <stdexcept>
#include <string>

#include "server/claimed_http_server.h"
#include "tests/support/test_entry.h"
#include "server/console_assets.h"

namespace {

constexpr uint16_t kPort = 8097;

DiscoveryEntry entry() { return qortest::testCameraEntry(kPort); }

class CorsAndConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_.registerClaimRoutes();
        server_.exposeHeaders({"crop", "format"});
        server_.put("/v1/setThing", [](const httplib::Request&, httplib::Response& res) { res.status = 200; });
        // A handler that fails the way the common frame answers it: a fresh 500 response.
        server_.get("/v1/fails", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("crop", "{}");
            res = httplib::Response{};
            res.status = 500;
        });
        registerConsole(server_, "index.html");
        server_.start();
    }

    Dispatcher dispatcher_{50011};
    ClaimedHttpServer server_{&dispatcher_, "0.0.0.0", kPort, entry(), ServerConsoleTags{"[T ", "\n[T: "}};
    httplib::Client http_{"127.0.0.1", kPort};
};

TEST_F(CorsAndConsoleTest, EveryAnswerAllowsAnyOriginAndExposesTheNamedHeaders) {
    struct Case {
        const char* method;
        const char* path;
        int status;
    };
    const Case cases[] = {
        {"GET", "/v1/info", 200},  {"POST", "/v1/heartbeat", 200}, {"GET", "/v1/unknown", 404},
        {"GET", "/v1/fails", 500}, {"PUT", "/v1/setThing", 200},   {"POST", "/v1/unknown", 404},
        {"GET", "/", 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        httplib::Request req;
        req.method = c.method;
        req.path = c.path;
        req.headers.emplace("Origin", "http://elsewhere.example");
        auto res = http_.send(req);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status);
        EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), "*");
        EXPECT_EQ(res->get_header_value("Access-Control-Expose-Headers"), "crop, format");
    }
}

TEST_F(CorsAndConsoleTest, PreflightsAnswerEachPathsMethodsAndEchoTheAskedHeaders) {
    struct Case {
        const char* path;
        int status;
        const char* methods;
    };
    const Case cases[] = {
        {"/v1/setThing", 204, "PUT, OPTIONS"},
        {"/v1/info", 204, "GET, HEAD, OPTIONS"},
        {"/v1/heartbeat", 204, "POST, OPTIONS"},
        {"/", 204, "GET, HEAD, OPTIONS"},
        {"/v1/unknown", 404, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        auto res = http_.Options(c.path, httplib::Headers{{"Origin", "http://elsewhere.example"},
                                                          {"Access-Control-Request-Method", "PUT"},
                                                          {"Access-Control-Request-Headers", "content-type, x-trace"}});
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, c.status);
        EXPECT_EQ(res->body, "");
        EXPECT_EQ(res->get_header_value("Access-Control-Allow-Origin"), "*");
        EXPECT_EQ(res->get_header_value("Access-Control-Allow-Methods"), c.methods);
        if (c.status == 204) {
            EXPECT_EQ(res->get_header_value("Access-Control-Allow-Headers"), "Accept, Content-Type, content-type, x-trace");
        }
    }
}

TEST_F(CorsAndConsoleTest, ThePageAndEveryFileItLoadsAreServedFromTheProgram) {
    auto page = http_.Get("/");
    ASSERT_TRUE(page);
    ASSERT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    // Every file the pages and scripts name: src and href of the pages, relative imports of the modules.
    std::set<std::string> wanted;
    const std::regex reference(R"((?:src|href)="(/console/[^"]+)\")");
    const std::regex import(R"(from '\./([^']+)')");
    for (const ConsoleFile& file : consoleFiles()) {
        const std::string text(file.bytes);
        for (std::sregex_iterator it(text.begin(), text.end(), reference), end; it != end; ++it) wanted.insert((*it)[1]);
        for (std::sregex_iterator it(text.begin(), text.end(), import), end; it != end; ++it)
            wanted.insert("/console/" + (*it)[1].str());
    }
    EXPECT_GE(wanted.size(), 4u);
    for (const std::string& path : wanted) {
        SCOPED_TRACE(path);
        auto res = http_.Get(path.c_str());
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 200);
        const bool script = path.ends_with(".js");
        EXPECT_EQ(res->get_header_value("Content-Type"),
                  script ? "text/javascript; charset=utf-8" : "text/css; charset=utf-8");
        EXPECT_FALSE(res->body.empty());
    }
    EXPECT_EQ(http_.Get("/console/index.html")->status, 404) << "pages are served at / only";
    EXPECT_THROW(registerConsole(server_, "missing.html"), std::out_of_range);
}

}  // namespace
