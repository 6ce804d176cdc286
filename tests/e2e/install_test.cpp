// The installed program, not the build tree's: installed into a temporary DESTDIR, and unpacked from
// the built Debian package, each run through discovery, a recording and an image download. Also
// checks that the systemd unit passes systemd-analyze where that tool can run.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "tests/support/server_process.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using nlohmann::json;

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs a shell command with its output in `log`; true on exit status 0.
bool run(const std::string& command, const fs::path& log) {
    const std::string line = command + " > '" + log.string() + "' 2>&1";
    return std::system(line.c_str()) == 0;
}

class InstalledServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        work_ = fs::temp_directory_path() / ("qor-install-" + std::to_string(::getpid()));
        fs::remove_all(work_);
        fs::create_directories(work_);
        // The installed program must not find the build tree's libraries by any other way.
        ::unsetenv("LD_LIBRARY_PATH");
    }
    void TearDown() override { fs::remove_all(work_); }

    // Starts `executable` on the built-in simulated devices and drives it like a client would.
    void exercise(const fs::path& executable, const fs::path& expected_library_dir) {
        ASSERT_TRUE(fs::exists(executable)) << executable;
        qortest::ServerProcess server(executable.string(), {}, "", "installed");
        ASSERT_TRUE(server.waitUntilReady()) << server.standardOutput() << server.standardError();

        // The simulated SDK comes from the installation's private folder.
        const std::string maps = readFile("/proc/" + std::to_string(server.pid()) + "/maps");
        EXPECT_NE(maps.find((expected_library_dir / "libqor_camsys.so.1").string()), std::string::npos) << maps;
        EXPECT_EQ(maps.find(QOR_BUILD_DIR), std::string::npos);

        const json cameras = qortest::discover();
        ASSERT_EQ(cameras.size(), 2u);
        const uint16_t port = cameras[0]["port"];
        auto http = qortest::client(port);
        auto recorded = http->Post("/v1/record", httplib::Params{{"imgCount", "3"}, {"recMode", "\"sequence\""}});
        ASSERT_TRUE(recorded);
        ASSERT_EQ(recorded->status, 200) << recorded->body;
        for (int i = 0; i < 100; ++i) {
            auto busy = http->Get("/v1/isRecording");
            if (busy && busy->body == "false") break;
            std::this_thread::sleep_for(50ms);
        }
        auto image = http->Get("/v1/image", httplib::Params{{"index", "0"}, {"format", "\"Mono16\""}}, {});
        ASSERT_TRUE(image);
        ASSERT_EQ(image->status, 200) << image->body;
        const json crop = json::parse(image->get_header_value("crop"));
        const size_t width = crop["x1"].get<size_t>() - crop["x0"].get<size_t>() + 1;
        const size_t height = crop["y1"].get<size_t>() - crop["y0"].get<size_t>() + 1;
        EXPECT_EQ(image->body.size(), width * height * 2);

        // The installed client command finds the installed server, with the package from Python's path there.
        const fs::path root = executable.parent_path().parent_path();
        if (fs::exists(fs::path(QOR_SOURCE_DIR) / "clients" / "python" / "src" / "qorcam")) {
            const fs::path listing = work_ / "qorcam.txt";
            EXPECT_TRUE(run("PYTHONPATH='" + (root / "lib/python3/dist-packages").string() + "' '" +
                                (root / "bin" / "qorcam").string() + "' discover --json",
                            listing))
                << readFile(listing);
            EXPECT_NE(readFile(listing).find("10001"), std::string::npos) << readFile(listing);
        }

        ::kill(server.pid(), SIGTERM);
        EXPECT_EQ(server.waitForExit(5s), 0);
    }

    fs::path work_;
};

TEST_F(InstalledServerTest, InstalledIntoADestdirRunsFromThere) {
    const fs::path dest = work_ / "dest";
    ASSERT_TRUE(run(std::string("DESTDIR='") + dest.string() + "' '" + QOR_CMAKE_COMMAND + "' --install '" +
                        QOR_BUILD_DIR + "' --prefix /opt/qor",
                    work_ / "install.log"))
        << readFile(work_ / "install.log");
    const fs::path prefix = dest / "opt" / "qor";
    for (const fs::path file : {"bin/qor-camera-server", "lib/qor-camera-server/libqor_recorder.so.3",
                                "lib/qor-camera-server/liblym_lumra.so.1", "share/qor-camera-server/luts/sample.lt1",
                                "share/man/man1/qor-camera-server.1.gz", "share/doc/qor-camera-server/copyright",
                                "lib/systemd/system/qor-camera-server.service"})
        EXPECT_TRUE(fs::exists(prefix / file)) << file;
    // The unit starts the installed program, without options.
    const std::string unit = readFile(prefix / "lib/systemd/system/qor-camera-server.service");
    EXPECT_NE(unit.find("\nExecStart=/opt/qor/bin/qor-camera-server\n"), std::string::npos) << unit;
    exercise(prefix / "bin" / "qor-camera-server", prefix / "lib" / "qor-camera-server");
}

TEST_F(InstalledServerTest, UnpackedDebianPackageRunsFromThere) {
    ASSERT_TRUE(run(std::string("'") + QOR_CPACK_COMMAND + "' -G DEB --config '" + QOR_BUILD_DIR +
                        "/CPackConfig.cmake' -B '" + work_.string() + "'",
                    work_ / "cpack.log"))
        << readFile(work_ / "cpack.log");
    fs::path deb;
    for (const auto& entry : fs::directory_iterator(work_))
        if (entry.path().extension() == ".deb") deb = entry.path();
    ASSERT_FALSE(deb.empty()) << readFile(work_ / "cpack.log");
    EXPECT_EQ(deb.filename().string().rfind("qor-camera-server_", 0), 0u) << deb;

    // Run-time dependencies were found by dpkg-shlibdeps, not written by hand.
    ASSERT_TRUE(run("dpkg-deb --field '" + deb.string() + "' Depends", work_ / "depends.txt"));
    const std::string depends = readFile(work_ / "depends.txt");
    EXPECT_NE(depends.find("libc6"), std::string::npos) << depends;
    EXPECT_NE(depends.find("libcpp-httplib"), std::string::npos) << depends;

    // Lintian, where installed, finds no error in it.
    if (std::system("command -v lintian > /dev/null 2>&1") == 0) {
        EXPECT_TRUE(run("lintian --fail-on error '" + deb.string() + "'", work_ / "lintian.log"))
            << readFile(work_ / "lintian.log");
    }

    const fs::path root = work_ / "root";
    ASSERT_TRUE(run("dpkg-deb -x '" + deb.string() + "' '" + root.string() + "'", work_ / "extract.log"))
        << readFile(work_ / "extract.log");
    EXPECT_TRUE(fs::exists(root / "lib/systemd/system/qor-camera-server.service"));
    EXPECT_NE(readFile(root / "lib/systemd/system/qor-camera-server.service").find("\nExecStart=/usr/bin/qor-camera-server\n"),
              std::string::npos);
    exercise(root / "usr" / "bin" / "qor-camera-server", root / "usr" / "lib" / "qor-camera-server");
}

TEST_F(InstalledServerTest, SystemdAcceptsTheUnit) {
    if (std::system("command -v systemd-analyze > /dev/null 2>&1") != 0) GTEST_SKIP() << "no systemd-analyze";
    // A unit that cannot be wrong tells whether the tool works here at all (it may not in a container).
    const fs::path probe = work_ / "qor-probe.service";
    std::ofstream(probe) << "[Service]\nExecStart=/bin/true\n";
    if (!run("systemd-analyze verify --man=no '" + probe.string() + "'", work_ / "probe.log") ||
        !readFile(work_ / "probe.log").empty())
        GTEST_SKIP() << "systemd-analyze does not work here: " << readFile(work_ / "probe.log");

    // The unit as installed, pointed at this build's executable, which verify checks for.
    std::string unit = readFile(fs::path(QOR_SOURCE_DIR) / "packaging" / "qor-camera-server.service.in");
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"@BIN_DIR@", fs::path(QOR_SERVER_EXECUTABLE).parent_path()},
                                     {"@DOC_DIR@", "/usr/share/doc/qor-camera-server"}})
        for (size_t at = unit.find(key); at != std::string::npos; at = unit.find(key)) unit.replace(at, key.size(), value);
    const fs::path file = work_ / "qor-camera-server.service";
    std::ofstream(file) << unit;
    const bool accepted = run("systemd-analyze verify --man=no '" + file.string() + "'", work_ / "verify.log");
    EXPECT_TRUE(accepted);
    // Unknown keys and bad values are only warnings for the tool: any message is a failure here.
    EXPECT_EQ(readFile(work_ / "verify.log"), "");
}

}  // namespace
