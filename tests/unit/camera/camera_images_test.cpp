// Image retrieval and conversion: single images, series and averages; crops; raw, compressed and
// converted formats; what reaches the converters (flags, colour mode, buffers, display records); the
// automatic display range, the colour-limit clamp, look-up tables and the white balance.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <variant>
#include <vector>

#include "camera/camera.h"
#include "tests/support/expected_pattern.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/test_helpers.h"

namespace {

using qortest::codeOf;
using qortest::messageOf;
using qortest::waitUntil;
using qortest::kMsg;

using namespace std::chrono_literals;
using qor::Camera;
using qor::CameraException;
using qor::Configuration;
using qor::ConvertControl;
using qor::ConvertControlColor;
using qor::ConvertControlMono;
using qor::ConvertControlPseudoColor;
using qor::DataFormat;
using qor::Image;
using qor::RecordMode;
using qor::Roi;

constexpr double kExposure = 0.001;
constexpr int32_t kConverterFault = static_cast<int32_t>(0x80170002);
// Default conversion flags: camera-built, sharpen, adaptive sharpen, flip, automatic range.
constexpr int kDefaultFlags = 0x1000 | 0x100000 | 0x200000 | 0x1 | 0x20;




int64_t address(const void* p) { return static_cast<int64_t>(reinterpret_cast<intptr_t>(p)); }

uint64_t padded(uint64_t width) { return (width + 3) / 4 * 4; }

uint64_t widthOf(const Roi& r) { return static_cast<uint64_t>(r.x1 - r.x0 + 1); }
uint64_t heightOf(const Roi& r) { return static_cast<uint64_t>(r.y1 - r.y0 + 1); }

// The pixels of `crop` (1-based, inclusive) out of a full image of `width` columns.
template <class T>
std::vector<T> cut(const std::vector<T>& full, uint64_t width, const Roi& crop) {
    std::vector<T> out;
    for (int64_t y = crop.y0; y <= crop.y1; ++y)
        for (int64_t x = crop.x0; x <= crop.x1; ++x)
            out.push_back(full[static_cast<size_t>((y - 1) * static_cast<int64_t>(width) + (x - 1))]);
    return out;
}

// The rounded mean of equally sized images, as an average of recorded images is rounded.
template <class T>
std::vector<T> roundedMean(const std::vector<std::vector<T>>& images) {
    std::vector<T> mean(images.at(0).size());
    const uint64_t n = images.size();
    for (size_t k = 0; k < mean.size(); ++k) {
        uint64_t sum = 0;
        for (const auto& img : images) sum += img[k];
        mean[k] = static_cast<T>((sum + n / 2) / n);
    }
    return mean;
}

template <class T>
bool isMonostate(const T& data) {
    return std::holds_alternative<std::monostate>(data);
}

// Runs a series that may wait for images: its exception text, or "" on success. A series still
// waiting after five seconds is ended through abortWaits() and reported.
std::string seriesOf(Camera& cam, std::vector<Image>& list, uint32_t start) {
    auto series = std::async(std::launch::async,
                             [&] { return messageOf([&] { cam.images(list, DataFormat::Mono16, start, nullptr); }); });
    if (series.wait_for(5s) != std::future_status::ready) {
        cam.abortWaits();
        ADD_FAILURE() << "the series did not end";
    }
    return series.get();
}

// A conversion call as the simulation logs it.
struct ConvertCall {
    int64_t converter = 0;
    int64_t flags = 0;
    int64_t color_mode = 0;
    int64_t width = 0;
    int64_t height = 0;
    int64_t in = 0;
    int64_t out = 0;
};

ConvertCall lastConvertCall(const std::string& name) {
    const auto a = qorsim::lastCallArgs(name);
    if (a.size() != 7) return {};
    return {a[0], a[1], a[2], a[3], a[4], a[5], a[6]};
}

// The image indices of every logged image copy, in call order.
std::vector<int64_t> copiedIndices() {
    std::vector<int64_t> indices;
    for (const auto& call : qorsim::calls())
        if (call.name == "QOR_RecorderCopyImage") indices.push_back(call.args.at(1));
    return indices;
}

const qor::ConvertControlCommon& common(const ConvertControl& c) {
    return std::visit([](const auto& alt) -> const qor::ConvertControlCommon& { return alt; }, c);
}

// Settings that leave the image as untouched as the converter allows: no sharpening, no flip, a fixed range.
template <class Alt>
Alt plain(int32_t min_limit = 0, int32_t max_limit = 20000) {
    Alt a;
    a.sharpen = false;
    a.adaptive_sharpen = false;
    a.flip_vertical = false;
    a.auto_minmax = false;
    a.min_limit = min_limit;
    a.max_limit = max_limit;
    return a;
}

const char* formatName(DataFormat f) {
    static const char* const kNames[] = {"Undefined", "Mono8", "Mono16", "BGR8",  "BGRA8",
                                         "RGB8",      "RGBA8", "RGB16",  "BGR16", "CompressedMono8"};
    return kNames[static_cast<int>(f)];
}

constexpr DataFormat kAllFormats[] = {DataFormat::Undefined, DataFormat::Mono8,  DataFormat::Mono16,
                                      DataFormat::BGR8,      DataFormat::BGRA8,  DataFormat::RGB8,
                                      DataFormat::RGBA8,     DataFormat::RGB16,  DataFormat::BGR16,
                                      DataFormat::CompressedMono8};

class CameraImagesTest : public qortest::SimTest {
protected:
    // A camera from the template with a small ROI and a short exposure, so that ten images are
    // recorded within milliseconds; the call log starts empty.
    std::unique_ptr<Camera> open(const std::string& tmpl = "mono", const std::string& overrides = "{}",
                                 double exposure_s = kExposure) {
        loadCamera(tmpl, overrides);
        auto cam = std::make_unique<Camera>(-1, -1);
        Configuration c;
        c.roi = tmpl == "mono" ? kMonoRoi : kColorRoi;
        c.exposure_time_s = exposure_s;
        cam->setConfiguration(c);
        qorsim::clearCalls();
        return cam;
    }

    // The colour camera switched to its 8-bit pixel format.
    std::unique_ptr<Camera> openColor8() {
        auto cam = open("color");
        Configuration c;
        c.pixel_format = 16;
        cam->setConfiguration(c);
        qorsim::clearCalls();
        return cam;
    }

    static void setTriggerMode(Camera& cam, int16_t mode) {
        Configuration c;
        c.trigger_mode = mode;
        cam.setConfiguration(c);
    }

    // A non-blocking sequence in software-trigger mode that stopped after `taken` of `requested` images.
    static void recordStoppedShort(Camera& cam, uint32_t requested, uint32_t taken) {
        setTriggerMode(cam, 1);
        cam.record(requested, RecordMode::sequence_non_blocking, {}, 0);
        for (uint32_t i = 1; i <= taken; ++i) {
            ASSERT_TRUE(cam.trigger());
            ASSERT_TRUE(waitUntil([&] { return cam.getRecordedImageCount() >= i; }));
        }
        cam.stop();
        ASSERT_EQ(cam.getRecordedImageCount(), taken);
    }

    static qortest::MonoPattern monoPattern(double exposure_s = kExposure, uint16_t bits = 16) {
        qortest::MonoPattern p;
        p.width = static_cast<uint32_t>(widthOf(kMonoRoi));
        p.height = static_cast<uint32_t>(heightOf(kMonoRoi));
        p.exposure_ns = static_cast<uint64_t>(std::llround(exposure_s * 1e9));
        p.bits = bits;
        return p;
    }

    static std::vector<uint16_t> expectedMono(uint32_t image_number, double exposure_s = kExposure) {
        return qortest::expectedMonoImage(monoPattern(exposure_s), image_number);
    }

    // The two bounds of the colour-limit clamp of a 12-bit camera, from the gains the conversion library
    // reports: the raw level up to which every channel still reaches full scale (top), and the floor
    // max + min - max x smallest gain that the limit is raised to (low).
    struct Limits {
        int32_t top;
        int32_t low;
    };
    static Limits colourLimits(int32_t temperature, int32_t tint, int32_t min_limit, int32_t max_limit) {
        float r = 0, g = 0, b = 0;
        EXPECT_EQ(QOR_GetWhiteBalanceGains(temperature, tint, 12, &r, &g, &b), 0);
        const auto top = static_cast<int32_t>(4095.0f / std::max({r, g, b}));
        const auto h = static_cast<int32_t>(static_cast<float>(max_limit) * std::min({r, g, b}));
        return {top, max_limit + min_limit - h};
    }

    static std::filesystem::path lutSample(const std::string& name) {
        return std::filesystem::path(QOR_SOURCE_DIR) / "sim" / "luts" / name;
    }

    static constexpr Roi kMonoRoi{1, 1, 64, 16};
    static constexpr Roi kColorRoi{1, 1, 64, 32};
};

// ---- Preconditions of image retrieval ---------------------------------------------------------

TEST_F(CameraImagesTest, WithoutRecorderEveryRetrievalNamesTheCallToMake) {
    auto cam = open("color");
    Image img;
    std::vector<Image> list;
    const Roi crop{1, 1, 8, 8};
    struct Case {
        const char* call;
        std::function<void()> f;
    };
    const Case cases[] = {
        {"image", [&] { cam->image(img, 0, DataFormat::Mono16, nullptr); }},
        {"image", [&] { cam->image(img, crop, 0, DataFormat::BGR8, nullptr); }},
        {"images", [&] { cam->images(list, DataFormat::Mono16, 0, nullptr); }},
        {"images", [&] { cam->images(list, crop, DataFormat::Mono8, 0, nullptr); }},
        {"imageAverage", [&] { cam->imageAverage(img, DataFormat::Mono16); }},
        {"imageAverage", [&] { cam->imageAverage(img, crop, DataFormat::Mono16); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        EXPECT_EQ(messageOf(c.f),
                  kMsg + "Camera has not recorded yet. Call \"record(...)\" before \"" + c.call + "(...)\"");
        EXPECT_EQ(codeOf(c.f), qor::errc::kNoRecorder);
    }
    EXPECT_TRUE(isMonostate(img.rawData()));
    EXPECT_TRUE(list.empty());
}

TEST_F(CameraImagesTest, CamRamCameraWithoutRecorderReportsNoMemory) {
    auto cam = open();
    // An empty segment makes the read-out set-up end before a recorder exists.
    qorsim::failNext("QOR_ArmCamera", static_cast<int32_t>(0x80001025));
    cam->switchToCamRam(1);
    Image img;
    std::vector<Image> list;
    for (const std::function<void()>& f : std::vector<std::function<void()>>{
             [&] { cam->image(img, 0, DataFormat::Mono16, nullptr); },
             [&] { cam->images(list, DataFormat::Mono16, 0, nullptr); },
             [&] { cam->imageAverage(img, DataFormat::Mono16); }}) {
        EXPECT_EQ(messageOf(f), kMsg + "Camera has no memory allocated for the active segment");
        EXPECT_EQ(codeOf(f), qor::errc::kNoMemory);
    }
}

TEST_F(CameraImagesTest, MonoCameraAfterOpenReadsItsEmptyCamRamSegment) {
    // Open leaves a read-out recorder on the active segment, which holds no image yet: the copy
    // reports the missing image, the average and a series find nothing to deliver.
    loadCamera("mono");
    Camera cam(-1, -1);
    Image img;
    EXPECT_EQ(codeOf([&] { cam.image(img, 0, DataFormat::Mono16, nullptr); }), static_cast<int32_t>(0x80150005));
    EXPECT_EQ(codeOf([&] { cam.imageAverage(img, DataFormat::Mono16); }), qor::errc::kNoImage);
    std::vector<Image> one(1);
    EXPECT_EQ(seriesOf(cam, one, 0),
              kMsg + "Image vector is too big to hold currently recorded images and record has stopped!");
}

// ---- Raw images and crops ---------------------------------------------------------------------

TEST_F(CameraImagesTest, Mono16AndUndefinedDeliverTheRecordedPatternWithItsImageNumber) {
    auto cam = open();
    cam->record(3, RecordMode::sequence, {}, 0);
    for (DataFormat format : {DataFormat::Mono16, DataFormat::Undefined}) {
        Image img;
        for (uint32_t index = 0; index < 3; ++index) {
            SCOPED_TRACE(std::string(formatName(format)) + " " + std::to_string(index));
            cam->image(img, index, format, nullptr);
            EXPECT_EQ(img.dataFormat(), DataFormat::Mono16);
            EXPECT_EQ(img.rawFormat(), qor::RawFormat::Word);
            EXPECT_EQ(img.recorderImageNumber(), index + 1);
            EXPECT_EQ(img.crop(), kMonoRoi);
            EXPECT_TRUE(isMonostate(img.convertedData()));
            EXPECT_TRUE(qortest::samePixels(img.rawData16(), expectedMono(index + 1), 64));
        }
    }
    EXPECT_EQ(qorsim::callCount("QOR_Convert16TO8"), 0);
}

TEST_F(CameraImagesTest, CropCopiesExactlyTheCroppedPixels) {
    auto cam = open();
    cam->record(2, RecordMode::sequence, {}, 0);
    const std::vector<uint16_t> full = expectedMono(2);
    for (const Roi& crop : {Roi{1, 1, 64, 16}, Roi{3, 2, 10, 7}, Roi{64, 16, 64, 16}, Roi{1, 16, 64, 16},
                            Roi{17, 1, 17, 16}, Roi{20, 5, 60, 14}}) {
        SCOPED_TRACE(testing::Message() << crop.x0 << "," << crop.y0 << "," << crop.x1 << "," << crop.y1);
        Image img;
        cam->image(img, crop, 1, DataFormat::Mono16, nullptr);
        EXPECT_EQ(img.crop(), crop);
        EXPECT_EQ(img.width(), widthOf(crop));
        EXPECT_EQ(img.height(), heightOf(crop));
        EXPECT_EQ(img.recorderImageNumber(), 2u);
        EXPECT_TRUE(qortest::samePixels(img.rawData16(), cut(full, 64, crop), static_cast<uint32_t>(widthOf(crop))));
    }
}

TEST_F(CameraImagesTest, DoubleImageModeDoublesTheHeightOfTheFullImage) {
    auto cam = open("mono", R"({"defaults": {"double_image": 1}})");
    cam->record(1, RecordMode::sequence, {}, 0);
    qortest::MonoPattern p = monoPattern();
    p.roi_height = p.height;
    p.height *= 2;
    const std::vector<uint16_t> full = qortest::expectedMonoImage(p, 1);
    Image img;
    cam->image(img, 0, DataFormat::Mono16, nullptr);
    EXPECT_EQ(img.crop(), (Roi{1, 1, 64, 32}));
    EXPECT_TRUE(qortest::samePixels(img.data16(), full, 64));

    const Roi lower{5, 20, 30, 32};  // inside the second exposure only
    cam->image(img, lower, 0, DataFormat::Mono16, nullptr);
    EXPECT_TRUE(qortest::samePixels(img.data16(), cut(full, 64, lower), 26));
    EXPECT_EQ(codeOf([&] { cam->image(img, Roi{1, 1, 64, 33}, 0, DataFormat::Mono16, nullptr); }),
              qor::errc::kInvalidArgument);
}

TEST_F(CameraImagesTest, InvalidCropsFailWithoutTouchingTheImage) {
    auto cam = open();
    cam->record(2, RecordMode::sequence, {}, 0);
    Image img;
    cam->image(img, 0, DataFormat::Mono16, nullptr);
    const qor::PixelWords before = img.rawData16();
    qorsim::clearCalls();

    struct Case {
        const char* name;
        Roi crop;
    };
    const Case cases[] = {
        {"unset", Roi{}},
        {"zero column", Roi{0, 1, 10, 10}},
        {"zero row", Roi{1, 0, 10, 10}},
        {"negative", Roi{-5, -5, 10, 10}},
        {"inverted columns", Roi{10, 1, 5, 10}},
        {"inverted rows", Roi{1, 10, 10, 5}},
        {"past the last column", Roi{1, 1, 65, 16}},
        {"past the last row", Roi{1, 1, 64, 17}},
        {"outside", Roi{70, 20, 80, 30}},
        {"wraps to 16 bits", Roi{1, 1, 65536 + 64, 16}},
        {"huge", Roi{1, 1, int64_t{1} << 40, int64_t{1} << 40}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(codeOf([&] { cam->image(img, c.crop, 0, DataFormat::Mono8, nullptr); }), qor::errc::kInvalidArgument);
        std::vector<Image> list;
        EXPECT_EQ(codeOf([&] { cam->images(list, c.crop, DataFormat::Mono16, 0, nullptr); }),
                  qor::errc::kInvalidArgument);
        EXPECT_TRUE(list.empty());
        EXPECT_EQ(codeOf([&] { cam->imageAverage(img, c.crop, DataFormat::Mono16); }), qor::errc::kInvalidArgument);
        EXPECT_EQ(img.dataFormat(), DataFormat::Mono16);
        EXPECT_EQ(img.crop(), kMonoRoi);
        EXPECT_EQ(img.rawData16(), before);
    }
    EXPECT_EQ(qorsim::callCount("QOR_RecorderCopyImage"), 0);
    EXPECT_EQ(qorsim::callCount("QOR_RecorderCopyAverageImage"), 0);
}

TEST_F(CameraImagesTest, AReusedImageIsReshapedForEachFormatAndCrop) {
    auto cam = open();
    cam->record(2, RecordMode::sequence, {}, 0);
    const qor::CompressionParams params = qor::defaultCompressionParams();
    const Roi small{1, 1, 5, 3};
    Image img;
    cam->image(img, 0, DataFormat::Mono16, nullptr);
    EXPECT_EQ(img.rawData16().size(), 64u * 16);

    cam->image(img, small, 1, DataFormat::Mono8, nullptr);
    EXPECT_EQ(img.rawData16().size(), 15u);
    EXPECT_EQ(img.data8().size(), 8u * 3);

    cam->image(img, 0, DataFormat::CompressedMono8, &params);
    EXPECT_TRUE(isMonostate(img.rawData()));
    EXPECT_EQ(img.rawData8().size(), 64u * 16);

    cam->image(img, 1, DataFormat::BGRA8, nullptr);
    EXPECT_EQ(img.rawData16().size(), 64u * 16);
    EXPECT_EQ(img.data8().size(), 4u * 64 * 16);

    cam->image(img, small, 1, DataFormat::Mono16, nullptr);
    EXPECT_TRUE(isMonostate(img.convertedData()));
    EXPECT_EQ(img.recorderImageNumber(), 2u);
    EXPECT_TRUE(qortest::samePixels(img.data16(), cut(expectedMono(2), 64, small), 5));
}

TEST_F(CameraImagesTest, AReusedImageDropsTheBlocksTheRecordingDoesNotHave) {
    auto cam = open();
    Configuration stamped;
    stamped.timestamp_mode = 1;
    cam->setConfiguration(stamped);
    cam->record(1, RecordMode::sequence, {}, 0);
    Image img;
    cam->image(img, 0, DataFormat::Mono16, nullptr);
    ASSERT_TRUE(img.hasMetaData());
    ASSERT_TRUE(img.hasTimestamp());

    Configuration plain_images;
    plain_images.timestamp_mode = 0;
    plain_images.metadata_mode = 0;
    cam->setConfiguration(plain_images);
    cam->record(1, RecordMode::sequence, {}, 0);
    cam->image(img, 0, DataFormat::Mono16, nullptr);
    EXPECT_FALSE(img.hasMetaData());
    EXPECT_FALSE(img.hasTimestamp());
    EXPECT_TRUE(qortest::samePixels(img.data16(), expectedMono(1), 64));
}

// ---- Formats of 8-bit cameras, mono cameras and compression ------------------------------------

TEST_F(CameraImagesTest, EightBitCameraDeliversItsRawBytesWithoutConversion) {
    auto cam = open("mono", R"({"description": {"wDynResDESC": 8}})");
    cam->record(3, RecordMode::sequence, {}, 0);
    const qortest::MonoPattern p = monoPattern(kExposure, 8);
    auto expected8 = [&](uint32_t number) {
        const auto wide = qortest::expectedMonoImage(p, number);
        return std::vector<uint8_t>(wide.begin(), wide.end());
    };
    for (DataFormat format : {DataFormat::Undefined, DataFormat::Mono8}) {
        SCOPED_TRACE(formatName(format));
        Image img;
        cam->image(img, 1, format, nullptr);
        EXPECT_EQ(img.dataFormat(), DataFormat::Mono8);
        EXPECT_EQ(img.rawFormat(), qor::RawFormat::Byte);
        EXPECT_TRUE(isMonostate(img.convertedData()));
        EXPECT_EQ(img.rawData8(), expected8(2));
        EXPECT_EQ(img.data8(), expected8(2));

        std::vector<Image> list;
        cam->images(list, format, 1, nullptr);
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list[1].rawData8(), expected8(3));
        EXPECT_TRUE(isMonostate(list[1].convertedData()));

        Image average;
        cam->imageAverage(average, format);
        EXPECT_EQ(average.rawData8(), roundedMean<uint8_t>({expected8(1), expected8(2), expected8(3)}));
        EXPECT_TRUE(isMonostate(average.convertedData()));
    }
    EXPECT_EQ(qorsim::callCount("QOR_Convert16TO8"), 0);
}

TEST_F(CameraImagesTest, ColourCameraInItsEightBitFormatDeliversRawBytes) {
    auto cam = openColor8();
    cam->record(2, RecordMode::sequence, {}, 0);
    Image img;
    cam->image(img, 0, DataFormat::Undefined, nullptr);
    EXPECT_EQ(img.rawFormat(), qor::RawFormat::Byte);
    EXPECT_EQ(img.rawData8().size(), 64u * 32);
    EXPECT_TRUE(isMonostate(img.convertedData()));
    EXPECT_EQ(codeOf([&] { img.rawData16(); }), qor::errc::kUnspecified);
}

TEST_F(CameraImagesTest, EightBitDataOnlyFitsMono8AndCompressedMono8) {
    auto cam = openColor8();
    cam->record(2, RecordMode::sequence, {}, 0);
    const qor::CompressionParams params = qor::defaultCompressionParams();
    const std::string byte_error = kMsg + "RawFormat::Byte can not be represented in specified DataFormat!";
    for (DataFormat format : {DataFormat::Mono16, DataFormat::BGR8, DataFormat::BGRA8, DataFormat::RGB8,
                              DataFormat::RGBA8, DataFormat::RGB16, DataFormat::BGR16}) {
        SCOPED_TRACE(formatName(format));
        Image img;
        std::vector<Image> list;
        EXPECT_EQ(messageOf([&] { cam->image(img, 0, format, &params); }), byte_error);
        EXPECT_EQ(codeOf([&] { cam->image(img, 0, format, &params); }), qor::errc::kInvalidArgument);
        EXPECT_EQ(messageOf([&] { cam->images(list, format, 0, &params); }), byte_error);
        EXPECT_EQ(messageOf([&] { cam->imageAverage(img, format); }), byte_error);
        EXPECT_TRUE(isMonostate(img.rawData()));
    }
    // A series of 8-bit images is raw or nothing.
    std::vector<Image> list;
    EXPECT_EQ(messageOf([&] { cam->images(list, DataFormat::CompressedMono8, 0, &params); }), byte_error);

    Image compressed;
    cam->image(compressed, 1, DataFormat::CompressedMono8, &params);
    EXPECT_EQ(compressed.rawData8().size(), 64u * 32);
    EXPECT_EQ(compressed.recorderImageNumber(), 2u);
    EXPECT_EQ(qorsim::callCount("QOR_RecorderCopyImage"), 0);
}

TEST_F(CameraImagesTest, MonoCameraRefusesSixteenBitColour) {
    auto cam = open();
    cam->record(2, RecordMode::sequence, {}, 0);
    Image img;
    std::vector<Image> list;
    const std::string message = kMsg + "DataFormat::BGR16 is not supported for mono cameras!";
    EXPECT_EQ(messageOf([&] { cam->image(img, 0, DataFormat::BGR16, nullptr); }), message);
    EXPECT_EQ(codeOf([&] { cam->image(img, 0, DataFormat::BGR16, nullptr); }), qor::errc::kInvalidArgument);
    EXPECT_EQ(messageOf([&] { cam->images(list, DataFormat::BGR16, 0, nullptr); }), message);
    EXPECT_EQ(messageOf([&] { cam->imageAverage(img, DataFormat::BGR16); }), message);
    EXPECT_EQ(qorsim::callCount("QOR_RecorderCopyImage"), 0);

    // RGB16 has no converter on a mono camera.
    EXPECT_EQ(messageOf([&] { cam->image(img, 0, DataFormat::RGB16, nullptr); }),
              kMsg + "Data format is not supported by the camera!");
    EXPECT_EQ(codeOf([&] { cam->image(img, 0, DataFormat::RGB16, nullptr); }), qor::errc::kInvalidArgument);
}

TEST_F(CameraImagesTest, CompressedMono8NeedsParametersAndFollowsTheNoiseModel) {
    auto cam = open();
    cam->record(3, RecordMode::sequence, {}, 0);
    Image img;
    std::vector<Image> list;
    const std::string message = kMsg + "Compression parameters are required for DataFormat::CompressedMono8!";
    EXPECT_EQ(messageOf([&] { cam->image(img, 0, DataFormat::CompressedMono8, nullptr); }), message);
    EXPECT_EQ(codeOf([&] { cam->image(img, 0, DataFormat::CompressedMono8, nullptr); }), qor::errc::kInvalidArgument);
    EXPECT_EQ(messageOf([&] { cam->images(list, DataFormat::CompressedMono8, 0, nullptr); }), message);
    EXPECT_EQ(qorsim::callCount("QOR_RecorderCopyImageCompressed"), 0);

    // Parameters far from the defaults, so that each of them shows in the bytes.
    const qor::CompressionParams params{0.8, 2.0, 0.5, 1.5, 3.0};
    auto compressed = [&](uint32_t number, const Roi& crop) {
        const double read_var = params.dDarkNoise_e * params.dDarkNoise_e + params.dDSNU_e * params.dDSNU_e;
        std::vector<uint8_t> out;
        for (uint16_t v : cut(expectedMono(number), 64, crop)) {
            const double e = std::max(0, int{v} - 100) / params.dGainK;
            const double prnu = params.dPRNU_pct / 100 * e, light = params.dLightSourceNoise_pct / 100 * e;
            const double c = 2 * (std::sqrt(read_var + e + prnu * prnu + light * light) - std::sqrt(read_var));
            out.push_back(static_cast<uint8_t>(std::min(255.0, std::round(c))));
        }
        return out;
    };
    const Roi crop{5, 3, 40, 16};
    cam->image(img, crop, 0, DataFormat::CompressedMono8, &params);
    EXPECT_TRUE(isMonostate(img.rawData()));
    EXPECT_EQ(img.dataFormat(), DataFormat::CompressedMono8);
    EXPECT_EQ(img.recorderImageNumber(), 1u);
    EXPECT_EQ(img.rawData8(), compressed(1, crop));

    std::vector<Image> series;
    cam->images(series, DataFormat::CompressedMono8, 1, &params);
    ASSERT_EQ(series.size(), 2u);
    for (uint32_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(series[i].recorderImageNumber(), i + 2);
        EXPECT_EQ(series[i].rawData8(), compressed(i + 2, kMonoRoi));
    }
}

// ---- Converted images -------------------------------------------------------------------------

TEST_F(CameraImagesTest, Mono8FillsPaddedRowsFromTheRawPixels) {
    // At 10 ms a pixel is 100 + 16 x scene; a range of 100 to 100 + 16 x 255 maps the scene 1:1.
    auto cam = open("mono", "{}", 0.01);
    cam->setConvertControl(DataFormat::Mono8, plain<ConvertControlMono>(100, 100 + 16 * 255));
    cam->record(1, RecordMode::sequence, {}, 0);
    const std::vector<uint16_t> full = expectedMono(1, 0.01);
    for (const Roi& crop : {Roi{1, 1, 5, 3}, Roi{2, 2, 7, 9}, Roi{9, 1, 15, 16}, Roi{1, 1, 8, 2}, Roi{1, 1, 64, 16}}) {
        SCOPED_TRACE(testing::Message() << crop.x0 << "," << crop.y0 << "," << crop.x1 << "," << crop.y1);
        Image img;
        cam->image(img, crop, 0, DataFormat::Mono8, nullptr);
        const uint64_t w = widthOf(crop), h = heightOf(crop);
        ASSERT_EQ(img.data8().size(), padded(w) * h);
        const std::vector<uint16_t> raw = cut(full, 64, crop);
        EXPECT_EQ(img.rawData16(), raw);
        size_t wrong = 0;
        for (uint64_t y = 0; y < h; ++y)
            for (uint64_t x = 0; x < w; ++x) {
                const int expected = std::min(255, (raw[y * w + x] - 100) / 16);
                if (img.data8()[y * padded(w) + x] != expected) ++wrong;
            }
        EXPECT_EQ(wrong, 0u);
    }
}

TEST_F(CameraImagesTest, EachFormatReachesItsConverterWithTheRawPixelsAndAFittingBuffer) {
    struct Case {
        const char* camera;
        DataFormat format;
        const char* call;
        int order;       // channel-order bits
        int elements;    // converted elements per pixel row: 1, 3 or 4 times the (padded) width
        bool padded_rows;
        bool wide;  // 16-bit output
    };
    const Case cases[] = {
        {"mono", DataFormat::Mono8, "QOR_Convert16TO8", 0, 1, true, false},
        {"mono", DataFormat::BGR8, "QOR_Convert16TOPSEUDO", 0, 3, true, false},
        {"mono", DataFormat::BGRA8, "QOR_Convert16TOPSEUDO", 0x100, 4, false, false},
        {"mono", DataFormat::RGB8, "QOR_Convert16TOPSEUDO", 0x200, 3, true, false},
        {"mono", DataFormat::RGBA8, "QOR_Convert16TOPSEUDO", 0x300, 4, false, false},
        {"color", DataFormat::Mono8, "QOR_Convert16TO8", 0, 1, true, false},
        {"color", DataFormat::BGR8, "QOR_Convert16TOCOL", 0, 3, true, false},
        {"color", DataFormat::BGRA8, "QOR_Convert16TOCOL", 0x100, 4, false, false},
        {"color", DataFormat::RGB8, "QOR_Convert16TOCOL", 0x200, 3, true, false},
        {"color", DataFormat::RGBA8, "QOR_Convert16TOCOL", 0x300, 4, false, false},
        {"color", DataFormat::RGB16, "QOR_Convert16TOCOL16", 0x200, 3, true, true},
        {"color", DataFormat::BGR16, "QOR_Convert16TOCOL16", 0, 3, true, true},
    };
    const Roi crop{3, 5, 7, 7};  // 5 x 3, padded width 8
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.camera) + " " + formatName(c.format));
        auto cam = open(c.camera);
        cam->record(2, RecordMode::sequence, {}, 0);
        Image img;
        cam->image(img, crop, 1, c.format, nullptr);
        EXPECT_EQ(qorsim::callCount(c.call), 1);
        const ConvertCall call = lastConvertCall(c.call);
        EXPECT_EQ(call.flags, kDefaultFlags | c.order);
        EXPECT_EQ(call.width, 5);
        EXPECT_EQ(call.height, 3);
        EXPECT_EQ(call.in, address(img.rawData16().data()));
        const uint64_t count = uint64_t(c.elements) * (c.padded_rows ? 8 : 5) * 3;
        if (c.wide) {
            EXPECT_EQ(img.data16().size(), count);
            EXPECT_EQ(call.out, address(img.data16().data()));
        } else {
            EXPECT_EQ(img.data8().size(), count);
            EXPECT_EQ(call.out, address(img.data8().data()));
        }
        EXPECT_EQ(img.dataFormat(), c.format);
        EXPECT_EQ(img.recorderImageNumber(), 2u);
        EXPECT_EQ(img.rawData16().size(), 15u);
    }
}

TEST_F(CameraImagesTest, ConversionFlagsFollowTheSettings) {
    struct Case {
        const char* name;
        const char* camera;
        DataFormat format;
        ConvertControl settings;
        const char* call;
        int flags;
    };
    ConvertControlMono mono_extra = plain<ConvertControlMono>();
    mono_extra.add_conv_flags = 0x40;
    ConvertControlMono mono_sharpen_only = plain<ConvertControlMono>();
    mono_sharpen_only.sharpen = true;
    ConvertControlMono mono_auto = plain<ConvertControlMono>();
    mono_auto.auto_minmax = true;
    ConvertControlColor debayer;
    debayer.qor_debayer_algorithm = true;
    ConvertControlColor colour_flip = plain<ConvertControlColor>();
    colour_flip.flip_vertical = true;
    colour_flip.add_conv_flags = 0x8;
    ConvertControlPseudoColor pseudo_adaptive = plain<ConvertControlPseudoColor>();
    pseudo_adaptive.adaptive_sharpen = true;
    const Case cases[] = {
        {"nothing", "mono", DataFormat::Mono8, plain<ConvertControlMono>(), "QOR_Convert16TO8", 0x1000},
        {"extra flags", "mono", DataFormat::Mono8, mono_extra, "QOR_Convert16TO8", 0x1000 | 0x40},
        {"sharpen", "mono", DataFormat::Mono8, mono_sharpen_only, "QOR_Convert16TO8", 0x1000 | 0x100000},
        {"auto range", "mono", DataFormat::Mono8, mono_auto, "QOR_Convert16TO8", 0x1000 | 0x20},
        {"pseudo adaptive", "mono", DataFormat::RGBA8, pseudo_adaptive, "QOR_Convert16TOPSEUDO",
         0x1000 | 0x200000 | 0x300},
        {"debayer", "color", DataFormat::BGR8, debayer, "QOR_Convert16TOCOL", kDefaultFlags | 0x400000},
        {"flip and extra", "color", DataFormat::RGB16, colour_flip, "QOR_Convert16TOCOL16", 0x1000 | 0x1 | 0x8 | 0x200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto cam = open(c.camera);
        cam->setConvertControl(c.format, c.settings);
        cam->record(1, RecordMode::sequence, {}, 0);
        Image img;
        cam->image(img, 0, c.format, nullptr);
        EXPECT_EQ(lastConvertCall(c.call).flags, c.flags);
    }
}

TEST_F(CameraImagesTest, ColorModeFollowsTheBayerPhaseOfTheCropCorner) {
    auto cam = open("color");
    cam->record(1, RecordMode::sequence, {}, 0);
    // The colour camera's pattern word 0x4321 puts red at sensor pixel (1, 1).
    struct Case {
        Roi crop;
        uint32_t mode;
    };
    for (const Case& c : {Case{{1, 1, 8, 8}, 0}, Case{{2, 1, 9, 8}, 1}, Case{{1, 2, 8, 9}, 2}, Case{{2, 2, 9, 9}, 3},
                          Case{{3, 5, 10, 12}, 0}, Case{{6, 8, 13, 15}, 3}}) {
        SCOPED_TRACE(testing::Message() << c.crop.x0 << "," << c.crop.y0);
        EXPECT_EQ(cam->calculateColorMode(c.crop), c.mode);
        for (DataFormat format : {DataFormat::BGR8, DataFormat::RGB16, DataFormat::Mono8}) {
            SCOPED_TRACE(formatName(format));
            Image img;
            cam->image(img, c.crop, 0, format, nullptr);
            const char* call = format == DataFormat::BGR8    ? "QOR_Convert16TOCOL"
                               : format == DataFormat::RGB16 ? "QOR_Convert16TOCOL16"
                                                             : "QOR_Convert16TO8";
            EXPECT_EQ(lastConvertCall(call).color_mode, c.mode);
        }
    }
}

TEST_F(CameraImagesTest, ColorModeCountsTheCropFromTheRoiCorner) {
    auto cam = open("color", R"({"description": {"wRoiHorStepsDESC": 1, "wRoiVertStepsDESC": 1,
                                       "wSoftRoiHorStepsDESC": 1, "wSoftRoiVertStepsDESC": 1}})");
    Configuration c;
    c.roi = Roi{2, 3, 65, 34};
    cam->setConfiguration(c);
    cam->record(1, RecordMode::sequence, {}, 0);
    // Crop (1, 1) starts at sensor column 2 (green next to red) and row 3 (a red row).
    EXPECT_EQ(cam->calculateColorMode(Roi{1, 1, 8, 8}), 1u);
    EXPECT_EQ(cam->calculateColorMode(Roi{2, 1, 8, 8}), 0u);
    EXPECT_EQ(cam->calculateColorMode(Roi{1, 2, 8, 8}), 3u);
    Image img;
    cam->image(img, 0, DataFormat::BGR8, nullptr);
    EXPECT_EQ(lastConvertCall("QOR_Convert16TOCOL").color_mode, 1);
}

TEST_F(CameraImagesTest, ColorModeTableOfEveryPatternWord) {
    struct Case {
        int pattern;
        std::array<uint32_t, 4> modes;  // crop corners (1,1), (2,1), (1,2), (2,2)
    };
    const Case cases[] = {
        {0x4321, {0, 1, 2, 3}}, {0x1432, {1, 0, 3, 2}}, {0x2143, {2, 3, 0, 1}}, {0x3214, {3, 2, 1, 0}},
        {0, {0, 0, 0, 0}},  // no colour pattern
        {0x4320, {0, 1, 2, 3}}, {0x4325, {0, 1, 2, 3}},  // phases outside 1 to 4 count as the first
    };
    const Roi corners[] = {{1, 1, 8, 8}, {2, 1, 8, 8}, {1, 2, 8, 8}, {2, 2, 8, 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        auto cam = open("color", R"({"description": {"wColorPatternDESC": )" + std::to_string(c.pattern) + "}}");
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(cam->calculateColorMode(corners[i]), c.modes[i]) << "corner " << i;
    }
}

TEST_F(CameraImagesTest, AFailedConversionKeepsTheRawDataAndTheImageNumber) {
    struct Case {
        const char* camera;
        DataFormat format;
        const char* call;
    };
    for (const Case& c : {Case{"mono", DataFormat::Mono8, "QOR_Convert16TO8"},
                          Case{"mono", DataFormat::RGB8, "QOR_Convert16TOPSEUDO"},
                          Case{"color", DataFormat::BGRA8, "QOR_Convert16TOCOL"},
                          Case{"color", DataFormat::BGR16, "QOR_Convert16TOCOL16"}}) {
        SCOPED_TRACE(c.call);
        auto cam = open(c.camera);
        cam->record(2, RecordMode::sequence, {}, 0);
        Image raw;
        cam->image(raw, 1, DataFormat::Mono16, nullptr);

        Image img;
        qorsim::failNext(c.call, kConverterFault);
        EXPECT_EQ(codeOf([&] { cam->image(img, 1, c.format, nullptr); }), kConverterFault);
        EXPECT_EQ(img.dataFormat(), c.format);
        EXPECT_EQ(img.recorderImageNumber(), 2u);
        EXPECT_EQ(img.rawData16(), raw.rawData16());

        // A warning is no failure.
        qorsim::failNext(c.call, static_cast<int32_t>(0xC0170002));
        EXPECT_EQ(codeOf([&] { cam->image(img, 0, c.format, nullptr); }), 0);
        EXPECT_EQ(img.recorderImageNumber(), 1u);
    }
}

// ---- Image series -----------------------------------------------------------------------------

TEST_F(CameraImagesTest, AnEmptyVectorIsFilledWithTheImagesFromStartIndexOn) {
    auto cam = open();
    cam->record(10, RecordMode::sequence, {}, 0);
    qorsim::clearCalls();
    std::vector<Image> list;
    cam->images(list, DataFormat::Mono16, 3, nullptr);
    ASSERT_EQ(list.size(), 7u);
    EXPECT_EQ(copiedIndices(), (std::vector<int64_t>{3, 4, 5, 6, 7, 8, 9}));
    for (uint32_t i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(list[i].recorderImageNumber(), i + 4);
        EXPECT_EQ(list[i].crop(), kMonoRoi);
        EXPECT_TRUE(qortest::samePixels(list[i].rawData16(), expectedMono(i + 4), 64));
    }
}

TEST_F(CameraImagesTest, ANonEmptyVectorKeepsItsLengthAndIsReshaped) {
    auto cam = open();
    cam->record(10, RecordMode::sequence, {}, 0);
    std::vector<Image> list(3);
    cam->image(list[1], 0, DataFormat::Mono16, nullptr);  // another format and shape before
    const Roi crop{2, 3, 9, 12};
    cam->images(list, crop, DataFormat::Mono8, 2, nullptr);
    ASSERT_EQ(list.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(list[i].recorderImageNumber(), i + 3);
        EXPECT_EQ(list[i].dataFormat(), DataFormat::Mono8);
        EXPECT_EQ(list[i].crop(), crop);
        EXPECT_EQ(list[i].data8().size(), 8u * 10);
        EXPECT_EQ(list[i].rawData16(), cut(expectedMono(i + 3), 64, crop));
    }
    // The whole tail fits.
    std::vector<Image> tail(10);
    cam->images(tail, DataFormat::Mono16, 0, nullptr);
    EXPECT_EQ(tail.back().recorderImageNumber(), 10u);
}

TEST_F(CameraImagesTest, AVectorLongerThanTheImagesFromStartIndexIsRefused) {
    auto cam = open();
    cam->record(10, RecordMode::sequence, {}, 0);
    qorsim::clearCalls();
    struct Case {
        size_t length;
        uint32_t start;
    };
    for (const Case& c : {Case{5, 8}, Case{11, 0}, Case{2, 9}, Case{1, 10}, Case{0, 11},
                          Case{0, 0xFFFFFFFF}, Case{1, 0xFFFFFFFF}}) {
        SCOPED_TRACE(testing::Message() << c.length << " from " << c.start);
        std::vector<Image> list(c.length);
        EXPECT_EQ(messageOf([&] { cam->images(list, DataFormat::Mono16, c.start, nullptr); }),
                  kMsg + "Image vector is too big to hold latest recorded images starting from start_index!");
        EXPECT_EQ(codeOf([&] { cam->images(list, DataFormat::Mono16, c.start, nullptr); }),
                  qor::errc::kInvalidArgument);
        EXPECT_EQ(list.size(), c.length);
    }
    EXPECT_EQ(qorsim::callCount("QOR_RecorderCopyImage"), 0);
}

TEST_F(CameraImagesTest, AStartAtTheRecordedCountGivesTheEmptySeries) {
    auto cam = open();
    cam->record(4, RecordMode::sequence, {}, 0);
    for (bool cropped : {false, true}) {
        std::vector<Image> list;
        if (cropped)
            EXPECT_EQ(codeOf([&] { cam->images(list, qor::Roi{1, 1, 8, 8}, DataFormat::Mono16, 4, nullptr); }), 0);
        else
            EXPECT_EQ(codeOf([&] { cam->images(list, DataFormat::Mono16, 4, nullptr); }), 0);
        EXPECT_TRUE(list.empty());
    }
}

TEST_F(CameraImagesTest, ASeriesBeyondTheMemoryBudgetIsRefusedBeforeAnyImageIsMade) {
    auto cam = open();
    cam->record(10, RecordMode::sequence, {}, 0);
    const uint64_t mono16 = widthOf(kMonoRoi) * heightOf(kMonoRoi) * 2;
    const uint64_t mono8 = Image::pixelBytes(DataFormat::Mono8, qor::RawFormat::Word, widthOf(kMonoRoi),
                                             heightOf(kMonoRoi));
    EXPECT_GT(mono8, mono16) << "a converted image holds its raw words as well";
    cam->setImageSeriesBudget(10 * mono16);
    std::vector<Image> list;
    EXPECT_EQ(codeOf([&] { cam->images(list, DataFormat::Mono16, 0, nullptr); }), 0);
    EXPECT_EQ(list.size(), 10u);

    qorsim::clearCalls();
    std::vector<Image> converted;
    EXPECT_EQ(codeOf([&] { cam->images(converted, DataFormat::Mono8, 0, nullptr); }), qor::errc::kNoMemory);
    EXPECT_TRUE(converted.empty());
    std::vector<Image> given(10);
    EXPECT_EQ(codeOf([&] { cam->images(given, DataFormat::Mono8, 0, nullptr); }), qor::errc::kNoMemory);
    for (const Image& img : given) EXPECT_EQ(img.outputBufferBytes(), 0u);
    EXPECT_EQ(qorsim::callCount("QOR_RecorderCopyImage"), 0);

    // What fits still goes: the tail of the recording, or a crop.
    EXPECT_EQ(codeOf([&] { cam->images(converted, DataFormat::Mono8, 4, nullptr); }), 0);
    EXPECT_EQ(converted.size(), 6u);
    std::vector<Image> cropped;
    EXPECT_EQ(codeOf([&] { cam->images(cropped, qor::Roi{1, 1, 8, 8}, DataFormat::Mono8, 0, nullptr); }), 0);
    EXPECT_EQ(cropped.size(), 10u);

    std::vector<Image> series;
    EXPECT_EQ(messageOf([&] { cam->images(series, DataFormat::Mono8, 0, nullptr); }),
              kMsg + "Image series of 10 images needs " + std::to_string(10 * mono8) +
                  " bytes, more than the budget of " + std::to_string(10 * mono16) + " bytes");
}

TEST_F(CameraImagesTest, ARunningRingBufferRefusesSeries) {
    auto cam = open();
    cam->record(10, RecordMode::ring_buffer, {}, 0);
    ASSERT_TRUE(cam->isRecording());
    std::vector<Image> list(2);
    EXPECT_EQ(messageOf([&] { cam->images(list, DataFormat::Mono16, 0, nullptr); }),
              kMsg + "Camera::images() is not supported in RecordMode::ring_buffer during record");
    EXPECT_EQ(codeOf([&] { cam->images(list, DataFormat::Mono16, 0, nullptr); }), qor::errc::kNoCamera);
    // Single images stay available while the ring runs.
    ASSERT_TRUE(waitUntil([&] { return cam->getRecordedImageCount() >= 1; }));
    Image img;
    EXPECT_EQ(codeOf([&] { cam->image(img, 0, DataFormat::Mono16, nullptr); }), 0);
}

TEST_F(CameraImagesTest, ASeriesOfARunningRecordingWaitsForItsImages) {
    auto cam = open();
    setTriggerMode(*cam, 1);
    cam->record(5, RecordMode::sequence_non_blocking, {}, 0);
    ASSERT_TRUE(cam->trigger());
    ASSERT_TRUE(waitUntil([&] { return cam->getRecordedImageCount() >= 1; }));

    std::vector<Image> list(3);
    auto series = std::async(std::launch::async, [&] {
        return codeOf([&] { cam->images(list, DataFormat::Mono16, 1, nullptr); });
    });
    EXPECT_EQ(series.wait_for(50ms), std::future_status::timeout);
    for (uint32_t i = 2; i <= 3; ++i) {
        ASSERT_TRUE(cam->trigger());
        ASSERT_TRUE(waitUntil([&] { return cam->getRecordedImageCount() >= i; }));
    }
    EXPECT_EQ(series.wait_for(20ms), std::future_status::timeout);  // image 4 is still missing
    ASSERT_TRUE(cam->trigger());
    if (series.wait_for(5s) != std::future_status::ready) {
        cam->abortWaits();
        ADD_FAILURE() << "the series did not end with its last image";
    }
    EXPECT_EQ(series.get(), 0);
    for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(list[i].recorderImageNumber(), i + 2);
    cam->stop();
}

TEST_F(CameraImagesTest, ASeriesFailsWhenTheRecordingStopsShortOfIt) {
    auto cam = open();
    ASSERT_NO_FATAL_FAILURE(recordStoppedShort(*cam, 5, 2));
    const std::string message = kMsg + "Image vector is too big to hold currently recorded images and record has stopped!";
    std::vector<Image> three(3);
    EXPECT_EQ(seriesOf(*cam, three, 0), message);
    std::vector<Image> one(1);
    EXPECT_EQ(seriesOf(*cam, one, 2), message);
    std::vector<Image> two(2);
    EXPECT_EQ(seriesOf(*cam, two, 0), "");
    EXPECT_EQ(two[1].recorderImageNumber(), 2u);
    EXPECT_EQ(codeOf([&] { cam->images(three, DataFormat::Mono16, 0, nullptr); }), qor::errc::kNoMemory);

    // A series already waiting ends when the recording is stopped.
    setTriggerMode(*cam, 1);
    cam->record(5, RecordMode::sequence_non_blocking, {}, 0);
    auto series = std::async(std::launch::async, [&] {
        return messageOf([&] { cam->images(three, DataFormat::Mono16, 0, nullptr); });
    });
    EXPECT_EQ(series.wait_for(50ms), std::future_status::timeout);
    cam->stop();
    if (series.wait_for(5s) != std::future_status::ready) {
        cam->abortWaits();
        ADD_FAILURE() << "the series did not end when the recording stopped";
    }
    EXPECT_EQ(series.get(), message);
}

// ---- Averages ---------------------------------------------------------------------------------

TEST_F(CameraImagesTest, AverageCoversTheImagesRecordedBeforeTheStop) {
    auto cam = open();
    ASSERT_NO_FATAL_FAILURE(recordStoppedShort(*cam, 10, 3));
    const std::vector<uint16_t> mean = roundedMean<uint16_t>({expectedMono(1), expectedMono(2), expectedMono(3)});
    Image img;
    cam->imageAverage(img, DataFormat::Mono16);
    EXPECT_EQ(img.recorderImageNumber(), 2u);
    const auto args = qorsim::lastCallArgs("QOR_RecorderCopyAverageImage");  // recorder, first, last, crop
    ASSERT_EQ(args.size(), 7u);
    EXPECT_EQ(std::vector<int64_t>(args.begin() + 1, args.end()), (std::vector<int64_t>{0, 2, 1, 1, 64, 16}));
    EXPECT_TRUE(qortest::samePixels(img.data16(), mean, 64));

    const Roi crop{3, 2, 40, 9};
    cam->imageAverage(img, crop, DataFormat::Undefined);
    EXPECT_EQ(img.dataFormat(), DataFormat::Mono16);
    EXPECT_EQ(img.crop(), crop);
    EXPECT_TRUE(qortest::samePixels(img.data16(), cut(mean, 64, crop), 38));

    cam->imageAverage(img, crop, DataFormat::Mono8);
    EXPECT_EQ(img.recorderImageNumber(), 2u);
    EXPECT_EQ(img.rawData16(), cut(mean, 64, crop));
    EXPECT_EQ(img.data8().size(), 40u * 8);
    EXPECT_EQ(lastConvertCall("QOR_Convert16TO8").in, address(img.rawData16().data()));
}

TEST_F(CameraImagesTest, AverageOfACompleteSequenceCoversAllItsImages) {
    auto cam = open();
    cam->record(4, RecordMode::sequence, {}, 0);
    Image img;
    cam->imageAverage(img, DataFormat::Mono16);
    EXPECT_EQ(img.recorderImageNumber(), 3u);
    EXPECT_TRUE(qortest::samePixels(
        img.data16(), roundedMean<uint16_t>({expectedMono(1), expectedMono(2), expectedMono(3), expectedMono(4)}), 64));
}

TEST_F(CameraImagesTest, AverageBeforeTheFirstImageFails) {
    auto cam = open();
    setTriggerMode(*cam, 1);
    cam->record(10, RecordMode::sequence_non_blocking, {}, 0);
    Image img;
    EXPECT_EQ(codeOf([&] { cam->imageAverage(img, DataFormat::Mono16); }), qor::errc::kNoImage);
    EXPECT_EQ(codeOf([&] { cam->imageAverage(img, Roi{1, 1, 8, 8}, DataFormat::Mono8); }), qor::errc::kNoImage);
    cam->stop();
    EXPECT_EQ(codeOf([&] { cam->imageAverage(img, DataFormat::Mono16); }), qor::errc::kNoImage);
    EXPECT_EQ(qorsim::callCount("QOR_RecorderCopyAverageImage"), 0);
}

TEST_F(CameraImagesTest, AverageRefusesCompressedMono8) {
    auto cam = open();
    cam->record(2, RecordMode::sequence, {}, 0);
    Image img;
    EXPECT_EQ(messageOf([&] { cam->imageAverage(img, DataFormat::CompressedMono8); }),
              kMsg + "DataFormat::CompressedMono8 is not supported for average images!");
    EXPECT_EQ(codeOf([&] { cam->imageAverage(img, Roi{1, 1, 8, 8}, DataFormat::CompressedMono8); }),
              qor::errc::kInvalidArgument);
    EXPECT_EQ(qorsim::callCount("QOR_RecorderCopyAverageImage"), 0);
}

TEST_F(CameraImagesTest, AverageCarriesNoMetadataOrTimeStamp) {
    auto cam = open();
    Configuration c;
    c.timestamp_mode = 1;
    cam->setConfiguration(c);
    cam->record(2, RecordMode::sequence, {}, 0);
    Image img;
    cam->image(img, 0, DataFormat::Mono16, nullptr);
    ASSERT_TRUE(img.hasMetaData());
    ASSERT_TRUE(img.hasTimestamp());
    cam->imageAverage(img, DataFormat::Mono16);
    EXPECT_FALSE(img.hasMetaData());
    EXPECT_FALSE(img.hasTimestamp());
}

// ---- Automatic display range ------------------------------------------------------------------

TEST_F(CameraImagesTest, AutomaticRangeFitsTheFirstConvertedImageOfEachFormatAndRecording) {
    auto cam = open();
    auto range = [&](DataFormat f) {
        const ConvertControl cc = cam->getConvertControl(f);
        return std::pair{common(cc).min_limit, common(cc).max_limit};
    };
    auto extremes = [](const Image& img) {
        auto [lo, hi] = std::minmax_element(img.rawData16().begin(), img.rawData16().end());
        return std::pair<int32_t, int32_t>{*lo, *hi};
    };
    cam->record(3, RecordMode::sequence, {}, 0);
    qorsim::clearCalls();
    Image first;
    cam->image(first, 0, DataFormat::Mono8, nullptr);
    EXPECT_EQ(qorsim::callCount("QOR_ConvertSetDisplay"), 1);
    EXPECT_EQ(range(DataFormat::Mono8), extremes(first));

    // Image 2 lacks the bright square of image 1, so a second fit would show.
    Image second, third;
    cam->image(second, 1, DataFormat::Mono8, nullptr);
    ASSERT_NE(extremes(second), extremes(first));
    cam->image(third, 2, DataFormat::Mono8, nullptr);
    EXPECT_EQ(qorsim::callCount("QOR_ConvertSetDisplay"), 1);
    EXPECT_EQ(range(DataFormat::Mono8), extremes(first));
    EXPECT_EQ(lastConvertCall("QOR_Convert16TO8").flags, kDefaultFlags);

    // Another format of the same recording gets its own fit, once.
    Image pseudo;
    cam->image(pseudo, 1, DataFormat::BGR8, nullptr);
    EXPECT_EQ(qorsim::callCount("QOR_ConvertSetDisplay"), 2);
    EXPECT_EQ(range(DataFormat::BGR8), extremes(second));
    cam->image(pseudo, 0, DataFormat::BGR8, nullptr);
    cam->image(first, 0, DataFormat::Mono8, nullptr);
    EXPECT_EQ(qorsim::callCount("QOR_ConvertSetDisplay"), 2);
    EXPECT_EQ(range(DataFormat::BGR8), extremes(second));

    // A new recording fits again.
    cam->record(3, RecordMode::sequence, {}, 0);
    qorsim::clearCalls();
    cam->image(second, 1, DataFormat::Mono8, nullptr);
    EXPECT_EQ(qorsim::callCount("QOR_ConvertSetDisplay"), 1);
    EXPECT_EQ(range(DataFormat::Mono8), extremes(second));
}

TEST_F(CameraImagesTest, AutomaticRangeOfAFlatImage) {
    struct Case {
        int dark_offset;
        int32_t min;
        int32_t max;
    };
    for (const Case& c : {Case{500, 499, 500}, Case{1, 0, 1}, Case{0, 0, 0}}) {
        SCOPED_TRACE(c.dark_offset);
        // Below about 150 ns the signal rounds to nothing: every pixel is the dark offset.
        auto cam = open("mono",
                        R"({"description": {"dwMinExposureDESC": 100}, "sensor": {"dark_offset": )" +
                            std::to_string(c.dark_offset) + "}}",
                        100e-9);
        cam->record(1, RecordMode::sequence, {}, 0);
        Image img;
        cam->image(img, 0, DataFormat::Mono8, nullptr);
        ASSERT_EQ(img.rawData16(), std::vector<uint16_t>(64 * 16, static_cast<uint16_t>(c.dark_offset)));
        const ConvertControl cc = cam->getConvertControl(DataFormat::Mono8);
        EXPECT_EQ(common(cc).min_limit, c.min);
        EXPECT_EQ(common(cc).max_limit, c.max);
    }
}

TEST_F(CameraImagesTest, WithoutAutomaticRangeTheSettingsKeepTheDisplayRange) {
    auto cam = open();
    ConvertControlMono fixed;
    fixed.auto_minmax = false;
    fixed.min_limit = 150;
    fixed.max_limit = 3000;
    cam->setConvertControl(DataFormat::Mono8, fixed);
    cam->record(2, RecordMode::sequence, {}, 0);
    qorsim::clearCalls();
    Image img;
    cam->image(img, 0, DataFormat::Mono8, nullptr);
    EXPECT_EQ(qorsim::callCount("QOR_ConvertSetDisplay"), 0);
    EXPECT_EQ(lastConvertCall("QOR_Convert16TO8").flags, kDefaultFlags & ~0x20);
    const ConvertControl cc = cam->getConvertControl(DataFormat::Mono8);
    EXPECT_EQ(common(cc).min_limit, 150);
    EXPECT_EQ(common(cc).max_limit, 3000);
}

// ---- Conversion settings ----------------------------------------------------------------------

TEST_F(CameraImagesTest, EachFormatHasTheSettingsOfItsCameraKind) {
    struct Case {
        const char* camera;
        std::vector<std::pair<DataFormat, size_t>> kinds;  // alternative index per format with a converter
    };
    const Case cases[] = {
        {"mono",
         {{DataFormat::Mono8, 0}, {DataFormat::BGR8, 2}, {DataFormat::BGRA8, 2}, {DataFormat::RGB8, 2},
          {DataFormat::RGBA8, 2}}},
        {"color",
         {{DataFormat::Mono8, 0}, {DataFormat::BGR8, 1}, {DataFormat::BGRA8, 1}, {DataFormat::RGB8, 1},
          {DataFormat::RGBA8, 1}, {DataFormat::RGB16, 1}, {DataFormat::BGR16, 1}}},
    };
    for (const Case& c : cases) {
        auto cam = open(c.camera);
        for (DataFormat format : kAllFormats) {
            SCOPED_TRACE(std::string(c.camera) + " " + formatName(format));
            auto it = std::find_if(c.kinds.begin(), c.kinds.end(), [&](const auto& k) { return k.first == format; });
            if (it == c.kinds.end()) {
                EXPECT_EQ(messageOf([&] { cam->getConvertControl(format); }),
                          kMsg + "Data format is not supported by the camera!");
                EXPECT_EQ(codeOf([&] { cam->getConvertControl(format); }), qor::errc::kInvalidArgument);
                EXPECT_EQ(messageOf([&] { cam->setConvertControl(format, ConvertControlMono{}); }),
                          kMsg + "DataFormat is not valid for this camera type!");
                continue;
            }
            const ConvertControl cc = cam->getConvertControl(format);
            EXPECT_EQ(cc.index(), it->second);
            EXPECT_DOUBLE_EQ(common(cc).gamma, 1.0);
            EXPECT_EQ(common(cc).contrast, 0);
            EXPECT_TRUE(common(cc).auto_minmax);
        }
    }
}

TEST_F(CameraImagesTest, SettingsOfAnotherKindAreRefused) {
    auto mono = open();
    const std::string message = kMsg + "ConvertControl struct does not fit to the DataFormat!";
    EXPECT_EQ(messageOf([&] { mono->setConvertControl(DataFormat::Mono8, ConvertControlPseudoColor{}); }), message);
    EXPECT_EQ(messageOf([&] { mono->setConvertControl(DataFormat::BGR8, ConvertControlColor{}); }), message);
    EXPECT_EQ(codeOf([&] { mono->setConvertControl(DataFormat::RGBA8, ConvertControlMono{}); }),
              qor::errc::kInvalidArgument);
    mono.reset();
    auto color = open("color");
    EXPECT_EQ(messageOf([&] { color->setConvertControl(DataFormat::RGB16, ConvertControlPseudoColor{}); }), message);
    EXPECT_EQ(messageOf([&] { color->setConvertControl(DataFormat::Mono8, ConvertControlColor{}); }), message);
    EXPECT_EQ(qorsim::callCount("QOR_ConvertSetDisplay"), 0);
}

TEST_F(CameraImagesTest, SettingsReachTheDisplayRecord) {
    // Formats without colour-limit clamp, so that every value reads back as written.
    struct Case {
        const char* camera;
        DataFormat format;
        ConvertControl settings;
    };
    auto fill = [](auto alt) {
        alt.gamma = 1.259;  // the record keeps gamma x 100, truncated
        alt.contrast = -30;
        alt.auto_minmax = false;
        alt.min_limit = 210;
        alt.max_limit = 3333;
        if constexpr (!std::is_same_v<decltype(alt), ConvertControlMono>) {
            alt.color_temperature = 4800;
            alt.color_tint = -25;
            alt.color_saturation = 35;
            alt.color_vibrance = -45;
        }
        return alt;
    };
    const Case cases[] = {
        {"mono", DataFormat::Mono8, fill(ConvertControlMono{})},
        {"mono", DataFormat::RGBA8, fill(ConvertControlPseudoColor{})},
        {"color", DataFormat::Mono8, fill(ConvertControlMono{})},
        {"color", DataFormat::BGR16, fill(ConvertControlColor{})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.camera) + " " + formatName(c.format));
        auto cam = open(c.camera);
        cam->setConvertControl(c.format, c.settings);
        const ConvertControl back = cam->getConvertControl(c.format);
        ASSERT_EQ(back.index(), c.settings.index());
        EXPECT_DOUBLE_EQ(common(back).gamma, 1.25);
        EXPECT_EQ(common(back).contrast, -30);
        EXPECT_EQ(common(back).min_limit, 210);
        EXPECT_EQ(common(back).max_limit, 3333);
        std::visit(
            [](const auto& alt) {
                if constexpr (!std::is_same_v<std::decay_t<decltype(alt)>, ConvertControlMono>) {
                    EXPECT_EQ(alt.color_temperature, 4800);
                    EXPECT_EQ(alt.color_tint, -25);
                    EXPECT_EQ(alt.color_saturation, 35);
                    EXPECT_EQ(alt.color_vibrance, -45);
                }
            },
            back);

        // With the automatic range the settings' range stays out of the record.
        auto automatic = c.settings;
        std::visit(
            [](auto& alt) {
                alt.auto_minmax = true;
                alt.min_limit = 1;
                alt.max_limit = 2;
                alt.contrast = 20;
            },
            automatic);
        cam->setConvertControl(c.format, automatic);
        const ConvertControl kept = cam->getConvertControl(c.format);
        EXPECT_EQ(common(kept).min_limit, 210);
        EXPECT_EQ(common(kept).max_limit, 3333);
        EXPECT_EQ(common(kept).contrast, 20);
    }
}

TEST_F(CameraImagesTest, FormatsSharingAConverterReadItsRecord) {
    // The 8-bit colour formats share one converter, the 16-bit ones another.
    auto color = open("color");
    ConvertControlColor warm;
    warm.color_temperature = 4200;
    warm.color_vibrance = 15;
    warm.contrast = 12;
    color->setConvertControl(DataFormat::BGR8, warm);
    for (DataFormat format : {DataFormat::BGRA8, DataFormat::RGB8, DataFormat::RGBA8}) {
        SCOPED_TRACE(formatName(format));
        const auto back = std::get<ConvertControlColor>(color->getConvertControl(format));
        EXPECT_EQ(back.color_temperature, 4200);
        EXPECT_EQ(back.color_vibrance, 15);
        EXPECT_EQ(back.contrast, 12);
    }
    for (DataFormat format : {DataFormat::RGB16, DataFormat::BGR16}) {
        SCOPED_TRACE(formatName(format));
        EXPECT_EQ(std::get<ConvertControlColor>(color->getConvertControl(format)).color_temperature, 6500);
    }
    color.reset();

    auto mono = open();
    ConvertControlPseudoColor bright;
    bright.gamma = 2.2;
    bright.color_tint = 30;
    mono->setConvertControl(DataFormat::RGBA8, bright);
    EXPECT_DOUBLE_EQ(common(mono->getConvertControl(DataFormat::BGR8)).gamma, 2.2);
    EXPECT_EQ(std::get<ConvertControlPseudoColor>(mono->getConvertControl(DataFormat::RGB8)).color_tint, 30);
    EXPECT_DOUBLE_EQ(common(mono->getConvertControl(DataFormat::Mono8)).gamma, 1.0);
}

TEST_F(CameraImagesTest, ColourLimitIsClampedToWhatTheGainsKeepWhite) {
    enum class Rule { Top, Low, Kept };
    struct Case {
        const char* name;
        int32_t temperature;
        int32_t tint;
        int32_t min_limit;
        int32_t max_limit;
        Rule rule;
    };
    const Case cases[] = {
        {"defaults", 6500, 0, 0, 20000, Rule::Top},
        {"warm light, small maximum", 3000, 0, 0, 3000, Rule::Top},
        {"warm light, large maximum", 3000, 0, 100, 20000, Rule::Low},
        {"cold light", 12000, 0, 0, 20000, Rule::Low},
        {"tint", 6500, 100, 0, 20000, Rule::Top},
        {"maximum below the limit", 6500, 0, 0, 1000, Rule::Kept},
    };
    auto cam = open("color");
    for (const Case& c : cases) {
        const Limits limits = colourLimits(c.temperature, c.tint, c.min_limit, c.max_limit);
        const int32_t expected = c.rule == Rule::Top   ? limits.top
                                 : c.rule == Rule::Low ? limits.low
                                                       : c.max_limit;
        for (DataFormat format : {DataFormat::BGR8, DataFormat::BGRA8, DataFormat::RGB8, DataFormat::RGBA8}) {
            SCOPED_TRACE(std::string(c.name) + " " + formatName(format));
            ConvertControlColor settings = plain<ConvertControlColor>(c.min_limit, c.max_limit);
            settings.color_temperature = c.temperature;
            settings.color_tint = c.tint;
            cam->setConvertControl(format, settings);
            const ConvertControl back = cam->getConvertControl(format);
            EXPECT_EQ(common(back).max_limit, expected);
            EXPECT_EQ(common(back).min_limit, c.min_limit);
        }
    }
    // The table's rules hold for these gains: the limit is lowered, raised, or left.
    EXPECT_LT(colourLimits(3000, 0, 0, 3000).top, 3000);
    EXPECT_GT(colourLimits(3000, 0, 100, 20000).low, colourLimits(3000, 0, 100, 20000).top);
    EXPECT_GT(colourLimits(6500, 0, 0, 1000).top, 1000);

    // Sixteen-bit colour keeps its limit.
    cam->setConvertControl(DataFormat::RGB16, plain<ConvertControlColor>(0, 20000));
    EXPECT_EQ(common(cam->getConvertControl(DataFormat::RGB16)).max_limit, 20000);
}

TEST_F(CameraImagesTest, PseudoColourKeepsItsLimit) {
    auto cam = open();
    cam->setConvertControl(DataFormat::BGR8, plain<ConvertControlPseudoColor>(0, 60000));
    EXPECT_EQ(common(cam->getConvertControl(DataFormat::BGR8)).max_limit, 60000);
    EXPECT_EQ(qorsim::callCount("QOR_GetWhiteBalanceGains"), 0);
}

// ---- Look-up tables ---------------------------------------------------------------------------

TEST_F(CameraImagesTest, LutKindFollowsTheFileExtension) {
    auto cam = open();
    struct Case {
        const char* file;
        const char* sample;
        int kind;
    };
    const Case cases[] = {
        {"table.lt1", "sample.lt1", 3}, {"table.lt2", "sample.lt2", 2}, {"table.lt3", "sample.lt3", 1},
        {"table.lt4", "sample.lt4", 0}, {"table.txt", "sample.lt3", 1}, {"table.lut", "sample.lt3", 1},
        {"table.l", "sample.lt3", 1},   {"table.lt", "sample.lt3", 1},  {"table", "sample.lt3", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const auto file = tempDir() / c.file;
        std::filesystem::copy_file(lutSample(c.sample), file, std::filesystem::copy_options::overwrite_existing);
        for (DataFormat format : {DataFormat::BGR8, DataFormat::RGBA8}) {
            SCOPED_TRACE(formatName(format));
            cam->loadLut(format, file);
            EXPECT_EQ(qorsim::lastCallArgs("QOR_LoadPseudoLut").at(1), c.kind);
            const ConvertControl cc = cam->getConvertControl(format);
            ASSERT_EQ(cc.index(), 2u);
            EXPECT_EQ(std::get<ConvertControlPseudoColor>(cc).lut_file, file);
        }
    }
    // The same through the settings.
    ConvertControlPseudoColor settings;
    settings.lut_file = tempDir() / "table.lt2";
    cam->setConvertControl(DataFormat::RGB8, settings);
    EXPECT_EQ(qorsim::lastCallArgs("QOR_LoadPseudoLut").at(1), 2);
    EXPECT_EQ(qorsim::callCount("QOR_LoadPseudoLut"), 19);
}

TEST_F(CameraImagesTest, AMissingOrBrokenLutLeavesTheSettings) {
    auto cam = open();
    const auto good = tempDir() / "good.lt1";
    std::filesystem::copy_file(lutSample("sample.lt1"), good);
    cam->loadLut(DataFormat::BGR8, good);
    const int loads = qorsim::callCount("QOR_LoadPseudoLut");

    EXPECT_EQ(messageOf([&] { cam->loadLut(DataFormat::BGR8, tempDir() / "missing.lt1"); }),
              kMsg + "LUT file does not exist!");
    EXPECT_EQ(codeOf([&] { cam->loadLut(DataFormat::BGR8, tempDir() / "missing.lt1"); }), qor::errc::kFileMissing);
    ConvertControlPseudoColor settings;
    settings.lut_file = tempDir() / "missing.lt3";
    EXPECT_EQ(codeOf([&] { cam->setConvertControl(DataFormat::BGR8, settings); }), qor::errc::kFileMissing);
    EXPECT_EQ(qorsim::callCount("QOR_LoadPseudoLut"), loads);

    const auto broken = tempDir() / "broken.lt1";
    std::ofstream(broken) << "not a table";
    EXPECT_EQ(codeOf([&] { cam->loadLut(DataFormat::BGR8, broken); }), static_cast<int32_t>(0x80170005));
    EXPECT_EQ(std::get<ConvertControlPseudoColor>(cam->getConvertControl(DataFormat::BGR8)).lut_file, good);
}

TEST_F(CameraImagesTest, LutsAreForPseudoColourFormatsOfMonoCameras) {
    auto mono = open();
    const auto file = tempDir() / "table.lt1";
    std::filesystem::copy_file(lutSample("sample.lt1"), file);
    EXPECT_EQ(messageOf([&] { mono->loadLut(DataFormat::Mono8, file); }),
              kMsg + "ConvertControlPseudoColor is not assigned to specified DataFormat!");
    EXPECT_EQ(codeOf([&] { mono->loadLut(DataFormat::Mono8, file); }), qor::errc::kInvalidArgument);
    for (DataFormat format : {DataFormat::Mono16, DataFormat::BGR16, DataFormat::Undefined}) {
        SCOPED_TRACE(formatName(format));
        EXPECT_EQ(messageOf([&] { mono->loadLut(format, file); }), kMsg + "DataFormat is not valid for this camera type!");
        EXPECT_EQ(codeOf([&] { mono->loadLut(format, file); }), qor::errc::kInvalidArgument);
    }
    mono.reset();

    auto color = open("color");
    for (DataFormat format : {DataFormat::BGR8, DataFormat::Mono8}) {
        SCOPED_TRACE(formatName(format));
        EXPECT_EQ(messageOf([&] { color->loadLut(format, file); }), kMsg + "Pseudo color not supported for color cameras!");
        EXPECT_EQ(codeOf([&] { color->loadLut(format, file); }), qor::errc::kCamRamUnsupported);
    }
    EXPECT_EQ(qorsim::callCount("QOR_LoadPseudoLut"), 0);
}

// ---- White balance ----------------------------------------------------------------------------

class CameraImagesWhiteBalanceTest : public CameraImagesTest {
protected:
    // The estimate of the conversion library for the image's raw pixels, from a converter of its own.
    std::pair<int, int> estimate(Camera& cam, const Image& img, const Roi& crop) {
        QOR_SensorInfo info = cam.getSensorInfo();
        QOR_CONVERTER own = nullptr;
        EXPECT_EQ(QOR_ConvertCreate(&own, &info, QOR_CONVERT_COLOR), 0);
        int temperature = 0, tint = 0;
        EXPECT_EQ(QOR_GetWhiteBalance(own, &temperature, &tint, static_cast<int>(cam.calculateColorMode(img.crop())),
                                      static_cast<int>(img.width()), static_cast<int>(img.height()),
                                      img.rawData16().data(), static_cast<int>(crop.x0), static_cast<int>(crop.y0),
                                      static_cast<int>(crop.x1), static_cast<int>(crop.y1)),
                  0);
        QOR_ConvertDelete(own);
        return {temperature, tint};
    }

    std::unique_ptr<Camera> recordColour() {
        auto cam = open("color", "{}", 0.01);
        cam->record(1, RecordMode::sequence, {}, 0);
        return cam;
    }
};

TEST_F(CameraImagesWhiteBalanceTest, AdaptationStoresTheEstimateAndClampsTheLimit) {
    auto cam = recordColour();
    cam->setConvertControl(DataFormat::BGR8, plain<ConvertControlColor>(0, 20000));
    const int32_t limit = common(cam->getConvertControl(DataFormat::BGR8)).max_limit;
    ASSERT_EQ(limit, 4095);

    Image img;
    cam->image(img, 0, DataFormat::BGR8, nullptr);
    // Bottom left the pattern is weak in red: the balance raises red, which lowers the limit.
    const Roi weak_red{1, 17, 16, 32};
    const auto [temperature, tint] = estimate(*cam, img, weak_red);
    cam->adaptWhiteBalance(img, weak_red);

    const auto back = std::get<ConvertControlColor>(cam->getConvertControl(DataFormat::BGR8));
    EXPECT_EQ(back.color_temperature, temperature);
    EXPECT_EQ(back.color_tint, tint);
    const Limits limits = colourLimits(temperature, tint, 0, limit);
    ASSERT_LT(limits.top, limit);
    EXPECT_EQ(back.max_limit, std::max(limits.top, limits.low));
    // The other settings stay.
    EXPECT_FALSE(back.sharpen);
    EXPECT_FALSE(back.auto_minmax);
}

TEST_F(CameraImagesWhiteBalanceTest, TheConverterGetsTheImagesRawPixelsAndTheCrop) {
    auto cam = recordColour();
    Image img;
    const Roi image_crop{2, 1, 33, 16};  // starts on a green pixel of a red row: colour mode 1
    cam->image(img, image_crop, 0, DataFormat::RGB16, nullptr);
    struct Case {
        std::optional<Roi> crop;
        std::array<int64_t, 4> region;
    };
    for (const Case& c : {Case{std::nullopt, {1, 1, 32, 16}}, Case{Roi{3, 4, 10, 12}, {3, 4, 10, 12}},
                          Case{Roi{1, 1, 32, 16}, {1, 1, 32, 16}}, Case{Roi{32, 16, 32, 16}, {32, 16, 32, 16}}}) {
        SCOPED_TRACE(c.region[0]);
        if (c.crop)
            cam->adaptWhiteBalance(img, *c.crop);
        else
            cam->adaptWhiteBalance(img);
        const auto args = qorsim::lastCallArgs("QOR_GetWhiteBalance");
        ASSERT_EQ(args.size(), 11u);
        EXPECT_EQ(args[3], 1);   // colour mode
        EXPECT_EQ(args[4], 32);  // width
        EXPECT_EQ(args[5], 16);  // height
        EXPECT_EQ(args[6], address(img.rawData16().data()));
        EXPECT_EQ((std::array<int64_t, 4>{args[7], args[8], args[9], args[10]}), c.region);
    }
}

TEST_F(CameraImagesWhiteBalanceTest, OnlyColourImagesWithACropInsideCanBeBalanced) {
    auto cam = recordColour();
    Image mono8, mono16, fresh;
    cam->image(mono8, 0, DataFormat::Mono8, nullptr);
    cam->image(mono16, 0, DataFormat::Mono16, nullptr);
    EXPECT_EQ(messageOf([&] { cam->adaptWhiteBalance(mono8); }),
              kMsg + "White balance adaptation is supported for colored data formats!");
    EXPECT_EQ(codeOf([&] { cam->adaptWhiteBalance(mono8); }), qor::errc::kCamRamUnsupported);
    for (Image* img : {&mono16, &fresh}) {
        EXPECT_EQ(messageOf([&] { cam->adaptWhiteBalance(*img); }), kMsg + "Data format is not supported by the camera!");
        EXPECT_EQ(codeOf([&] { cam->adaptWhiteBalance(*img); }), qor::errc::kInvalidArgument);
    }

    Image img;
    cam->image(img, Roi{1, 1, 32, 16}, 0, DataFormat::BGR8, nullptr);
    for (const Roi& crop : {Roi{1, 1, 33, 16}, Roi{1, 1, 32, 17}, Roi{1, 1, 100, 100}}) {
        SCOPED_TRACE(testing::Message() << crop.x1 << "," << crop.y1);
        EXPECT_EQ(messageOf([&] { cam->adaptWhiteBalance(img, crop); }), kMsg + "Roi is too large");
        EXPECT_EQ(codeOf([&] { cam->adaptWhiteBalance(img, crop); }), qor::errc::kInvalidArgument);
    }
    EXPECT_EQ(qorsim::callCount("QOR_GetWhiteBalance"), 0);
    // Crops of the image's size that leave it fail too, one way or another.
    for (const Roi& crop : {Roi{2, 1, 33, 16}, Roi{1, 2, 32, 17}, Roi{0, 1, 31, 16}}) {
        SCOPED_TRACE(testing::Message() << crop.x0 << "," << crop.y0);
        EXPECT_NE(codeOf([&] { cam->adaptWhiteBalance(img, crop); }), 0);
    }
    EXPECT_EQ(std::get<ConvertControlColor>(cam->getConvertControl(DataFormat::BGR8)).color_temperature, 6500);
}

TEST_F(CameraImagesWhiteBalanceTest, AFailingEstimateLeavesTheSettings) {
    auto cam = recordColour();
    Image img;
    cam->image(img, 0, DataFormat::RGBA8, nullptr);
    qorsim::failNext("QOR_GetWhiteBalance", kConverterFault);
    EXPECT_EQ(codeOf([&] { cam->adaptWhiteBalance(img); }), kConverterFault);
    const auto back = std::get<ConvertControlColor>(cam->getConvertControl(DataFormat::RGBA8));
    EXPECT_EQ(back.color_temperature, 6500);
    EXPECT_EQ(back.color_tint, 0);
}

}  // namespace
