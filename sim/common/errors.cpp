#include "sim/common/errors.h"

namespace qorsim {

const char* errorText(uint32_t code) {
    switch (code) {
        case 0: return "No error";
        // Camera SDK.
        case 0x80140001: return "SDK library not initialized";
        case 0x80140002: return "Invalid camera handle";
        case 0x80140003: return "Camera is already in use";
        case 0x80140004: return "No camera with this device number";
        case 0x80140005: return "Camera disconnected";
        case 0x80140006: return "Wrong size field in record";
        case 0x80140007: return "Value out of range";
        case 0x80140008: return "Function not supported by this camera";
        case 0x80140009: return "Null pointer argument";
        case 0x8014000A: return "Buffer too small";
        case 0x8014000B: return "Invalid region of interest";
        case 0x8014000C: return "Invalid binning";
        case 0x8014000D: return "Delay or exposure time out of range";
        case 0x8014000E: return "Camera is busy recording";
        case 0x8014000F: return "Invalid camera RAM segment";
        case 0x80140010: return "Scan buffer too small for the device list";
        // Recorder.
        case 0x80150001: return "Invalid recorder handle";
        case 0x80150002: return "Recorder not initialized";
        case 0x80150003: return "Recorder is running";
        case 0x80150004: return "Invalid recorder mode or type";
        case 0x80150005: return "No image at this index";
        case 0x80150006: return "Recording folder does not exist or is not writable";
        case 0x80150007: return "Disk full";
        case 0x80150008: return "Writing the image file failed";
        case 0x80150009: return "Not enough memory for the recording";
        case 0x8015000A: return "Invalid recorder argument";
        case 0x8015000B: return "Camera of the recorder is no longer available";
        case 0x8015000C: return "Compression parameters not set";
        case 0x8015000D: return "Camera is not armed";
        case 0xC0153011: return "Recorder file already exists and was overwritten";
        // Conversion library.
        case 0x80170001: return "Invalid converter handle";
        case 0x80170002: return "Invalid conversion argument";
        case 0x80170003: return "Wrong size field in conversion record";
        case 0x80170004: return "Look-up table file cannot be read";
        case 0x80170005: return "Look-up table file has a wrong format";
        case 0x80170006: return "Conversion not available for this converter kind";
        // Light-source SDK.
        case 0x80180001: return "Invalid light-source handle";
        case 0x80180002: return "Light source is not opened";
        case 0x80180003: return "Light source is already in use";
        case 0x80180004: return "Wrong size field in light-source record";
        case 0x80180005: return "Unknown light-source command";
        case 0x80180006: return "Invalid light-source command value";
        case 0x80180007: return "Null pointer argument";
        case 0x80180008: return "Answer buffer too small";
        // Codes of the camera library and the light-source class.
        case 0x00160000: return "Unspecified or unknown value";
        case 0xA0163001: return "Invalid argument or value";
        case 0x80163022: return "Camera is busy recording";
        case 0x80163020: return "Feature not supported by this camera";
        case 0xA0163013: return "No camera found";
        case 0xA0163006: return "Not enough memory or space";
        case 0xA016301D: return "File path does not fit the record mode";
        case 0xA0163018: return "File does not exist";
        case 0x80163024: return "Camera has no recorder yet";
        case 0x80167006: return "Function not supported by this camera";
        case 0x80004001: return "Timeout";
        case 0x80163025: return "Operation aborted because the camera is being released";
        case 0x80163026: return "No image has been recorded";
        case 0x00003000: return "Error getting the camera description";
        case 0x80001020: return "Pixel rate changed, arm the camera";
        case 0x80001025: return "Camera RAM segment is empty";
        case 0xA0570001: return "Invalid light-source configuration";
        default: return "Unknown error code";
    }
}

}  // namespace qorsim
