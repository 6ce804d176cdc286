#include "camera/camera_exception.h"

#include <array>
#include <cstdio>

#include "camera/vendor/qor_camsys.h"

namespace qor {

CameraException::CameraException()
    : what_("qor::CameraException has been thrown without err_code."), code_(errc::kUnspecified) {}

CameraException::CameraException(const std::string& message, int32_t code)
    : what_("qor::CameraException: " + message), code_(code) {}

CameraException::CameraException(int32_t code) : code_(code) {
    std::array<char, 100> buffer{};
    QOR_GetErrorTextSDK(static_cast<uint32_t>(code), buffer.data(), static_cast<uint32_t>(buffer.size()));
    buffer.back() = '\0';
    sdk_text_ = buffer.data();
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<uint32_t>(code));
    what_ = std::string("qor::CameraException (0x") + hex + "): " + sdk_text_;
}

}  // namespace qor
