#pragma once

// Fixture for tests that drive the simulated vendor libraries in-process: a private lock directory
// per test process, the device set reset between tests, the SDK initialised.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "sim/control.h"

namespace qortest {

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    /// Loads a device set given as JSON text.
    static void loadDevices(const std::string& json_text);
    /// A device set of one camera: the named template with the JSON object `overrides` merged in.
    static void loadCamera(const std::string& template_name, const std::string& overrides = "{}");
    /// Path of a file under tests/data.
    static std::filesystem::path dataFile(const std::string& name);
    /// A fresh empty directory for this test.
    std::filesystem::path tempDir();

private:
    std::filesystem::path temp_dir_;
};

/// A private directory for lock files, unique to this test process.
std::filesystem::path processLockDirectory();

}  // namespace qortest
