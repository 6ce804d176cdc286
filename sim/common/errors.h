#pragma once

// Status codes of the simulated libraries and the readable texts for every code in use.
#include <cstdint>

namespace qorsim {

namespace err {
// Camera SDK.
inline constexpr int32_t kNotInitialized = static_cast<int32_t>(0x80140001);
inline constexpr int32_t kInvalidHandle = static_cast<int32_t>(0x80140002);
inline constexpr int32_t kDeviceInUse = static_cast<int32_t>(0x80140003);
inline constexpr int32_t kNoSuchDevice = static_cast<int32_t>(0x80140004);
inline constexpr int32_t kDisconnected = static_cast<int32_t>(0x80140005);
inline constexpr int32_t kWrongRecordSize = static_cast<int32_t>(0x80140006);
inline constexpr int32_t kValueOutOfRange = static_cast<int32_t>(0x80140007);
inline constexpr int32_t kNotSupported = static_cast<int32_t>(0x80140008);
inline constexpr int32_t kNullPointer = static_cast<int32_t>(0x80140009);
inline constexpr int32_t kBufferTooSmall = static_cast<int32_t>(0x8014000A);
inline constexpr int32_t kInvalidRoi = static_cast<int32_t>(0x8014000B);
inline constexpr int32_t kInvalidBinning = static_cast<int32_t>(0x8014000C);
inline constexpr int32_t kInvalidTime = static_cast<int32_t>(0x8014000D);
inline constexpr int32_t kCameraBusy = static_cast<int32_t>(0x8014000E);
inline constexpr int32_t kInvalidSegment = static_cast<int32_t>(0x8014000F);
inline constexpr int32_t kNoScanBuffer = static_cast<int32_t>(0x80140010);
// Recorder.
inline constexpr int32_t kRecInvalidHandle = static_cast<int32_t>(0x80150001);
inline constexpr int32_t kRecNotInitialized = static_cast<int32_t>(0x80150002);
inline constexpr int32_t kRecRunning = static_cast<int32_t>(0x80150003);
inline constexpr int32_t kRecInvalidMode = static_cast<int32_t>(0x80150004);
inline constexpr int32_t kRecNoImage = static_cast<int32_t>(0x80150005);
inline constexpr int32_t kRecFolderNotWritable = static_cast<int32_t>(0x80150006);
inline constexpr int32_t kRecDiskFull = static_cast<int32_t>(0x80150007);
inline constexpr int32_t kRecFileWrite = static_cast<int32_t>(0x80150008);
inline constexpr int32_t kRecNoMemory = static_cast<int32_t>(0x80150009);
inline constexpr int32_t kRecInvalidArgument = static_cast<int32_t>(0x8015000A);
inline constexpr int32_t kRecCameraGone = static_cast<int32_t>(0x8015000B);
inline constexpr int32_t kRecNoCompression = static_cast<int32_t>(0x8015000C);
inline constexpr int32_t kRecNotArmed = static_cast<int32_t>(0x8015000D);
inline constexpr int32_t kRecInitWarning = static_cast<int32_t>(0xC0153011);
// Conversion library.
inline constexpr int32_t kConvInvalidHandle = static_cast<int32_t>(0x80170001);
inline constexpr int32_t kConvInvalidArgument = static_cast<int32_t>(0x80170002);
inline constexpr int32_t kConvWrongRecordSize = static_cast<int32_t>(0x80170003);
inline constexpr int32_t kConvLutFile = static_cast<int32_t>(0x80170004);
inline constexpr int32_t kConvLutFormat = static_cast<int32_t>(0x80170005);
inline constexpr int32_t kConvWrongKind = static_cast<int32_t>(0x80170006);
// Light-source SDK.
inline constexpr int32_t kLumraInvalidHandle = static_cast<int32_t>(0x80180001);
inline constexpr int32_t kLumraNotOpened = static_cast<int32_t>(0x80180002);
inline constexpr int32_t kLumraInUse = static_cast<int32_t>(0x80180003);
inline constexpr int32_t kLumraWrongRecordSize = static_cast<int32_t>(0x80180004);
inline constexpr int32_t kLumraUnknownCommand = static_cast<int32_t>(0x80180005);
inline constexpr int32_t kLumraInvalidValue = static_cast<int32_t>(0x80180006);
inline constexpr int32_t kLumraNullPointer = static_cast<int32_t>(0x80180007);
inline constexpr int32_t kLumraBufferTooSmall = static_cast<int32_t>(0x80180008);
}  // namespace err

/// Readable text of a status code; "Unknown error code" for codes nobody uses.
const char* errorText(uint32_t code);

}  // namespace qorsim
