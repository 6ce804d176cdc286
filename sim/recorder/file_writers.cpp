#include "sim/recorder/file_writers.h"

#include <sys/stat.h>
#include <unistd.h>

#include "sim/common/errors.h"
#include "sim/recorder/file_writer_support.h"

namespace qorsim {

namespace {

enum FileType : uint16_t { kTif = 1, kMultiTif = 2, kQorRaw = 3, kB16 = 4, kDicom = 5, kMultiDicom = 6 };

void checkFolder(const std::filesystem::path& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        throw FileWriteError(err::kRecFolderNotWritable, "folder does not exist: " + folder.string());
    }
    // access() also reports a read-only mount, which the mode bits do not show.
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        throw FileWriteError(err::kRecFolderNotWritable, "folder is not writable: " + folder.string());
    }
}

uint64_t roundToBlock(uint64_t bytes) {
    constexpr uint64_t kBlock = 4096;
    return (bytes + kBlock - 1) / kBlock * kBlock;
}

}  // namespace

std::unique_ptr<ImageFileWriter> makeImageFileWriter(uint16_t type, const std::filesystem::path& file,
                                                     uint32_t expected_images) {
    if (type < kTif || type > kMultiDicom) {
        throw FileWriteError(err::kRecInvalidMode, "no file format of type " + std::to_string(type));
    }
    if (file.empty()) {
        throw FileWriteError(err::kRecInvalidArgument, "empty file path");
    }
    const files::FileTarget target = files::fileTarget(file);
    checkFolder(target.folder);
    switch (type) {
    case kTif: return files::makeTiffWriter(target, false, expected_images);
    case kMultiTif: return files::makeTiffWriter(target, true, expected_images);
    case kQorRaw: return files::makeQorRawWriter(target);
    case kB16: return files::makeB16Writer(target);
    case kDicom: return files::makeDicomWriter(target, false);
    default: return files::makeDicomWriter(target, true);
    }
}

uint64_t imageFileBytes(uint16_t type, uint32_t width, uint32_t height, uint16_t bits_per_pixel) {
    const uint64_t pixels = files::pixelBytes(width, height, bits_per_pixel);
    // Per-image files also lose the rest of their last file-system block.
    switch (type) {
    case kTif: return roundToBlock(pixels + 1024);  // header, directory, description
    case kMultiTif: return pixels + 1024;           // directory and description of a page
    case kQorRaw: return pixels + files::kImageBlockSize;
    case kB16: return roundToBlock(pixels + 256);
    case kDicom: return roundToBlock(pixels + 2048);  // meta header and attributes
    // The staged frames and the finished file exist side by side while finish() writes the file.
    case kMultiDicom: return 2 * pixels + files::kImageBlockSize + 32;
    default: return 0;
    }
}

}  // namespace qorsim
