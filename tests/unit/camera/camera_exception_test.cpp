// The exception's three constructions and the SDK's texts for every code in use.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "camera/camera_exception.h"
#include "camera/vendor/qor_camsys.h"

namespace {

using qor::CameraException;

TEST(CameraExceptionTest, DefaultConstructionHasTheUnspecifiedCode) {
    CameraException e;
    EXPECT_EQ(e.code(), 0x00160000);
    EXPECT_STREQ(e.what(), "qor::CameraException has been thrown without err_code.");
    EXPECT_EQ(e.sdkErrorText(), "");
}

TEST(CameraExceptionTest, MessageConstructionCarriesNoCodeInItsText) {
    CameraException e("invalid delay time: NaN", qor::errc::kInvalidArgument);
    EXPECT_EQ(e.code(), qor::errc::kInvalidArgument);
    EXPECT_STREQ(e.what(), "qor::CameraException: invalid delay time: NaN");
    EXPECT_EQ(e.sdkErrorText(), "");
}

TEST(CameraExceptionTest, CodeConstructionPrintsTheCodeInLowerCaseHexAndTheSdkText) {
    CameraException e(qor::errc::kInvalidArgument);
    EXPECT_EQ(std::string(e.what()).rfind("qor::CameraException (0xa0163001): ", 0), 0u) << e.what();
    EXPECT_EQ(e.sdkErrorText(), "Invalid argument or value");
    EXPECT_STREQ(CameraException(static_cast<int32_t>(0x80001020)).what(),
                 "qor::CameraException (0x80001020): Pixel rate changed, arm the camera");
    EXPECT_STREQ(CameraException(0x3000).what(), "qor::CameraException (0x3000): Error getting the camera description");
    // A code nobody uses still builds a complete text.
    EXPECT_STREQ(CameraException(0x12345).what(), "qor::CameraException (0x12345): Unknown error code");
    CameraException copy = e;
    EXPECT_STREQ(copy.what(), e.what());
    EXPECT_EQ(copy.code(), e.code());
}

TEST(CameraExceptionTest, EveryCodeOfTheLibraryHasAReadableText) {
    for (int32_t code : {qor::errc::kUnspecified, qor::errc::kInvalidArgument, qor::errc::kBusyRecording,
                         qor::errc::kNotSupported, qor::errc::kNoCamera, qor::errc::kNoMemory, qor::errc::kBadFilePath,
                         qor::errc::kFileMissing, qor::errc::kNoRecorder, qor::errc::kCamRamUnsupported,
                         qor::errc::kTimeout, qor::errc::kAborted, qor::errc::kNoImage, qor::errc::kQorDescription}) {
        EXPECT_NE(CameraException(code).sdkErrorText(), "Unknown error code") << std::hex << code;
    }
}

TEST(CameraExceptionTest, ErrorTextCallTruncatesAndRefusesMissingBuffers) {
    std::array<char, 8> small{};
    ASSERT_EQ(QOR_GetErrorTextSDK(0xA0163001, small.data(), static_cast<uint32_t>(small.size())), 0);
    EXPECT_STREQ(small.data(), "Invalid");
    EXPECT_LT(QOR_GetErrorTextSDK(0xA0163001, nullptr, 100), 0);
    EXPECT_LT(QOR_GetErrorTextSDK(0xA0163001, small.data(), 0), 0);
}

}  // namespace
