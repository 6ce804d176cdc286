#pragma once

// The images a simulated camera takes: a deterministic test pattern whose brightness follows the
// exposure time, with a moving square, a dark offset and a Bayer mosaic on colour sensors.
#include <cstdint>
#include <vector>

#include "camera/vendor/qor_camsys.h"
#include "sim/common/camera_model.h"

namespace qorsim {

/// What a recording's images look like; fixed when the recording starts.
struct FrameGeometry {
    uint32_t width = 0;          // image pixels per row (binned)
    uint32_t height = 0;         // rows, twice the ROI height in double-image mode
    uint32_t roi_height = 0;     // rows of one exposure
    uint32_t roi_x0 = 1;         // first column and row of the ROI, 1-based, in binned pixels
    uint32_t roi_y0 = 1;
    uint32_t sensor_width = 0;   // unbinned sensor size
    uint32_t sensor_height = 0;
    uint16_t bin_h = 1;
    uint16_t bin_v = 1;
    bool average_binning = false;
    uint16_t data_bits = 16;     // significant bits
    uint16_t storage_bits = 16;  // 16 or 8
    uint16_t dark_offset = 0;    // at data_bits
    bool color = false;
    uint32_t cfa_phase = 0;      // colour of sensor pixel (1,1): 0 R, 1 G in a red row, 2 G in a blue row, 3 B
    bool msb_aligned = false;
    uint16_t timestamp_mode = 0;

    uint64_t pixelCount() const { return uint64_t{width} * height; }
    uint64_t bytes() const { return pixelCount() * (storage_bits / 8); }
};

/// The geometry of the camera's next images for its current settings.
FrameGeometry frameGeometry(const CameraSpec& model, const CameraSettings& settings);

/// Renders image `image_number` (1-based) for the exposure time into `out` (geometry.bytes() bytes),
/// including the binary time stamp of `timestamp` when the time-stamp mode is 1 or 2.
void renderFrame(const FrameGeometry& geometry, uint32_t image_number, uint64_t exposure_ns,
                 const QOR_Timestamp& timestamp, void* out);

/// Seconds the sensor needs to read out one image at the pixel rate.
double readoutSeconds(const FrameGeometry& geometry, uint32_t pixel_rate);

/// Two-digit binary-coded decimal of 0 to 99.
inline uint8_t bcd(uint32_t value) { return static_cast<uint8_t>(((value / 10) % 10) << 4 | (value % 10)); }

}  // namespace qorsim
