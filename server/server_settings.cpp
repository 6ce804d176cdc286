#include "server/server_settings.h"

#include <algorithm>
#include <system_error>

namespace {

// The absolute form with every symbolic link of the existing part resolved and the rest normalised,
// or empty when the file system cannot tell.
std::filesystem::path resolved(const std::filesystem::path& path) {
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec) return {};
    std::filesystem::path result = std::filesystem::weakly_canonical(absolute, ec);
    return ec ? std::filesystem::path{} : result;
}

}  // namespace

bool ServerSettings::allowsRecordingTo(const std::filesystem::path& file) const {
    if (!record_root) return true;
    const std::filesystem::path root = resolved(*record_root);
    const std::filesystem::path target = resolved(file);
    if (root.empty() || target.empty()) return false;
    // Component-wise, so that /data/rec-other is not taken for a path inside /data/rec. The root itself
    // is refused: the recorder names its files after the path, so they would land beside the root.
    const auto [root_it, target_it] = std::mismatch(root.begin(), root.end(), target.begin(), target.end());
    return root_it == root.end() && target_it != target.end();
}
