#pragma once

// Row kernels of the conversions. Every kernel works on whole blocks of kBlock elements so that
// the compiler vectorises it even without loop versioning; the internal row buffers are padded
// to whole blocks (RowBuffer). Kernels that write the caller's output take an exact count.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qorsim::conv {

inline constexpr int kBlock = 64;

inline int blocksFor(int n) { return (n + kBlock - 1) / kBlock; }

/// A row of whole blocks with kPad spare elements on either side for the neighbours of the
/// kernels' stencils. Elements outside the row are initialised, so reading them is harmless.
template <typename T>
class RowBuffer {
public:
    static constexpr int kPad = 32;
    explicit RowBuffer(int width = 0) : data_(static_cast<std::size_t>(blocksFor(width) * kBlock + 2 * kPad)) {}
    T* row() { return data_.data() + kPad; }
    const T* row() const { return data_.data() + kPad; }

private:
    std::vector<T> data_;
};

/// Unsharp mask over the 4-neighbourhood: out = centre + (centre - mean of the neighbours).
void sharpenRow8(const uint8_t* up, const uint8_t* mid, const uint8_t* down, uint8_t* out, int blocks);
/// The edge-aware variant: detail up to `coring` is taken for noise and left alone, and the
/// result stays within `overshoot` of the neighbourhood's minimum and maximum, which limits halos.
void adaptiveSharpenRow8(const uint8_t* up, const uint8_t* mid, const uint8_t* down, uint8_t* out, int blocks,
                         uint8_t coring, uint8_t overshoot);
/// The portable version of adaptiveSharpenRow8 (the other picks a hand-written one when it can).
void adaptiveSharpenRow8Generic(const uint8_t* up, const uint8_t* mid, const uint8_t* down, uint8_t* out, int blocks,
                                uint8_t coring, uint8_t overshoot);
void sharpenRow16(const uint16_t* up, const uint16_t* mid, const uint16_t* down, uint16_t* out, int blocks);
void adaptiveSharpenRow16(const uint16_t* up, const uint16_t* mid, const uint16_t* down, uint16_t* out, int blocks,
                          uint16_t coring, uint16_t overshoot);

/// Luminance (R + 2G + B) / 4 of three planes.
void lumaRow8(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint8_t* y, int blocks);
void lumaRow16(const uint16_t* r, const uint16_t* g, const uint16_t* b, uint16_t* y, int blocks);
/// Adds the sharpening of the luminance (sharp - soft) to a colour plane, in place.
void addDetailRow16(uint16_t* c, const uint16_t* sharp, const uint16_t* soft, int blocks);

/// Interleaves n pixels of three planes (c0 first) into `channels` bytes per pixel (3, or 4 with
/// alpha 255), adding the luminance detail (sharp - soft) to every channel unless `sharp` is
/// null. `stream` writes around the caches, for outputs too large to stay in them.
void interleaveRow8(const uint8_t* c0, const uint8_t* c1, const uint8_t* c2, const uint8_t* sharp, const uint8_t* soft,
                    uint8_t* out, int n, int channels, bool stream);
/// Interleaves n pixels of three 16-bit planes (c0 first).
void interleave3Row16(const uint16_t* c0, const uint16_t* c1, const uint16_t* c2, uint16_t* out, int n);

/// Bilinear demosaicing of one row of a Bayer mosaic. In the row, the pixels of parity `site`
/// carry the colour S (red or blue) and the others green; O is the opposite colour (blue or red).
/// `rows` are the rows y-1, y, y+1, each with two valid neighbours on either side.
void demosaicBilinearRow8(const uint8_t* const rows[3], int site, uint8_t* s, uint8_t* g, uint8_t* o, int blocks);
void demosaicBilinearRow16(const uint16_t* const rows[3], int site, uint16_t* s, uint16_t* g, uint16_t* o, int blocks);
/// Gradient-corrected linear interpolation (Malvar, He and Cutler, 2004) over rows y-2 to y+2.
void demosaicGradientRow8(const uint8_t* const rows[5], int site, uint8_t* s, uint8_t* g, uint8_t* o, int blocks);
void demosaicGradientRow16(const uint16_t* const rows[5], int site, uint16_t* s, uint16_t* g, uint16_t* o, int blocks);

/// White balance, colour matrix and vibrance in the sensor's units, in place on three planes.
struct ColourTransform {
    float gain[3] = {1, 1, 1};
    float dark = 0;
    float limit = 65535;  // full scale above the dark offset; white-balanced values clip here
    float full = 65535;
    float matrix[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    float vibrance = 0;                             // -1 to 1
    float weight[3] = {0.2126f, 0.7152f, 0.0722f};  // luminance of linear RGB
};
void colourTransformRow(uint16_t* r, uint16_t* g, uint16_t* b, const ColourTransform& t, int blocks);

/// A colour matrix on display values, in place on three 8-bit planes:
/// out = clamp(m d + c, lo, hi) per channel, rounded.
struct DisplayMatrix {
    float m[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    float c[3] = {0, 0, 0};
    int lo = 0, hi = 255;
};
void displayMatrixRow(uint8_t* r, uint8_t* g, uint8_t* b, const DisplayMatrix& matrix, int blocks);

/// Pseudo colour: n pixels of `channels` (3 or 4) bytes from the packed entries of `lut`.
void pseudoColourRow(const uint8_t* index, const uint32_t* lut, uint8_t* out, int n, int channels);

}  // namespace qorsim::conv
