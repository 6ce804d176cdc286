#include "server/camera_control.h"

#include <cstring>
#include <iostream>

namespace {

void printLine(const std::string& line) { std::cout << line << std::flush; }

}  // namespace

CameraControl::CameraControl(int16_t interface_selector, int32_t serial_selector) {
    printLine("[CAMERACONTROL] Entered Camera Control constructor\n");
    if (!open(interface_selector, serial_selector)) throw qor::CameraException(last_error_ ? last_error_->code : 0);
    std::memset(&description_, 0, sizeof description_);
    description_.wSize = sizeof description_;
}

CameraControl::~CameraControl() {
    release();
    clearLastError();
}

void CameraControl::release() {
    // New operations answer "not open" from now on; running waits on the camera are told to end.
    releasing_ = true;
    {
        std::shared_lock guard(guard_);
        if (cam_) cam_->abortWaits();
    }
    std::unique_lock guard(guard_);
    cam_.reset();
    opened_ = false;
    releasing_ = interrupted_.load();
}

void CameraControl::interrupt() {
    interrupted_ = true;
    releasing_ = true;
    std::shared_lock guard(guard_);
    if (cam_) cam_->abortWaits();
}

bool CameraControl::open(int16_t interface_selector, int32_t serial_selector) {
    // Holding the guard exclusively also serialises with every locked operation.
    std::unique_lock guard(guard_);
    try {
        auto camera = std::make_unique<qor::Camera>(interface_selector, serial_selector);
        cam_ = std::move(camera);
        cam_->defaultConfiguration();
        opened_ = true;
        return true;
    } catch (const qor::CameraException& e) {
        printLine(std::string("open() failed:") + e.what() + "\n");
        recordFailure(e.code(), "open");
        return false;
    }
}

bool CameraControl::reopen() {
    if (interrupted_) return false;
    release();
    return open(-1, -1);
}

std::optional<CameraControl::LastError> CameraControl::getLastError() const {
    std::lock_guard lock(error_mutex_);
    return last_error_;
}

void CameraControl::clearLastError() {
    std::lock_guard lock(error_mutex_);
    last_error_.reset();
}

void CameraControl::recordFailure(int32_t code, const char* where) {
    std::lock_guard lock(error_mutex_);
    last_error_ = LastError{code, where};
}

template <class F>
auto CameraControl::attempt(Lock lock, const char* where, const char* console_prefix, F&& body)
    -> std::optional<decltype(body(std::declval<qor::Camera&>()))> {
    if (releasing_) return std::nullopt;
    std::shared_lock guard(guard_);
    std::unique_lock<std::mutex> op_lock(mutex_, std::defer_lock);
    if (lock == Lock::exclusive) op_lock.lock();
    if (!opened_ || !cam_) return std::nullopt;
    try {
        return body(*cam_);
    } catch (const qor::CameraException& e) {
        recordFailure(e.code(), where);
        printLine(std::string(console_prefix) + e.what() + "\n");
        return std::nullopt;
    }
}

template <class F>
bool CameraControl::perform(Lock lock, const char* where, const char* console_prefix, F&& body) {
    return attempt(lock, where, console_prefix, [&](qor::Camera& cam) {
               body(cam);
               return true;
           })
        .has_value();
}

// Console prefixes are the operation's call text followed by "failed:".
#define QOR_CALL(text) text "failed:"

std::optional<std::string> CameraControl::getName() {
    return attempt(Lock::none, "getName", QOR_CALL("cam_->getName()"), [](qor::Camera& c) { return c.getName(); });
}

std::optional<uint32_t> CameraControl::getSerial() {
    return attempt(Lock::none, "getSerial", QOR_CALL("cam_->getSerial()"), [](qor::Camera& c) { return c.getSerial(); });
}

std::optional<qor::RawFormat> CameraControl::getRawFormat() {
    return attempt(Lock::none, "getRawFormat", QOR_CALL("cam_->getRawFormat()"),
                   [](qor::Camera& c) { return c.getRawFormat(); });
}

std::optional<uint16_t> CameraControl::getInterface() {
    return attempt(Lock::none, "getInterface", QOR_CALL("cam_->getInterface()"),
                   [](qor::Camera& c) { return c.getInterface(); });
}

std::optional<bool> CameraControl::isColored() {
    return attempt(Lock::none, "isColored", QOR_CALL("cam_->isColored()"), [](qor::Camera& c) { return c.isColored(); });
}

std::optional<qor::Description> CameraControl::getDescription() {
    return attempt(Lock::none, "getDescription", QOR_CALL("cam_->getDescription()"),
                   [](qor::Camera& c) { return c.getDescription(); });
}

std::optional<qor::SensorInfo> CameraControl::getSensorInfo() {
    return attempt(Lock::none, "getSensorInfo", QOR_CALL("cam_->getSensorInfo()"),
                   [](qor::Camera& c) { return c.getSensorInfo(); });
}

std::optional<QOR_Description> CameraControl::getQORDescription() {
    if (releasing_) return std::nullopt;
    std::shared_lock guard(guard_);
    if (!opened_ || !cam_) return std::nullopt;
    std::lock_guard lock(description_mutex_);
    description_.wSize = sizeof description_;
    if (qor::sdk::succeeded(QOR_GetCameraDescription(cam_->handle(), &description_))) return description_;
    const qor::CameraException error("Error getting QOR_Description from camera", qor::errc::kQorDescription);
    recordFailure(error.code(), "getQORDescription");
    return std::nullopt;
}

bool CameraControl::defaultConfiguration() {
    return perform(Lock::exclusive, "defaultConfiguration", QOR_CALL("cam_->defaultConfiguration()"),
                   [](qor::Camera& c) { c.defaultConfiguration(); });
}

std::optional<qor::Configuration> CameraControl::getConfiguration() {
    return attempt(Lock::none, "getConfiguration", QOR_CALL("cam_->getConfiguration()"),
                   [](qor::Camera& c) { return c.getConfiguration(); });
}

bool CameraControl::setConfiguration(const qor::Configuration& config) {
    return perform(Lock::exclusive, "setConfiguration", QOR_CALL("cam_->setConfiguration(config)"),
                   [&](qor::Camera& c) { c.setConfiguration(config); });
}

std::optional<double> CameraControl::getExposureTime() {
    return attempt(Lock::none, "getExposureTime", QOR_CALL("cam_->getExposureTime()"),
                   [](qor::Camera& c) { return c.getExposureTime(); });
}

bool CameraControl::setExposureTime(double s) {
    return perform(Lock::none, "setExposureTime", QOR_CALL("cam_->setExposureTime(s)"),
                   [&](qor::Camera& c) { c.setExposureTime(s); });
}

std::optional<double> CameraControl::getDelayTime() {
    return attempt(Lock::none, "getDelayTime", QOR_CALL("cam_->getDelayTime()"),
                   [](qor::Camera& c) { return c.getDelayTime(); });
}

bool CameraControl::setDelayTime(double s) {
    return perform(Lock::none, "setDelayTime", QOR_CALL("cam_->setDelayTime(s)"),
                   [&](qor::Camera& c) { c.setDelayTime(s); });
}

bool CameraControl::record(uint32_t image_count, qor::RecordMode mode, const std::filesystem::path& file_path,
                           uint16_t flags) {
    const std::filesystem::path path = file_path;
    return perform(Lock::exclusive, "record", "record() failed:",
                   [&](qor::Camera& c) { c.record(image_count, mode, path, flags); });
}

bool CameraControl::stop() {
    return perform(Lock::exclusive, "stop", "stop() failed:", [](qor::Camera& c) { c.stop(); });
}

std::optional<bool> CameraControl::isRecording() {
    return attempt(Lock::none, "isRecording", "", [](qor::Camera& c) { return c.isRecording(); });
}

bool CameraControl::waitForFirstImage(bool delay, double timeout_s) {
    return perform(Lock::none, "waitForFirstImage", QOR_CALL("cam_->waitForFirstImage(delay, timeout_s)"),
                   [&](qor::Camera& c) { c.waitForFirstImage(delay, timeout_s); });
}

bool CameraControl::waitForNewImage(bool delay, double timeout_s) {
    return perform(Lock::none, "waitForNewImage", QOR_CALL("cam_->waitForNewImage(delay, timeout_s)"),
                   [&](qor::Camera& c) { c.waitForNewImage(delay, timeout_s); });
}

std::optional<uint64_t> CameraControl::getRecordedImageCount() {
    return attempt(Lock::none, "getRecordedImageCount", QOR_CALL("cam_->getRecordedImageCount()"),
                   [](qor::Camera& c) { return uint64_t{c.getRecordedImageCount()}; });
}

std::optional<uint64_t> CameraControl::getRecorderBufferSize() {
    return attempt(Lock::none, "getRecorderBufferSize", QOR_CALL("cam_->getRecorderBufferSize()"),
                   [](qor::Camera& c) { return uint64_t{c.getRecorderBufferSize()}; });
}

std::optional<bool> CameraControl::trigger() {
    if (!opened_ || releasing_) return false;
    return attempt(Lock::none, "trigger", QOR_CALL("cam_->trigger()"), [](qor::Camera& c) { return c.trigger(); });
}

bool CameraControl::autoExposureOn() {
    return perform(Lock::exclusive, "autoExposureOn", QOR_CALL("cam_->autoExposureOn()"),
                   [](qor::Camera& c) { c.autoExposureOn(); });
}

bool CameraControl::autoExposureOff() {
    return perform(Lock::exclusive, "autoExposureOff", QOR_CALL("cam_->autoExposureOff()"),
                   [](qor::Camera& c) { c.autoExposureOff(); });
}

bool CameraControl::configureAutoExposure(qor::RegionType region_type, double min_exposure_s, double max_exposure_s) {
    return perform(Lock::exclusive, "configureAutoExposure",
                   QOR_CALL("cam_->configureAutoExposure(region_type, min_exposure_s, max_exposure_s)"),
                   [&](qor::Camera& c) { c.configureAutoExposure(region_type, min_exposure_s, max_exposure_s); });
}

bool CameraControl::configureHWIO_1_exposureTrigger(bool on, qor::SignalPolarity polarity) {
    return perform(Lock::exclusive, "configureHWIO_1_exposureTrigger",
                   QOR_CALL("cam_->configureHWIO_1_exposureTrigger(on, polarity)"),
                   [&](qor::Camera& c) { c.configureHWIO_1_exposureTrigger(on, polarity); });
}

bool CameraControl::configureHWIO_2_acquireEnable(bool on, qor::SignalPolarity polarity) {
    return perform(Lock::exclusive, "configureHWIO_2_acquireEnable",
                   QOR_CALL("cam_->configureHWIO_2_acquireEnable(on, polarity)"),
                   [&](qor::Camera& c) { c.configureHWIO_2_acquireEnable(on, polarity); });
}

std::optional<bool> CameraControl::configureHWIO_3_statusBusy(bool on, qor::SignalPolarity polarity,
                                                              qor::SignalType signal_type) {
    return attempt(Lock::exclusive, "configureHWIO_3_statusBusy",
                   QOR_CALL("cam_->configureHWIO_3_statusBusy(on, polarity, signal_type)"),
                   [&](qor::Camera& c) { return c.configureHWIO_3_statusBusy(on, polarity, signal_type); });
}

std::optional<bool> CameraControl::configureHWIO_4_statusExpos(bool on, qor::SignalPolarity polarity,
                                                               qor::SignalType signal_type,
                                                               qor::SignalTiming signal_timing) {
    return attempt(
        Lock::exclusive, "configureHWIO_4_statusExpos",
        QOR_CALL("cam_->configureHWIO_4_statusExpos(on, polarity, signal_type, signal_timing)"),
        [&](qor::Camera& c) { return c.configureHWIO_4_statusExpos(on, polarity, signal_type, signal_timing); });
}

std::optional<qor::ConvertControl> CameraControl::getConvertControl(qor::DataFormat data_format) {
    return attempt(Lock::none, "getConvertControl", QOR_CALL("cam_->getConvertControl(data_format)"),
                   [&](qor::Camera& c) { return c.getConvertControl(data_format); });
}

bool CameraControl::setConvertControl(qor::DataFormat data_format, const qor::ConvertControl& variant_settings) {
    return perform(Lock::exclusive, "setConvertControl",
                   QOR_CALL("cam_->setConvertControl(data_format, variant_settings)"),
                   [&](qor::Camera& c) { c.setConvertControl(data_format, variant_settings); });
}

bool CameraControl::loadLut(qor::DataFormat data_format, const std::filesystem::path& lut_file) {
    return perform(Lock::exclusive, "loadLut", QOR_CALL("cam_->loadLut(data_format, lut_file)"),
                   [&](qor::Camera& c) { c.loadLut(data_format, lut_file); });
}

bool CameraControl::adaptWhiteBalance(qor::Image& image) {
    return perform(Lock::exclusive, "adaptWhiteBalance", QOR_CALL("cam_->adaptWhiteBalance(image)"),
                   [&](qor::Camera& c) { c.adaptWhiteBalance(image); });
}

bool CameraControl::adaptWhiteBalance(qor::Image& image, const qor::Roi& crop) {
    return perform(Lock::exclusive, "adaptWhiteBalance", QOR_CALL("cam_->adaptWhiteBalance(image, crop)"),
                   [&](qor::Camera& c) { c.adaptWhiteBalance(image, crop); });
}

std::optional<uint32_t> CameraControl::calculateColorMode(const qor::Roi& crop) {
    return attempt(Lock::none, "calculateColorMode", QOR_CALL("cam_->calculateColorMode(crop)"),
                   [&](qor::Camera& c) { return c.calculateColorMode(crop); });
}

bool CameraControl::image(qor::Image& image_ref, uint32_t image_index, qor::DataFormat data_format,
                          const qor::CompressionParams* comp_params, qor::RawFormat* raw_format) {
    return perform(Lock::exclusive, "image", QOR_CALL("cam_->image(image_ref, image_index, data_format, comp_params)"),
                   [&](qor::Camera& c) {
                       c.image(image_ref, image_index, data_format, comp_params);
                       if (raw_format) *raw_format = c.getRawFormat();
                   });
}

bool CameraControl::image(qor::Image& image_ref, const qor::Roi& crop, uint32_t image_index,
                          qor::DataFormat data_format, const qor::CompressionParams* comp_params,
                          qor::RawFormat* raw_format) {
    return perform(Lock::exclusive, "image",
                   QOR_CALL("cam_->image(image_ref, crop, image_index, data_format, comp_params)"),
                   [&](qor::Camera& c) {
                       c.image(image_ref, crop, image_index, data_format, comp_params);
                       if (raw_format) *raw_format = c.getRawFormat();
                   });
}

bool CameraControl::images(std::vector<qor::Image>& images, qor::DataFormat data_format, uint32_t start_index,
                           const qor::CompressionParams* comp_params, qor::RawFormat* raw_format) {
    return perform(Lock::exclusive, "images", QOR_CALL("cam_->images(images, data_format, start_index, comp_params)"),
                   [&](qor::Camera& c) {
                       c.images(images, data_format, start_index, comp_params);
                       if (raw_format) *raw_format = c.getRawFormat();
                   });
}

bool CameraControl::images(std::vector<qor::Image>& images, const qor::Roi& crop, qor::DataFormat data_format,
                           uint32_t start_index, const qor::CompressionParams* comp_params,
                           qor::RawFormat* raw_format) {
    return perform(Lock::exclusive, "images",
                   QOR_CALL("cam_->images(images, crop, data_format, start_index, comp_params)"),
                   [&](qor::Camera& c) {
                       c.images(images, crop, data_format, start_index, comp_params);
                       if (raw_format) *raw_format = c.getRawFormat();
                   });
}

bool CameraControl::imageAverage(qor::Image& image_ref, qor::DataFormat data_format, qor::RawFormat* raw_format) {
    return perform(Lock::exclusive, "imageAverage", QOR_CALL("cam_->imageAverage(image_ref, data_format)"),
                   [&](qor::Camera& c) {
                       c.imageAverage(image_ref, data_format);
                       if (raw_format) *raw_format = c.getRawFormat();
                   });
}

bool CameraControl::imageAverage(qor::Image& image_ref, const qor::Roi& crop, qor::DataFormat data_format,
                                 qor::RawFormat* raw_format) {
    return perform(Lock::exclusive, "imageAverage", QOR_CALL("cam_->imageAverage(image_ref, crop, data_format)"),
                   [&](qor::Camera& c) {
                       c.imageAverage(image_ref, crop, data_format);
                       if (raw_format) *raw_format = c.getRawFormat();
                   });
}

std::optional<bool> CameraControl::hasRam() {
    return attempt(Lock::none, "hasRam", QOR_CALL("cam_->hasRam()"), [](qor::Camera& c) { return c.hasRam(); });
}

bool CameraControl::switchToCamRam() {
    return perform(Lock::exclusive, "switchToCamRam", QOR_CALL("cam_->switchToCamRam()"),
                   [](qor::Camera& c) { c.switchToCamRam(); });
}

bool CameraControl::switchToCamRam(uint16_t segment) {
    return perform(Lock::exclusive, "switchToCamRam", QOR_CALL("cam_->switchToCamRam(segment)"),
                   [&](qor::Camera& c) { c.switchToCamRam(segment); });
}

std::optional<uint16_t> CameraControl::getCamRamSegment() {
    return attempt(Lock::none, "getCamRamSegment", QOR_CALL("cam_->getCamRamSegment()"),
                   [](qor::Camera& c) { return c.getCamRamSegment(); });
}

std::optional<uint32_t> CameraControl::getCamRamMaxImages() {
    return attempt(Lock::none, "getCamRamMaxImages", QOR_CALL("cam_->getCamRamMaxImages()"),
                   [](qor::Camera& c) { return c.getCamRamMaxImages(); });
}

std::optional<uint32_t> CameraControl::getCamRamNumImages() {
    return attempt(Lock::none, "getCamRamNumImages", QOR_CALL("cam_->getCamRamNumImages()"),
                   [](qor::Camera& c) { return c.getCamRamNumImages(); });
}

bool CameraControl::setCamRamAllocation(const std::vector<uint32_t>& percents) {
    return perform(Lock::exclusive, "setCamRamAllocation", QOR_CALL("cam_->setCamRamAllocation(percents)"),
                   [&](qor::Camera& c) { c.setCamRamAllocation(percents); });
}

std::optional<std::vector<uint32_t>> CameraControl::getCamRamAllocation() {
    return attempt(Lock::none, "getCamRamAllocation", QOR_CALL("cam_->getCamRamAllocation()"),
                   [](qor::Camera& c) { return c.getCamRamAllocation(); });
}
