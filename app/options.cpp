#include "app/options.h"

#include <filesystem>
#include <ostream>
#include <system_error>

#include <CLI/CLI.hpp>

#ifndef QOR_VERSION
#define QOR_VERSION "0.0.0"
#endif

namespace {

constexpr int kUsageError = 2;

const char kDescription[] =
    "Headless camera server: every camera the camera SDK can open gets its own HTTP/JSON server, "
    "found by clients through UDP discovery. Stops in order on Ctrl-C, SIGTERM or SIGHUP.";

}  // namespace

ParsedOptions parseOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    ServiceOptions options;
    std::string lut_dir = options.server.lut_directory.string();
    std::string record_root;

    CLI::App app{kDescription, "qor-camera-server"};
    app.set_version_flag("--version", std::string("qor-camera-server ") + QOR_VERSION);
    app.option_defaults()->always_capture_default();
    app.add_option("--http-port", options.http_port, "Port of the first camera's HTTP server; further servers take the next ports")
        ->type_name("N")
        ->check(CLI::Range(1, 65535));
    app.add_option("--discovery-port", options.discovery_port, "UDP port of the discovery responder")
        ->type_name("N")
        ->check(CLI::Range(1, 65535));
    app.add_option("--bind", options.server.bind_address, "IPv4 address the HTTP servers listen on")
        ->type_name("ADDR")
        ->check(CLI::ValidIPV4);
    app.add_option("--advertise", options.advertise,
                   "IPv4 address published as \"ip\" in discovery replies "
                   "[default: the host's first IPv4 address that is not loopback, link-local, 172.* or 192.168.144.*]")
        ->type_name("ADDR")
        ->check(CLI::ValidIPV4);
    app.add_flag("--light-sources", options.light_sources,
                 "Also serve every light source, each on the next port after the cameras' (discovery type \"lumra\")");
    app.add_option("--record-root", record_root,
                   "Refuse (403) recordings into files outside this existing folder [default: any path]")
        ->type_name("DIR")
        ->check(CLI::Validator(CLI::ExistingDirectory).description(""));
    app.add_option("--lut-dir", lut_dir, "Folder of uploaded look-up tables; relative table names resolve here")
        ->type_name("DIR");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version are "errors" of exit code 0 in CLI11; everything else is a usage error.
        const int code = app.exit(e, out, err);
        return ParsedOptions{std::nullopt, code == 0 ? 0 : kUsageError};
    }
    if (lut_dir.empty()) {
        err << "--lut-dir: the folder must not be empty\nRun with --help for more information.\n";
        return ParsedOptions{std::nullopt, kUsageError};
    }
    // Fixed at start, so that a later change of the working directory cannot move them.
    std::error_code ec;
    options.server.lut_directory = std::filesystem::absolute(lut_dir, ec);
    if (ec) options.server.lut_directory = lut_dir;
    if (record_root.empty()) return ParsedOptions{std::move(options), 0};
    options.server.record_root = std::filesystem::canonical(record_root, ec);
    if (ec) {
        err << "--record-root: " << ec.message() << "\nRun with --help for more information.\n";
        return ParsedOptions{std::nullopt, kUsageError};
    }
    return ParsedOptions{std::move(options), 0};
}
