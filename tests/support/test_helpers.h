#pragma once

// Small helpers the unit tests share: what a call throws, what it prints, and bounded polling.
#include <chrono>
#include <functional>
#include <string>

namespace qortest {

/// Prefix of the what-text of a camera exception built from a message.
inline const std::string kMsg = "qor::CameraException: ";

/// The code of the qor::CameraException that f throws; 0 when it throws none.
int32_t codeOf(const std::function<void()>& f);
/// The what-text of the qor::CameraException that f throws; empty when it throws none.
std::string messageOf(const std::function<void()>& f);
/// Standard output written while f runs; f's exceptions propagate after the capture ends.
std::string stdoutOf(const std::function<void()>& f);
/// Polls until done() holds; false when the limit passes first.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(5));

}  // namespace qortest
