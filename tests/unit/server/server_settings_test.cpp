#include "server/server_settings.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class ServerSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        base_ = fs::temp_directory_path() / ("qor-settings-" + std::to_string(::getpid()));
        fs::remove_all(base_);
        fs::create_directories(base_ / "root" / "sub");
        fs::create_directories(base_ / "other");
        fs::create_directory_symlink(base_ / "other", base_ / "root" / "out-link");
        fs::create_directory_symlink(base_ / "root" / "sub", base_ / "in-link");
        settings_.record_root = base_ / "root";
    }
    void TearDown() override { fs::remove_all(base_); }

    fs::path base_;
    ServerSettings settings_;
};

TEST_F(ServerSettingsTest, WithoutARootEveryPathIsAllowed) {
    const ServerSettings plain;
    for (const char* file : {"/etc/passwd", "relative/x", "../../x", "/"}) EXPECT_TRUE(plain.allowsRecordingTo(file)) << file;
}

TEST_F(ServerSettingsTest, OnlyPathsThatResolveInsideTheRootAreAllowed) {
    struct Case {
        fs::path file;
        bool allowed;
    };
    const std::vector<Case> cases = {
        {base_ / "root" / "img", true},
        {base_ / "root" / "sub" / "img", true},
        {base_ / "root" / "new" / "deeper" / "img", true},   // folders that do not exist yet
        {base_ / "root" / "sub" / ".." / "img", true},
        {base_ / "in-link" / "img", true},                   // a link from outside that leads in
        {base_ / "root" / "out-link" / "img", false},        // a link inside that leads out
        {base_ / "root" / ".." / "other" / "img", false},
        {base_ / "root" / "sub" / ".." / ".." / "img", false},
        {base_ / "rootless" / "img", false},                 // shares the root's name as a prefix only
        {base_ / "root", false},                             // files would be named beside it
        {base_ / "root" / ".", false},
        {base_ / "other" / "img", false},
        {"/img", false},
        {"img", false},                                      // relative to the working directory
    };
    for (const Case& c : cases) EXPECT_EQ(settings_.allowsRecordingTo(c.file), c.allowed) << c.file;
}

TEST_F(ServerSettingsTest, RelativePathsCountFromTheWorkingDirectory) {
    const fs::path before = fs::current_path();
    fs::current_path(base_ / "root");
    const bool inside = settings_.allowsRecordingTo("sub/img");
    const bool escaped = settings_.allowsRecordingTo("../other/img");
    fs::current_path(before);
    EXPECT_TRUE(inside);
    EXPECT_FALSE(escaped);
}

}  // namespace
