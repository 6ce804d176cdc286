#pragma once

// What a site may change about how the device servers serve: where they listen, where look-up tables
// live and where recordings into files may go. The defaults are the behaviour without any option.
#include <filesystem>
#include <optional>
#include <string>

struct ServerSettings {
    std::string bind_address = "0.0.0.0";           // IPv4 address every HTTP listener binds to
    std::filesystem::path lut_directory = "./lut";  // uploaded tables; relative table names resolve here
    std::optional<std::filesystem::path> record_root;  // when set, recordings into files stay below it

    /// True when a recording into `file` is allowed: always without a record root, else only when the
    /// path, made absolute with its symbolic links resolved, lies inside the record root (itself resolved
    /// the same way). Does not throw.
    bool allowsRecordingTo(const std::filesystem::path& file) const;
};
