// The simulated conversion library through its C interface: pixel values against independent
// expectations, look-up-table files, white balance, argument checks and fault injection.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "camera/vendor/qor_convert.h"
#include "sim/common/errors.h"
#include "sim/control.h"
#include "tests/support/sim_fixture.h"

namespace {

namespace err = qorsim::err;

constexpr int kNoSharpenFlags = QOR_CONVERT_DEFAULT;
constexpr int kCameraFlags = QOR_CONVERT_DEFAULT | QOR_CONVERT_SHARPEN | QOR_CONVERT_ADAPTIVE_SHARPEN |
                             QOR_CONVERT_FLIP | QOR_CONVERT_AUTO_MINMAX;
constexpr std::array<double, 9> kIdentity{1, 0, 0, 0, 1, 0, 0, 0, 1};
// A typical camera matrix: rows sum to 1, so grey stays grey.
constexpr std::array<double, 9> kCameraMatrix{1.6, -0.4, -0.2, -0.3, 1.5, -0.2, -0.1, -0.5, 1.6};

QOR_SensorInfo sensorInfo(int bits, bool colour, int dark = 0, const std::array<double, 9>& m = kIdentity) {
    QOR_SensorInfo info{};
    info.wSize = sizeof(QOR_SensorInfo);
    info.iDataBits = bits;
    info.iSensorInfoBits = colour ? 1 : 0;
    info.iDarkOffset = dark;
    info.strColorCoeff = {m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]};
    return info;
}

int paddedWidth(int width) { return (width + 3) & ~3; }

// The display curve, written out from its definition: range, then gamma, then contrast.
double displayValue(double v, int min, int max, int gamma100 = 100, int contrast = 0) {
    double x = max > min ? std::clamp((v - min) / (double(max) - min), 0.0, 1.0) : (v > min ? 1.0 : 0.0);
    x = std::pow(x, 100.0 / gamma100);
    x = std::clamp((x - 0.5) * (1.0 + contrast / 100.0) + 0.5, 0.0, 1.0);
    return 255.0 * x;
}

struct Rgb {
    int r, g, b;
};

// A Bayer mosaic of one flat colour, laid out for the colour mode (0: R G / G B, 1: G R / B G,
// 2: G B / R G, 3: B G / G R).
std::vector<uint16_t> flatMosaic(int width, int height, int color_mode, Rgb c) {
    const int red_x = color_mode & 1, red_y = color_mode >> 1;
    std::vector<uint16_t> raw(size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const bool rx = (x & 1) == red_x, ry = (y & 1) == red_y;
            raw[size_t(y) * width + x] = static_cast<uint16_t>(rx && ry ? c.r : (!rx && !ry ? c.b : c.g));
        }
    return raw;
}

class ConvertTest : public qortest::SimTest {
protected:
    QOR_CONVERTER create(int kind, QOR_SensorInfo info) {
        QOR_CONVERTER converter = nullptr;
        EXPECT_EQ(QOR_ConvertCreate(&converter, &info, kind), 0);
        return converter;
    }

    static QOR_Display display(QOR_CONVERTER converter) {
        QOR_Display d{};
        d.wSize = sizeof(QOR_Display);
        EXPECT_EQ(QOR_ConvertGetDisplay(converter, &d), 0);
        return d;
    }

    template <typename Edit>
    static void editDisplay(QOR_CONVERTER converter, Edit&& edit) {
        QOR_Display d = display(converter);
        edit(d);
        ASSERT_EQ(QOR_ConvertSetDisplay(converter, &d), 0);
    }

    static void setRange(QOR_CONVERTER converter, int min, int max) {
        editDisplay(converter, [&](QOR_Display& d) {
            d.iScale_min = min;
            d.iScale_max = max;
        });
    }

    // One BGR8 pixel of a converted image, as r, g, b.
    static Rgb bgrAt(const std::vector<uint8_t>& out, int width, int x, int y) {
        const uint8_t* p = &out[size_t(y) * 3 * paddedWidth(width) + 3 * size_t(x)];
        return {p[2], p[1], p[0]};
    }

    std::filesystem::path writeFile(const std::string& name, const std::string& contents) {
        const auto path = tempDir() / name;
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }
};

void expectNear(Rgb actual, Rgb expected, int tolerance, const std::string& where) {
    EXPECT_NEAR(actual.r, expected.r, tolerance) << where << " red";
    EXPECT_NEAR(actual.g, expected.g, tolerance) << where << " green";
    EXPECT_NEAR(actual.b, expected.b, tolerance) << where << " blue";
}

// ---------------------------------------------------------------------------------------------
// Mono8

struct ToneCase {
    int min, max, gamma100, contrast;
};
void PrintTo(const ToneCase& c, std::ostream* os) {
    *os << "range " << c.min << ".." << c.max << " gamma " << c.gamma100 << " contrast " << c.contrast;
}

class MonoToneTest : public ConvertTest, public ::testing::WithParamInterface<ToneCase> {};

TEST_P(MonoToneTest, RampFollowsRangeGammaAndContrast) {
    const ToneCase c = GetParam();
    QOR_CONVERTER conv = create(QOR_CONVERT_MONO, sensorInfo(12, false));
    editDisplay(conv, [&](QOR_Display& d) {
        d.iScale_min = c.min;
        d.iScale_max = c.max;
        d.iGamma = c.gamma100;
        d.iContrast = c.contrast;
    });
    // Width 289 = 4 x 64 + 32 + 1: the widest kernel, the next narrower one and the scalar end each
    // map part of every row; not a multiple of 4, so rows are padded.
    const int width = 289, height = 16;
    std::vector<uint16_t> in(size_t(width) * height);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint16_t>(i);  // 0 to 4623
    std::vector<uint8_t> out(size_t(paddedWidth(width)) * height, 0xAB);
    ASSERT_EQ(QOR_Convert16TO8(conv, kNoSharpenFlags, 0, width, height, in.data(), out.data()), 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double v = in[size_t(y) * width + x];
            ASSERT_NEAR(out[size_t(y) * paddedWidth(width) + x],
                        std::floor(displayValue(v, c.min, c.max, c.gamma100, c.contrast) + 0.5), 1)
                << "value " << v;
        }
        for (int x = width; x < paddedWidth(width); ++x) EXPECT_EQ(out[size_t(y) * paddedWidth(width) + x], 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Curves, MonoToneTest,
                         ::testing::Values(ToneCase{0, 4095, 100, 0}, ToneCase{1000, 3000, 100, 0},
                                           ToneCase{200, 3900, 220, 0}, ToneCase{200, 3900, 45, 0},
                                           ToneCase{500, 3500, 100, 50}, ToneCase{500, 3500, 100, -60},
                                           ToneCase{1000, 1100, 100, 0}, ToneCase{2000, 2000, 100, 0},
                                           ToneCase{-500, 9000, 150, 20}));

TEST_F(ConvertTest, FlipReversesTheRowOrder) {
    QOR_CONVERTER conv = create(QOR_CONVERT_MONO, sensorInfo(12, false));
    const int width = 6, height = 5;
    std::vector<uint16_t> in(size_t(width) * height);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint16_t>(i * 131);
    std::vector<uint8_t> plain(size_t(paddedWidth(width)) * height), flipped(plain.size());
    ASSERT_EQ(QOR_Convert16TO8(conv, kNoSharpenFlags, 0, width, height, in.data(), plain.data()), 0);
    ASSERT_EQ(QOR_Convert16TO8(conv, kNoSharpenFlags | QOR_CONVERT_FLIP, 0, width, height, in.data(), flipped.data()),
              0);
    const size_t stride = size_t(paddedWidth(width));
    for (int y = 0; y < height; ++y)
        EXPECT_TRUE(std::equal(&plain[y * stride], &plain[(y + 1) * stride], &flipped[(height - 1 - y) * stride]));
    EXPECT_NE(plain, flipped);
}

TEST_F(ConvertTest, SharpeningLeavesFlatAreasAndAdaptiveSharpeningLimitsOvershoot) {
    QOR_CONVERTER conv = create(QOR_CONVERT_MONO, sensorInfo(8, false));
    // Display range 0..255: display values equal the input. Left: 100 with +-1 noise; right: a
    // soft edge from 50 to 150.
    const int width = 64, height = 8;
    std::vector<uint16_t> in(size_t(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            in[size_t(y) * width + x] =
                static_cast<uint16_t>(x < 32 ? 100 + ((x + y) % 3) - 1 : (x < 44 ? 50 : (x > 44 ? 150 : 100)));
    auto convert = [&](int flags) {
        std::vector<uint8_t> out(size_t(width) * height);
        EXPECT_EQ(QOR_Convert16TO8(conv, flags, 0, width, height, in.data(), out.data()), 0);
        return out;
    };
    const auto none = convert(kNoSharpenFlags);
    const auto plain = convert(kNoSharpenFlags | QOR_CONVERT_SHARPEN);
    const auto adaptive = convert(kNoSharpenFlags | QOR_CONVERT_SHARPEN | QOR_CONVERT_ADAPTIVE_SHARPEN);
    const size_t row = 4 * width;
    int plain_noise = 0, adaptive_noise = 0;
    for (int x = 1; x < 31; ++x) {
        plain_noise += none[row + x] != plain[row + x];
        adaptive_noise += none[row + x] != adaptive[row + x];
    }
    EXPECT_GT(plain_noise, 10);    // the plain mask sharpens the noise too
    EXPECT_EQ(adaptive_noise, 0);  // the adaptive one takes it for noise
    // Both steepen the edge: darker before it, brighter after it; the adaptive one less so.
    EXPECT_EQ(none[row + 43], 50);
    EXPECT_EQ(none[row + 45], 150);
    EXPECT_LT(plain[row + 43], adaptive[row + 43]);
    EXPECT_LT(adaptive[row + 43], 50);
    EXPECT_GT(plain[row + 45], adaptive[row + 45]);
    EXPECT_GT(adaptive[row + 45], 150);
    // Far from the edge, flat areas stay as they are.
    EXPECT_EQ(plain[row + 60], 150);
    EXPECT_EQ(adaptive[row + 38], 50);
}

// ---------------------------------------------------------------------------------------------
// Colour

struct ModeCase {
    int color_mode;
    int flags;
};
void PrintTo(const ModeCase& c, std::ostream* os) { *os << "color mode " << c.color_mode << " flags " << c.flags; }

class BayerModeTest : public ConvertTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(BayerModeTest, FlatColourComesOutAsThatColour) {
    const auto [mode, extra_flags] = GetParam();
    const Rgb colour{1000, 2000, 3000};
    const int width = 18, height = 10;
    const auto raw = flatMosaic(width, height, mode, colour);
    QOR_CONVERTER conv8 = create(QOR_CONVERT_COLOR, sensorInfo(12, true));
    QOR_CONVERTER conv16 = create(QOR_CONVERT_COLOR16, sensorInfo(12, true));
    setRange(conv8, 0, 4095);

    std::vector<uint8_t> out8(size_t(3) * paddedWidth(width) * height);
    ASSERT_EQ(QOR_Convert16TOCOL(conv8, kNoSharpenFlags | extra_flags, mode, width, height, raw.data(), out8.data()),
              0);
    std::vector<uint16_t> out16(size_t(3) * paddedWidth(width) * height);
    ASSERT_EQ(QOR_Convert16TOCOL16(conv16, kNoSharpenFlags | extra_flags | QOR_CONVERT_RGB, mode, width, height,
                                   raw.data(), out16.data()),
              0);
    const Rgb expected8{int(std::lround(displayValue(colour.r, 0, 4095))),
                        int(std::lround(displayValue(colour.g, 0, 4095))),
                        int(std::lround(displayValue(colour.b, 0, 4095)))};
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::string where = "pixel " + std::to_string(x) + "," + std::to_string(y);
            expectNear(bgrAt(out8, width, x, y), expected8, 1, where);
            const uint16_t* p = &out16[size_t(y) * 3 * paddedWidth(width) + 3 * size_t(x)];
            expectNear({p[0], p[1], p[2]}, colour, 1, where + " (16-bit)");
        }
}

INSTANTIATE_TEST_SUITE_P(ModesAndAlgorithms, BayerModeTest,
                         ::testing::Values(ModeCase{0, 0}, ModeCase{1, 0}, ModeCase{2, 0}, ModeCase{3, 0},
                                           ModeCase{0, QOR_CONVERT_ALT_DEBAYER}, ModeCase{1, QOR_CONVERT_ALT_DEBAYER},
                                           ModeCase{2, QOR_CONVERT_ALT_DEBAYER}, ModeCase{3, QOR_CONVERT_ALT_DEBAYER},
                                           ModeCase{2, QOR_CONVERT_SHARPEN | QOR_CONVERT_ADAPTIVE_SHARPEN}));

TEST_F(ConvertTest, ChannelOrderAndRowLayoutFollowTheFlags) {
    const int width = 5, height = 4;
    const auto raw = flatMosaic(width, height, 0, {1000, 2000, 3000});
    QOR_CONVERTER conv = create(QOR_CONVERT_COLOR, sensorInfo(12, true));
    setRange(conv, 0, 4095);
    const int r = int(std::lround(displayValue(1000, 0, 4095))), g = int(std::lround(displayValue(2000, 0, 4095))),
              b = int(std::lround(displayValue(3000, 0, 4095)));
    struct Layout {
        int flags;
        int channels;
        std::vector<int> pixel;
    };
    const Layout layouts[] = {{0, 3, {b, g, r}},
                              {QOR_CONVERT_BGRA, 4, {b, g, r, 255}},
                              {QOR_CONVERT_RGB, 3, {r, g, b}},
                              {QOR_CONVERT_RGBA, 4, {r, g, b, 255}}};
    for (const Layout& layout : layouts) {
        const size_t stride = layout.channels == 4 ? 4 * size_t(width) : 3 * size_t(paddedWidth(width));
        std::vector<uint8_t> out(stride * height + 16, 0xAB);
        ASSERT_EQ(QOR_Convert16TOCOL(conv, kNoSharpenFlags | layout.flags, 0, width, height, raw.data(), out.data()),
                  0);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < layout.channels; ++c)
                    EXPECT_NEAR(out[y * stride + size_t(x) * layout.channels + c], layout.pixel[size_t(c)], 1)
                        << "flags " << layout.flags << " pixel " << x << "," << y << " channel " << c;
            for (size_t i = size_t(layout.channels) * width; i < stride; ++i) EXPECT_EQ(out[y * stride + i], 0);
        }
        EXPECT_EQ(out[stride * height], 0xAB) << "flags " << layout.flags << ": wrote past the image";
    }
}

// The colour pipeline on one pixel, worked out by hand: gains above the dark offset, then the
// matrix, then the display curve.
Rgb expectedColour(Rgb raw, int dark, const std::array<double, 9>& m, const std::array<double, 3>& gain, int full,
                   int min, int max, int gamma100, bool display) {
    const double u[3] = {std::min((raw.r - dark) * gain[0], double(full - dark)),
                         std::min((raw.g - dark) * gain[1], double(full - dark)),
                         std::min((raw.b - dark) * gain[2], double(full - dark))};
    int out[3];
    for (int c = 0; c < 3; ++c) {
        const double y =
            std::clamp(dark + m[3 * c] * u[0] + m[3 * c + 1] * u[1] + m[3 * c + 2] * u[2], 0.0, double(full));
        out[c] = int(std::lround(display ? displayValue(y, min, max, gamma100) : y));
    }
    return {out[0], out[1], out[2]};
}

// Each channel a linear function of the position: both demosaicing algorithms reproduce such
// fields exactly away from the borders, and the colour matrix then acts on each pixel.
TEST_F(ConvertTest, LinearGradientsAreInterpolatedExactly) {
    const int width = 70, height = 12;
    auto field = [](int channel, int x, int y) {
        return 400 + 300 * channel + (7 + 3 * channel) * x + (11 - 4 * channel) * y;
    };
    for (const auto& matrix : {kIdentity, kCameraMatrix})
        for (int mode : {0, 3})
            for (int algorithm : {0, int(QOR_CONVERT_ALT_DEBAYER)}) {
                const int red_x = mode & 1, red_y = mode >> 1;
                std::vector<uint16_t> raw(size_t(width) * height);
                for (int y = 0; y < height; ++y)
                    for (int x = 0; x < width; ++x) {
                        const bool rx = (x & 1) == red_x, ry = (y & 1) == red_y;
                        raw[size_t(y) * width + x] =
                            static_cast<uint16_t>(field(rx && ry ? 0 : (!rx && !ry ? 2 : 1), x, y));
                    }
                QOR_CONVERTER conv8 = create(QOR_CONVERT_COLOR, sensorInfo(12, true, 0, matrix));
                QOR_CONVERTER conv16 = create(QOR_CONVERT_COLOR16, sensorInfo(12, true, 0, matrix));
                setRange(conv8, 0, 4095);
                std::vector<uint8_t> out8(size_t(3) * paddedWidth(width) * height);
                std::vector<uint16_t> out16(out8.size());
                ASSERT_EQ(QOR_Convert16TOCOL(conv8, kNoSharpenFlags | algorithm, mode, width, height, raw.data(),
                                             out8.data()),
                          0);
                ASSERT_EQ(QOR_Convert16TOCOL16(conv16, kNoSharpenFlags | algorithm | QOR_CONVERT_RGB, mode, width,
                                               height, raw.data(), out16.data()),
                          0);
                for (int y = 2; y < height - 2; ++y)
                    for (int x = 2; x < width - 2; ++x) {
                        const std::string where = "mode " + std::to_string(mode) + " algorithm " +
                                                  std::to_string(algorithm) + " matrix " + std::to_string(matrix[0]) +
                                                  " pixel " + std::to_string(x) + "," + std::to_string(y);
                        const Rgb expected = expectedColour({field(0, x, y), field(1, x, y), field(2, x, y)}, 0, matrix,
                                                            {1, 1, 1}, 4095, 0, 0, 100, false);
                        const uint16_t* p = &out16[size_t(y) * 3 * paddedWidth(width) + 3 * size_t(x)];
                        expectNear({p[0], p[1], p[2]}, expected, 1, where);
                        // 8-bit colour applies a matrix to 8-bit display values, whose rounding the matrix
                        // amplifies by up to the sum of a row's magnitudes.
                        expectNear(bgrAt(out8, width, x, y),
                                   {int(std::lround(displayValue(expected.r, 0, 4095))),
                                    int(std::lround(displayValue(expected.g, 0, 4095))),
                                    int(std::lround(displayValue(expected.b, 0, 4095)))},
                                   matrix == kIdentity ? 1 : 2, where + " (8-bit)");
                    }
            }
}

// Every layout and the flip carry the same pixels, also in images wide enough for the vector code
// and large enough to be written around the caches.
TEST_F(ConvertTest, LayoutsAgreeOnTexturedImages) {
    for (auto [width, height] : {std::array{70, 9}, std::array{2048, 1400}}) {
        std::vector<uint16_t> raw(size_t(width) * height);
        uint32_t state = 7;
        for (auto& v : raw) {
            state = state * 1664525u + 1013904223u;
            v = static_cast<uint16_t>(state >> 20);
        }
        QOR_CONVERTER conv = create(QOR_CONVERT_COLOR, sensorInfo(12, true, 0, kCameraMatrix));
        const size_t stride3 = 3 * size_t(paddedWidth(width)), stride4 = 4 * size_t(width);
        auto convert_flags = [&](int flags, size_t stride) {
            std::vector<uint8_t> out(stride * height);
            EXPECT_EQ(QOR_Convert16TOCOL(conv, flags, 2, width, height, raw.data(), out.data()), 0);
            return out;
        };
        auto convert = [&](int order, size_t stride) { return convert_flags(kCameraFlags | order, stride); };
        const auto bgr = convert(0, stride3), bgra = convert(QOR_CONVERT_BGRA, stride4),
                   rgb = convert(QOR_CONVERT_RGB, stride3), rgba = convert(QOR_CONVERT_RGBA, stride4);
        int mismatches = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const uint8_t* p3 = &bgr[y * stride3 + 3 * size_t(x)];
                const uint8_t* q3 = &rgb[y * stride3 + 3 * size_t(x)];
                const uint8_t* p4 = &bgra[y * stride4 + 4 * size_t(x)];
                const uint8_t* q4 = &rgba[y * stride4 + 4 * size_t(x)];
                mismatches += !(p4[0] == p3[0] && p4[1] == p3[1] && p4[2] == p3[2] && p4[3] == 255);
                mismatches += !(q3[0] == p3[2] && q3[1] == p3[1] && q3[2] == p3[0]);
                mismatches += !(q4[0] == p3[2] && q4[1] == p3[1] && q4[2] == p3[0] && q4[3] == 255);
            }
        EXPECT_EQ(mismatches, 0) << width << " x " << height;
        const auto unflipped = convert_flags(kCameraFlags & ~QOR_CONVERT_FLIP, stride3);
        for (int y = 0; y < height; ++y)
            ASSERT_TRUE(
                std::equal(&unflipped[y * stride3], &unflipped[(y + 1) * stride3], &bgr[(height - 1 - y) * stride3]))
                << "row " << y;
        if (height > 100) {
            // The first rows of the large image, converted on their own (and so kept in the caches),
            // come out the same, except the last, whose lower neighbour differs.
            const int rows = 40;
            std::vector<uint8_t> top(stride3 * rows);
            ASSERT_EQ(
                QOR_Convert16TOCOL(conv, kCameraFlags & ~QOR_CONVERT_FLIP, 2, width, rows, raw.data(), top.data()), 0);
            EXPECT_TRUE(std::equal(top.begin(), top.begin() + stride3 * (rows - 2), unflipped.begin()));
        }
    }
}

TEST_F(ConvertTest, ColourMatrixWhiteBalanceAndGammaCombine) {
    const Rgb raw{1200, 2000, 2600};
    const int dark = 100, width = 16, height = 8;
    const auto mosaic = flatMosaic(width, height, 3, raw);
    struct Case {
        std::array<double, 9> matrix;
        int temperature, gamma100;
        int min = 200, max = 3800;
    };
    const Case cases[] = {{kCameraMatrix, 6500, 100},
                          {kCameraMatrix, 5000, 100},
                          {kCameraMatrix, 6500, 220},
                          {{1.2, 0, 0, 0, 1, 0, 0, 0, 0.8}, 7500, 100},
                          {kIdentity, 3200, 180},
                          // Rows that do not sum to 1, and a display range well above the dark offset.
                          {{0.9, 0.2, 0, 0.1, 1.0, 0, 0, 0.1, 0.8}, 6500, 100, 800, 3600}};
    for (const Case& c : cases) {
        const std::string where = "temperature " + std::to_string(c.temperature) + " gamma " +
                                  std::to_string(c.gamma100) + " matrix " + std::to_string(c.matrix[0]);
        QOR_CONVERTER conv8 = create(QOR_CONVERT_COLOR, sensorInfo(12, true, dark, c.matrix));
        QOR_CONVERTER conv16 = create(QOR_CONVERT_COLOR16, sensorInfo(12, true, dark, c.matrix));
        for (QOR_CONVERTER conv : {conv8, conv16})
            editDisplay(conv, [&](QOR_Display& d) {
                d.iScale_min = c.min;
                d.iScale_max = c.max;
                d.iColor_temp = c.temperature;
                d.iGamma = c.gamma100;
            });
        float r = 0, g = 0, b = 0;
        ASSERT_EQ(QOR_GetWhiteBalanceGains(c.temperature, 0, 12, &r, &g, &b), 0);
        const std::array<double, 3> gains{r, g, b};

        std::vector<uint8_t> out8(size_t(3) * paddedWidth(width) * height);
        ASSERT_EQ(QOR_Convert16TOCOL(conv8, kNoSharpenFlags, 3, width, height, mosaic.data(), out8.data()), 0);
        expectNear(bgrAt(out8, width, 7, 4),
                   expectedColour(raw, dark, c.matrix, gains, 4095, c.min, c.max, c.gamma100, true), 1, where);
        std::vector<uint16_t> out16(size_t(3) * paddedWidth(width) * height);
        ASSERT_EQ(QOR_Convert16TOCOL16(conv16, kNoSharpenFlags, 3, width, height, mosaic.data(), out16.data()), 0);
        const uint16_t* p = &out16[4 * 3 * size_t(paddedWidth(width)) + 3 * 7];
        expectNear({p[2], p[1], p[0]}, expectedColour(raw, dark, c.matrix, gains, 4095, 0, 0, 100, false), 1,
                   where + " (16-bit BGR)");
    }
}

TEST_F(ConvertTest, SaturationAndVibranceActOnChroma) {
    const int width = 8, height = 8;
    QOR_CONVERTER conv = create(QOR_CONVERT_COLOR, sensorInfo(12, true));
    setRange(conv, 0, 4095);
    auto convert = [&](Rgb colour) {
        const auto raw = flatMosaic(width, height, 0, colour);
        std::vector<uint8_t> out(size_t(3) * paddedWidth(width) * height);
        EXPECT_EQ(QOR_Convert16TOCOL(conv, kNoSharpenFlags, 0, width, height, raw.data(), out.data()), 0);
        return bgrAt(out, width, 3, 3);
    };
    auto spread = [](Rgb c) { return std::max({c.r, c.g, c.b}) - std::min({c.r, c.g, c.b}); };
    const Rgb muted{1800, 2000, 2300}, vivid{600, 2000, 3600};
    const int muted_before = spread(convert(muted)), vivid_before = spread(convert(vivid));

    editDisplay(conv, [](QOR_Display& d) { d.iColor_saturation = -100; });
    const Rgb grey = convert(muted);
    const int luma = int(std::lround(displayValue(0.2126 * 1800 + 0.7152 * 2000 + 0.0722 * 2300, 0, 4095)));
    expectNear(grey, {luma, luma, luma}, 1, "saturation -100");

    editDisplay(conv, [](QOR_Display& d) {
        d.iColor_saturation = 0;
        d.iColor_vibrance = 100;
    });
    const double muted_gain = double(spread(convert(muted))) / muted_before;
    const double vivid_gain = double(spread(convert(vivid))) / vivid_before;
    EXPECT_GT(muted_gain, 1.5);
    EXPECT_GT(muted_gain, vivid_gain + 0.3);
}

// ---------------------------------------------------------------------------------------------
// White balance

TEST_F(ConvertTest, GainsAreNormalisedToGreenAndFollowTemperatureAndTint) {
    float r = 0, g = 0, b = 0;
    ASSERT_EQ(QOR_GetWhiteBalanceGains(6500, 0, 14, &r, &g, &b), 0);
    EXPECT_FLOAT_EQ(r, 1.0f);
    EXPECT_FLOAT_EQ(g, 1.0f);
    EXPECT_FLOAT_EQ(b, 1.0f);
    ASSERT_EQ(QOR_GetWhiteBalanceGains(3000, 0, 14, &r, &g, &b), 0);  // warm light: less red, more blue
    EXPECT_EQ(g, 1.0f);
    EXPECT_LT(r, 0.8f);
    EXPECT_GT(b, 1.25f);
    float r2 = 0, g2 = 0, b2 = 0;
    ASSERT_EQ(QOR_GetWhiteBalanceGains(3000, 40, 14, &r2, &g2, &b2), 0);  // tint towards magenta
    EXPECT_EQ(g2, 1.0f);
    EXPECT_GT(r2, r);
    EXPECT_GT(b2, b);
    ASSERT_EQ(QOR_GetWhiteBalanceGains(12000, 0, 14, &r, &g, &b), 0);
    EXPECT_GT(r, 1.0f);
    EXPECT_LT(b, 1.0f);
}

struct TintCase {
    int color_mode;
    Rgb colour;
    bool camera_matrix;
};
void PrintTo(const TintCase& c, std::ostream* os) {
    *os << "color mode " << c.color_mode << " colour " << c.colour.r << "," << c.colour.g << "," << c.colour.b
        << (c.camera_matrix ? " with camera matrix" : "");
}

class WhiteBalanceTest : public ConvertTest, public ::testing::WithParamInterface<TintCase> {};

TEST_P(WhiteBalanceTest, EstimateMakesTheTintedFrameNeutral) {
    const auto [mode, colour, camera_matrix] = GetParam();
    const int width = 32, height = 24, dark = 100;
    const auto raw = flatMosaic(width, height, mode, colour);
    QOR_CONVERTER conv =
        create(QOR_CONVERT_COLOR, sensorInfo(12, true, dark, camera_matrix ? kCameraMatrix : kIdentity));
    setRange(conv, 0, 4095);
    int temperature = 0, tint = 0;
    ASSERT_EQ(QOR_GetWhiteBalance(conv, &temperature, &tint, mode, width, height, raw.data(), 1, 1, width, height), 0);
    editDisplay(conv, [&](QOR_Display& d) {
        d.iColor_temp = temperature;
        d.iColor_tint = tint;
    });
    std::vector<uint8_t> out(size_t(3) * paddedWidth(width) * height);
    ASSERT_EQ(QOR_Convert16TOCOL(conv, kCameraFlags, mode, width, height, raw.data(), out.data()), 0);
    const Rgb c = bgrAt(out, width, 10, 10);
    EXPECT_NEAR(c.r, c.g, 2) << "temperature " << temperature << " tint " << tint;
    EXPECT_NEAR(c.b, c.g, 2) << "temperature " << temperature << " tint " << tint;
    // And the gains the camera reads for those values are the ones that did it.
    float r = 0, g = 0, b = 0;
    ASSERT_EQ(QOR_GetWhiteBalanceGains(temperature, tint, 12, &r, &g, &b), 0);
    EXPECT_NEAR(r * (colour.r - dark) / (colour.g - dark), 1.0, 0.01);
    EXPECT_NEAR(b * (colour.b - dark) / (colour.g - dark), 1.0, 0.01);
}

INSTANTIATE_TEST_SUITE_P(
    Tints, WhiteBalanceTest,
    ::testing::Values(TintCase{0, {1200, 2000, 1600}, false}, TintCase{1, {2400, 2000, 1100}, false},
                      TintCase{2, {1500, 1700, 2600}, false}, TintCase{3, {1900, 1500, 1900}, false},
                      TintCase{0, {1200, 2000, 1600}, true}, TintCase{3, {2400, 2000, 1100}, true}));

TEST_F(ConvertTest, EstimateLooksOnlyAtTheRegion) {
    const int width = 40, height = 20, mode = 1;
    // Left half tinted red, right half tinted blue.
    auto raw = flatMosaic(width, height, mode, {2600, 2000, 1400});
    const auto right = flatMosaic(width, height, mode, {1400, 2000, 2600});
    for (int y = 0; y < height; ++y)
        for (int x = width / 2; x < width; ++x) raw[size_t(y) * width + x] = right[size_t(y) * width + x];
    QOR_CONVERTER conv = create(QOR_CONVERT_COLOR, sensorInfo(12, true));
    int temperature = 0, tint = 0;
    // 1-based and inclusive: columns 22 to 39 lie in the right half.
    ASSERT_EQ(QOR_GetWhiteBalance(conv, &temperature, &tint, mode, width, height, raw.data(), 23, 3, 40, 18), 0);
    float r = 0, g = 0, b = 0;
    ASSERT_EQ(QOR_GetWhiteBalanceGains(temperature, tint, 12, &r, &g, &b), 0);
    EXPECT_NEAR(r * 1400 / 2000, 1.0, 0.01);
    EXPECT_NEAR(b * 2600 / 2000, 1.0, 0.01);
}

TEST_F(ConvertTest, EstimateWithoutSignalKeepsTheCurrentValues) {
    const int width = 8, height = 8;
    const std::vector<uint16_t> dark_frame(size_t(width) * height, 50);  // at or below the dark offset
    QOR_CONVERTER conv = create(QOR_CONVERT_COLOR, sensorInfo(12, true, 64));
    editDisplay(conv, [](QOR_Display& d) {
        d.iColor_temp = 4200;
        d.iColor_tint = -7;
    });
    int temperature = 0, tint = 0;
    ASSERT_EQ(QOR_GetWhiteBalance(conv, &temperature, &tint, 0, width, height, dark_frame.data(), 1, 1, width, height),
              0);
    EXPECT_EQ(temperature, 4200);
    EXPECT_EQ(tint, -7);
}

TEST_F(ConvertTest, RegionOutsideTheImageIsRejected) {
    const int width = 8, height = 6;
    const std::vector<uint16_t> raw(size_t(width) * height, 1000);
    QOR_CONVERTER conv = create(QOR_CONVERT_COLOR, sensorInfo(12, true));
    int t = 0, tint = 0;
    const std::array<int, 4> bad[] = {{0, 1, 8, 6}, {1, 0, 8, 6}, {1, 1, 9, 6},
                                      {1, 1, 8, 7}, {5, 1, 4, 6}, {1, 4, 8, 3}};
    for (const auto& r : bad)
        EXPECT_EQ(QOR_GetWhiteBalance(conv, &t, &tint, 0, width, height, raw.data(), r[0], r[1], r[2], r[3]),
                  err::kConvInvalidArgument)
            << r[0] << "," << r[1] << "," << r[2] << "," << r[3];
    EXPECT_EQ(QOR_GetWhiteBalance(conv, &t, &tint, 0, width, height, raw.data(), 1, 1, 8, 6), 0);
}

// ---------------------------------------------------------------------------------------------
// Pseudo colour and look-up tables

std::array<Rgb, 256> testTable() {
    std::array<Rgb, 256> t{};
    for (int i = 0; i < 256; ++i) t[size_t(i)] = {i, 255 - i, (i * 7) & 255};
    return t;
}

std::string interleavedBinary(const std::array<Rgb, 256>& t) {
    std::string s;
    for (const Rgb& e : t) s += {char(e.r), char(e.g), char(e.b)};
    return s;
}

std::string planarBinary(const std::array<Rgb, 256>& t) {
    std::string s(768, '\0');
    for (size_t i = 0; i < 256; ++i) {
        s[i] = char(t[i].r);
        s[256 + i] = char(t[i].g);
        s[512 + i] = char(t[i].b);
    }
    return s;
}

std::string textTable(const std::array<Rgb, 256>& t) {
    std::string s = "# test table\n";
    for (const Rgb& e : t) s += std::to_string(e.r) + " " + std::to_string(e.g) + "\t" + std::to_string(e.b) + "\n";
    return s;
}

std::string headerTable(const std::array<Rgb, 256>& t) {
    std::string s = "QORLUT 256 255\n";
    for (const Rgb& e : t) s += std::to_string(e.r) + " " + std::to_string(e.g) + " " + std::to_string(e.b) + "\n";
    return s;
}

class PseudoTest : public ConvertTest {
protected:
    void SetUp() override {
        ConvertTest::SetUp();
        conv_ = create(QOR_CONVERT_PSEUDO, sensorInfo(8, false));
        setRange(conv_, 0, 255);  // the table index is the pixel value
        for (int i = 0; i < 256; ++i) ramp_[size_t(i)] = static_cast<uint16_t>(i);
    }

    // The RGB colour of each index through the converter's table.
    std::array<Rgb, 256> colours() {
        std::vector<uint8_t> out(size_t(3) * 256);
        EXPECT_EQ(QOR_Convert16TOPSEUDO(conv_, kNoSharpenFlags | QOR_CONVERT_RGB, 0, 256, 1, ramp_.data(), out.data()),
                  0);
        std::array<Rgb, 256> c{};
        for (size_t i = 0; i < 256; ++i) c[i] = {out[3 * i], out[3 * i + 1], out[3 * i + 2]};
        return c;
    }

    static bool same(const std::array<Rgb, 256>& a, const std::array<Rgb, 256>& b) {
        return std::equal(a.begin(), a.end(), b.begin(),
                          [](Rgb x, Rgb y) { return x.r == y.r && x.g == y.g && x.b == y.b; });
    }

    QOR_CONVERTER conv_ = nullptr;
    std::array<uint16_t, 256> ramp_{};
};

TEST_F(PseudoTest, WithoutTableIsAGreyRamp) {
    const auto c = colours();
    for (int i = 0; i < 256; ++i) expectNear(c[size_t(i)], {i, i, i}, 0, "index " + std::to_string(i));
}

TEST_F(PseudoTest, EachTableKindLoadsTheSameTable) {
    const auto table = testTable();
    const std::pair<int, std::string> files[] = {
        {3, interleavedBinary(table)}, {2, planarBinary(table)}, {1, textTable(table)}, {0, headerTable(table)}};
    for (const auto& [kind, contents] : files) {
        ASSERT_EQ(QOR_ConvertDelete(conv_), 0);
        conv_ = create(QOR_CONVERT_PSEUDO, sensorInfo(8, false));
        setRange(conv_, 0, 255);
        const auto path = writeFile("table" + std::to_string(kind), contents);
        ASSERT_EQ(QOR_LoadPseudoLut(conv_, kind, path.c_str()), 0) << "kind " << kind;
        EXPECT_TRUE(same(colours(), table)) << "kind " << kind;
    }
}

TEST_F(PseudoTest, HeaderTableIsResampledFromSixteenBitEntries) {
    const auto path = writeFile("wide.lt4", "# two entries, 16-bit\nQORLUT 2 65535\n0 65535 0\n65535 0 32768\n");
    ASSERT_EQ(QOR_LoadPseudoLut(conv_, 0, path.c_str()), 0);
    const auto c = colours();
    for (int i : {0, 51, 128, 255})
        expectNear(c[size_t(i)], {i, 255 - i, int(std::lround(i * 32768.0 / 65535.0))}, 1,
                   "index " + std::to_string(i));
}

TEST_F(PseudoTest, ChannelOrderOfPseudoColour) {
    const auto path = writeFile("t.lt1", interleavedBinary(testTable()));
    ASSERT_EQ(QOR_LoadPseudoLut(conv_, 3, path.c_str()), 0);
    const uint16_t value[4] = {10, 10, 10, 10};
    std::vector<uint8_t> bgr(size_t(3) * 4 * 2), bgra(size_t(4) * 2 * 2);  // rows of 3 x padded width, 4 x width
    ASSERT_EQ(QOR_Convert16TOPSEUDO(conv_, kNoSharpenFlags, 0, 2, 2, value, bgr.data()), 0);
    ASSERT_EQ(QOR_Convert16TOPSEUDO(conv_, kNoSharpenFlags | QOR_CONVERT_BGRA, 0, 2, 2, value, bgra.data()), 0);
    EXPECT_EQ(std::vector<int>(bgr.begin(), bgr.begin() + 3), (std::vector<int>{70, 245, 10}));
    EXPECT_EQ(std::vector<int>(bgra.begin() + 4, bgra.begin() + 8), (std::vector<int>{70, 245, 10, 255}));
}

TEST_F(PseudoTest, BadFilesFailAndKeepThePreviousTable) {
    const auto table = testTable();
    ASSERT_EQ(QOR_LoadPseudoLut(conv_, 3, writeFile("good.lt1", interleavedBinary(table)).c_str()), 0);
    std::string wrong_value = textTable(table);
    wrong_value.replace(wrong_value.find("\n0 255") + 1, 1, "256");
    std::string short_header = headerTable(table);
    short_header.replace(0, 14, "QORLUT 300 255");
    const std::pair<int, std::string> malformed[] = {
        {3, interleavedBinary(table).substr(0, 767)},
        {2, planarBinary(table) + "x"},
        {1, textTable(table) + "1 2 3\n"},
        {1, wrong_value},
        {1, "1 2 three\n"},
        {0, textTable(table)},
        {0, short_header},
        {0, "QORLUT 2 255\n0 0 0\n255 255\n"},
    };
    int n = 0;
    for (const auto& [kind, contents] : malformed) {
        const auto path = writeFile("bad" + std::to_string(n++), contents);
        EXPECT_EQ(QOR_LoadPseudoLut(conv_, kind, path.c_str()), err::kConvLutFormat)
            << "kind " << kind << " case " << n;
    }
    EXPECT_EQ(QOR_LoadPseudoLut(conv_, 1, (tempDir() / "missing.lt3").c_str()), err::kConvLutFile);
    EXPECT_EQ(QOR_LoadPseudoLut(conv_, 4, writeFile("any", interleavedBinary(table)).c_str()),
              err::kConvInvalidArgument);
    EXPECT_TRUE(same(colours(), table));
}

TEST_F(PseudoTest, PathsThatAreNoRegularFileFailAtOnceAndKeepTheTable) {
    const auto before = colours();
    const std::filesystem::path fifo = tempDir() / "fifo.lt1";
    std::filesystem::remove(fifo);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A FIFO without a writer: a blocking open would never return, so the load runs aside and a
    // writer is opened at the end to release it should it hang.
    auto load = std::async(std::launch::async, [&] { return QOR_LoadPseudoLut(conv_, 3, fifo.c_str()); });
    const bool returned = load.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    if (!returned) {
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
    }
    EXPECT_TRUE(returned) << "the load waited for a writer";
    EXPECT_EQ(load.get(), err::kConvLutFile);
    for (const char* path : {"/dev/null", "/dev/zero", "/"})
        EXPECT_EQ(QOR_LoadPseudoLut(conv_, 3, path), err::kConvLutFile) << path;
    EXPECT_TRUE(same(colours(), before));
    std::filesystem::remove(fifo);
}

TEST_F(PseudoTest, SampleTablesLoad) {
    const std::filesystem::path dir = std::filesystem::path(QOR_SOURCE_DIR) / "sim" / "luts";
    const std::pair<const char*, int> samples[] = {
        {"sample.lt1", 3}, {"sample.lt2", 2}, {"sample.lt3", 1}, {"sample.lt4", 0}};
    for (const auto& [name, kind] : samples) {
        ASSERT_EQ(QOR_LoadPseudoLut(conv_, kind, (dir / name).c_str()), 0) << name;
        const auto c = colours();
        EXPECT_FALSE(c[0].r == c[255].r && c[0].g == c[255].g && c[0].b == c[255].b) << name;
    }
}

// ---------------------------------------------------------------------------------------------
// Handles, records and arguments

TEST_F(ConvertTest, EveryCallRejectsHandlesThatAreNotLive) {
    QOR_CONVERTER deleted = create(QOR_CONVERT_PSEUDO, sensorInfo(12, false));
    ASSERT_EQ(QOR_ConvertDelete(deleted), 0);
    int stack_object = 0;
    QOR_Display d{};
    d.wSize = sizeof d;
    QOR_SensorInfo info = sensorInfo(12, false);
    uint16_t in[16] = {};
    uint8_t out[64] = {};
    uint16_t out16[64] = {};
    int t = 0, tint = 0;
    const std::function<int(QOR_CONVERTER)> calls[] = {
        [&](QOR_CONVERTER h) { return QOR_ConvertDelete(h); },
        [&](QOR_CONVERTER h) { return QOR_ConvertGetDisplay(h, &d); },
        [&](QOR_CONVERTER h) { return QOR_ConvertSetDisplay(h, &d); },
        [&](QOR_CONVERTER h) { return QOR_ConvertSetSensorInfo(h, &info); },
        [&](QOR_CONVERTER h) { return QOR_Convert16TO8(h, 0, 0, 4, 4, in, out); },
        [&](QOR_CONVERTER h) { return QOR_Convert16TOCOL(h, 0, 0, 4, 4, in, out); },
        [&](QOR_CONVERTER h) { return QOR_Convert16TOPSEUDO(h, 0, 0, 4, 4, in, out); },
        [&](QOR_CONVERTER h) { return QOR_Convert16TOCOL16(h, 0, 0, 4, 4, in, out16); },
        [&](QOR_CONVERTER h) { return QOR_LoadPseudoLut(h, 1, "x"); },
        [&](QOR_CONVERTER h) { return QOR_GetWhiteBalance(h, &t, &tint, 0, 4, 4, in, 1, 1, 4, 4); },
    };
    for (QOR_CONVERTER handle : {QOR_CONVERTER(nullptr), deleted, QOR_CONVERTER(&stack_object)})
        for (size_t i = 0; i < std::size(calls); ++i)
            EXPECT_EQ(calls[i](handle), err::kConvInvalidHandle) << "call " << i;
}

TEST_F(ConvertTest, ResetDeletesEveryConverter) {
    QOR_CONVERTER conv = create(QOR_CONVERT_MONO, sensorInfo(12, false));
    qorsim::reset();
    EXPECT_EQ(QOR_ConvertDelete(conv), err::kConvInvalidHandle);
}

TEST_F(ConvertTest, CreateChecksItsArguments) {
    QOR_CONVERTER conv = nullptr;
    QOR_SensorInfo info = sensorInfo(12, true);
    EXPECT_EQ(QOR_ConvertCreate(nullptr, &info, QOR_CONVERT_MONO), err::kConvInvalidArgument);
    EXPECT_EQ(QOR_ConvertCreate(&conv, nullptr, QOR_CONVERT_MONO), err::kConvInvalidArgument);
    for (int kind : {0, 5, -1}) EXPECT_EQ(QOR_ConvertCreate(&conv, &info, kind), err::kConvInvalidArgument) << kind;

    struct Bad {
        const char* what;
        std::function<void(QOR_SensorInfo&)> edit;
        int32_t status;
    };
    const Bad bad[] = {
        {"size", [](QOR_SensorInfo& i) { i.wSize = 263; }, err::kConvWrongRecordSize},
        {"no bits", [](QOR_SensorInfo& i) { i.iDataBits = 0; }, err::kConvInvalidArgument},
        {"17 bits", [](QOR_SensorInfo& i) { i.iDataBits = 17; }, err::kConvInvalidArgument},
        {"dark offset", [](QOR_SensorInfo& i) { i.iDarkOffset = 4095; }, err::kConvInvalidArgument},
        {"negative dark offset", [](QOR_SensorInfo& i) { i.iDarkOffset = -1; }, err::kConvInvalidArgument},
        {"matrix", [](QOR_SensorInfo& i) { i.strColorCoeff.da22 = std::nan(""); }, err::kConvInvalidArgument},
        {"colour kind on a mono sensor", [](QOR_SensorInfo& i) { i.iSensorInfoBits = 0; }, err::kConvWrongKind},
    };
    for (const Bad& b : bad) {
        QOR_SensorInfo edited = info;
        b.edit(edited);
        EXPECT_EQ(QOR_ConvertCreate(&conv, &edited, QOR_CONVERT_COLOR), b.status) << b.what;
        QOR_CONVERTER live = create(QOR_CONVERT_COLOR, info);
        EXPECT_EQ(QOR_ConvertSetSensorInfo(live, &edited), b.status) << b.what;
    }
}

TEST_F(ConvertTest, DisplayRecordDefaults) {
    QOR_CONVERTER lsb = create(QOR_CONVERT_COLOR, sensorInfo(12, true));
    QOR_SensorInfo msb_info = sensorInfo(12, true);
    msb_info.iSensorInfoBits |= 0x2;
    QOR_CONVERTER msb = create(QOR_CONVERT_COLOR, msb_info);
    const QOR_Display d = display(lsb);
    EXPECT_EQ(d.wSize, sizeof(QOR_Display));
    EXPECT_EQ(d.iScale_min, 0);
    EXPECT_EQ(d.iScale_max, 4095);
    EXPECT_EQ(d.iColor_temp, 6500);
    EXPECT_EQ(d.iColor_tint, 0);
    EXPECT_EQ(d.iColor_saturation, 0);
    EXPECT_EQ(d.iColor_vibrance, 0);
    EXPECT_EQ(d.iContrast, 0);
    EXPECT_EQ(d.iGamma, 100);
    EXPECT_EQ(display(msb).iScale_max, 4095 << 4);
}

TEST_F(ConvertTest, RecordsAndPointersAreChecked) {
    QOR_CONVERTER conv = create(QOR_CONVERT_MONO, sensorInfo(12, false));
    QOR_Display d{};
    EXPECT_EQ(QOR_ConvertGetDisplay(conv, &d), err::kConvWrongRecordSize);
    EXPECT_EQ(QOR_ConvertSetDisplay(conv, &d), err::kConvWrongRecordSize);
    EXPECT_EQ(QOR_ConvertGetDisplay(conv, nullptr), err::kConvInvalidArgument);
    EXPECT_EQ(QOR_ConvertSetDisplay(conv, nullptr), err::kConvInvalidArgument);
    EXPECT_EQ(QOR_ConvertSetSensorInfo(conv, nullptr), err::kConvInvalidArgument);
    d = display(conv);
    d.iGamma = 0;
    EXPECT_EQ(QOR_ConvertSetDisplay(conv, &d), err::kConvInvalidArgument);

    uint16_t in[64] = {};
    uint8_t out[256] = {};
    float r, g, b;
    int t, tint;
    EXPECT_EQ(QOR_Convert16TO8(conv, 0, 0, 4, 4, nullptr, out), err::kConvInvalidArgument);
    EXPECT_EQ(QOR_Convert16TO8(conv, 0, 0, 4, 4, in, nullptr), err::kConvInvalidArgument);
    EXPECT_EQ(QOR_GetWhiteBalanceGains(6500, 0, 12, nullptr, &g, &b), err::kConvInvalidArgument);
    EXPECT_EQ(QOR_GetWhiteBalanceGains(6500, 0, 0, &r, &g, &b), err::kConvInvalidArgument);
    EXPECT_EQ(QOR_GetWhiteBalance(conv, nullptr, &tint, 0, 4, 4, in, 1, 1, 4, 4), err::kConvInvalidArgument);
    EXPECT_EQ(QOR_GetWhiteBalance(conv, &t, &tint, 0, 4, 4, nullptr, 1, 1, 4, 4), err::kConvInvalidArgument);
    EXPECT_EQ(QOR_LoadPseudoLut(create(QOR_CONVERT_PSEUDO, sensorInfo(12, false)), 1, nullptr),
              err::kConvInvalidArgument);
}

TEST_F(ConvertTest, ImageArgumentsAndConverterKindsAreChecked) {
    QOR_CONVERTER mono = create(QOR_CONVERT_MONO, sensorInfo(12, false));
    QOR_CONVERTER colour = create(QOR_CONVERT_COLOR, sensorInfo(12, true));
    QOR_CONVERTER pseudo = create(QOR_CONVERT_PSEUDO, sensorInfo(12, false));
    std::vector<uint16_t> in(64);
    std::vector<uint8_t> out(256);
    std::vector<uint16_t> out16(256);
    for (auto [w, h, mode] : {std::array{0, 4, 0}, std::array{4, 0, 0}, std::array{-4, 4, 0}, std::array{4, 4, 4},
                              std::array{4, 4, -1}, std::array{70000, 1, 0}}) {
        EXPECT_EQ(QOR_Convert16TO8(mono, 0, mode, w, h, in.data(), out.data()), err::kConvInvalidArgument);
        EXPECT_EQ(QOR_Convert16TOCOL(colour, 0, mode, w, h, in.data(), out.data()), err::kConvInvalidArgument);
    }
    EXPECT_EQ(QOR_Convert16TOCOL(mono, 0, 0, 4, 4, in.data(), out.data()), err::kConvWrongKind);
    EXPECT_EQ(QOR_Convert16TOCOL16(pseudo, 0, 0, 4, 4, in.data(), out16.data()), err::kConvWrongKind);
    EXPECT_EQ(QOR_Convert16TOPSEUDO(colour, 0, 0, 4, 4, in.data(), out.data()), err::kConvWrongKind);
    EXPECT_EQ(QOR_Convert16TO8(pseudo, 0, 0, 4, 4, in.data(), out.data()), err::kConvWrongKind);
    EXPECT_EQ(QOR_LoadPseudoLut(mono, 1, "any.lt3"), err::kConvWrongKind);
    // The smallest images work too.
    EXPECT_EQ(QOR_Convert16TOCOL(colour, kCameraFlags, 3, 1, 1, in.data(), out.data()), 0);
    EXPECT_EQ(QOR_Convert16TOCOL(colour, kCameraFlags | QOR_CONVERT_ALT_DEBAYER, 0, 2, 3, in.data(), out.data()), 0);
    EXPECT_EQ(QOR_Convert16TO8(mono, kCameraFlags, 0, 1, 2, in.data(), out.data()), 0);
}

// ---------------------------------------------------------------------------------------------
// Fault injection and concurrency

TEST_F(ConvertTest, InjectedFaultIsReturnedAndTheCallLogged) {
    QOR_CONVERTER conv = create(QOR_CONVERT_MONO, sensorInfo(12, false));
    std::vector<uint16_t> in(16, 2000);
    std::vector<uint8_t> out(16, 0xAB);
    qorsim::failNext("QOR_Convert16TO8", err::kConvInvalidArgument);
    EXPECT_EQ(QOR_Convert16TO8(conv, kCameraFlags, 0, 4, 4, in.data(), out.data()), err::kConvInvalidArgument);
    EXPECT_EQ(out, std::vector<uint8_t>(16, 0xAB));
    EXPECT_EQ(QOR_Convert16TO8(conv, kCameraFlags, 0, 4, 4, in.data(), out.data()), 0);
    EXPECT_NE(out, std::vector<uint8_t>(16, 0xAB));
    EXPECT_EQ(qorsim::callCount("QOR_Convert16TO8"), 2);
    const auto args = qorsim::lastCallArgs("QOR_Convert16TO8");
    ASSERT_EQ(args.size(), 7u);
    EXPECT_EQ(args[1], kCameraFlags);
    EXPECT_EQ(args[3], 4);
}

TEST_F(ConvertTest, ConvertersWorkFromSeveralThreadsAtOnce) {
    const int width = 96, height = 64;
    std::vector<uint16_t> raw(size_t(width) * height);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint16_t>((i * 2654435761u) >> 20);
    const size_t bytes = size_t(3) * paddedWidth(width) * height;
    QOR_CONVERTER reference = create(QOR_CONVERT_COLOR, sensorInfo(12, true, 0, kCameraMatrix));
    std::vector<uint8_t> expected(bytes);
    ASSERT_EQ(QOR_Convert16TOCOL(reference, kCameraFlags, 0, width, height, raw.data(), expected.data()), 0);

    std::vector<QOR_CONVERTER> converters;
    for (int i = 0; i < 3; ++i) converters.push_back(create(QOR_CONVERT_COLOR, sensorInfo(12, true, 0, kCameraMatrix)));
    std::vector<int> mismatches(converters.size(), 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < converters.size(); ++t)
        threads.emplace_back([&, t] {
            std::vector<uint8_t> out(bytes);
            for (int round = 0; round < 20; ++round) {
                if (QOR_Convert16TOCOL(converters[t], kCameraFlags, 0, width, height, raw.data(), out.data()) != 0 ||
                    out != expected)
                    ++mismatches[t];
            }
        });
    // Meanwhile the display of a converter in use is read and written back unchanged.
    int display_failures = 0;
    for (int i = 0; i < 200; ++i) {
        QOR_Display d{};
        d.wSize = sizeof d;
        display_failures += QOR_ConvertGetDisplay(converters[0], &d) != 0;
        display_failures += QOR_ConvertSetDisplay(converters[0], &d) != 0;
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(display_failures, 0);
    EXPECT_EQ(mismatches, std::vector<int>(converters.size(), 0));
}

// ---------------------------------------------------------------------------------------------
// Images large enough to be converted in bands on several threads

struct BandCase {
    const char* name;
    int kind;  // QOR_CONVERT_MONO, _COLOR or _PSEUDO
    int flags;
    int gamma100;
};
void PrintTo(const BandCase& c, std::ostream* os) { *os << c.name; }

class BandTest : public ConvertTest, public ::testing::WithParamInterface<BandCase> {
protected:
    void TearDown() override {
        qorsim::setConversionThreads(0);
        ConvertTest::TearDown();
    }
};

TEST_P(BandTest, EveryThreadCountGivesTheBytesOfOnePass) {
    const BandCase& c = GetParam();
    // Odd sizes, so that bands split unevenly and rows of both Bayer parities start a band.
    constexpr int kWidth = 642, kHeight = 487;
    std::vector<uint16_t> raw(size_t(kWidth) * kHeight);
    uint32_t state = 12345;
    for (uint16_t& v : raw) {
        state = state * 1664525u + 1013904223u;
        v = static_cast<uint16_t>(state >> 20);  // 12-bit noise: sharpening and demosaicing see edges everywhere
    }
    const bool colour = c.kind == QOR_CONVERT_COLOR;
    auto made = [&] {
        QOR_CONVERTER fresh = create(c.kind, sensorInfo(12, colour, 64, colour ? kCameraMatrix : kIdentity));
        editDisplay(fresh, [&](QOR_Display& d) {
            d.iScale_min = 64;
            d.iScale_max = 4095;
            d.iGamma = c.gamma100;
        });
        return fresh;
    };
    QOR_CONVERTER converter = made();
    const size_t bytes = size_t(c.kind == QOR_CONVERT_MONO ? 1 : 3) * paddedWidth(kWidth) * kHeight;
    auto convertWith = [&](QOR_CONVERTER converter) {
        std::vector<uint8_t> out(bytes, 0xAB);
        int status = c.kind == QOR_CONVERT_MONO
                         ? QOR_Convert16TO8(converter, c.flags, 0, kWidth, kHeight, raw.data(), out.data())
                         : (c.kind == QOR_CONVERT_COLOR
                                ? QOR_Convert16TOCOL(converter, c.flags, 1, kWidth, kHeight, raw.data(), out.data())
                                : QOR_Convert16TOPSEUDO(converter, c.flags, 0, kWidth, kHeight, raw.data(), out.data()));
        EXPECT_EQ(status, 0);
        return out;
    };
    auto convert = [&](int threads) {
        qorsim::setConversionThreads(threads);
        return convertWith(converter);
    };
    const std::vector<uint8_t> one = convert(1);
    for (int threads : {2, 3, 5}) {
        const std::vector<uint8_t> banded = convert(threads);
        const auto diff = std::mismatch(one.begin(), one.end(), banded.begin());
        EXPECT_TRUE(diff.first == one.end()) << threads << " threads differ first at byte " << (diff.first - one.begin())
                                             << " (row " << (diff.first - one.begin()) / (bytes / kHeight) << ")";
    }
    // Images converted at the same time share the library's helper threads.
    qorsim::setConversionThreads(2);
    std::vector<QOR_CONVERTER> others{made(), made(), made()};
    std::vector<std::future<std::vector<uint8_t>>> side_by_side;
    for (QOR_CONVERTER other : others)
        side_by_side.push_back(std::async(std::launch::async, [&, other] { return convertWith(other); }));
    for (auto& result : side_by_side) EXPECT_TRUE(result.get() == one);
    for (QOR_CONVERTER other : others) QOR_ConvertDelete(other);
    QOR_ConvertDelete(converter);
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, BandTest,
    ::testing::Values(BandCase{"mono plain", QOR_CONVERT_MONO, kNoSharpenFlags, 100},
                      BandCase{"mono camera flags", QOR_CONVERT_MONO, kCameraFlags & ~QOR_CONVERT_AUTO_MINMAX, 100},
                      BandCase{"mono sharpen gamma", QOR_CONVERT_MONO, kNoSharpenFlags | QOR_CONVERT_SHARPEN, 220},
                      BandCase{"colour bilinear", QOR_CONVERT_COLOR, kNoSharpenFlags, 100},
                      BandCase{"colour camera flags", QOR_CONVERT_COLOR, kCameraFlags & ~QOR_CONVERT_AUTO_MINMAX, 100},
                      BandCase{"colour gradient sharpen", QOR_CONVERT_COLOR,
                               kNoSharpenFlags | QOR_CONVERT_ALT_DEBAYER | QOR_CONVERT_SHARPEN | QOR_CONVERT_FLIP, 100},
                      BandCase{"colour linear gamma", QOR_CONVERT_COLOR, kCameraFlags & ~QOR_CONVERT_AUTO_MINMAX, 180},
                      BandCase{"pseudo adaptive", QOR_CONVERT_PSEUDO,
                               kNoSharpenFlags | QOR_CONVERT_ADAPTIVE_SHARPEN | QOR_CONVERT_FLIP, 100}),
    [](const ::testing::TestParamInfo<BandCase>& info) {
        std::string name = info.param.name;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

}  // namespace
