#include "app/options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    ParsedOptions parsed;
    std::string out;
    std::string err;
};

Outcome parse(std::vector<std::string> args) {
    args.insert(args.begin(), "qor-camera-server");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    std::ostringstream out;
    std::ostringstream err;
    ParsedOptions parsed = parseOptions(static_cast<int>(argv.size()), argv.data(), out, err);
    return Outcome{std::move(parsed), out.str(), err.str()};
}

TEST(OptionsTest, WithoutArgumentsEveryValueIsTheFixedOneOfThePlainProgram) {
    const Outcome run = parse({});
    ASSERT_TRUE(run.parsed.options);
    const ServiceOptions& o = *run.parsed.options;
    EXPECT_EQ(o.http_port, 8080);
    EXPECT_EQ(o.discovery_port, 50000);
    EXPECT_FALSE(o.advertise);
    EXPECT_FALSE(o.light_sources);
    EXPECT_EQ(o.server.bind_address, "0.0.0.0");
    EXPECT_FALSE(o.server.record_root);
    // "./lut" of the working directory, fixed at start.
    EXPECT_TRUE(o.server.lut_directory.is_absolute());
    EXPECT_EQ(fs::weakly_canonical(o.server.lut_directory), fs::weakly_canonical(fs::current_path() / "lut"));
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "");
}

TEST(OptionsTest, EveryOptionReachesItsSetting) {
    const fs::path root = fs::temp_directory_path();
    const Outcome run = parse({"--http-port", "9000", "--discovery-port", "50001", "--bind", "127.0.0.1", "--advertise",
                           "10.0.0.7", "--light-sources", "--record-root", root.string(), "--lut-dir", "tables"});
    ASSERT_TRUE(run.parsed.options) << run.err;
    const ServiceOptions& o = *run.parsed.options;
    EXPECT_EQ(o.http_port, 9000);
    EXPECT_EQ(o.discovery_port, 50001);
    EXPECT_EQ(o.server.bind_address, "127.0.0.1");
    EXPECT_EQ(o.advertise, "10.0.0.7");
    EXPECT_TRUE(o.light_sources);
    EXPECT_EQ(o.server.record_root, fs::canonical(root));
    EXPECT_EQ(o.server.lut_directory, fs::current_path() / "tables");
}

TEST(OptionsTest, HelpAndVersionEndTheProgramWithStatusZero) {
    for (const char* flag : {"--help", "-h", "--version"}) {
        const Outcome run = parse({flag});
        EXPECT_FALSE(run.parsed.options) << flag;
        EXPECT_EQ(run.parsed.exit_status, 0) << flag;
        EXPECT_NE(run.out, "") << flag;
        EXPECT_EQ(run.err, "") << flag;
    }
}

TEST(OptionsTest, InvalidArgumentsAreUsageErrorsWithAReasonAndAHint) {
    const std::vector<std::vector<std::string>> cases = {
        {"--http-port", "0"},      {"--http-port", "65536"},   {"--http-port", "-5"},     {"--http-port", "8080.5"},
        {"--discovery-port", "x"}, {"--bind", "::1"},          {"--bind", "256.0.0.1"},   {"--advertise", "host"},
        {"--record-root", "/no/such/folder"},                  {"--lut-dir", ""},         {"--light-sources=maybe"},
        {"--http-port"},           {"--nope"},                 {"positional"},
    };
    for (const auto& args : cases) {
        const Outcome run = parse(args);
        EXPECT_FALSE(run.parsed.options) << args[0];
        EXPECT_EQ(run.parsed.exit_status, 2) << args[0];
        EXPECT_NE(run.err.find("--help"), std::string::npos) << args[0] << ": " << run.err;
        EXPECT_EQ(run.out, "") << args[0];
    }
}

TEST(OptionsTest, RecordRootIsResolvedThroughSymbolicLinks) {
    const fs::path real = fs::temp_directory_path() / ("qor-options-real-" + std::to_string(::getpid()));
    const fs::path link = fs::temp_directory_path() / ("qor-options-link-" + std::to_string(::getpid()));
    fs::create_directories(real);
    fs::remove(link);
    fs::create_directory_symlink(real, link);
    const Outcome run = parse({"--record-root", link.string()});
    ASSERT_TRUE(run.parsed.options);
    EXPECT_EQ(run.parsed.options->server.record_root, fs::canonical(real));
    fs::remove(link);
    fs::remove_all(real);
}

}  // namespace
