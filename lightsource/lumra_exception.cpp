#include "lightsource/lumra_exception.h"

#include <array>
#include <cstdio>

#include "camera/sdk.h"
#include "camera/vendor/qor_camsys.h"

namespace lym {

LumraException::LumraException()
    : what_("lym::LumraException has been thrown without err_code."), code_(errc::kUnspecified) {}

LumraException::LumraException(const std::string& message, int32_t code)
    : what_("lym::LumraException: " + message), code_(code) {}

LumraException::LumraException(int32_t code) : code_(code) {
    // The light-source SDK has no error texts of its own; the camera SDK knows both code spaces.
    std::array<char, 100> buffer{};
    QOR_GetErrorTextSDK(static_cast<uint32_t>(code), buffer.data(), static_cast<uint32_t>(buffer.size()));
    buffer.back() = '\0';
    sdk_text_ = buffer.data();
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", static_cast<uint32_t>(code));
    what_ = std::string("lym::LumraException (0x") + hex + "): " + sdk_text_;
}

bool succeeded(int32_t status) noexcept { return qor::sdk::succeeded(status); }

void check(int32_t status) {
    if (!succeeded(status)) throw LumraException(status);
}

}  // namespace lym
