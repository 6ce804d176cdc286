#include "camera/image.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "camera/camera_exception.h"

namespace qor {
namespace {

// Throws CameraException with code 0x160000 whose text ends with the given message.
template <class F>
void expectFailure(F&& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const CameraException& e) {
        EXPECT_EQ(e.code(), errc::kUnspecified);
        EXPECT_EQ(std::string(e.what()), "qor::CameraException: " + message);
    }
}

enum class Kind { Empty, U8, U16 };

Kind kindOf(const Image::PixelData& data) {
    if (std::holds_alternative<qor::PixelBytes>(data)) return Kind::U8;
    if (std::holds_alternative<qor::PixelWords>(data)) return Kind::U16;
    return Kind::Empty;
}

size_t sizeOf(const Image::PixelData& data) {
    if (const auto* v8 = std::get_if<qor::PixelBytes>(&data)) return v8->size();
    if (const auto* v16 = std::get_if<qor::PixelWords>(&data)) return v16->size();
    return 0;
}

const void* dataOf(const Image::PixelData& data) {
    if (const auto* v8 = std::get_if<qor::PixelBytes>(&data)) return v8->data();
    if (const auto* v16 = std::get_if<qor::PixelWords>(&data)) return v16->data();
    return nullptr;
}

Image shaped(DataFormat format, RawFormat raw, uint64_t w = 5, uint64_t h = 2) {
    Image image;
    image.reshape(format, raw, 1, 1, w, h);
    return image;
}

TEST(ImageTest, NewImageIsEmpty) {
    const Image image;
    EXPECT_EQ(image.crop(), (Roi{-1, -1, -1, -1}));
    EXPECT_EQ(image.dataFormat(), DataFormat::Undefined);
    EXPECT_EQ(image.rawFormat(), RawFormat::Word);
    EXPECT_EQ(image.recorderImageNumber(), 0u);
    EXPECT_EQ(kindOf(image.rawData()), Kind::Empty);
    EXPECT_EQ(kindOf(image.convertedData()), Kind::Empty);
    EXPECT_FALSE(image.hasMetaData());
    EXPECT_FALSE(image.hasTimestamp());
}

struct LayoutCase {
    DataFormat format;
    RawFormat raw;
    Kind converted_kind;
    size_t converted_count;
    Kind raw_kind;
    bool color;
};

// Width 5 (padded to 8), height 2: the raw data always holds 10 elements when present.
class ImageLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ImageLayoutTest, ReshapeSizesBuffersForFormat) {
    const LayoutCase& c = GetParam();
    Image image;
    image.reshape(c.format, c.raw, 3, 4, 7, 5);
    EXPECT_EQ(image.width(), 5u);
    EXPECT_EQ(image.height(), 2u);
    EXPECT_EQ(image.crop(), (Roi{3, 4, 7, 5}));
    EXPECT_EQ(image.dataFormat(), c.format);
    EXPECT_EQ(image.rawFormat(), c.raw);
    EXPECT_EQ(kindOf(image.convertedData()), c.converted_kind);
    EXPECT_EQ(sizeOf(image.convertedData()), c.converted_count);
    EXPECT_EQ(kindOf(image.rawData()), c.raw_kind);
    EXPECT_EQ(sizeOf(image.rawData()), c.raw_kind == Kind::Empty ? 0u : 10u);
    EXPECT_EQ(image.isColorFormat(), c.color);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ImageLayoutTest,
    ::testing::Values(LayoutCase{DataFormat::Mono8, RawFormat::Word, Kind::U8, 16, Kind::U16, false},
                      LayoutCase{DataFormat::Mono8, RawFormat::Byte, Kind::Empty, 0, Kind::U8, false},
                      LayoutCase{DataFormat::Mono16, RawFormat::Word, Kind::Empty, 0, Kind::U16, false},
                      LayoutCase{DataFormat::BGR8, RawFormat::Word, Kind::U8, 48, Kind::U16, true},
                      LayoutCase{DataFormat::RGB8, RawFormat::Byte, Kind::U8, 48, Kind::U8, true},
                      LayoutCase{DataFormat::BGRA8, RawFormat::Word, Kind::U8, 40, Kind::U16, true},
                      LayoutCase{DataFormat::RGBA8, RawFormat::Word, Kind::U8, 40, Kind::U16, true},
                      LayoutCase{DataFormat::RGB16, RawFormat::Word, Kind::U16, 48, Kind::U16, true},
                      LayoutCase{DataFormat::BGR16, RawFormat::Word, Kind::U16, 48, Kind::U16, true},
                      LayoutCase{DataFormat::CompressedMono8, RawFormat::Word, Kind::U8, 10, Kind::Empty, false}));

TEST(ImageTest, ReshapedImageFitsItsOwnShapeExceptMono8ByteAndUndefined) {
    const std::pair<DataFormat, RawFormat> fitting[] = {
        {DataFormat::Mono8, RawFormat::Word},  {DataFormat::Mono16, RawFormat::Word},
        {DataFormat::Mono16, RawFormat::Byte}, {DataFormat::BGR8, RawFormat::Word},
        {DataFormat::BGRA8, RawFormat::Byte},  {DataFormat::RGB16, RawFormat::Word},
        {DataFormat::BGR16, RawFormat::Word},  {DataFormat::CompressedMono8, RawFormat::Word}};
    for (const auto& [format, raw] : fitting) {
        const Image image = shaped(format, raw);
        EXPECT_TRUE(image.fits(format, raw, 1, 1, 5, 2)) << static_cast<int>(format);
        EXPECT_TRUE(image.fits(format, raw, 11, 21, 15, 22)) << "same size elsewhere " << static_cast<int>(format);
        EXPECT_FALSE(image.fits(format, raw, 1, 1, 6, 2)) << "wider " << static_cast<int>(format);
        EXPECT_FALSE(image.fits(format, raw, 1, 1, 5, 3)) << "taller " << static_cast<int>(format);
    }
    EXPECT_FALSE(shaped(DataFormat::Mono8, RawFormat::Byte).fits(DataFormat::Mono8, RawFormat::Byte, 1, 1, 5, 2));
    EXPECT_FALSE(
        shaped(DataFormat::Undefined, RawFormat::Word).fits(DataFormat::Undefined, RawFormat::Word, 1, 1, 5, 2));
}

TEST(ImageTest, FitsRejectsOtherFormatOrRawWidth) {
    const Image bgr8 = shaped(DataFormat::BGR8, RawFormat::Word);
    EXPECT_FALSE(bgr8.fits(DataFormat::RGB8, RawFormat::Word, 1, 1, 5, 2));
    EXPECT_FALSE(bgr8.fits(DataFormat::BGR8, RawFormat::Byte, 1, 1, 5, 2));
    EXPECT_FALSE(Image().fits(DataFormat::Mono16, RawFormat::Word, 1, 1, 5, 2));
}

TEST(ImageTest, ReshapeKeepsAllocationsOfTheRightWidth) {
    Image image = shaped(DataFormat::BGR8, RawFormat::Word, 64, 32);
    const void* raw = image.rawData16().data();
    const void* converted = image.data8().data();

    image.reshape(DataFormat::BGR8, RawFormat::Word, 1, 1, 64, 32);
    EXPECT_EQ(image.rawData16().data(), raw);
    EXPECT_EQ(image.data8().data(), converted);

    image.reshape(DataFormat::RGBA8, RawFormat::Word, 1, 1, 32, 32);
    EXPECT_EQ(image.rawData16().data(), raw);
    EXPECT_EQ(image.data8().data(), converted);
    EXPECT_EQ(image.data8().size(), 4u * 32 * 32);
}

TEST(ImageTest, ReshapeZeroesNewElementsAndSwitchesElementWidth) {
    Image image = shaped(DataFormat::Mono16, RawFormat::Word, 2, 1);
    auto* raw = static_cast<uint16_t*>(image.rawBuffer());
    raw[0] = 7;
    raw[1] = 9;
    image.reshape(DataFormat::Mono16, RawFormat::Word, 1, 1, 4, 1);
    EXPECT_EQ(image.rawData16(), (std::vector<uint16_t>{7, 9, 0, 0}));

    image.reshape(DataFormat::Mono8, RawFormat::Byte, 1, 1, 4, 1);
    EXPECT_EQ(image.rawData8(), (std::vector<uint8_t>(4, 0)));
    EXPECT_EQ(kindOf(image.convertedData()), Kind::Empty);

    image.reshape(DataFormat::BGR16, RawFormat::Word, 1, 1, 4, 1);
    EXPECT_EQ(kindOf(image.convertedData()), Kind::U16);
    image.reshape(DataFormat::CompressedMono8, RawFormat::Word, 1, 1, 4, 1);
    EXPECT_EQ(kindOf(image.convertedData()), Kind::U8);
    EXPECT_EQ(kindOf(image.rawData()), Kind::Empty);
}

TEST(ImageTest, PixelAccessorsPickTheBufferOfTheFormat) {
    {
        Image mono8 = shaped(DataFormat::Mono8, RawFormat::Byte);
        EXPECT_EQ(&mono8.data8(), &std::get<qor::PixelBytes>(mono8.rawData()));
        EXPECT_EQ(&mono8.rawData8(), &std::get<qor::PixelBytes>(mono8.rawData()));
    }
    {
        Image mono8 = shaped(DataFormat::Mono8, RawFormat::Word);
        EXPECT_EQ(&mono8.data8(), &std::get<qor::PixelBytes>(mono8.convertedData()));
    }
    {
        Image mono16 = shaped(DataFormat::Mono16, RawFormat::Word);
        EXPECT_EQ(&mono16.data16(), &std::get<qor::PixelWords>(mono16.rawData()));
    }
    {
        Image bgr16 = shaped(DataFormat::BGR16, RawFormat::Word);
        EXPECT_EQ(&bgr16.data16(), &std::get<qor::PixelWords>(bgr16.convertedData()));
        EXPECT_EQ(&bgr16.rawData16(), &std::get<qor::PixelWords>(bgr16.rawData()));
    }
    {
        // The compressed pixels are served as raw 8-bit data although the raw data is empty.
        Image compressed = shaped(DataFormat::CompressedMono8, RawFormat::Word);
        EXPECT_EQ(&compressed.rawData8(), &std::get<qor::PixelBytes>(compressed.convertedData()));
        EXPECT_EQ(compressed.rawData8().size(), 10u);
    }
}

struct AccessorFailure {
    const char* name;
    DataFormat format;
    RawFormat raw;
    void (*call)(const Image&);
    const char* message;
};

class ImageAccessorFailureTest : public ::testing::TestWithParam<AccessorFailure> {};

TEST_P(ImageAccessorFailureTest, Throws) {
    const AccessorFailure& c = GetParam();
    const Image image = shaped(c.format, c.raw);
    expectFailure([&] { c.call(image); }, c.message);
}

void callData8(const Image& i) { (void)i.data8(); }
void callData16(const Image& i) { (void)i.data16(); }
void callRawData8(const Image& i) { (void)i.rawData8(); }
void callRawData16(const Image& i) { (void)i.rawData16(); }
void callMetaData(const Image& i) { (void)i.metaData(); }
void callTimestamp(const Image& i) { (void)i.timestamp(); }

INSTANTIATE_TEST_SUITE_P(
    Accessors, ImageAccessorFailureTest,
    ::testing::Values(
        AccessorFailure{"Data8OfMono16", DataFormat::Mono16, RawFormat::Word, callData8,
                        "Image data does not contain 8bit data"},
        AccessorFailure{"Data8OfBgr16", DataFormat::BGR16, RawFormat::Word, callData8,
                        "Image data does not contain 8bit data"},
        AccessorFailure{"Data16OfBgr8", DataFormat::BGR8, RawFormat::Word, callData16,
                        "Image data does not contain 16bit data"},
        AccessorFailure{"Data16OfMono8", DataFormat::Mono8, RawFormat::Word, callData16,
                        "Image data does not contain 16bit data"},
        AccessorFailure{"RawData16OfByteCamera", DataFormat::Mono8, RawFormat::Byte, callRawData16,
                        "Image raw data does not contain 16bit data"},
        AccessorFailure{"RawData16OfCompressed", DataFormat::CompressedMono8, RawFormat::Word, callRawData16,
                        "Image raw data does not contain 16bit data"},
        AccessorFailure{"RawData8OfWordCamera", DataFormat::BGR8, RawFormat::Word, callRawData8,
                        "Image raw data does not contain 8bit data"},
        AccessorFailure{"MetaDataAbsent", DataFormat::Mono16, RawFormat::Word, callMetaData,
                        "qor::Image does not hold meta data"},
        AccessorFailure{"TimestampAbsent", DataFormat::Mono16, RawFormat::Word, callTimestamp,
                        "qor::Image does not hold time stamp data"}),
    [](const ::testing::TestParamInfo<AccessorFailure>& info) { return std::string(info.param.name); });

TEST(ImageTest, RetrievalBuffers) {
    struct Case {
        DataFormat format;
        RawFormat raw;
        bool output_is_raw;
        size_t output_bytes;
    };
    const Case cases[] = {{DataFormat::Mono8, RawFormat::Byte, true, 10},
                          {DataFormat::Mono8, RawFormat::Word, false, 16},
                          {DataFormat::Mono16, RawFormat::Word, true, 20},
                          {DataFormat::BGR8, RawFormat::Word, false, 48},
                          {DataFormat::BGRA8, RawFormat::Byte, false, 40},
                          {DataFormat::BGR16, RawFormat::Word, false, 96},
                          {DataFormat::CompressedMono8, RawFormat::Word, false, 10}};
    for (const Case& c : cases) {
        Image image = shaped(c.format, c.raw);
        void* raw_data = const_cast<void*>(dataOf(image.rawData()));
        const void* expected_output = c.output_is_raw ? raw_data : dataOf(image.convertedData());
        EXPECT_EQ(image.outputBuffer(), expected_output) << static_cast<int>(c.format);
        EXPECT_EQ(image.outputBufferBytes(), c.output_bytes) << static_cast<int>(c.format);
        if (c.format == DataFormat::CompressedMono8) {
            EXPECT_EQ(image.rawBuffer(), image.converted8().data());
        } else {
            EXPECT_EQ(image.rawBuffer(), raw_data);
        }
    }
    Image bgr8 = shaped(DataFormat::BGR8, RawFormat::Word);
    expectFailure([&] { bgr8.converted16(); }, "Image data does not contain 16bit data");
    Image rgb16 = shaped(DataFormat::RGB16, RawFormat::Word);
    expectFailure([&] { rgb16.converted8(); }, "Image data does not contain 8bit data");
}

TEST(ImageTest, MetadataAndTimestampBlocks) {
    Image image;
    EXPECT_EQ(image.metaDataPtr(), nullptr);
    EXPECT_EQ(image.timestampPtr(), nullptr);

    QOR_Metadata metadata{};
    metadata.wSize = sizeof(QOR_Metadata);
    metadata.dwCAMERA_SERIAL_NO = 4711;
    image.setMetaData(metadata);
    QOR_Timestamp timestamp{};
    timestamp.wSize = sizeof(QOR_Timestamp);
    timestamp.dwImgCounter = 12;
    image.setTimestamp(timestamp);

    ASSERT_NE(image.metaDataPtr(), nullptr);
    image.metaDataPtr()->dwEVENT_NUMBER = 3;  // the recorder writes through this pointer
    // Packed fields are copied out before comparing; the test macros take references.
    EXPECT_EQ(uint32_t{image.metaData().dwCAMERA_SERIAL_NO}, 4711u);
    EXPECT_EQ(uint32_t{image.metaData().dwEVENT_NUMBER}, 3u);
    EXPECT_EQ(uint32_t{image.timestamp().dwImgCounter}, 12u);

    const Image copy = image;  // a value: the copy keeps its own blocks
    image.clearMetaData();
    image.clearTimestamp();
    EXPECT_FALSE(image.hasMetaData());
    EXPECT_EQ(image.timestampPtr(), nullptr);
    EXPECT_TRUE(copy.hasMetaData());
    EXPECT_EQ(uint32_t{copy.timestamp().dwImgCounter}, 12u);
}

}  // namespace
}  // namespace qor

namespace {

TEST(ImageRecycleTest, LooksNewButKeepsTheMemoryOfItsBuffers) {
    qor::Image image;
    image.reshape(qor::DataFormat::Mono8, qor::RawFormat::Word, 1, 1, 64, 32);
    QOR_Metadata metadata{};
    metadata.wSize = sizeof metadata;
    image.setMetaData(metadata);
    image.setRecorderImageNumber(7);
    const uint16_t* raw_before = image.rawData16().data();
    image.recycle();
    EXPECT_EQ(image.crop(), (qor::Roi{-1, -1, -1, -1}));
    EXPECT_EQ(image.recorderImageNumber(), 0u);
    EXPECT_FALSE(image.hasMetaData());
    EXPECT_FALSE(image.fits(qor::DataFormat::Mono8, qor::RawFormat::Word, 1, 1, 64, 32));
    image.reshape(qor::DataFormat::Mono8, qor::RawFormat::Word, 1, 1, 64, 32);
    EXPECT_EQ(image.rawData16().data(), raw_before);  // no new allocation
    EXPECT_EQ(image.rawData16().size(), 64u * 32u);
    EXPECT_TRUE(image.fits(qor::DataFormat::Mono8, qor::RawFormat::Word, 1, 1, 64, 32));
}

}  // namespace
