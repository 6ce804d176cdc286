#include "lightsource/lumra.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <set>

namespace lym {
namespace {

constexpr size_t kMaxDevices = 256;
constexpr size_t kTextBufferSize = 1024;
constexpr uint32_t kLogBits = 0x707F;
constexpr int kLogModeFile = 1;
constexpr int kOutput = 1;
constexpr const char* kLogSuffix = "/.qor/qor_logging/lym_lumra.log";
constexpr const char* kLogBanner =
    "==================== qor.lumra logging started from high-level SDK qor.cpp ===============";

static_assert(LUMRA_LR_CHANNEL_FIELD(LUMRA_LR_MAX_CHANNELS - 1, LUMRA_LR_CH_STATE) + 4 <= LUMRA_LR_RECORD_SIZE,
              "every field of the last channel lies inside the record");

uint32_t readU32(const LUMRA_LRStruct& record, size_t offset) {
    const auto* b = reinterpret_cast<const unsigned char*>(&record) + offset;
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
}

void writeU32(LUMRA_LRStruct& record, size_t offset, uint32_t value) {
    auto* b = reinterpret_cast<unsigned char*>(&record) + offset;
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint32_t channelField(const LUMRA_LRStruct& record, size_t channel, size_t field) {
    return readU32(record, LUMRA_LR_CHANNEL_FIELD(channel, field));
}

// The record's channel count; a negative count means no channels.
size_t channelCount(const LUMRA_LRStruct& record) {
    const auto count = static_cast<int32_t>(readU32(record, LUMRA_LR_OFS_CHANNEL_COUNT));
    return count > 0 ? static_cast<size_t>(count) : 0;
}

size_t storedChannels(const LUMRA_LRStruct& record) {
    return std::min<size_t>(channelCount(record), LUMRA_LR_MAX_CHANNELS);
}

struct DeviceInfo {
    int type = 0;
    std::string port;
    int status = 0;
};

DeviceInfo deviceInfo(LUMRA_HANDLE handle) {
    DeviceInfo info;
    std::array<char, kTextBufferSize> port{};
    check(LUMRA_GetDeviceInfo(handle, &info.type, port.data(), static_cast<int>(port.size()), &info.status));
    port.back() = '\0';
    info.port = port.data();
    return info;
}

}  // namespace

std::string typeName(LumraType type) {
    switch (type) {
        case LumraType::ModelA: return "Light source model A";
        case LumraType::ModelB: return "Light source model B";
        case LumraType::ModelC: return "Light source model C";
        case LumraType::ModelD: return "Light source model D";
        case LumraType::ModelE: return "Light source model E";
        case LumraType::ModelF: return "Light source model F";
        case LumraType::ModelG: return "Light source model G";
        case LumraType::ModelH: return "Light source model H";
        case LumraType::ModelI: return "Light source model I";
        case LumraType::ModelJ: return "Light source model J";
        case LumraType::Any: return "<Undefined Type>";
    }
    return {};
}

std::filesystem::path Lumra::logFilePath() {
    std::string home;
    if (const char* env = std::getenv("HOME")) {
        home = env;
    } else {
        long size = sysconf(_SC_GETPW_R_SIZE_MAX);
        std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
        passwd entry{};
        passwd* found = nullptr;
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
            found->pw_dir != nullptr)
            home = found->pw_dir;
    }
    return home + kLogSuffix;
}

void Lumra::setUpLogging() {
    check(LUMRA_SetLogBits(kLogBits));
    const std::string path = logFilePath().string();
    {
        // A missing directory or an unwritable file only means there is no log.
        std::ofstream out(path, std::ios::app);
        if (out) out << kLogBanner << '\n';
    }
    check(LUMRA_SetLogMode(kLogModeFile));
    check(LUMRA_SetLogFile(path.c_str()));
}

Lumra::Lumra(LumraType type, const std::string& com_port) {
    setUpLogging();
    choose(type, com_port);
    check(LUMRA_OpenDeviceEx(handle_));
    try {
        defaultConfiguration();
    } catch (...) {
        // No destructor runs for a failed construction; close the device so that it can be opened again.
        release();
        throw;
    }
}

Lumra::~Lumra() { release(); }

void Lumra::choose(LumraType type, const std::string& com_port) {
    std::array<LUMRA_HANDLE, kMaxDevices> handles{};
    int count = 0;
    check(LUMRA_ScanDevices(handles.data(), static_cast<int>(handles.size()), &count));
    const size_t found = std::clamp<size_t>(count > 0 ? static_cast<size_t>(count) : 0, 0, handles.size());

    // A device whose information cannot be read (a port name longer than the buffer, say) can be
    // neither matched nor used; it is left out rather than keeping every other device from opening.
    std::vector<std::optional<DeviceInfo>> infos(found);
    for (size_t i = 0; i < found; ++i) {
        try {
            infos[i] = deviceInfo(handles[i]);
        } catch (const LumraException&) {
        }
    }

    auto firstFree = [&](const std::function<bool(const DeviceInfo&)>& matches) -> std::optional<size_t> {
        for (size_t i = 0; i < infos.size(); ++i)
            if (infos[i] && infos[i]->status == LUMRA_STATUS_NOT_OPENED && matches(*infos[i])) return i;
        return std::nullopt;
    };
    auto ofType = [&](const DeviceInfo& info) { return info.type == static_cast<int>(type); };

    std::optional<size_t> choice;
    if (!com_port.empty()) {
        choice = firstFree([&](const DeviceInfo& info) { return info.port == com_port; });
        if (!choice) throw LumraException(errc::kNoDevice);
        if (type != LumraType::Any) {
            // The first free device of the type must be the one at the port.
            const std::optional<size_t> of_type = firstFree(ofType);
            if (!of_type) throw LumraException(errc::kNoDevice);
            if (*of_type != *choice)
                throw LumraException("LumraType does not match connected device at specific COM port",
                                     errc::kNoDevice);
        }
    } else if (type != LumraType::Any) {
        choice = firstFree(ofType);
    } else {
        choice = firstFree([](const DeviceInfo&) { return true; });
    }
    if (!choice) throw LumraException(errc::kNoDevice);
    handle_ = handles[*choice];
}

void Lumra::release() noexcept {
    int status = LUMRA_STATUS_NOT_OPENED;
    if (!succeeded(LUMRA_GetDeviceInfo(handle_, nullptr, nullptr, 0, &status))) {
        // The status is unknown, but this object opened the device: close it rather than keep it held.
        LUMRA_CloseDevice(handle_);
        return;
    }
    if (status == LUMRA_STATUS_NOT_OPENED) return;
    if (status == LUMRA_STATUS_OPENED) LUMRA_SwitchLumra(handle_, kOutput, 0);
    LUMRA_CloseDevice(handle_);
}

LUMRA_LRStruct Lumra::readRecord() const {
    LUMRA_LRStruct record{};
    record.wSize = LUMRA_LR_RECORD_SIZE;
    check(LUMRA_GetLRStruct(handle_, &record));
    return record;
}

std::string Lumra::getComPort() const { return deviceInfo(handle_).port; }

LumraType Lumra::getType() const {
    int type = 0;
    check(LUMRA_GetDeviceInfo(handle_, &type, nullptr, 0, nullptr));
    return static_cast<LumraType>(type);
}

LumraDescription Lumra::getDescription() const {
    const LUMRA_LRStruct record = readRecord();
    LumraDescription d;
    d.serial = readU32(record, LUMRA_LR_OFS_SERIAL);
    d.com_port = getComPort();
    d.type = getType();
    d.name = typeName(d.type);
    const size_t n = channelCount(record);
    d.wavelengths.assign(n, 0);
    d.exclusivity.assign(n, 0);
    d.intensity_max.assign(n, 0);
    d.intensity_min.assign(n, 0);
    for (size_t i = 0; i < storedChannels(record); ++i) {
        d.wavelengths[i] = channelField(record, i, LUMRA_LR_CH_WAVELENGTH);
        d.exclusivity[i] = channelField(record, i, LUMRA_LR_CH_GROUP);
        d.intensity_max[i] = channelField(record, i, LUMRA_LR_CH_MAX);
        d.intensity_min[i] = channelField(record, i, LUMRA_LR_CH_MIN);
    }
    return d;
}

LumraConfiguration Lumra::getConfiguration() const {
    const LUMRA_LRStruct record = readRecord();
    LumraConfiguration config;
    const size_t n = channelCount(record);
    config.intensities.assign(n, 0);
    config.on_states.assign(n, 0);
    for (size_t i = 0; i < storedChannels(record); ++i) {
        config.intensities[i] = static_cast<int32_t>(channelField(record, i, LUMRA_LR_CH_INTENSITY));
        config.on_states[i] = (channelField(record, i, LUMRA_LR_CH_STATE) & LUMRA_LR_STATE_ON) != 0 ? 1 : 0;
    }
    return config;
}

void Lumra::setConfiguration(const LumraConfiguration& config) {
    const LumraDescription d = getDescription();
    const size_t n = d.wavelengths.size();
    if (config.intensities.size() != n)
        throw LumraException("Wrong size of intensities vector. Must match number of channels.",
                             errc::kInvalidConfiguration);
    if (config.on_states.size() != n)
        throw LumraException("Wrong size of on_states vector. Must match number of channels.",
                             errc::kInvalidConfiguration);
    std::set<uint32_t> groups_on;
    for (size_t i = 0; i < n; ++i) {
        if (config.on_states[i] == 0 || d.exclusivity[i] == 0) continue;
        if (!groups_on.insert(d.exclusivity[i]).second)
            throw LumraException("Just single wavelength from exclusive list can be set.",
                                 errc::kInvalidConfiguration);
    }

    LUMRA_LRStruct record = readRecord();
    // The lists were sized from an earlier read; never index past them if the device changed since.
    const size_t count = std::min(storedChannels(record), n);
    for (size_t i = 0; i < count; ++i) {
        writeU32(record, LUMRA_LR_CHANNEL_FIELD(i, LUMRA_LR_CH_INTENSITY), static_cast<uint32_t>(config.intensities[i]));
        uint32_t state = channelField(record, i, LUMRA_LR_CH_STATE);
        state = config.on_states[i] != 0 ? (state | LUMRA_LR_STATE_ON) : (state & ~LUMRA_LR_STATE_ON);
        writeU32(record, LUMRA_LR_CHANNEL_FIELD(i, LUMRA_LR_CH_STATE), state);
    }
    check(LUMRA_SetLRStruct(handle_, &record));
}

void Lumra::defaultConfiguration() {
    switchOff();
    LumraConfiguration config = getConfiguration();
    std::fill(config.on_states.begin(), config.on_states.end(), uint8_t{0});
    setConfiguration(config);
}

void Lumra::switchOff() { check(LUMRA_SwitchLumra(handle_, kOutput, 0)); }

void Lumra::switchOn() { check(LUMRA_SwitchLumra(handle_, kOutput, 1)); }

void Lumra::executeCommand(const std::string& cmd, std::string& answer, const std::string& in_val) {
    std::array<char, kTextBufferSize> buffer{};
    check(LUMRA_ExecuteCommandWithValue(handle_, cmd.c_str(), buffer.data(), static_cast<int>(buffer.size()),
                                        in_val.empty() ? nullptr : in_val.c_str()));
    buffer.back() = '\0';
    answer = buffer.data();
}

std::string Lumra::getVersions(const std::string& /*library*/) {
    int major = 0, minor = 0, patch = 0, build = 0;
    check(LUMRA_GetVersion(&major, &minor, &patch, &build));
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch) + "." +
           std::to_string(build);
}

}  // namespace lym
