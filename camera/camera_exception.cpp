#include "camera/camera_exception.h"

#include <array>
#include <cstdio>

#include "camera/vendor/qor_camsys.h"

namespace qor {

CameraException::CameraException()
    : what_("qor::CameraException has been thrown without err_code."), code_(errc::kUnspecified) {}

CameraException::CameraException(const std::string& message, int32_t code)
    : what_("qor::CameraException: " + message), code_(code) {}

CameraException::CameraException(int32_t code) : code_(code), sdk_text_(qor::sdkErrorText(code)) {
    what_ = "qor::CameraException (" + hexCode(code) + "): " + sdk_text_;
}

std::string sdkErrorText(int32_t code) {
    std::array<char, 100> buffer{};
    QOR_GetErrorTextSDK(static_cast<uint32_t>(code), buffer.data(), static_cast<uint32_t>(buffer.size()));
    buffer.back() = '\0';
    return buffer.data();
}

std::string hexCode(int32_t code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", static_cast<uint32_t>(code));
    return hex;
}

}  // namespace qor
