// PNG and JPEG renderings of images the camera library really produced (odd widths, so converted
// rows carry padding), read back with decoders other than the encoders: libpng for PNG, TurboJPEG's
// decompressor for JPEG. Also the Accept-header negotiation.
#include <gtest/gtest.h>
#include <png.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "server/image_encoding.h"
#include "tests/support/sim_fixture.h"

namespace {

using image_encoding::Rendering;
using qor::DataFormat;

// ---- Negotiation ------------------------------------------------------------------------------

TEST(ImageEncodingNegotiateTest, OnlyAnExplicitPngOrJpegLeavesTheRawReply) {
    struct Case {
        const char* accept;
        Rendering expected;
    };
    const Case cases[] = {
        {"", Rendering::raw},
        {"*/*", Rendering::raw},
        {"application/octet-stream", Rendering::raw},
        {"image/*", Rendering::raw},
        {"image/webp,*/*;q=0.8", Rendering::raw},
        {"image/png", Rendering::png},
        {"IMAGE/PNG", Rendering::png},
        {" image/jpeg ; q=0.9", Rendering::jpeg},
        {"image/jpeg, image/png", Rendering::jpeg},
        {"image/png, image/jpeg", Rendering::png},
        {"image/png;q=0.5, image/jpeg", Rendering::jpeg},
        {"image/png;q=0, application/octet-stream", Rendering::raw},
        {"image/png;q=abc", Rendering::raw},
        {"image/png;q=2", Rendering::raw},
        {"image/pngx", Rendering::raw},
        {"text/html,image/jpeg;q=0.1", Rendering::jpeg},
    };
    for (const Case& c : cases) EXPECT_EQ(image_encoding::negotiate(c.accept), c.expected) << '"' << c.accept << '"';
}

// ---- Decoders -----------------------------------------------------------------------------------

struct Decoded {
    uint32_t width = 0;
    uint32_t height = 0;
    int color_type = -1;
    int bit_depth = 0;
    std::vector<std::vector<uint16_t>> rows;  // samples, 16-bit values in host order
};

Decoded decodePng(const std::string& png) {
    Decoded out;
    png_structp reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(reader);
    struct Source {
        const std::string* bytes;
        size_t offset;
    } source{&png, 0};
    if (setjmp(png_jmpbuf(reader))) {
        png_destroy_read_struct(&reader, &info, nullptr);
        ADD_FAILURE() << "libpng could not read the PNG";
        return Decoded{};
    }
    png_set_read_fn(reader, &source, [](png_structp p, png_bytep data, png_size_t length) {
        auto* s = static_cast<Source*>(png_get_io_ptr(p));
        if (s->offset + length > s->bytes->size()) png_error(p, "truncated");
        std::memcpy(data, s->bytes->data() + s->offset, length);
        s->offset += length;
    });
    png_read_info(reader, info);
    out.width = png_get_image_width(reader, info);
    out.height = png_get_image_height(reader, info);
    out.color_type = png_get_color_type(reader, info);
    out.bit_depth = png_get_bit_depth(reader, info);
    if (out.bit_depth == 16) png_set_swap(reader);
    png_read_update_info(reader, info);
    const size_t row_bytes = png_get_rowbytes(reader, info);
    std::vector<uint8_t> row(row_bytes);
    for (uint32_t y = 0; y < out.height; ++y) {
        png_read_row(reader, row.data(), nullptr);
        std::vector<uint16_t> samples;
        if (out.bit_depth == 16) {
            samples.resize(row_bytes / 2);
            std::memcpy(samples.data(), row.data(), row_bytes);
        } else {
            samples.assign(row.begin(), row.end());
        }
        out.rows.push_back(std::move(samples));
    }
    png_read_end(reader, nullptr);
    png_destroy_read_struct(&reader, &info, nullptr);
    return out;
}

// ---- Images of the camera library ---------------------------------------------------------------

// Width 29: converted rows are padded to 32 pixels.
constexpr qor::Roi kCrop{3, 2, 31, 12};
constexpr uint32_t kWidth = 29;
constexpr uint32_t kHeight = 11;

class ImageEncodingTest : public qortest::SimTest {
protected:
    qor::Image recorded(const std::string& tmpl, DataFormat format, uint32_t pixel_format = 0) {
        loadCamera(tmpl);
        qor::Camera cam(-1, -1);
        qor::Configuration c;
        c.roi = tmpl == "mono" ? qor::Roi{1, 1, 64, 16} : qor::Roi{1, 1, 64, 32};
        c.exposure_time_s = 0.001;
        if (pixel_format != 0) c.pixel_format = pixel_format;
        cam.setConfiguration(c);
        cam.record(1, qor::RecordMode::sequence, {}, 0);
        qor::Image image;
        cam.image(image, kCrop, 0, format, nullptr);
        return image;
    }
};

/// The sample (x, channel) of row y as the library laid it out, in the channel order RGB(A).
struct Expectation {
    int channels;
    bool swap;  // the image holds BGR(A)
    bool padded;
};

template <class T>
uint16_t librarySample(const std::vector<T, qor::PixelAllocator<T>>& pixels, const Expectation& e, uint32_t x, uint32_t y, int channel) {
    const uint32_t row_pixels = e.padded ? (kWidth + 3) / 4 * 4 : kWidth;
    const int c = e.swap && channel < 3 ? 2 - channel : channel;
    return pixels[(static_cast<size_t>(y) * row_pixels + x) * static_cast<size_t>(e.channels) + static_cast<size_t>(c)];
}

TEST_F(ImageEncodingTest, PngHoldsExactlyThePixelsOfTheFormat) {
    struct Case {
        const char* name;
        const char* tmpl;
        DataFormat format;
        uint32_t pixel_format;
        int color_type;
        int bit_depth;
        Expectation layout;
    };
    const Case cases[] = {
        {"mono Mono8", "mono", DataFormat::Mono8, 0, PNG_COLOR_TYPE_GRAY, 8, {1, false, true}},
        {"mono Mono16", "mono", DataFormat::Mono16, 0, PNG_COLOR_TYPE_GRAY, 16, {1, false, false}},
        {"mono Undefined", "mono", DataFormat::Undefined, 0, PNG_COLOR_TYPE_GRAY, 16, {1, false, false}},
        {"mono pseudo BGR8", "mono", DataFormat::BGR8, 0, PNG_COLOR_TYPE_RGB, 8, {3, true, true}},
        {"colour BGR8", "color", DataFormat::BGR8, 0, PNG_COLOR_TYPE_RGB, 8, {3, true, true}},
        {"colour RGB8", "color", DataFormat::RGB8, 0, PNG_COLOR_TYPE_RGB, 8, {3, false, true}},
        {"colour BGRA8", "color", DataFormat::BGRA8, 0, PNG_COLOR_TYPE_RGB_ALPHA, 8, {4, true, false}},
        {"colour RGBA8", "color", DataFormat::RGBA8, 0, PNG_COLOR_TYPE_RGB_ALPHA, 8, {4, false, false}},
        {"colour RGB16", "color", DataFormat::RGB16, 0, PNG_COLOR_TYPE_RGB, 16, {3, false, true}},
        {"colour BGR16", "color", DataFormat::BGR16, 0, PNG_COLOR_TYPE_RGB, 16, {3, true, true}},
        {"8-bit camera Mono8", "color", DataFormat::Mono8, 16, PNG_COLOR_TYPE_GRAY, 8, {1, false, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const qor::Image image = recorded(c.tmpl, c.format, c.pixel_format);
        const Decoded png = decodePng(image_encoding::encodePng(image));
        ASSERT_EQ(png.width, kWidth);
        ASSERT_EQ(png.height, kHeight);
        EXPECT_EQ(png.color_type, c.color_type);
        ASSERT_EQ(png.bit_depth, c.bit_depth);
        const int channels = c.layout.channels;
        size_t differences = 0;
        uint32_t distinct_check = 0;
        for (uint32_t y = 0; y < kHeight; ++y) {
            ASSERT_EQ(png.rows[y].size(), static_cast<size_t>(kWidth) * static_cast<size_t>(channels));
            for (uint32_t x = 0; x < kWidth; ++x)
                for (int ch = 0; ch < channels; ++ch) {
                    uint16_t expected = 0;
                    if (c.bit_depth == 16)
                        expected = librarySample(c.format == DataFormat::RGB16 || c.format == DataFormat::BGR16
                                                     ? image.data16()
                                                     : image.rawData16(),
                                                 c.layout, x, y, ch);
                    else
                        expected = librarySample(image.data8(), c.layout, x, y, ch);
                    const uint16_t got = png.rows[y][static_cast<size_t>(x) * static_cast<size_t>(channels) + static_cast<size_t>(ch)];
                    if (got != expected) ++differences;
                    distinct_check |= got;
                }
        }
        EXPECT_EQ(differences, 0u);
        EXPECT_NE(distinct_check, 0u) << "an all-black image proves nothing";
    }
}

TEST_F(ImageEncodingTest, JpegDecodesCloseToThePixelsInTheirChannelOrder) {
    struct Case {
        const char* name;
        const char* tmpl;
        DataFormat format;
        int channels;
        Expectation layout;
    };
    const Case cases[] = {
        {"mono Mono8", "mono", DataFormat::Mono8, 1, {1, false, true}},
        {"colour BGR8", "color", DataFormat::BGR8, 3, {3, true, true}},
        {"colour RGB8", "color", DataFormat::RGB8, 3, {3, false, true}},
        {"colour BGRA8", "color", DataFormat::BGRA8, 3, {4, true, false}},
        {"colour RGBA8", "color", DataFormat::RGBA8, 3, {4, false, false}},
    };
    std::unique_ptr<void, int (*)(tjhandle)> decoder(tjInitDecompress(), tjDestroy);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const qor::Image image = recorded(c.tmpl, c.format);
        const std::string jpeg = image_encoding::encodeJpeg(image, 100);
        int width = 0, height = 0, subsampling = 0, colorspace = 0;
        auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(jpeg.data()));
        ASSERT_EQ(tjDecompressHeader3(decoder.get(), bytes, jpeg.size(), &width, &height, &subsampling, &colorspace), 0);
        ASSERT_EQ(width, static_cast<int>(kWidth));
        ASSERT_EQ(height, static_cast<int>(kHeight));
        EXPECT_EQ(subsampling == TJSAMP_GRAY, c.channels == 1);
        std::vector<uint8_t> pixels(kWidth * kHeight * static_cast<size_t>(c.channels));
        ASSERT_EQ(tjDecompress2(decoder.get(), bytes, jpeg.size(), pixels.data(), width, 0, height,
                                c.channels == 1 ? TJPF_GRAY : TJPF_RGB, 0),
                  0);
        // Quality 100 keeps the samples close (colour loses some detail to 4:2:0 subsampling); a
        // wrong stride, row or channel order moves them much further.
        const auto meanError = [&](bool swapped) {
            Expectation layout = c.layout;
            layout.swap = layout.swap != swapped;
            double error = 0;
            for (uint32_t y = 0; y < kHeight; ++y)
                for (uint32_t x = 0; x < kWidth; ++x)
                    for (int ch = 0; ch < c.channels; ++ch)
                        error += std::abs(
                            double(pixels[(y * kWidth + x) * static_cast<size_t>(c.channels) + static_cast<size_t>(ch)]) -
                            double(librarySample(image.data8(), layout, x, y, ch)));
            return error / static_cast<double>(pixels.size());
        };
        const double error = meanError(false);
        EXPECT_LT(error, c.channels == 1 ? 2.0 : 10.0);
        if (c.channels == 3) {
            EXPECT_LT(2 * error, meanError(true)) << "red and blue exchanged";
        }
    }
}

TEST_F(ImageEncodingTest, SixteenBitFormatsAndBadQualitiesAreNotJpeg) {
    for (DataFormat format : {DataFormat::Mono16, DataFormat::Undefined}) {
        const qor::Image image = recorded("mono", format);
        EXPECT_TRUE(image_encoding::isSixteenBit(image));
        EXPECT_THROW(image_encoding::encodeJpeg(image, 85), image_encoding::NotRenderable);
    }
    for (DataFormat format : {DataFormat::RGB16, DataFormat::BGR16}) {
        const qor::Image image = recorded("color", format);
        EXPECT_THROW(image_encoding::encodeJpeg(image, 85), image_encoding::NotRenderable);
    }
    const qor::Image mono8 = recorded("mono", DataFormat::Mono8);
    EXPECT_FALSE(image_encoding::isSixteenBit(mono8));
    for (int quality : {0, -5, 101}) EXPECT_THROW(image_encoding::encodeJpeg(mono8, quality), std::invalid_argument);
    for (int quality : {1, 100}) EXPECT_FALSE(image_encoding::encodeJpeg(mono8, quality).empty());
}

TEST(ImageEncodingWithoutPixelsTest, AnImageWithoutBuffersIsNotRenderable) {
    const qor::Image empty;
    EXPECT_THROW(image_encoding::encodePng(empty), image_encoding::NotRenderable);
    EXPECT_THROW(image_encoding::encodeJpeg(empty, 85), image_encoding::NotRenderable);
    qor::Image short_buffer;
    short_buffer.reshape(DataFormat::BGR8, qor::RawFormat::Word, 1, 1, 8, 4);
    short_buffer.converted8().resize(10);
    EXPECT_THROW(image_encoding::encodePng(short_buffer), image_encoding::NotRenderable);
}

}  // namespace
