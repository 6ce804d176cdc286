#include "tests/support/sim_fixture.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "camera/vendor/qor_camsys.h"

namespace qortest {

std::filesystem::path processLockDirectory() {
    static const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("qor-test-locks-" + std::to_string(::getpid()));
    return dir;
}

void SimTest::SetUp() {
    qorsim::setLockDirectory(processLockDirectory());
    qorsim::reset();
    ASSERT_EQ(QOR_InitializeLib(), 0);
    qorsim::clearCalls();
}

void SimTest::TearDown() {
    qorsim::reset();
    if (!temp_dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(temp_dir_, ec);
    }
}

void SimTest::loadDevices(const std::string& json_text) {
    qorsim::loadDevices(json_text);
    qorsim::clearCalls();
}

void SimTest::loadCamera(const std::string& template_name, const std::string& overrides) {
    nlohmann::json camera = nlohmann::json::parse(overrides);
    camera["template"] = template_name;
    loadDevices(nlohmann::json{{"cameras", nlohmann::json::array({camera})}}.dump());
}

std::filesystem::path SimTest::dataFile(const std::string& name) { return std::filesystem::path(QOR_TEST_DATA_DIR) / name; }

std::filesystem::path SimTest::tempDir() {
    if (temp_dir_.empty()) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        temp_dir_ = std::filesystem::temp_directory_path() /
                    ("qor-test-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name());
        std::filesystem::remove_all(temp_dir_);
        std::filesystem::create_directories(temp_dir_);
    }
    return temp_dir_;
}

}  // namespace qortest
