#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace lym {

/// The one exception type of the light-source class: an SDK-space error code and a ready-made text.
class LumraException : public std::exception {
public:
    /// Code 0x00160000 and the "thrown without err_code" text.
    LumraException();
    /// "lym::LumraException: " followed by the message; no SDK text.
    LumraException(const std::string& message, int32_t code);
    /// Built from an SDK status: the camera SDK's text for it, and the code in hexadecimal in the what-text.
    explicit LumraException(int32_t code);

    const char* what() const noexcept override { return what_.c_str(); }
    int32_t code() const noexcept { return code_; }
    std::string sdkErrorText() const { return sdk_text_; }

private:
    std::string what_;
    int32_t code_;
    std::string sdk_text_;
};

/// Error codes of the light-source class.
namespace errc {
inline constexpr int32_t kUnspecified = 0x00160000;
inline constexpr int32_t kNoDevice = static_cast<int32_t>(0xA0163013);
inline constexpr int32_t kInvalidConfiguration = static_cast<int32_t>(0xA0570001);
}  // namespace errc

/// True when an SDK status counts as success: not negative, or a warning.
bool succeeded(int32_t status) noexcept;
/// Throws a LumraException built from the status unless it counts as success.
void check(int32_t status);

}  // namespace lym
