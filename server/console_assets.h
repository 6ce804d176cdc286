#pragma once

// The browser console's files, compiled into the program, and the routes that serve them.
#include <string>
#include <string_view>
#include <vector>

#include "server/claimed_http_server.h"

/// One embedded file: its name in server/console and its bytes.
struct ConsoleFile {
    std::string_view name;
    std::string_view bytes;
};

/// Every embedded console file (generated at build time).
const std::vector<ConsoleFile>& consoleFiles();

/// Serves `page` (for example "index.html") at "/" and every other embedded script and style sheet
/// at "/console/" plus its name. Throws std::out_of_range when `page` is not embedded.
void registerConsole(ClaimedHttpServer& server, std::string_view page);
