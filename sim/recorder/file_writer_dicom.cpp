// The DICOM formats, written with DCMTK as Secondary Capture: one file per image (dicom) and one
// multi-frame file (multidicom). A multi-frame file cannot be appended to cheaply, so its frames are
// staged raw in "<stem>.dcm.frames" and the file is written once, in finish().
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcistrmf.h>
#include <dcmtk/dcmdata/dcostrma.h>
#include <dcmtk/dcmdata/dcpixel.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmdata/dcwcache.h>

#include "sim/common/errors.h"
#include "sim/recorder/file_writer_support.h"

namespace qorsim::files {

namespace {

// Private attributes carrying what DICOM has no attribute for.
constexpr Uint16 kPrivateGroup = 0x0009;
const char* const kPrivateCreator = "QOR RECORDER";
const DcmTagKey kBinningKey(kPrivateGroup, 0x1001);      // US, horizontal\vertical
const DcmTagKey kImageBlocksKey(kPrivateGroup, 0x1002);  // OB, one image block per frame

// Native pixel data of one element holds at most 2^32 - 2 bytes.
constexpr uint64_t kMaxPixelData = 0xFFFFFFFEull;

std::string newUid(const char* root) {
    char uid[100];
    return dcmGenerateUniqueIdentifier(uid, root);
}

std::string dateText(const QOR_Timestamp& ts) {
    char text[16];
    std::snprintf(text, sizeof text, "%04u%02u%02u", ts.wYear, ts.wMonth, ts.wDay);
    return text;
}

std::string timeText(const QOR_Timestamp& ts) {
    char text[24];
    std::snprintf(text, sizeof text, "%02u%02u%02u.%06u", ts.wHour, ts.wMinute, ts.wSecond, ts.dwMicroSeconds);
    return text;
}

std::string decimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

// Sends DCMTK's output straight to a descriptor and keeps the errno of a failing write.
class FdConsumer final : public DcmConsumer {
public:
    explicit FdConsumer(int fd) : fd_(fd) {}
    OFBool good() const override { return error_ == 0; }
    OFCondition status() const override { return error_ == 0 ? EC_Normal : EC_InvalidStream; }
    OFBool isFlushed() const override { return OFTrue; }
    offile_off_t avail() const override { return offile_off_t{1} << 30; }
    offile_off_t write(const void* data, offile_off_t size) override {
        if (error_ != 0) {
            return 0;
        }
        if (const int error = writeFully(fd_, data, static_cast<size_t>(size), offset_); error != 0) {
            error_ = error;
            return 0;
        }
        offset_ += static_cast<uint64_t>(size);
        return size;
    }
    void flush() override {}
    int error() const { return error_; }

private:
    int fd_;
    uint64_t offset_ = 0;
    int error_ = 0;
};

class FdOutputStream final : public DcmOutputStream {
public:
    explicit FdOutputStream(FdConsumer& consumer) : DcmOutputStream(&consumer) {}
};

// Writes a complete file; throws FileWriteError and leaves no file behind on failure.
void saveDicom(DcmFileFormat& file, const std::filesystem::path& path) {
    Fd fd = createFile(path);
    FdConsumer consumer(fd.get());
    OFCondition result;
    {
        FdOutputStream out(consumer);
        DcmWriteCache cache;
        file.transferInit();
        result = file.write(out, EXS_LittleEndianExplicit, EET_ExplicitLength, &cache, EGL_recalcGL,
                            EPD_noChange, 0, 0, 0, EWM_createNewMeta);
        file.transferEnd();
    }
    int error = consumer.error();
    if (const int close_error = fd.reset(); error == 0) {
        error = close_error;
    }
    if (error != 0 || result.bad()) {
        ::unlink(path.c_str());
        if (error != 0) {
            throwWriteFailure(error, "cannot write " + path.string());
        }
        throw FileWriteError(err::kRecFileWrite, "cannot write " + path.string() + ": " + result.text());
    }
}

struct SeriesUids {
    std::string study = newUid(SITE_STUDY_UID_ROOT);
    std::string series = newUid(SITE_SERIES_UID_ROOT);
};

// Fills every attribute but the pixel data, for one image or for the frames of a multi-frame file.
void fillDataset(DcmDataset& ds, const std::vector<FrameInfo>& frames, bool multiframe, const SeriesUids& uids) {
    const FrameInfo& first = frames.front();
    const uint16_t bits = first.bits_per_pixel;
    const uint16_t stored = first.bit_resolution > 0 && first.bit_resolution < bits ? first.bit_resolution : bits;
    const char* sop_class = !multiframe ? UID_SecondaryCaptureImageStorage
                            : bits == 8 ? UID_MultiframeGrayscaleByteSecondaryCaptureImageStorage
                                        : UID_MultiframeGrayscaleWordSecondaryCaptureImageStorage;
    const std::string date = dateText(first.timestamp);
    const std::string time = timeText(first.timestamp);
    const double exposure_ms = static_cast<double>(first.exposure_ns) / 1e6;
    std::vector<uint8_t> blocks(frames.size() * kImageBlockSize);
    for (size_t i = 0; i < frames.size(); ++i) {
        encodeImageBlock(blocks.data() + i * kImageBlockSize, frames[i]);
    }
    const Uint16 binning[2] = {first.binning_horz, first.binning_vert};

    OFCondition status;
    auto check = [&status](const OFCondition& result) {
        if (status.good() && result.bad()) {
            status = result;
        }
    };
    auto text = [&](const DcmTagKey& key, const std::string& value) {
        check(ds.putAndInsertString(key, value.c_str()));
    };
    text(DCM_SpecificCharacterSet, "ISO_IR 192");
    text(DCM_ImageType, "ORIGINAL\\PRIMARY");
    text(DCM_SOPClassUID, sop_class);
    text(DCM_SOPInstanceUID, newUid(SITE_INSTANCE_UID_ROOT));
    text(DCM_StudyDate, date);
    text(DCM_ContentDate, date);
    text(DCM_StudyTime, time);
    text(DCM_ContentTime, time);
    text(DCM_AcquisitionDateTime, date + time);
    text(DCM_AccessionNumber, "");
    text(DCM_Modality, "OT");
    text(DCM_ConversionType, "DI");
    text(DCM_Manufacturer, "");
    text(DCM_ReferringPhysicianName, "");
    text(DCM_ManufacturerModelName, first.camera_name.substr(0, 64));
    text(DCM_PatientName, "");
    text(DCM_PatientID, "");
    text(DCM_PatientBirthDate, "");
    text(DCM_PatientSex, "");
    text(DCM_DeviceSerialNumber, std::to_string(first.serial));
    text(DCM_ExposureTime, std::to_string(std::llround(exposure_ms)));
    check(ds.putAndInsertFloat64(DCM_ExposureTimeInms, exposure_ms));
    text(DCM_StudyInstanceUID, uids.study);
    text(DCM_SeriesInstanceUID, uids.series);
    text(DCM_StudyID, "");
    text(DCM_SeriesNumber, "1");
    text(DCM_InstanceNumber, std::to_string(multiframe ? 1 : first.image_number));
    text(DCM_PatientOrientation, "");
    check(ds.putAndInsertUint16(DCM_SamplesPerPixel, 1));
    text(DCM_PhotometricInterpretation, "MONOCHROME2");
    check(ds.putAndInsertUint16(DCM_Rows, static_cast<Uint16>(first.height)));
    check(ds.putAndInsertUint16(DCM_Columns, static_cast<Uint16>(first.width)));
    check(ds.putAndInsertUint16(DCM_BitsAllocated, bits));
    check(ds.putAndInsertUint16(DCM_BitsStored, stored));
    check(ds.putAndInsertUint16(DCM_HighBit, static_cast<Uint16>(stored - 1)));
    check(ds.putAndInsertUint16(DCM_PixelRepresentation, 0));
    if (multiframe) {
        // Frame Time Vector: milliseconds from the previous frame, taken from the time stamps.
        std::string vector = "0";
        for (size_t i = 1; i < frames.size(); ++i) {
            const int64_t us = timestampMicros(frames[i].timestamp) - timestampMicros(frames[i - 1].timestamp);
            vector += "\\" + decimal(static_cast<double>(us) / 1000.0);
        }
        text(DCM_NumberOfFrames, std::to_string(frames.size()));
        check(ds.putAndInsertTagKey(DCM_FrameIncrementPointer, DCM_FrameTimeVector));
        text(DCM_FrameTimeVector, vector);
        text(DCM_BurnedInAnnotation, "NO");
        text(DCM_RescaleIntercept, "0");
        text(DCM_RescaleSlope, "1");
        text(DCM_RescaleType, "US");
        text(DCM_PresentationLUTShape, "IDENTITY");
    }
    check(ds.putAndInsertString(DcmTag(kPrivateGroup, 0x0010, EVR_LO), kPrivateCreator));
    check(ds.putAndInsertUint16Array(DcmTag(kBinningKey, EVR_US), binning, 2));
    check(ds.putAndInsertUint8Array(DcmTag(kImageBlocksKey, EVR_OB), blocks.data(), blocks.size()));
    if (status.bad()) {
        throw FileWriteError(err::kRecFileWrite, std::string("cannot build DICOM attributes: ") + status.text());
    }
}

// Reads frame `frame` of a DICOM file this writer made.
bool readDicom(const std::filesystem::path& path, uint32_t frame, FrameInfo& info, std::vector<uint8_t>& pixels) {
    DcmFileFormat file;
    if (file.loadFile(path.c_str(), EXS_Unknown, EGL_noChange, DCM_MaxReadLength).bad()) {
        return false;
    }
    DcmDataset& ds = *file.getDataset();
    FrameInfo result;
    Uint16 rows = 0, columns = 0, allocated = 0, stored = 0;
    Sint32 frames = 1;
    if (ds.findAndGetUint16(DCM_Rows, rows).bad() || ds.findAndGetUint16(DCM_Columns, columns).bad() ||
        ds.findAndGetUint16(DCM_BitsAllocated, allocated).bad() || ds.findAndGetUint16(DCM_BitsStored, stored).bad() ||
        (allocated != 8 && allocated != 16)) {
        return false;
    }
    if (ds.findAndGetSint32(DCM_NumberOfFrames, frames).bad()) {
        frames = 1;  // a single-frame file has no Number of Frames
    }
    if (frames < 1 || frame >= static_cast<uint32_t>(frames)) {
        return false;
    }
    result.width = columns;
    result.height = rows;
    result.bits_per_pixel = allocated;
    result.bit_resolution = stored;
    OFString serial, model;
    if (ds.findAndGetOFString(DCM_DeviceSerialNumber, serial).good()) {
        result.serial = static_cast<uint32_t>(std::strtoul(serial.c_str(), nullptr, 10));
    }
    if (ds.findAndGetOFString(DCM_ManufacturerModelName, model).good()) {
        result.camera_name = model.c_str();
    }
    Uint16 binning = 1;
    if (ds.findAndGetUint16(kBinningKey, binning, 0).good()) {
        result.binning_horz = binning;
    }
    if (ds.findAndGetUint16(kBinningKey, binning, 1).good()) {
        result.binning_vert = binning;
    }
    const Uint8* blocks = nullptr;
    unsigned long block_bytes = 0;
    if (ds.findAndGetUint8Array(kImageBlocksKey, blocks, &block_bytes).bad() ||
        block_bytes < (uint64_t{frame} + 1) * kImageBlockSize ||
        !decodeImageBlock(blocks + uint64_t{frame} * kImageBlockSize, result)) {
        return false;
    }
    DcmElement* data = nullptr;
    const uint64_t bytes = pixelBytes(result);
    if (ds.findAndGetElement(DCM_PixelData, data).bad() || uint64_t{data->getLength()} < bytes * (frame + 1)) {
        return false;
    }
    pixels.resize(bytes);
    if (data->getPartialValue(pixels.data(), static_cast<Uint32>(bytes * frame), static_cast<Uint32>(bytes)).bad()) {
        return false;
    }
    info = result;
    return true;
}

class DicomWriter final : public ImageFileWriter {
public:
    DicomWriter(const FileTarget& target, bool multiframe)
        : stem_(target.stem), multiframe_(multiframe), path_(suffixedPath(target.stem, ".dcm")),
          frames_path_(suffixedPath(target.stem, ".dcm.frames")) {}

    ~DicomWriter() override { finish(); }

    void write(const FrameInfo& info, const void* pixels) override {
        checkFrame(info, pixels);
        if (info.width > 0xFFFF || info.height > 0xFFFF) {
            throw FileWriteError(err::kRecInvalidArgument, "DICOM images have at most 65535 rows and columns");
        }
        std::lock_guard lock(mutex_);
        if (multiframe_) {
            stageFrame(info, pixels);
        } else {
            writeFile(info, pixels);
        }
    }

    void finish() noexcept override {
        std::lock_guard lock(mutex_);
        if (finished_) {
            return;
        }
        finished_ = true;
        staging_.reset();
        if (!multiframe_ || frames_.empty()) {
            return;
        }
        try {
            writeMultiframe();
            ::unlink(frames_path_.c_str());
            complete_ = true;
        } catch (...) {
            // The staged frames stay, and read() keeps working from them.
        }
    }

    uint32_t count() const override {
        std::lock_guard lock(mutex_);
        return static_cast<uint32_t>(multiframe_ ? frames_.size() : files_.size());
    }

    bool read(uint32_t index, FrameInfo& info, std::vector<uint8_t>& pixels) const override {
        std::lock_guard lock(mutex_);
        if (!multiframe_) {
            return index < files_.size() && readDicom(files_[index], 0, info, pixels);
        }
        if (index >= frames_.size()) {
            return false;
        }
        if (complete_) {
            return readDicom(path_, index, info, pixels);
        }
        const Fd fd = openForReading(frames_path_);
        const uint64_t bytes = pixelBytes(frames_.front());
        pixels.resize(bytes);
        if (!fd || !readFully(fd.get(), pixels.data(), bytes, bytes * index)) {
            return false;
        }
        info = frames_[index];
        return true;
    }

    std::vector<std::filesystem::path> files() const override {
        std::lock_guard lock(mutex_);
        if (!multiframe_) {
            return files_;
        }
        if (complete_) {
            return {path_};
        }
        if (!frames_.empty() || staging_) {
            return {frames_path_};
        }
        return {};
    }

private:
    void writeFile(const FrameInfo& info, const void* pixels) {
        const std::filesystem::path path = numberedPath(stem_, static_cast<uint32_t>(files_.size()) + 1, ".dcm");
        DcmFileFormat file;
        DcmDataset& ds = *file.getDataset();
        fillDataset(ds, {info}, false, uids_);
        const uint64_t bytes = pixelBytes(info);
        const OFCondition result =
            info.bits_per_pixel == 8
                ? ds.putAndInsertUint8Array(DCM_PixelData, static_cast<const Uint8*>(pixels), bytes)
                : ds.putAndInsertUint16Array(DCM_PixelData, static_cast<const Uint16*>(pixels), bytes / 2);
        if (result.bad()) {
            throw FileWriteError(err::kRecFileWrite, std::string("cannot set DICOM pixel data: ") + result.text());
        }
        saveDicom(file, path);
        files_.push_back(path);
    }

    void stageFrame(const FrameInfo& info, const void* pixels) {
        if (finished_) {
            throw FileWriteError(err::kRecFileWrite, "recording already finished: " + path_.string());
        }
        const uint64_t bytes = pixelBytes(info);
        if (!frames_.empty()) {
            const FrameInfo& first = frames_.front();
            if (info.width != first.width || info.height != first.height ||
                info.bits_per_pixel != first.bits_per_pixel) {
                throw FileWriteError(err::kRecInvalidArgument, "image size differs within " + path_.string());
            }
        }
        if ((frames_.size() + 1) * bytes > kMaxPixelData) {
            throw FileWriteError(err::kRecFileWrite, "multi-frame DICOM holds at most 4 GiB of pixels: " +
                                                         path_.string());
        }
        if (!staging_) {
            staging_ = createFile(frames_path_);
        }
        const uint64_t offset = frames_.size() * bytes;
        if (const int error = writeFully(staging_.get(), pixels, bytes, offset); error != 0) {
            (void)::ftruncate(staging_.get(), static_cast<off_t>(offset));
            throwWriteFailure(error, "cannot stage frame in " + frames_path_.string());
        }
        frames_.push_back(info);
    }

    void writeMultiframe() {
        uint64_t length = frames_.size() * pixelBytes(frames_.front());
        if (length % 2 != 0) {
            // Element values have even length; the pad byte goes at the end of the staged frames.
            const Fd fd(::open(frames_path_.c_str(), O_WRONLY | O_CLOEXEC));
            const uint8_t zero = 0;
            if (!fd || writeFully(fd.get(), &zero, 1, length) != 0) {
                throw FileWriteError(err::kRecFileWrite, "cannot pad " + frames_path_.string());
            }
            ++length;
        }
        DcmFileFormat file;
        DcmDataset& ds = *file.getDataset();
        fillDataset(ds, frames_, true, uids_);
        auto* data = new DcmPixelData(DCM_PixelData);
        data->setVR(frames_.front().bits_per_pixel == 8 ? EVR_OB : EVR_OW);
        // The element reads its value from the staged frames while the file is written.
        const OFCondition result = data->createValueFromTempFile(
            new DcmInputFileStreamFactory(frames_path_.c_str(), 0), static_cast<Uint32>(length), EBO_LittleEndian);
        if (result.bad() || ds.insert(data, true).bad()) {
            delete data;
            throw FileWriteError(err::kRecFileWrite, "cannot set DICOM pixel data");
        }
        saveDicom(file, path_);
    }

    const std::filesystem::path stem_;
    const bool multiframe_;
    const std::filesystem::path path_;
    const std::filesystem::path frames_path_;
    const SeriesUids uids_;
    mutable std::mutex mutex_;
    std::vector<std::filesystem::path> files_;  // dicom: one per image
    std::vector<FrameInfo> frames_;             // multidicom: the staged frames
    Fd staging_;
    bool finished_ = false;
    bool complete_ = false;
};

}  // namespace

std::unique_ptr<ImageFileWriter> makeDicomWriter(const FileTarget& target, bool multiframe) {
    return std::make_unique<DicomWriter>(target, multiframe);
}

}  // namespace qorsim::files
