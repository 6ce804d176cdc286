// Image files of the recorder's file modes: names, contents read back by the writer and by the
// standard tools, and what survives a full disk.
#include "sim/recorder/file_writers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <tuple>
#include <vector>

#include "sim/common/errors.h"

namespace qorsim {
namespace {

namespace fs = std::filesystem;

enum Type : uint16_t { kTif = 1, kMultiTif = 2, kQorRaw = 3, kB16 = 4, kDicom = 5, kMultiDicom = 6 };
const std::vector<uint16_t> kAllTypes = {kTif, kMultiTif, kQorRaw, kB16, kDicom, kMultiDicom};

std::string typeName(const testing::TestParamInfo<uint16_t>& param) {
    static const std::map<uint16_t, std::string> names = {{kTif, "Tif"},     {kMultiTif, "MultiTif"},
                                                          {kQorRaw, "QorRaw"}, {kB16, "B16"},
                                                          {kDicom, "Dicom"}, {kMultiDicom, "MultiDicom"}};
    return names.at(param.param);
}

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/file_writers_XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Every field set, so that a field the format drops shows up in the comparison.
FrameInfo frameInfo(uint32_t number, uint32_t width, uint32_t height, uint16_t bits) {
    FrameInfo info;
    info.width = width;
    info.height = height;
    info.bits_per_pixel = bits;
    info.bit_resolution = bits == 8 ? 8 : 14;
    info.image_number = number;
    info.exposure_ns = 10'000'000 + number * 1'250;
    info.delay_ns = 500 + number;
    info.serial = 12345;
    info.camera_name = "qor.edge 4.2";
    info.binning_horz = 2;
    info.binning_vert = 1;
    info.timestamp = {sizeof(QOR_Timestamp), number, 2024, 5, 6, 7, 8, 9, 100'000 * number + 17};
    info.has_metadata = number % 2 == 1;
    if (info.has_metadata) {
        info.metadata.wSize = sizeof(QOR_Metadata);
        info.metadata.wVersion = 3;
        info.metadata.dwCAMERA_SERIAL_NO = 12345;
        info.metadata.sSENSOR_TEMPERATURE = -5;
        info.metadata.bREADOUT_MODE = static_cast<uint8_t>(number);
    }
    return info;
}

// A ramp that differs per image and uses the high byte of 16-bit pixels.
std::vector<uint8_t> rampPixels(const FrameInfo& info) {
    const size_t count = size_t{info.width} * info.height;
    std::vector<uint8_t> bytes(count * (info.bits_per_pixel / 8));
    for (size_t i = 0; i < count; ++i) {
        const uint32_t value = static_cast<uint32_t>(i * 37 + info.image_number * 4099);
        if (info.bits_per_pixel == 8) {
            bytes[i] = static_cast<uint8_t>(value);
        } else {
            const auto v = static_cast<uint16_t>(value);
            std::memcpy(&bytes[2 * i], &v, 2);
        }
    }
    return bytes;
}

void expectSameInfo(const FrameInfo& expected, const FrameInfo& actual) {
    EXPECT_EQ(expected.width, actual.width);
    EXPECT_EQ(expected.height, actual.height);
    EXPECT_EQ(expected.bits_per_pixel, actual.bits_per_pixel);
    EXPECT_EQ(expected.bit_resolution, actual.bit_resolution);
    EXPECT_EQ(expected.image_number, actual.image_number);
    EXPECT_EQ(expected.exposure_ns, actual.exposure_ns);
    EXPECT_EQ(expected.delay_ns, actual.delay_ns);
    EXPECT_EQ(expected.serial, actual.serial);
    EXPECT_EQ(expected.camera_name, actual.camera_name);
    EXPECT_EQ(expected.binning_horz, actual.binning_horz);
    EXPECT_EQ(expected.binning_vert, actual.binning_vert);
    EXPECT_EQ(expected.has_metadata, actual.has_metadata);
    EXPECT_EQ(0, std::memcmp(&expected.metadata, &actual.metadata, sizeof(QOR_Metadata)));
    EXPECT_EQ(0, std::memcmp(&expected.timestamp, &actual.timestamp, sizeof(QOR_Timestamp)));
}

// Reads image `index` back and compares it with what frameInfo/rampPixels gave for it.
void expectImage(const ImageFileWriter& writer, uint32_t index, const FrameInfo& written) {
    SCOPED_TRACE("image index " + std::to_string(index));
    FrameInfo info;
    std::vector<uint8_t> pixels;
    ASSERT_TRUE(writer.read(index, info, pixels));
    expectSameInfo(written, info);
    EXPECT_TRUE(pixels == rampPixels(written));
}

int32_t writeStatus(ImageFileWriter& writer, const FrameInfo& info) {
    const std::vector<uint8_t> pixels = rampPixels(info);
    try {
        writer.write(info, pixels.data());
        return 0;
    } catch (const FileWriteError& e) {
        return e.status();
    }
}

int32_t makeStatus(uint16_t type, const fs::path& file) {
    try {
        makeImageFileWriter(type, file);
        return 0;
    } catch (const FileWriteError& e) {
        return e.status();
    }
}

// Runs a shell command; returns its exit status and standard output plus error.
int run(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    char buffer[4096];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
        output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

size_t occurrences(const std::string& text, const std::string& word) {
    size_t count = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        ++count;
    }
    return count;
}

std::vector<uint8_t> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

uint64_t le64(const std::vector<uint8_t>& b, size_t at) {
    return le32(b, at) | uint64_t{le32(b, at + 4)} << 32;
}

std::vector<fs::path> expectedFiles(uint16_t type, const fs::path& dir, uint32_t count, bool finished) {
    auto numbered = [&](const char* ext) {
        std::vector<fs::path> files;
        for (uint32_t i = 1; i <= count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "image_%06u%s", i, ext);
            files.push_back(dir / name);
        }
        return files;
    };
    switch (type) {
    case kTif: return numbered(".tif");
    case kMultiTif: return {dir / "image.tif"};
    case kQorRaw: return {dir / "image.qorraw"};
    case kB16: return numbered(".b16");
    case kDicom: return numbered(".dcm");
    default: return {dir / (finished ? "image.dcm" : "image.dcm.frames")};
    }
}

std::vector<fs::path> filesIn(const fs::path& dir) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

class FileWritersTest : public testing::TestWithParam<uint16_t> {
protected:
    TempDir dir_;
};

TEST_P(FileWritersTest, ThreeImagesReadBackBeforeAndAfterFinish) {
    auto writer = makeImageFileWriter(GetParam(), dir_.path() / "image.tif", 3);
    for (uint32_t n = 1; n <= 3; ++n) {
        ASSERT_EQ(0, writeStatus(*writer, frameInfo(n, 64, 48, 16)));
        EXPECT_EQ(n, writer->count());
        expectImage(*writer, n - 1, frameInfo(n, 64, 48, 16));
    }
    for (uint32_t i = 0; i < 3; ++i) {
        expectImage(*writer, i, frameInfo(i + 1, 64, 48, 16));
    }
    writer->finish();
    for (uint32_t i = 0; i < 3; ++i) {
        expectImage(*writer, i, frameInfo(i + 1, 64, 48, 16));
    }
    FrameInfo info;
    std::vector<uint8_t> pixels;
    EXPECT_FALSE(writer->read(3, info, pixels));
}

TEST_P(FileWritersTest, EightBitImagesOfOddSizeReadBack) {
    auto writer = makeImageFileWriter(GetParam(), dir_.path() / "image", 3);
    for (uint32_t n = 1; n <= 3; ++n) {
        ASSERT_EQ(0, writeStatus(*writer, frameInfo(n, 33, 21, 8)));
    }
    writer->finish();
    for (uint32_t i = 0; i < 3; ++i) {
        expectImage(*writer, i, frameInfo(i + 1, 33, 21, 8));
    }
}

TEST_P(FileWritersTest, FilesAreNamedFromThePathWithoutExtension) {
    for (const char* name : {"image", "image.tif", "image.raw"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        auto writer = makeImageFileWriter(GetParam(), dir.path() / name, 3);
        EXPECT_TRUE(writer->files().empty());
        for (uint32_t n = 1; n <= 3; ++n) {
            ASSERT_EQ(0, writeStatus(*writer, frameInfo(n, 16, 8, 16)));
        }
        EXPECT_EQ(expectedFiles(GetParam(), dir.path(), 3, false), writer->files());
        writer->finish();
        const std::vector<fs::path> expected = expectedFiles(GetParam(), dir.path(), 3, true);
        EXPECT_EQ(expected, writer->files());
        EXPECT_EQ(expected, filesIn(dir.path()));
    }
}

TEST_P(FileWritersTest, MissingOrUnwritableFolderFails) {
    const fs::path missing = dir_.path() / "missing" / "image";
    EXPECT_EQ(err::kRecFolderNotWritable, makeStatus(GetParam(), missing));
    std::ofstream(dir_.path() / "plain").put('x');
    EXPECT_EQ(err::kRecFolderNotWritable, makeStatus(GetParam(), dir_.path() / "plain" / "image"));
}

TEST_P(FileWritersTest, EstimatedBytesCoverTheFilesWritten) {
    for (const auto& [width, height, bits] : {std::tuple{64u, 48u, uint16_t{16}}, std::tuple{33u, 21u, uint16_t{8}}}) {
        TempDir dir;
        auto writer = makeImageFileWriter(GetParam(), dir.path() / "image", 3);
        for (uint32_t n = 1; n <= 3; ++n) {
            ASSERT_EQ(0, writeStatus(*writer, frameInfo(n, width, height, bits)));
        }
        writer->finish();
        uint64_t used = 0;
        for (const fs::path& file : writer->files()) {
            used += fs::file_size(file);
        }
        const uint64_t estimate = imageFileBytes(GetParam(), width, height, bits);
        EXPECT_GE(estimate, uint64_t{width} * height * bits / 8);
        // A container's own header is not part of the per-image estimate.
        EXPECT_LE(used, 3 * estimate + 1024) << width << "x" << height << "x" << bits;
    }
}

INSTANTIATE_TEST_SUITE_P(AllTypes, FileWritersTest, testing::ValuesIn(kAllTypes), typeName);

class ContainerFileTest : public FileWritersTest {};

TEST_P(ContainerFileTest, ImageOfAnotherSizeIsRejected) {
    auto writer = makeImageFileWriter(GetParam(), dir_.path() / "image", 3);
    ASSERT_EQ(0, writeStatus(*writer, frameInfo(1, 64, 48, 16)));
    EXPECT_EQ(err::kRecInvalidArgument, writeStatus(*writer, frameInfo(2, 48, 64, 16)));
    EXPECT_EQ(err::kRecInvalidArgument, writeStatus(*writer, frameInfo(2, 64, 48, 8)));
    EXPECT_EQ(1u, writer->count());
    writer->finish();
    expectImage(*writer, 0, frameInfo(1, 64, 48, 16));
}

INSTANTIATE_TEST_SUITE_P(FixedGeometry, ContainerFileTest, testing::Values(kQorRaw, kMultiDicom), typeName);

TEST(FileWriterTypesTest, TypesOutsideTheFileModesFailInvalidMode) {
    TempDir dir;
    for (uint16_t type : {0, 7, 12}) {
        EXPECT_EQ(err::kRecInvalidMode, makeStatus(type, dir.path() / "image")) << type;
    }
    EXPECT_EQ(0u, imageFileBytes(7, 64, 48, 16));
}

TEST(TiffFileTest, TiffinfoAcceptsEveryFile) {
    TempDir dir;
    auto writer = makeImageFileWriter(kTif, dir.path() / "image.tif", 3);
    for (uint32_t n = 1; n <= 3; ++n) {
        ASSERT_EQ(0, writeStatus(*writer, frameInfo(n, 64, 48, 16)));
    }
    for (const fs::path& file : writer->files()) {
        std::string out;
        EXPECT_EQ(0, run("tiffinfo " + file.string(), out)) << out;
        EXPECT_EQ(1u, occurrences(out, "TIFF Directory at offset")) << out;
        EXPECT_NE(std::string::npos, out.find("Image Width: 64 Image Length: 48")) << out;
        EXPECT_NE(std::string::npos, out.find("Bits/Sample: 16")) << out;
        EXPECT_EQ(std::string::npos, out.find("rror")) << out;
    }
}

TEST(TiffFileTest, MultiTifIsReadableWithAllPagesAfterEveryImage) {
    TempDir dir;
    auto writer = makeImageFileWriter(kMultiTif, dir.path() / "image.tif", 3);
    for (uint32_t n = 1; n <= 3; ++n) {
        ASSERT_EQ(0, writeStatus(*writer, frameInfo(n, 64, 48, 16)));
        std::string out;
        EXPECT_EQ(0, run("tiffinfo " + (dir.path() / "image.tif").string(), out)) << out;
        EXPECT_EQ(n, occurrences(out, "TIFF Directory at offset")) << out;
        EXPECT_EQ(n, occurrences(out, "Image Width: 64 Image Length: 48")) << out;
        EXPECT_EQ(std::string::npos, out.find("rror")) << out;
    }
}

// libtiff on its own, without the writer's reader, gets the exact pixels and the tags.
TEST(TiffFileTest, LibtiffReadsExactPixelsAndTags) {
    TempDir dir;
    for (uint16_t type : {kTif, kMultiTif}) {
        SCOPED_TRACE(type);
        auto writer = makeImageFileWriter(type, dir.path() / ("t" + std::to_string(type)), 3);
        for (uint32_t n = 1; n <= 3; ++n) {
            ASSERT_EQ(0, writeStatus(*writer, frameInfo(n, 64, 48, 16)));
        }
        writer->finish();
        TIFF* tif = TIFFOpen(writer->files()[type == kTif ? 1 : 0].c_str(), "r");
        ASSERT_NE(nullptr, tif);
        ASSERT_TRUE(type == kTif || TIFFSetDirectory(tif, 1));
        const FrameInfo info = frameInfo(2, 64, 48, 16);
        const std::vector<uint8_t> expected = rampPixels(info);
        std::vector<uint8_t> row(TIFFScanlineSize(tif));
        ASSERT_EQ(128u, row.size());
        for (uint32_t y = 0; y < 48; ++y) {
            ASSERT_EQ(1, TIFFReadScanline(tif, row.data(), y));
            ASSERT_EQ(0, std::memcmp(row.data(), &expected[y * 128], 128)) << "row " << y;
        }
        char* text = nullptr;
        ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &text));
        EXPECT_NE(nullptr, std::strstr(text, "image_number=2\n"));
        EXPECT_NE(nullptr, std::strstr(text, "exposure_ns=10002500\n"));
        EXPECT_NE(nullptr, std::strstr(text, "serial=12345\n"));
        ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_DATETIME, &text));
        EXPECT_STREQ("2024:05:06 07:08:09", text);
        EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_SOFTWARE, &text));
        TIFFClose(tif);
    }
}

TEST(TiffFileTest, MultiTifIsBigTiffWhenTheRecordingCouldPassFourGiB) {
    const FrameInfo large = frameInfo(1, 2048, 2048, 16);  // 8 MiB: 600 of them exceed 4 GiB
    for (const auto& [expected_images, info, big] :
         {std::tuple{3u, frameInfo(1, 64, 48, 16), false}, std::tuple{0u, frameInfo(1, 64, 48, 16), true},
          std::tuple{500u, large, false}, std::tuple{600u, large, true}}) {
        TempDir dir;
        auto writer = makeImageFileWriter(kMultiTif, dir.path() / "image", expected_images);
        ASSERT_EQ(0, writeStatus(*writer, info));
        writer->finish();
        const std::vector<uint8_t> bytes = fileBytes(dir.path() / "image.tif");
        ASSERT_GE(bytes.size(), 4u);
        EXPECT_EQ(big ? 43 : 42, bytes[2]) << expected_images << " images of " << info.width;
        std::string out;
        EXPECT_EQ(0, run("tiffinfo " + (dir.path() / "image.tif").string(), out)) << out;
        expectImage(*writer, 0, info);
    }
}

TEST(DicomFileTest, DcmdumpAcceptsEachFileWithItsAttributes) {
    TempDir dir;
    auto writer = makeImageFileWriter(kDicom, dir.path() / "image.dcm", 3);
    for (uint32_t n = 1; n <= 3; ++n) {
        ASSERT_EQ(0, writeStatus(*writer, frameInfo(n, 64, 48, 16)));
    }
    std::string sop_instances;
    for (uint32_t n = 1; n <= 3; ++n) {
        std::string out;
        ASSERT_EQ(0, run("dcmdump " + writer->files()[n - 1].string(), out)) << out;
        EXPECT_NE(std::string::npos, out.find("(0028,0010) US 48")) << out;
        EXPECT_NE(std::string::npos, out.find("(0028,0011) US 64")) << out;
        EXPECT_NE(std::string::npos, out.find("(0028,0100) US 16")) << out;
        EXPECT_NE(std::string::npos, out.find("(0028,0101) US 14")) << out;
        EXPECT_NE(std::string::npos, out.find("(0028,0102) US 13")) << out;
        EXPECT_NE(std::string::npos, out.find("(0028,0004) CS [MONOCHROME2]")) << out;
        EXPECT_NE(std::string::npos, out.find("(0020,0013) IS [" + std::to_string(n) + "]")) << out;
        EXPECT_NE(std::string::npos, out.find("(0018,1000) LO [12345]")) << out;
        EXPECT_NE(std::string::npos, out.find("(0018,1150) IS [10]")) << out;
        EXPECT_NE(std::string::npos, out.find("(0008,002a) DT [20240506070809.")) << out;
        EXPECT_EQ(std::string::npos, out.find("(0028,0008)")) << out;
        const size_t uid = out.find("(0008,0018) UI [");
        ASSERT_NE(std::string::npos, uid);
        const std::string value = out.substr(uid, out.find(']', uid) - uid);
        EXPECT_EQ(std::string::npos, sop_instances.find(value)) << "SOP instance UID reused";
        sop_instances += value;
    }
}

TEST(DicomFileTest, MultiDicomStagesFramesUntilFinishWritesTheFile) {
    TempDir dir;
    auto writer = makeImageFileWriter(kMultiDicom, dir.path() / "image.dcm", 3);
    for (uint32_t n = 1; n <= 3; ++n) {
        ASSERT_EQ(0, writeStatus(*writer, frameInfo(n, 64, 48, 16)));
    }
    EXPECT_EQ(3u * 64 * 48 * 2, fs::file_size(dir.path() / "image.dcm.frames"));
    EXPECT_FALSE(fs::exists(dir.path() / "image.dcm"));
    expectImage(*writer, 2, frameInfo(3, 64, 48, 16));
    writer->finish();
    EXPECT_FALSE(fs::exists(dir.path() / "image.dcm.frames"));
    std::string out;
    ASSERT_EQ(0, run("dcmdump " + (dir.path() / "image.dcm").string(), out)) << out;
    EXPECT_NE(std::string::npos, out.find("(0028,0008) IS [3]")) << out;
    EXPECT_NE(std::string::npos, out.find("(0018,1065) DS [0\\100\\100]")) << out;
    EXPECT_NE(std::string::npos, out.find("(0028,0009) AT (0018,1065)")) << out;
    EXPECT_NE(std::string::npos, out.find("(7fe0,0010) OW")) << out;
    EXPECT_NE(std::string::npos, out.find("# 18432,")) << out;
    expectImage(*writer, 2, frameInfo(3, 64, 48, 16));
}

// The documented layout, read byte by byte, so that other programs can rely on it.
TEST(RawFileTest, QorRawLayout) {
    TempDir dir;
    auto writer = makeImageFileWriter(kQorRaw, dir.path() / "image", 3);
    const uint64_t pixels = 64 * 48 * 2;
    for (uint32_t n = 1; n <= 3; ++n) {
        ASSERT_EQ(0, writeStatus(*writer, frameInfo(n, 64, 48, 16)));
        const std::vector<uint8_t> b = fileBytes(dir.path() / "image.qorraw");
        ASSERT_EQ(128 + n * (128 + pixels), b.size());
        EXPECT_EQ(0, std::memcmp(b.data(), "QORRAW1\0", 8));
        EXPECT_EQ(128u, le32(b, 8));
        EXPECT_EQ(64u, le32(b, 12));
        EXPECT_EQ(48u, le32(b, 16));
        EXPECT_EQ(16u, b[20] | b[21] << 8);
        EXPECT_EQ(14u, b[22] | b[23] << 8);
        EXPECT_EQ(12345u, le32(b, 24));
        EXPECT_EQ(0, std::memcmp(&b[32], "qor.edge 4.2\0", 13));
        EXPECT_EQ(n, le32(b, 96));
        EXPECT_EQ(128u, le32(b, 100));
        EXPECT_EQ(128 + pixels, le64(b, 104));
        const size_t record = 128 + (n - 1) * (128 + pixels);
        EXPECT_EQ(0, std::memcmp(&b[record], "QIMG", 4));
        EXPECT_EQ(n, le32(b, record + 4));
        EXPECT_EQ(10'000'000u + n * 1'250, le64(b, record + 8));
        EXPECT_EQ(n % 2, b[record + 46]);
        const std::vector<uint8_t> expected = rampPixels(frameInfo(n, 64, 48, 16));
        EXPECT_EQ(0, std::memcmp(&b[record + 128], expected.data(), pixels));
    }
}

TEST(RawFileTest, B16Layout) {
    TempDir dir;
    auto writer = makeImageFileWriter(kB16, dir.path() / "image", 3);
    ASSERT_EQ(0, writeStatus(*writer, frameInfo(1, 64, 48, 16)));
    ASSERT_EQ(0, writeStatus(*writer, frameInfo(2, 33, 21, 8)));
    const std::vector<uint8_t> b = fileBytes(dir.path() / "image_000002.b16");
    ASSERT_EQ(256u + 33 * 21, b.size());
    EXPECT_EQ(0, std::memcmp(b.data(), "QB16", 4));
    EXPECT_EQ(1u, le32(b, 4));
    EXPECT_EQ(256u, le32(b, 8));
    EXPECT_EQ(33u, le32(b, 12));
    EXPECT_EQ(21u, le32(b, 16));
    EXPECT_EQ(8u, b[20] | b[21] << 8);
    EXPECT_EQ(0, std::memcmp(&b[128], "QIMG", 4));
    EXPECT_EQ(2u, le32(b, 132));
    EXPECT_EQ(10'002'500u, le64(b, 136));
    EXPECT_EQ(2024u, b[158] | b[159] << 8);  // the time stamp's year
    const std::vector<uint8_t> expected = rampPixels(frameInfo(2, 33, 21, 8));
    EXPECT_EQ(0, std::memcmp(&b[256], expected.data(), expected.size()));
}

// Gives this process its own mount table, so that the tests can mount small or read-only file
// systems; needs to run before any thread starts, which this test program never does.
bool privateMounts() {
    static const bool permitted = ::unshare(CLONE_NEWNS) == 0 &&
                                  ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return permitted;
}

class Tmpfs {
public:
    Tmpfs(const char* options, unsigned long flags = 0) {
        mounted_ = privateMounts() && ::mount("tmpfs", dir_.path().c_str(), "tmpfs", flags, options) == 0;
    }
    ~Tmpfs() {
        if (mounted_) {
            ::umount2(dir_.path().c_str(), MNT_DETACH);
        }
    }
    bool mounted() const { return mounted_; }
    const fs::path& path() const { return dir_.path(); }

private:
    TempDir dir_;
    bool mounted_ = false;
};

TEST(ReadOnlyFolderTest, FailsFolderNotWritable) {
    Tmpfs tmpfs("size=64k", MS_RDONLY);
    if (!tmpfs.mounted()) {
        GTEST_SKIP() << "mounting a file system is not permitted here";
    }
    for (uint16_t type : kAllTypes) {
        EXPECT_EQ(err::kRecFolderNotWritable, makeStatus(type, tmpfs.path() / "image")) << type;
    }
}

class DiskFullTest : public testing::TestWithParam<uint16_t> {};

// Writes until the 1 MiB disk is full; the images before stay complete, and writing resumes once
// space is freed.
TEST_P(DiskFullTest, FullDiskFailsDiskFullAndKeepsEveryCompleteImage) {
    Tmpfs tmpfs("size=1m");
    if (!tmpfs.mounted()) {
        GTEST_SKIP() << "mounting a file system is not permitted here";
    }
    const fs::path ballast = tmpfs.path() / "ballast";
    std::ofstream(ballast, std::ios::binary) << std::string(200 * 1024, 'b');
    auto writer = makeImageFileWriter(GetParam(), tmpfs.path() / "image", 1000);
    uint32_t written = 0;
    int32_t status = 0;
    while (written < 1000 && (status = writeStatus(*writer, frameInfo(written + 1, 100, 100, 16))) == 0) {
        ++written;
    }
    ASSERT_EQ(err::kRecDiskFull, status);
    ASSERT_GT(written, 3u);
    EXPECT_EQ(written, writer->count());
    for (uint32_t i = 0; i < written; ++i) {
        expectImage(*writer, i, frameInfo(i + 1, 100, 100, 16));
    }
    auto expect_pages = [&](uint32_t pages) {
        if (GetParam() == kMultiTif) {
            std::string out;
            EXPECT_EQ(0, run("tiffinfo " + (tmpfs.path() / "image.tif").string(), out)) << out;
            EXPECT_EQ(pages, occurrences(out, "TIFF Directory at offset")) << out;
            EXPECT_EQ(std::string::npos, out.find("rror")) << out;
        }
    };
    expect_pages(written);
    std::vector<fs::path> on_disk = writer->files();
    on_disk.push_back(ballast);
    std::sort(on_disk.begin(), on_disk.end());
    EXPECT_EQ(on_disk, filesIn(tmpfs.path())) << "a half-written file was left behind";
    if (GetParam() == kQorRaw) {
        const std::vector<uint8_t> b = fileBytes(tmpfs.path() / "image.qorraw");
        EXPECT_EQ(written, le32(b, 96));
        EXPECT_EQ(128 + written * (128 + 20000u), b.size());
    }

    fs::remove(ballast);
    ASSERT_EQ(0, writeStatus(*writer, frameInfo(written + 1, 100, 100, 16)));
    ++written;
    expect_pages(written);
    // A multi-frame DICOM does not fit next to its staged frames; they stay and remain readable.
    writer->finish();
    for (uint32_t i = 0; i < written; ++i) {
        expectImage(*writer, i, frameInfo(i + 1, 100, 100, 16));
    }
    EXPECT_EQ(writer->files(), filesIn(tmpfs.path()));
}

INSTANTIATE_TEST_SUITE_P(AllTypes, DiskFullTest, testing::ValuesIn(kAllTypes), typeName);

}  // namespace
}  // namespace qorsim
