#include "lightsource/lumra_exception.h"

#include "camera/sdk.h"

namespace lym {

LumraException::LumraException()
    : what_("lym::LumraException has been thrown without err_code."), code_(errc::kUnspecified) {}

LumraException::LumraException(const std::string& message, int32_t code)
    : what_("lym::LumraException: " + message), code_(code) {}

// The light-source SDK has no error texts of its own; the camera SDK knows both code spaces.
LumraException::LumraException(int32_t code) : code_(code), sdk_text_(qor::sdkErrorText(code)) {
    what_ = "lym::LumraException (" + qor::hexCode(code) + "): " + sdk_text_;
}

bool succeeded(int32_t status) noexcept { return qor::sdk::succeeded(status); }

void check(int32_t status) {
    if (!succeeded(status)) throw LumraException(status);
}

}  // namespace lym
