#include "tests/support/test_helpers.h"

#include <gtest/gtest.h>

#include <thread>

#include "camera/camera_exception.h"

namespace qortest {

int32_t codeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const qor::CameraException& e) {
        return e.code();
    }
    return 0;
}

std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const qor::CameraException& e) {
        return e.what();
    }
    return "";
}

std::string stdoutOf(const std::function<void()>& f) {
    testing::internal::CaptureStdout();
    try {
        f();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace qortest
