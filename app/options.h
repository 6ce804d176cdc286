#pragma once

// The command line: what a site may choose when it starts the service. Without arguments every
// value is the behaviour of the plain program.
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

#include "server/server_settings.h"

struct ServiceOptions {
    std::uint16_t http_port = 8080;           // port of the first camera server; the next ones count up
    std::uint16_t discovery_port = 50000;     // UDP port of the discovery responder
    std::optional<std::string> advertise;     // "ip" published in discovery; unset: the host-address rule
    bool light_sources = false;               // also serve every light source after the cameras
    ServerSettings server;                    // how each device server listens, finds tables, records
};

/// The outcome of reading the command line: options to run with, or the exit status of a program
/// that is done already (help or version printed: 0; an invalid option or value: 2).
struct ParsedOptions {
    std::optional<ServiceOptions> options;
    int exit_status = 0;
};

/// Reads the command line. Help and version go to `out`; an invalid option or value writes its reason
/// and a hint to --help to `err`. Relative directories are made absolute against the working directory.
/// Does not throw for any command line.
ParsedOptions parseOptions(int argc, const char* const* argv, std::ostream& out, std::ostream& err);
