// The exported calls of the simulated light-source SDK (liblym_lumra.so.1).
#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "lightsource/vendor/lym_lumra.h"
#include "sim/common/errors.h"
#include "sim/common/faults.h"
#include "sim/lumra/lumra_commands.h"
#include "sim/lumra/lumra_devices.h"
#include "sim/lumra/lumra_log.h"

#define LUMRA_EXPORT extern "C" __attribute__((visibility("default")))

namespace qorsim::lumra {
namespace {

constexpr int kOutput = 1;

uint32_t readU32(const LUMRA_LRStruct& record, size_t offset) {
    const auto* b = reinterpret_cast<const unsigned char*>(&record) + offset;
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
}

void writeU32(LUMRA_LRStruct& record, size_t offset, uint32_t value) {
    auto* b = reinterpret_cast<unsigned char*>(&record) + offset;
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(value >> (8 * i));
}

size_t recordChannels(const Device& device) {
    return std::min<size_t>(device.channels.size(), LUMRA_LR_MAX_CHANNELS);
}

// Copies a text into a caller's buffer, cut short and NUL-terminated when it does not fit.
int32_t copyText(const std::string& text, char* buffer, int buffer_len) {
    if (buffer_len <= 0) return err::kLumraBufferTooSmall;
    const size_t room = static_cast<size_t>(buffer_len) - 1;
    const size_t n = std::min(text.size(), room);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return n < text.size() ? err::kLumraBufferTooSmall : 0;
}

// At most one channel of each exclusivity group may be on.
bool groupsExclusive(const std::vector<bool>& on, const std::vector<Channel>& channels) {
    std::set<uint32_t> seen;
    for (size_t i = 0; i < channels.size(); ++i)
        if (on[i] && channels[i].group != 0 && !seen.insert(channels[i].group).second) return false;
    return true;
}

int32_t scanDevices(LUMRA_HANDLE* handles, int capacity, int* count) {
    if (count == nullptr || (handles == nullptr && capacity > 0)) return err::kLumraNullPointer;
    if (capacity < 0) return err::kLumraInvalidValue;
    Session session;
    const std::vector<Device>& devices = session.devices();
    const size_t n = std::min(devices.size(), static_cast<size_t>(capacity));
    for (size_t i = 0; i < n; ++i) handles[i] = handleOf(devices[i]);
    *count = static_cast<int>(n);
    return n < devices.size() ? err::kLumraBufferTooSmall : 0;
}

int32_t getDeviceInfo(LUMRA_HANDLE handle, int* type, char* port, int port_len, int* status) {
    Session session;
    const Device* device = session.find(handle);
    if (device == nullptr) return err::kLumraInvalidHandle;
    if (type != nullptr) *type = device->type;
    if (status != nullptr) *status = session.status(*device);
    return port != nullptr ? copyText(device->port, port, port_len) : 0;
}

int32_t openDevice(LUMRA_HANDLE handle) {
    Session session;
    Device* device = session.find(handle);
    if (device == nullptr) return err::kLumraInvalidHandle;
    if (device->opened || !session.open(*device)) return err::kLumraInUse;
    logLine(kLogCalls, "opened light source " + std::to_string(device->serial) + " at " + device->port);
    return 0;
}

int32_t closeDevice(LUMRA_HANDLE handle) {
    Session session;
    Device* device = session.find(handle);
    if (device == nullptr) return err::kLumraInvalidHandle;
    if (!device->opened) return err::kLumraNotOpened;
    session.close(*device);
    return 0;
}

int32_t switchOutput(LUMRA_HANDLE handle, int target, int on) {
    Session session;
    Device* device = session.find(handle);
    if (device == nullptr) return err::kLumraInvalidHandle;
    if (!device->opened) return err::kLumraNotOpened;
    if (target != kOutput || (on != 0 && on != 1)) return err::kLumraInvalidValue;
    device->output_on = on == 1;
    return 0;
}

int32_t getRecord(LUMRA_HANDLE handle, LUMRA_LRStruct* record) {
    Session session;
    const Device* device = session.find(handle);
    if (device == nullptr) return err::kLumraInvalidHandle;
    if (record == nullptr) return err::kLumraNullPointer;
    if (record->wSize != LUMRA_LR_RECORD_SIZE) return err::kLumraWrongRecordSize;
    if (!device->opened) return err::kLumraNotOpened;
    std::memset(record->bData, 0, sizeof record->bData);
    writeU32(*record, LUMRA_LR_OFS_CHANNEL_COUNT, static_cast<uint32_t>(device->channels.size()));
    writeU32(*record, LUMRA_LR_OFS_SERIAL, device->serial);
    for (size_t i = 0; i < recordChannels(*device); ++i) {
        const Channel& c = device->channels[i];
        uint32_t state = 0;
        if (c.on) state |= LUMRA_LR_STATE_ON;
        if (c.on && device->output_on) state |= LUMRA_LR_STATE_EMITTING;
        writeU32(*record, LUMRA_LR_CHANNEL_FIELD(i, LUMRA_LR_CH_WAVELENGTH), c.wavelength);
        writeU32(*record, LUMRA_LR_CHANNEL_FIELD(i, LUMRA_LR_CH_GROUP), c.group);
        writeU32(*record, LUMRA_LR_CHANNEL_FIELD(i, LUMRA_LR_CH_INTENSITY), static_cast<uint32_t>(c.intensity));
        writeU32(*record, LUMRA_LR_CHANNEL_FIELD(i, LUMRA_LR_CH_MIN), c.min);
        writeU32(*record, LUMRA_LR_CHANNEL_FIELD(i, LUMRA_LR_CH_MAX), c.max);
        writeU32(*record, LUMRA_LR_CHANNEL_FIELD(i, LUMRA_LR_CH_STATE), state);
    }
    return 0;
}

// Only intensities and channel on-states are writable; the record cannot reach channels beyond the
// sixteenth, which keep their state. A rejected record changes nothing.
int32_t setRecord(LUMRA_HANDLE handle, const LUMRA_LRStruct* record) {
    Session session;
    Device* device = session.find(handle);
    if (device == nullptr) return err::kLumraInvalidHandle;
    if (record == nullptr) return err::kLumraNullPointer;
    if (record->wSize != LUMRA_LR_RECORD_SIZE) return err::kLumraWrongRecordSize;
    if (!device->opened) return err::kLumraNotOpened;
    std::vector<Channel>& channels = device->channels;
    std::vector<int32_t> intensities(channels.size());
    std::vector<bool> on(channels.size());
    for (size_t i = 0; i < channels.size(); ++i) {
        intensities[i] = channels[i].intensity;
        on[i] = channels[i].on;
    }
    for (size_t i = 0; i < recordChannels(*device); ++i) {
        const auto intensity =
            static_cast<int32_t>(readU32(*record, LUMRA_LR_CHANNEL_FIELD(i, LUMRA_LR_CH_INTENSITY)));
        if (intensity < 0 || static_cast<uint32_t>(intensity) < channels[i].min ||
            static_cast<uint32_t>(intensity) > channels[i].max)
            return err::kLumraInvalidValue;
        intensities[i] = intensity;
        on[i] = (readU32(*record, LUMRA_LR_CHANNEL_FIELD(i, LUMRA_LR_CH_STATE)) & LUMRA_LR_STATE_ON) != 0;
    }
    if (!groupsExclusive(on, channels)) return err::kLumraInvalidValue;
    for (size_t i = 0; i < channels.size(); ++i) {
        channels[i].intensity = intensities[i];
        channels[i].on = on[i];
    }
    return 0;
}

int32_t executeCommand(LUMRA_HANDLE handle, const char* command, char* answer, int answer_len, const char* value) {
    Session session;
    Device* device = session.find(handle);
    if (device == nullptr) return err::kLumraInvalidHandle;
    if (command == nullptr || answer == nullptr) return err::kLumraNullPointer;
    if (answer_len <= 0) return err::kLumraBufferTooSmall;
    answer[0] = '\0';
    if (!device->opened) return err::kLumraNotOpened;
    std::string text;
    const int32_t status = runCommand(*device, command, value, text);
    logLine(kLogCommands, std::string("command \"") + command + "\" value \"" + (value ? value : "") +
                              "\" answer \"" + text + "\"");
    if (status != 0) return status;
    // The command has been carried out even when its answer is cut short.
    return copyText(text, answer, answer_len);
}

int32_t getVersion(int* major, int* minor, int* patch, int* build) {
    if (major == nullptr || minor == nullptr || patch == nullptr || build == nullptr) return err::kLumraNullPointer;
    const std::array<int, 4> version = sdkVersion();
    *major = version[0];
    *minor = version[1];
    *patch = version[2];
    *build = version[3];
    return 0;
}

}  // namespace
}  // namespace qorsim::lumra

using namespace qorsim::lumra;

LUMRA_EXPORT int32_t LUMRA_ScanDevices(LUMRA_HANDLE* handles, int capacity, int* count) {
    QORSIM_ENTER(QORSIM_PTR(handles), capacity, QORSIM_PTR(count));
    return logCall(__func__, scanDevices(handles, capacity, count));
}

LUMRA_EXPORT int32_t LUMRA_GetDeviceInfo(LUMRA_HANDLE handle, int* type, char* port, int port_len, int* status) {
    QORSIM_ENTER(QORSIM_PTR(handle), QORSIM_PTR(type), QORSIM_PTR(port), port_len, QORSIM_PTR(status));
    return logCall(__func__, getDeviceInfo(handle, type, port, port_len, status));
}

LUMRA_EXPORT int32_t LUMRA_OpenDeviceEx(LUMRA_HANDLE handle) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    return logCall(__func__, openDevice(handle));
}

LUMRA_EXPORT int32_t LUMRA_CloseDevice(LUMRA_HANDLE handle) {
    QORSIM_ENTER(QORSIM_PTR(handle));
    return logCall(__func__, closeDevice(handle));
}

LUMRA_EXPORT int32_t LUMRA_SwitchLumra(LUMRA_HANDLE handle, int target, int on) {
    QORSIM_ENTER(QORSIM_PTR(handle), target, on);
    return logCall(__func__, switchOutput(handle, target, on));
}

LUMRA_EXPORT int32_t LUMRA_GetLRStruct(LUMRA_HANDLE handle, LUMRA_LRStruct* record) {
    QORSIM_ENTER(QORSIM_PTR(handle), QORSIM_PTR(record));
    return logCall(__func__, getRecord(handle, record));
}

LUMRA_EXPORT int32_t LUMRA_SetLRStruct(LUMRA_HANDLE handle, const LUMRA_LRStruct* record) {
    QORSIM_ENTER(QORSIM_PTR(handle), QORSIM_PTR(record));
    return logCall(__func__, setRecord(handle, record));
}

LUMRA_EXPORT int32_t LUMRA_ExecuteCommandWithValue(LUMRA_HANDLE handle, const char* command, char* answer,
                                                   int answer_len, const char* value) {
    QORSIM_ENTER(QORSIM_PTR(handle), QORSIM_PTR(command), QORSIM_PTR(answer), answer_len, QORSIM_PTR(value));
    return logCall(__func__, executeCommand(handle, command, answer, answer_len, value));
}

LUMRA_EXPORT int32_t LUMRA_GetVersion(int* major, int* minor, int* patch, int* build) {
    QORSIM_ENTER(QORSIM_PTR(major), QORSIM_PTR(minor), QORSIM_PTR(patch), QORSIM_PTR(build));
    return logCall(__func__, getVersion(major, minor, patch, build));
}

LUMRA_EXPORT int32_t LUMRA_SetLogBits(uint32_t bits) {
    QORSIM_ENTER(static_cast<int64_t>(bits));
    setLogBits(bits);
    return logCall(__func__, 0);
}

LUMRA_EXPORT int32_t LUMRA_SetLogMode(int mode) {
    QORSIM_ENTER(mode);
    return logCall(__func__, setLogMode(mode) ? 0 : qorsim::err::kLumraInvalidValue);
}

LUMRA_EXPORT int32_t LUMRA_SetLogFile(const char* path) {
    QORSIM_ENTER(QORSIM_PTR(path));
    if (path == nullptr) return logCall(__func__, qorsim::err::kLumraNullPointer);
    setLogFile(path);
    return logCall(__func__, 0);
}
