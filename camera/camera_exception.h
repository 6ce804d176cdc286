#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace qor {

/// The one exception type of the camera library: an SDK-space error code and a ready-made text.
class CameraException : public std::exception {
public:
    /// Code 0x00160000 and the "thrown without err_code" text.
    CameraException();
    /// "qor::CameraException: " followed by the message; no SDK text.
    CameraException(const std::string& message, int32_t code);
    /// Built from an SDK status: the SDK's text for it, and the code in hexadecimal in the what-text.
    explicit CameraException(int32_t code);

    const char* what() const noexcept override { return what_.c_str(); }
    int32_t code() const noexcept { return code_; }
    std::string sdkErrorText() const { return sdk_text_; }

private:
    std::string what_;
    int32_t code_;
    std::string sdk_text_;
};

/// The camera SDK's text for a status code (the SDK fills a buffer of 100 bytes).
std::string sdkErrorText(int32_t code);
/// "0x" and the code's 32-bit pattern in lower-case hexadecimal without leading zeros.
std::string hexCode(int32_t code);

/// Library error codes.
namespace errc {
inline constexpr int32_t kUnspecified = 0x00160000;
inline constexpr int32_t kInvalidArgument = static_cast<int32_t>(0xA0163001);
inline constexpr int32_t kBusyRecording = static_cast<int32_t>(0x80163022);
inline constexpr int32_t kNotSupported = static_cast<int32_t>(0x80163020);
inline constexpr int32_t kNoCamera = static_cast<int32_t>(0xA0163013);
inline constexpr int32_t kNoMemory = static_cast<int32_t>(0xA0163006);
inline constexpr int32_t kBadFilePath = static_cast<int32_t>(0xA016301D);
inline constexpr int32_t kFileMissing = static_cast<int32_t>(0xA0163018);
inline constexpr int32_t kNoRecorder = static_cast<int32_t>(0x80163024);
inline constexpr int32_t kCamRamUnsupported = static_cast<int32_t>(0x80167006);
inline constexpr int32_t kTimeout = static_cast<int32_t>(0x80004001);
inline constexpr int32_t kAborted = static_cast<int32_t>(0x80163025);
inline constexpr int32_t kNoImage = static_cast<int32_t>(0x80163026);
inline constexpr int32_t kQorDescription = 0x3000;
}  // namespace errc

}  // namespace qor
