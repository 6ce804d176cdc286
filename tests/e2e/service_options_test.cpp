// The service's command line and its life under a service manager, end to end: every option of the
// real executable, the stop signals, a shutdown that a hung device cannot hold up, and the readiness
// and keep-alive messages, each in a private network namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/server_process.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using qortest::ServerProcess;
using qortest::position;
namespace fs = std::filesystem;

const std::string kOneCamera = R"({"cameras": [{"template": "mono", "serial": 41, "name": "Solo"}]})";

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// One discovery request to a UDP port on loopback; empty when nothing answered.
std::optional<json> discoverOn(uint16_t port, const std::string& type = "camera") {
    int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
    timeval tv{0, 700000};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = json{{"action", "discover"}, {"type", type}}.dump();
    ::sendto(sock, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    char buffer[65536];
    const ssize_t n = ::recv(sock, buffer, sizeof buffer, 0);
    ::close(sock);
    if (n <= 0) return std::nullopt;
    return json::parse(std::string(buffer, static_cast<size_t>(n)));
}

bool answers(const std::string& host, uint16_t port) {
    httplib::Client http(host, port);
    http.set_connection_timeout(2);
    auto res = http.Get("/v1/info");
    return res && res->status == 200;
}

TEST(ServiceOptionsTest, PortsMoveTheCameraServersAndTheDiscoveryResponder) {
    ServerProcess server(QOR_SERVER_EXECUTABLE, {"--http-port", "9100", "--discovery-port", "51000"}, "", "ports");
    ASSERT_TRUE(server.waitUntilReady()) << server.standardOutput() << server.standardError();
    position(server.standardOutput(), "[MAIN] UDP dispatcher started on port 51000\n");
    const std::optional<json> cameras = discoverOn(51000);
    ASSERT_TRUE(cameras);
    ASSERT_EQ(cameras->size(), 2u);
    EXPECT_EQ((*cameras)[0]["port"], 9100);
    EXPECT_EQ((*cameras)[1]["port"], 9101);
    EXPECT_FALSE(discoverOn(50000));
    EXPECT_TRUE(answers("127.0.0.1", 9100));
    EXPECT_TRUE(answers("127.0.0.1", 9101));
    EXPECT_FALSE(answers("127.0.0.1", 8080));
    server.interrupt();
    EXPECT_EQ(server.waitForExit(5s), 0);
}

TEST(ServiceOptionsTest, BindLimitsTheListenersToOneAddress) {
    ServerProcess server(QOR_SERVER_EXECUTABLE, {"--bind", "127.0.0.1"}, kOneCamera, "bind");
    ASSERT_TRUE(server.waitUntilReady());
    EXPECT_TRUE(answers("127.0.0.1", 8080));
    // The whole of 127/8 is local: a listener on the wildcard address would answer here too.
    EXPECT_FALSE(answers("127.0.0.2", 8080));
    // Discovery is not bound: it answers on every address.
    EXPECT_TRUE(discoverOn(50000));
}

TEST(ServiceOptionsTest, AdvertiseSetsThePublishedAddress) {
    ServerProcess server(QOR_SERVER_EXECUTABLE, {"--advertise", "10.1.2.3"}, kOneCamera, "advertise");
    ASSERT_TRUE(server.waitUntilReady());
    EXPECT_EQ(qortest::discover()[0]["ip"], "10.1.2.3");
    auto info = qortest::client(8080)->Get("/v1/info");
    ASSERT_TRUE(info);
    EXPECT_EQ(json::parse(info->body)["ip"], "10.1.2.3");
}

TEST(ServiceOptionsTest, LightSourcesAreServedAfterTheCamerasAndReleasedInOrder) {
    ServerProcess server(QOR_SERVER_EXECUTABLE, {"--light-sources"}, "", "lights");
    ASSERT_TRUE(server.waitUntilReady()) << server.standardError();
    const std::string started = server.standardOutput();
    EXPECT_LT(position(started, "[Cam port 8081] HTTP listening\n"), position(started, "[Lumra on port 8082] HTTP listening\n"));
    position(started, "[MAIN] 2 camera servers up and running.\n[MAIN] 1 light-source servers up and running.\n");
    json lights = qortest::discover("lumra");
    ASSERT_EQ(lights.size(), 1u);
    EXPECT_EQ(lights[0]["port"], 8082);
    EXPECT_EQ(qortest::discover("camera").size(), 2u);
    auto on = qortest::client(8082)->Post("/v1/switchOn", "", "text/plain");
    ASSERT_TRUE(on);
    EXPECT_EQ(on->status, 200);

    ::kill(server.pid(), SIGTERM);
    EXPECT_EQ(server.waitForExit(5s), 0);
    const std::string out = server.standardOutput();
    size_t p = position(out, "\n[MAIN] Dispatcher stopped.\n");
    for (const char* line : {"\n[MAIN] Cameras released.\n", "\n[MAIN] Light sources released.\n",
                             "\n[SERVER: 8081] HTTP Server + Thread stopped!\n", "\n[MAIN] Cam servers stopped.\n",
                             "\n[LR-SERVER: 8082] Heartbeat thread stopped!\n",
                             "\n[LR-SERVER: 8082] HTTP Server + Thread stopped!\n",
                             "\n[MAIN] Light-source servers stopped.\n"}) {
        const size_t next = position(out, line);
        EXPECT_GT(next, p) << line;
        p = next;
    }
}

TEST(ServiceOptionsTest, LightSourcesAloneKeepTheServiceRunning) {
    const std::string devices = R"({"cameras": [], "light_sources": [{"type": 1, "port": "/dev/ttySIM0", "serial": 7001,
                                   "channels": [{"wavelength": 470}]}]})";
    ServerProcess server(QOR_SERVER_EXECUTABLE, {"--light-sources"}, devices, "lights-only");
    ASSERT_TRUE(server.waitUntilReady()) << server.standardError();
    position(server.standardOutput(), "[MAIN] 0 camera servers up and running.\n");
    EXPECT_EQ(server.standardError().find("Cameras not found"), std::string::npos);
    ASSERT_EQ(qortest::discover("lumra").size(), 1u);
    EXPECT_EQ(qortest::discover("lumra")[0]["port"], 8080);
    server.interrupt();
    EXPECT_EQ(server.waitForExit(5s), 0);

    // Without the option the same host has nothing to serve.
    ServerProcess plain(QOR_SERVER_EXECUTABLE, {}, devices, "no-lights");
    EXPECT_EQ(plain.waitForExit(10s), 1);
    EXPECT_NE(plain.standardError().find("Cameras not found"), std::string::npos);
}

class RecordRootTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("qor-record-root-" + std::to_string(::getpid()));
        outside_ = fs::temp_directory_path() / ("qor-record-outside-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::remove_all(outside_);
        fs::create_directories(root_ / "sub");
        fs::create_directories(outside_);
        fs::create_directory_symlink(outside_, root_ / "escape");
    }
    void TearDown() override {
        fs::remove_all(root_);
        fs::remove_all(outside_);
    }
    static httplib::Result record(const std::string& file) {
        return qortest::client(8080)->Post("/v1/record", httplib::Params{{"imgCount", "1"}, {"recMode", "\"tif\""},
                                                                       {"file", file}});
    }
    static bool empty(const fs::path& dir) { return fs::is_empty(dir); }
    // Waits until the recording into files has ended, so the next record is not refused as busy.
    static void waitUntilIdle() {
        for (int i = 0; i < 100; ++i) {
            auto res = qortest::client(8080)->Get("/v1/isRecording");
            if (res && res->body == "false") return;
            std::this_thread::sleep_for(50ms);
        }
    }

    fs::path root_;
    fs::path outside_;
};

TEST_F(RecordRootTest, PathsOutsideTheRootAreRefusedAndNothingIsWritten) {
    ServerProcess server(QOR_SERVER_EXECUTABLE, {"--record-root", root_.string()}, kOneCamera, "record-root");
    ASSERT_TRUE(server.waitUntilReady()) << server.standardError();
    struct Case {
        std::string file;
        int status;
    };
    const std::vector<Case> cases = {
        {(root_ / "sub" / "inside").string(), 200},
        {(root_ / "escape" / "out").string(), 403},            // a link inside that leads outside
        {(root_ / "sub" / ".." / ".." / "up").string(), 403},  // dot-dot out of the root
        {(outside_ / "out").string(), 403},
        {root_.string() + "-sibling/out", 403},                 // a name that only starts like the root
        {root_.string(), 403},                                  // files would be named beside the root
        {"relative-out", 403},                                  // relative to the working directory
        {"qor_vram", 200},
    };
    for (const Case& c : cases) {
        auto res = record(c.file);
        ASSERT_TRUE(res) << c.file;
        EXPECT_EQ(res->status, c.status) << c.file << " " << res->body;
        if (c.status == 403) {
            EXPECT_EQ(res->body, "") << c.file;
        }
        if (c.status == 200) waitUntilIdle();
    }
    EXPECT_TRUE(empty(outside_));
    EXPECT_FALSE(fs::exists(root_.string() + "-sibling"));
    EXPECT_FALSE(empty(root_ / "sub"));
}

TEST_F(RecordRootTest, WithoutTheOptionEveryPathIsTakenAsBefore) {
    ServerProcess server(QOR_SERVER_EXECUTABLE, {}, kOneCamera, "no-record-root");
    ASSERT_TRUE(server.waitUntilReady());
    auto res = record((outside_ / "out").string());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200) << res->body;
    waitUntilIdle();
    EXPECT_FALSE(empty(outside_));
}

TEST(ServiceOptionsTest, LutDirHoldsUploadsAndResolvesTableNames) {
    const fs::path tables = fs::temp_directory_path() / ("qor-lut-dir-" + std::to_string(::getpid()));
    fs::remove_all(tables);
    ServerProcess server(QOR_SERVER_EXECUTABLE, {"--lut-dir", tables.string()}, "", "lut-dir");
    ASSERT_TRUE(server.waitUntilReady());
    const std::string table = readFile(fs::path(QOR_SOURCE_DIR) / "sim" / "luts" / "sample.lt1");
    ASSERT_FALSE(table.empty());
    auto saved = qortest::client(8080)->Post("/v1/uploadLut", httplib::MultipartFormDataItems{{"lut", table, "mine.lt1", "application/octet-stream"}});
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->status, 200) << saved->body;
    EXPECT_EQ(readFile(tables / "mine.lt1"), table);
    EXPECT_FALSE(fs::exists(server.directory() / "lut"));

    auto loaded = qortest::client(8080)->Post("/v1/loadLut", httplib::Params{{"format", "\"BGR8\""}, {"lutFile", "\"mine.lt1\""}});
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->status, 200) << loaded->body;
    auto control = qortest::client(8080)->Get("/v1/getConvertControl", httplib::Params{{"format", "\"BGR8\""}}, {});
    ASSERT_TRUE(control);
    EXPECT_TRUE(fs::equivalent(json::parse(control->body)["value"]["lut_file"].get<std::string>(), tables / "mine.lt1"));
    fs::remove_all(tables);
}

TEST(ServiceOptionsTest, HelpAndVersionPrintAndExitWithoutServing) {
    ServerProcess help(QOR_SERVER_EXECUTABLE, {"--help"}, "", "help");
    EXPECT_EQ(help.waitForExit(5s), 0);
    const std::string text = help.standardOutput();
    for (const char* option : {"--http-port", "=8080", "--discovery-port", "=50000", "--bind", "=0.0.0.0", "--advertise",
                               "--light-sources", "--record-root", "--lut-dir", "=./lut", "--version"})
        EXPECT_NE(text.find(option), std::string::npos) << option;
    EXPECT_EQ(text.find("[MAIN]"), std::string::npos);

    ServerProcess version(QOR_SERVER_EXECUTABLE, {"--version"}, "", "version");
    EXPECT_EQ(version.waitForExit(5s), 0);
    EXPECT_EQ(version.standardOutput().rfind("qor-camera-server ", 0), 0u) << version.standardOutput();
}

TEST(ServiceOptionsTest, InvalidOptionsExitWithStatusTwoAndAHintBeforeServing) {
    // The full table of bad values is the options unit test's; here the process's exit status and streams.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--http-port", "0"},
                                                 std::vector<std::string>{"--record-root", "/no/such/dir"},
                                                 std::vector<std::string>{"--unknown"}}) {
        ServerProcess server(QOR_SERVER_EXECUTABLE, args, "", "invalid");
        EXPECT_EQ(server.waitForExit(5s), 2) << args[0];
        EXPECT_NE(server.standardError().find(args[0]), std::string::npos) << server.standardError();
        EXPECT_NE(server.standardError().find("--help"), std::string::npos) << server.standardError();
        EXPECT_EQ(server.standardOutput(), "") << args[0];
    }
}

TEST(ServiceOptionsTest, TermAndHangUpRunTheOrderedShutdown) {
    for (const auto& [signal, name] : std::vector<std::pair<int, std::string>>{{SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}}) {
        ServerProcess server;
        ASSERT_TRUE(server.waitUntilReady());
        ::kill(server.pid(), signal);
        EXPECT_EQ(server.waitForExit(5s), 0) << name;
        std::string out = server.standardOutput();
        const std::string line = "\n[Main] " + name + " received - stopping servers...\n";
        ASSERT_NE(out.find(line), std::string::npos) << name << out;
        EXPECT_EQ(out.find("SIGINT"), std::string::npos) << name;
        // The rest is the shutdown of Ctrl-C, line for line.
        out.replace(out.find(line), line.size(), "\n[Main] SIGINT received - stopping servers...\n");
        qortest::expectShutdownLinesInOrder(out);
    }
}

TEST(ServiceOptionsTest, ShutdownEndsWithinThreeSecondsWhileAWorkerHangsInAVendorCall) {
    // The camera RAM allocation call of the first camera never returns.
    ServerProcess server(R"({"cameras": [{"template": "mono", "serial": 51, "name": "Hung"},
                                         {"template": "mono", "serial": 52, "name": "Fine"}],
                             "faults": [{"call": "QOR_SetCameraRamSegmentSize", "block_ms": -1}]})");
    ASSERT_TRUE(server.waitUntilReady());
    auto hung = std::async(std::launch::async, [] {
        return qortest::client(8080, 20)->Put("/v1/setCamRamAllocation", R"({"percents": [50, 50]})", "application/json");
    });
    // The hung call holds the first camera; the second one still answers.
    std::this_thread::sleep_for(500ms);
    ASSERT_EQ(hung.wait_for(0s), std::future_status::timeout);
    ASSERT_TRUE(qortest::client(8081)->Get("/v1/getName"));

    ::kill(server.pid(), SIGTERM);
    EXPECT_EQ(server.waitForExit(3s), 0) << server.standardOutput();
    const std::string out = server.standardOutput();
    // Every step ran, and the camera that did not hang was released and its server stopped.
    size_t p = position(out, "\n[MAIN] Dispatcher stopped.\n");
    for (const char* line : {"\n[MAIN] Cameras released.\n", "\n[SERVER: 8081] Heartbeat thread stopped!\n",
                             "\n[SERVER: 8081] HTTP Server + Thread stopped!\n", "\n[MAIN] Cam servers stopped.\n"}) {
        const size_t next = position(out, line);
        EXPECT_GT(next, p) << line;
        p = next;
    }
    EXPECT_NE(server.standardError().find("did not answer within the shutdown time"), std::string::npos);
    hung.wait();
}

// The service manager's end of the notification socket.
class NotifySocket {
public:
    NotifySocket() : path_(fs::temp_directory_path() / ("qor-notify-" + std::to_string(::getpid()))) {
        fs::remove(path_);
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        timeval tv{0, 100000};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~NotifySocket() {
        ::close(fd_);
        fs::remove(path_);
    }
    bool bound() const { return bound_; }
    const fs::path& path() const { return path_; }
    // Waits for a message that contains `text`; every message received meanwhile is kept.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n > 0 && std::string(buffer, static_cast<size_t>(n)).find(text) != std::string::npos) return true;
        }
        return false;
    }

private:
    fs::path path_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST(ServiceOptionsTest, ServiceManagerHearsReadinessKeepAlivesAndTheStop) {
    NotifySocket manager;
    ASSERT_TRUE(manager.bound());
    ::setenv("NOTIFY_SOCKET", manager.path().c_str(), 1);
    ::setenv("WATCHDOG_USEC", "400000", 1);
    ServerProcess server;
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ASSERT_TRUE(manager.waitFor("READY=1", 10s));
    // Ready means listening: both servers answer at once.
    EXPECT_TRUE(answers("127.0.0.1", 8080));
    EXPECT_TRUE(answers("127.0.0.1", 8081));
    EXPECT_TRUE(manager.waitFor("WATCHDOG=1", 2s));
    EXPECT_TRUE(manager.waitFor("WATCHDOG=1", 2s));
    ::kill(server.pid(), SIGTERM);
    EXPECT_TRUE(manager.waitFor("STOPPING=1", 3s));
    EXPECT_EQ(server.waitForExit(5s), 0);
}

}  // namespace
