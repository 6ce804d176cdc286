#include "server/console_assets.h"

#include <stdexcept>

namespace {

// Where the pages find their scripts and style sheets.
const std::string kAssetFolder = "/console/";

const char* contentTypeOf(std::string_view name) {
    if (name.ends_with(".html")) return "text/html; charset=utf-8";
    if (name.ends_with(".js")) return "text/javascript; charset=utf-8";
    if (name.ends_with(".css")) return "text/css; charset=utf-8";
    return "application/octet-stream";
}

const ConsoleFile& find(std::string_view name) {
    for (const ConsoleFile& file : consoleFiles())
        if (file.name == name) return file;
    throw std::out_of_range("no embedded console file " + std::string(name));
}

httplib::Server::Handler serve(const ConsoleFile& file) {
    return [file](const httplib::Request&, httplib::Response& res) {
        // The files change only with the program; a browser may keep them for the session.
        res.set_header("Cache-Control", "no-cache");
        res.set_content(file.bytes.data(), file.bytes.size(), contentTypeOf(file.name));
    };
}

}  // namespace

void registerConsole(ClaimedHttpServer& server, std::string_view page) {
    server.get("/", serve(find(page)));
    for (const ConsoleFile& file : consoleFiles())
        if (!file.name.ends_with(".html")) server.get(kAssetFolder + std::string(file.name), serve(file));
}
