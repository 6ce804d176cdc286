#include "sim/common/camera_model.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <stdexcept>
#include <type_traits>

#include "sim/common/device_file_entries.h"
#include "sim/common/device_lock.h"
#include "sim/common/device_set.h"
#include "sim/common/errors.h"

namespace qorsim {
namespace {

const char* const kMonoTemplate = R"json({
  "name": "SimCam Mono",
  "serial": 10001,
  "interface": 8,
  "state_flags": 1,
  "camera_type": 2561,
  "camera_sub_type": 1,
  "description": {
    "wSensorTypeDESC": 0,
    "wMaxHorzResStdDESC": 2048, "wMaxVertResStdDESC": 2048,
    "wMaxHorzResExtDESC": 2048, "wMaxVertResExtDESC": 2048,
    "wDynResDESC": 16,
    "wMaxBinHorzDESC": 4, "wBinHorzSteppingDESC": 2, "wMaxBinVertDESC": 4, "wBinVertSteppingDESC": 2,
    "wRoiHorStepsDESC": 4, "wRoiVertStepsDESC": 2,
    "wNumADCsDESC": 1,
    "wMinSizeHorzDESC": 64, "wMinSizeVertDESC": 16,
    "dwPixelRateDESC": [100000000, 300000000, 0, 0],
    "wConvFactDESC": [100, 150, 0, 0],
    "wSoftRoiHorStepsDESC": 4, "wSoftRoiVertStepsDESC": 2,
    "dwMinDelayDESC": 0, "dwMaxDelayDESC": 1000, "dwMinDelayStepDESC": 10,
    "dwMinExposureDESC": 10000, "dwMaxExposureDESC": 10000, "dwMinExposureStepDESC": 10,
    "wDoubleImageDESC": 1,
    "sMinCoolSetDESC": -20, "sMaxCoolSetDESC": 20, "sDefaultCoolSetDESC": 0,
    "dwGeneralCapsDESC1": 1344290817,
    "dwGeneralCapsDESC3": 16384
  },
  "description_ex": {
    "wMinSizeHorzStdDESC": 64, "wMinSizeVertStdDESC": 16,
    "wMinSizeHorzExtDESC": 64, "wMinSizeVertExtDESC": 16
  },
  "sensor": {"dark_offset": 100, "ir_sensitivity": 0, "sensor_format": 0, "temperature_c": 21},
  "defaults": {
    "delay_ns": 0, "exposure_ns": 10000000, "timestamp_mode": 0, "trigger_mode": 0,
    "acquire_mode": 0, "acquire_count": 0, "metadata_mode": 0, "noise_filter_mode": 0,
    "binning": [1, 1], "bit_alignment": 0, "double_image": 0
  },
  "hwio": [
    {"names": ["Exposure Trigger", "", "", ""], "enabled": 1, "polarity": 4},
    {"names": ["Acquire Enable", "", "", ""], "enabled": 0, "polarity": 1},
    {"names": ["Status Busy", "Status Line", "Status Armed", ""], "enabled": 1, "polarity": 1},
    {"names": ["Status Expos", "Status Line", "Status Armed", ""], "enabled": 1, "polarity": 1,
     "functionality": [7, 0, 0, 0], "parameters": [2, 0, 0, 0]}
  ],
  "camram": {"page_size": 4096, "pages": 65536, "segments": [65536, 0, 0, 0], "active_segment": 1},
  "memory_budget_mb": 1024,
  "external_trigger_hz": 10
})json";

const char* const kColorTemplate = R"json({
  "name": "SimCam Color",
  "serial": 10002,
  "interface": 5,
  "state_flags": 1,
  "camera_type": 2562,
  "camera_sub_type": 2,
  "description": {
    "wSensorTypeDESC": 1,
    "wMaxHorzResStdDESC": 1920, "wMaxVertResStdDESC": 1200,
    "wMaxHorzResExtDESC": 1920, "wMaxVertResExtDESC": 1200,
    "wDynResDESC": 12,
    "wMaxBinHorzDESC": 2, "wBinHorzSteppingDESC": 1, "wMaxBinVertDESC": 2, "wBinVertSteppingDESC": 1,
    "wRoiHorStepsDESC": 2, "wRoiVertStepsDESC": 2,
    "wNumADCsDESC": 1,
    "wMinSizeHorzDESC": 32, "wMinSizeVertDESC": 32,
    "dwPixelRateDESC": [148000000, 0, 0, 0],
    "wConvFactDESC": [100, 0, 0, 0],
    "wSoftRoiHorStepsDESC": 2, "wSoftRoiVertStepsDESC": 2,
    "dwMinDelayDESC": 0, "dwMaxDelayDESC": 1000, "dwMinDelayStepDESC": 100,
    "dwMinExposureDESC": 20000, "dwMaxExposureDESC": 2000, "dwMinExposureStepDESC": 100,
    "wColorPatternDESC": 17185,
    "dwGeneralCapsDESC1": 135168,
    "dwGeneralCapsDESC3": 131072
  },
  "sensor": {"dark_offset": 64, "ir_sensitivity": 0, "sensor_format": 0, "temperature_c": 24,
             "color_matrix": [1.6, -0.4, -0.2, -0.3, 1.5, -0.2, -0.1, -0.5, 1.6]},
  "setup": {"pixel_format": 4, "allowed": 20},
  "defaults": {
    "delay_ns": 0, "exposure_ns": 10000000, "timestamp_mode": 0, "trigger_mode": 0,
    "acquire_mode": 0, "acquire_count": 0, "metadata_mode": 0, "noise_filter_mode": 0,
    "binning": [1, 1], "bit_alignment": 0, "double_image": 0
  },
  "hwio": [],
  "memory_budget_mb": 1024,
  "external_trigger_hz": 10
})json";

// A field of an SDK record, addressed by name in the device file.
struct FieldRef {
    const char* name;
    size_t offset;
    size_t elem_size;
    size_t count;
    bool is_signed;
};

#define QORSIM_FIELD(record, field)                                                                        \
    FieldRef {                                                                                             \
        #field, offsetof(record, field), sizeof(std::remove_all_extents_t<decltype(record::field)>),       \
            sizeof(decltype(record::field)) / sizeof(std::remove_all_extents_t<decltype(record::field)>),  \
            std::is_signed_v<std::remove_all_extents_t<decltype(record::field)>>                          \
    }

const std::vector<FieldRef>& descriptionFields() {
    static const std::vector<FieldRef> fields = {
        QORSIM_FIELD(QOR_Description, wSize), QORSIM_FIELD(QOR_Description, wSensorTypeDESC),
        QORSIM_FIELD(QOR_Description, wSensorSubTypeDESC), QORSIM_FIELD(QOR_Description, wMaxHorzResStdDESC),
        QORSIM_FIELD(QOR_Description, wMaxVertResStdDESC), QORSIM_FIELD(QOR_Description, wMaxHorzResExtDESC),
        QORSIM_FIELD(QOR_Description, wMaxVertResExtDESC), QORSIM_FIELD(QOR_Description, wDynResDESC),
        QORSIM_FIELD(QOR_Description, wMaxBinHorzDESC), QORSIM_FIELD(QOR_Description, wBinHorzSteppingDESC),
        QORSIM_FIELD(QOR_Description, wMaxBinVertDESC), QORSIM_FIELD(QOR_Description, wBinVertSteppingDESC),
        QORSIM_FIELD(QOR_Description, wRoiHorStepsDESC), QORSIM_FIELD(QOR_Description, wRoiVertStepsDESC),
        QORSIM_FIELD(QOR_Description, wNumADCsDESC), QORSIM_FIELD(QOR_Description, wMinSizeHorzDESC),
        QORSIM_FIELD(QOR_Description, dwPixelRateDESC), QORSIM_FIELD(QOR_Description, ZZdwDummypr),
        QORSIM_FIELD(QOR_Description, wConvFactDESC), QORSIM_FIELD(QOR_Description, sCoolingSetpoints),
        QORSIM_FIELD(QOR_Description, ZZwDummycv), QORSIM_FIELD(QOR_Description, wSoftRoiHorStepsDESC),
        QORSIM_FIELD(QOR_Description, wSoftRoiVertStepsDESC), QORSIM_FIELD(QOR_Description, wIRDESC),
        QORSIM_FIELD(QOR_Description, wMinSizeVertDESC), QORSIM_FIELD(QOR_Description, dwMinDelayDESC),
        QORSIM_FIELD(QOR_Description, dwMaxDelayDESC), QORSIM_FIELD(QOR_Description, dwMinDelayStepDESC),
        QORSIM_FIELD(QOR_Description, dwMinExposureDESC), QORSIM_FIELD(QOR_Description, dwMaxExposureDESC),
        QORSIM_FIELD(QOR_Description, dwMinExposureStepDESC), QORSIM_FIELD(QOR_Description, dwMinDelayIRDESC),
        QORSIM_FIELD(QOR_Description, dwMaxDelayIRDESC), QORSIM_FIELD(QOR_Description, dwMinExposureIRDESC),
        QORSIM_FIELD(QOR_Description, dwMaxExposureIRDESC), QORSIM_FIELD(QOR_Description, wTimeTableDESC),
        QORSIM_FIELD(QOR_Description, wDoubleImageDESC), QORSIM_FIELD(QOR_Description, sMinCoolSetDESC),
        QORSIM_FIELD(QOR_Description, sMaxCoolSetDESC), QORSIM_FIELD(QOR_Description, sDefaultCoolSetDESC),
        QORSIM_FIELD(QOR_Description, wPowerDownModeDESC), QORSIM_FIELD(QOR_Description, wOffsetRegulationDESC),
        QORSIM_FIELD(QOR_Description, wColorPatternDESC), QORSIM_FIELD(QOR_Description, wPatternTypeDESC),
        QORSIM_FIELD(QOR_Description, wDummy1), QORSIM_FIELD(QOR_Description, wDummy2),
        QORSIM_FIELD(QOR_Description, wNumCoolingSetpoints), QORSIM_FIELD(QOR_Description, dwGeneralCapsDESC1),
        QORSIM_FIELD(QOR_Description, dwGeneralCapsDESC2), QORSIM_FIELD(QOR_Description, dwExtSyncFrequency),
        QORSIM_FIELD(QOR_Description, dwGeneralCapsDESC3), QORSIM_FIELD(QOR_Description, dwGeneralCapsDESC4),
        QORSIM_FIELD(QOR_Description, ZZdwDummy),
    };
    return fields;
}

const std::vector<FieldRef>& descriptionExFields() {
    static const std::vector<FieldRef> fields = {
        QORSIM_FIELD(QOR_DescriptionEx3, wMinSizeHorzStdDESC),
        QORSIM_FIELD(QOR_DescriptionEx3, wMinSizeVertStdDESC),
        QORSIM_FIELD(QOR_DescriptionEx3, wMinSizeHorzExtDESC),
        QORSIM_FIELD(QOR_DescriptionEx3, wMinSizeVertExtDESC),
    };
    return fields;
}

#undef QORSIM_FIELD

void storeInteger(uint8_t* dst, size_t elem_size, bool is_signed, const nlohmann::json& value, const std::string& what) {
    if (!value.is_number_integer()) throw std::runtime_error(what + " must be an integer");
    int64_t v = value.is_number_unsigned() ? static_cast<int64_t>(value.get<uint64_t>()) : value.get<int64_t>();
    int64_t lo = is_signed ? -(int64_t{1} << (elem_size * 8 - 1)) : 0;
    int64_t hi = is_signed ? (int64_t{1} << (elem_size * 8 - 1)) - 1 : static_cast<int64_t>((uint64_t{1} << (elem_size * 8)) - 1);
    if (v < lo || v > hi) throw std::runtime_error(what + " is out of range");
    uint64_t bits = static_cast<uint64_t>(v);
    std::memcpy(dst, &bits, elem_size);  // little-endian
}

void applyFields(void* record, const std::vector<FieldRef>& fields, const nlohmann::json& values, const std::string& where) {
    if (!values.is_object()) throw std::runtime_error(where + " must be an object");
    auto* bytes = static_cast<uint8_t*>(record);
    for (const auto& [key, value] : values.items()) {
        auto it = std::find_if(fields.begin(), fields.end(), [&](const FieldRef& f) { return key == f.name; });
        if (it == fields.end()) throw std::runtime_error(where + ": unknown field \"" + key + "\"");
        std::string what = where + "." + key;
        if (it->count == 1) {
            storeInteger(bytes + it->offset, it->elem_size, it->is_signed, value, what);
            continue;
        }
        if (!value.is_array() || value.size() != it->count)
            throw std::runtime_error(what + " must be a list of " + std::to_string(it->count) + " integers");
        for (size_t i = 0; i < it->count; ++i)
            storeInteger(bytes + it->offset + i * it->elem_size, it->elem_size, it->is_signed, value[i], what);
    }
}

template <class T>
T integerOr(const nlohmann::json& obj, const char* key, T fallback) {
    if (!obj.is_object() || !obj.contains(key)) return fallback;
    const auto& v = obj.at(key);
    if (!v.is_number_integer()) throw std::runtime_error(std::string("\"") + key + "\" must be an integer");
    return v.get<T>();
}


void parseHwio(CameraSpec& model, const nlohmann::json& list) {
    if (!list.is_array() || list.size() > 4) throw std::runtime_error("\"hwio\" must be a list of at most 4 signals");
    model.hwio_count = static_cast<uint16_t>(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        const auto& s = list[i];
        QOR_Signal& rec = model.defaults.hwio[i];
        rec = QOR_Signal{};
        rec.wSize = sizeof(QOR_Signal);
        rec.wEnabled = integerOr<uint16_t>(s, "enabled", 0);
        rec.wType = integerOr<uint16_t>(s, "type", 1);
        rec.wPolarity = integerOr<uint16_t>(s, "polarity", 1);
        rec.wSelected = integerOr<uint16_t>(s, "selected", 0);
        QOR_SignalDescriptor& desc = model.hwio_descriptors[i];
        desc = QOR_SignalDescriptor{};
        desc.wSize = sizeof(QOR_SignalDescriptor);
        for (const char* key : {"functionality", "parameters", "names"}) {
            if (!s.contains(key)) continue;
            const auto& arr = s.at(key);
            if (!arr.is_array() || arr.size() != 4) throw std::runtime_error(std::string("hwio.") + key + " must be a list of 4");
            for (size_t k = 0; k < 4; ++k) {
                if (std::strcmp(key, "names") == 0) {
                    std::string name = arr[k].get<std::string>();
                    if (name.size() > 24) throw std::runtime_error("hwio.names: a name has at most 24 characters");
                    std::memcpy(desc.strSignalName[k], name.c_str(), name.size() + 1);
                } else if (std::strcmp(key, "functionality") == 0) {
                    rec.dwSignalFunctionality[k] = arr[k].get<uint32_t>();
                } else {
                    rec.dwParameter[k] = arr[k].get<uint32_t>();
                }
            }
        }
    }
}

}  // namespace

void splitSdkTime(uint64_t ns, uint32_t& value, uint16_t& base) {
    if (ns < 4000000) {
        value = static_cast<uint32_t>(ns);
        base = 0;
    } else if (ns < 4000000000ull) {
        value = static_cast<uint32_t>(ns / 1000);
        base = 1;
    } else {
        value = static_cast<uint32_t>(std::min<uint64_t>(ns / 1000000, 0xFFFFFFFF));
        base = 2;
    }
}

uint64_t CameraSettings::delayNs() const {
    static constexpr uint64_t kScale[3] = {1, 1000, 1000000};
    return uint64_t{delay} * kScale[delay_base > 2 ? 0 : delay_base];
}

uint64_t CameraSettings::exposureNs() const {
    static constexpr uint64_t kScale[3] = {1, 1000, 1000000};
    return uint64_t{exposure} * kScale[exposure_base > 2 ? 0 : exposure_base];
}

uint16_t CameraSpec::storageBits(const CameraSettings& s) const { return dataBits(s) <= 8 ? 8 : 16; }

uint16_t CameraSpec::dataBits(const CameraSettings& s) const {
    if (has3(0x00020000)) {
        switch (s.setup[0]) {
            case 1: return 16;
            case 2: return 14;
            case 4: return 12;
            case 8: return 10;
            case 16: return 8;
            default: break;
        }
    }
    return description.wDynResDESC;
}

std::vector<uint16_t> CameraSpec::binningFactors(bool horizontal) const {
    uint16_t max = horizontal ? description.wMaxBinHorzDESC : description.wMaxBinVertDESC;
    uint16_t stepping = horizontal ? description.wBinHorzSteppingDESC : description.wBinVertSteppingDESC;
    std::vector<uint16_t> factors;
    for (uint32_t f = 1; f <= std::max<uint16_t>(max, 1); f = stepping == 1 ? f + 1 : f * 2)
        factors.push_back(static_cast<uint16_t>(f));
    return factors;
}

uint64_t CameraSpec::minExposureNs() const {
    return ir_sensitivity == 1 && description.wIRDESC ? description.dwMinExposureIRDESC : description.dwMinExposureDESC;
}
uint64_t CameraSpec::maxExposureNs() const {
    return uint64_t{ir_sensitivity == 1 && description.wIRDESC ? description.dwMaxExposureIRDESC
                                                               : description.dwMaxExposureDESC} * 1000000;
}
uint64_t CameraSpec::minDelayNs() const {
    return ir_sensitivity == 1 && description.wIRDESC ? description.dwMinDelayIRDESC : description.dwMinDelayDESC;
}
uint64_t CameraSpec::maxDelayNs() const {
    return uint64_t{ir_sensitivity == 1 && description.wIRDESC ? description.dwMaxDelayIRDESC
                                                               : description.dwMaxDelayDESC} * 1000000;
}
uint16_t CameraSpec::maxWidth() const {
    return sensor_format ? description.wMaxHorzResExtDESC : description.wMaxHorzResStdDESC;
}
uint16_t CameraSpec::maxHeight() const {
    return sensor_format ? description.wMaxVertResExtDESC : description.wMaxVertResStdDESC;
}

nlohmann::json cameraTemplate(const std::string& name) {
    if (name == "mono") return nlohmann::json::parse(kMonoTemplate);
    if (name == "color") return nlohmann::json::parse(kColorTemplate);
    throw std::runtime_error("unknown camera template \"" + name + "\"");
}

CameraSpec parseCameraSpec(const nlohmann::json& entry) {
    if (!entry.is_object()) throw std::runtime_error("a camera entry must be an object");
    nlohmann::json j = cameraTemplate(entry.value("template", std::string("mono")));
    nlohmann::json patch = entry;
    patch.erase("template");
    j.merge_patch(patch);

    CameraSpec model;
    model.serial = integerOr<uint32_t>(j, "serial", 0);
    model.name = j.value("name", std::string("SimCam"));
    model.interface_type = integerOr<uint16_t>(j, "interface", 8);
    model.state_flags = integerOr<uint32_t>(j, "state_flags", 1);
    model.health_status = integerOr<uint32_t>(j, "health_status", 0);
    model.memory_budget_bytes = integerOr<uint64_t>(j, "memory_budget_mb", 1024) << 20;
    if (j.contains("external_trigger_hz")) model.external_trigger_hz = j.at("external_trigger_hz").get<double>();

    model.description.wSize = sizeof(QOR_Description);
    if (j.contains("description")) applyFields(&model.description, descriptionFields(), j["description"], "description");
    model.description.wSize = sizeof(QOR_Description);
    model.description_ex.wSize = sizeof(QOR_DescriptionEx3);
    if (j.contains("description_ex"))
        applyFields(&model.description_ex, descriptionExFields(), j["description_ex"], "description_ex");

    model.camera_type.wSize = sizeof(QOR_CameraType);
    model.camera_type.wCamType = integerOr<uint16_t>(j, "camera_type", 0);
    model.camera_type.wCamSubType = integerOr<uint16_t>(j, "camera_sub_type", 0);
    model.camera_type.dwSerialNumber = model.serial;
    model.camera_type.dwHWVersion = 0x0100;
    model.camera_type.dwFWVersion = 0x0203;
    model.camera_type.wInterfaceType = model.interface_type;

    const nlohmann::json sensor = j.value("sensor", nlohmann::json::object());
    model.dark_offset = integerOr<uint16_t>(sensor, "dark_offset", 100);
    model.ir_sensitivity = integerOr<uint16_t>(sensor, "ir_sensitivity", 0);
    model.sensor_format = integerOr<uint16_t>(sensor, "sensor_format", 0);
    model.temperature_c = integerOr<int16_t>(sensor, "temperature_c", 25);
    if (sensor.contains("color_matrix")) {
        const auto& m = sensor.at("color_matrix");
        if (!m.is_array() || m.size() != 9) throw std::runtime_error("sensor.color_matrix must be a list of 9 numbers");
        for (size_t i = 0; i < 9; ++i) model.color_matrix[i] = m[i].get<double>();
    }

    CameraSettings& d = model.defaults;
    const nlohmann::json defaults = j.value("defaults", nlohmann::json::object());
    splitSdkTime(integerOr<uint64_t>(defaults, "delay_ns", 0), d.delay, d.delay_base);
    splitSdkTime(integerOr<uint64_t>(defaults, "exposure_ns", 10000000), d.exposure, d.exposure_base);
    d.roi = {1, 1, model.maxWidth(), model.maxHeight()};
    if (defaults.contains("roi")) {
        const auto& r = defaults.at("roi");
        if (!r.is_array() || r.size() != 4) throw std::runtime_error("defaults.roi must be a list of 4");
        for (size_t i = 0; i < 4; ++i) d.roi[i] = r[i].get<uint16_t>();
    }
    d.timestamp_mode = integerOr<uint16_t>(defaults, "timestamp_mode", 0);
    d.pixel_rate = integerOr<uint32_t>(defaults, "pixel_rate", model.description.dwPixelRateDESC[0]);
    d.conversion_factor = integerOr<uint16_t>(defaults, "conversion_factor", model.description.wConvFactDESC[0]);
    d.trigger_mode = integerOr<uint16_t>(defaults, "trigger_mode", 0);
    d.acquire_mode = integerOr<uint16_t>(defaults, "acquire_mode", 0);
    d.acquire_count = integerOr<uint32_t>(defaults, "acquire_count", 0);
    d.metadata_mode = integerOr<uint16_t>(defaults, "metadata_mode", 0);
    d.noise_filter_mode = integerOr<uint16_t>(defaults, "noise_filter_mode", 0);
    if (defaults.contains("binning")) {
        const auto& b = defaults.at("binning");
        if (!b.is_array() || b.size() != 2) throw std::runtime_error("defaults.binning must be [horizontal, vertical]");
        d.binning_horz = b[0].get<uint16_t>();
        d.binning_vert = b[1].get<uint16_t>();
    }
    d.bit_alignment = integerOr<uint16_t>(defaults, "bit_alignment", 0);
    d.double_image = integerOr<uint16_t>(defaults, "double_image", 0);

    const nlohmann::json setup = j.value("setup", nlohmann::json::object());
    d.setup = {integerOr<uint32_t>(setup, "pixel_format", 0), integerOr<uint32_t>(setup, "allowed", 0), 0, 0};
    model.setup_allowed = d.setup[1];

    if (j.contains("hwio")) parseHwio(model, j.at("hwio"));

    const nlohmann::json camram = j.contains("camram") && j["camram"].is_object() ? j["camram"] : nlohmann::json::object();
    model.ram_page_size = integerOr<uint32_t>(camram, "page_size", 0);
    model.ram_pages = integerOr<uint32_t>(camram, "pages", 0);
    if (model.ram_pages > 0 && model.ram_page_size == 0) throw std::runtime_error("camram.page_size must not be 0");
    d.active_segment = integerOr<uint16_t>(camram, "active_segment", 1);
    if (camram.contains("segments")) {
        const auto& s = camram.at("segments");
        if (!s.is_array() || s.size() != 4) throw std::runtime_error("camram.segments must be a list of 4");
        uint64_t sum = 0;
        for (size_t i = 0; i < 4; ++i) sum += d.segment_pages[i] = s[i].get<uint32_t>();
        if (sum > model.ram_pages) throw std::runtime_error("camram.segments exceed camram.pages");
    } else {
        d.segment_pages = {model.ram_pages, 0, 0, 0};
    }
    return model;
}

uint32_t CameraRam::capacity(uint32_t pages, uint32_t page_size, uint32_t width, uint32_t height) {
    if (page_size == 0 || width == 0 || height == 0) return 0;
    uint64_t pages_per_image = (uint64_t{width} * height + page_size - 1) / page_size;
    return static_cast<uint32_t>(pages / pages_per_image);
}

CameraDevice::CameraDevice(CameraSpec model, uint16_t device_number)
    : model_(std::move(model)), device_number_(device_number), settings_(model_.defaults) {}

CameraSettings CameraDevice::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

void CameraDevice::resetSettings() {
    std::lock_guard lock(mutex_);
    // The RAM partition and the active segment survive a settings reset, as on a camera.
    auto segments = settings_.segment_pages;
    auto active = settings_.active_segment;
    settings_ = model_.defaults;
    settings_.segment_pages = segments;
    settings_.active_segment = active;
    armed_ = false;
}

void CameraDevice::setRecording(bool on) {
    recording_ = on;
    if (!on) wakeTriggerWaiters();
}

void CameraDevice::pushTrigger() {
    {
        std::lock_guard lock(trigger_mutex_);
        ++pending_triggers_;
    }
    trigger_cv_.notify_all();
}

namespace {
// Steady-clock time of the library's last initialisation in nanoseconds; -1 before the first.
std::atomic<int64_t> g_initialized_at_ns{-1};

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

bool CameraDevice::unplugged() const {
    if (unplugged_) return true;
    const int64_t initialized_at = g_initialized_at_ns;
    if (unplug_after_s_ < 0 || initialized_at < 0) return false;
    if (static_cast<double>(steadyNowNs() - initialized_at) < unplug_after_s_ * 1e9) return false;
    unplugged_ = true;
    return true;
}

void CameraDevice::planUnplug(std::optional<uint64_t> after_calls, std::optional<double> after_s) {
    if (after_calls) {
        if (*after_calls == 0) unplugged_ = true;
        calls_left_ = static_cast<int64_t>(*after_calls);
    }
    if (after_s) unplug_after_s_ = *after_s;
}

void CameraDevice::noteCall() {
    int64_t left = calls_left_;
    while (left > 0 && !calls_left_.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 1) unplugged_ = true;
}

bool CameraDevice::takeTrigger(std::chrono::steady_clock::time_point deadline, const std::atomic<bool>& stop) {
    std::unique_lock lock(trigger_mutex_);
    trigger_cv_.wait_until(lock, deadline, [&] { return pending_triggers_ > 0 || stop.load(); });
    if (pending_triggers_ == 0 || stop.load()) return false;
    --pending_triggers_;
    return true;
}

void CameraDevice::wakeTriggerWaiters() {
    {
        std::lock_guard lock(trigger_mutex_);
        if (!recording_) pending_triggers_ = 0;
    }
    trigger_cv_.notify_all();
}

namespace {

struct OpenHandle {
    std::shared_ptr<CameraDevice> device;
    std::unique_ptr<DeviceLock> lock;
};

struct Registry {
    std::mutex mutex;
    uint64_t generation = 0;
    std::vector<std::shared_ptr<CameraDevice>> devices;
    std::map<QOR_HANDLE, OpenHandle> handles;
    uintptr_t next_handle = 0x5100;
    bool initialized = false;
    int32_t init_status = 0;
    bool hook_installed = false;
};

Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

std::string lockName(const CameraDevice& d) { return "camera-" + std::to_string(d.model().serial); }

// Rebuilds the device list after the device set changed. Caller holds the registry mutex.
void refreshDevices(Registry& r) {
    if (!r.hook_installed) {
        r.hook_installed = true;
        addResetHook([] {
            Registry& reg = registry();
            std::lock_guard lock(reg.mutex);
            reg.handles.clear();
            reg.devices.clear();
            reg.generation = 0;
        });
    }
    uint64_t generation = deviceSetGeneration();
    if (r.generation == generation && !r.devices.empty()) return;
    r.generation = generation;
    r.devices.clear();
    nlohmann::json set = deviceSet();
    r.init_status = 0;
    if (set.contains("sdk") && set["sdk"].is_object()) {
        const nlohmann::json& status = set["sdk"].value("init_status", nlohmann::json(0));
        if (status.is_number_integer())
            r.init_status = static_cast<int32_t>(status.get<int64_t>());
        else
            std::fprintf(stderr, "[qor-sim] device file: \"init_status\" must be an integer; ignored\n");
    }
    uint16_t number = 1;
    for (const auto& entry : set["cameras"]) {
        try {
            r.devices.push_back(std::make_shared<CameraDevice>(parseCameraSpec(entry), number++));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "[qor-sim] camera entry skipped: %s\n", e.what());
        }
    }
    for (const UnplugEntry& plan : unplugEntries(set)) {
        bool found = false;
        for (const auto& d : r.devices) {
            if (d->model().serial != plan.serial) continue;
            d->planUnplug(plan.after_calls, plan.after_s);
            found = true;
        }
        if (!found) std::fprintf(stderr, "[qor-sim] device file: no camera %u to unplug\n", plan.serial);
    }
}

}  // namespace

std::vector<std::shared_ptr<CameraDevice>> cameraDevices() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    refreshDevices(r);
    return r.devices;
}

bool cameraInUse(const CameraDevice& device) {
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        for (const auto& [h, open] : r.handles)
            if (open.device.get() == &device) return true;
    }
    return DeviceLock::heldElsewhere(lockName(device));
}

int32_t openCamera(uint16_t device_number, QOR_HANDLE* handle) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    refreshDevices(r);
    auto it = std::find_if(r.devices.begin(), r.devices.end(),
                           [&](const auto& d) { return d->deviceNumber() == device_number && !d->unplugged(); });
    if (it == r.devices.end() || ((*it)->model().state_flags & QOR_DEVICE_AVAILABLE) == 0) return err::kNoSuchDevice;
    for (const auto& [h, open] : r.handles)
        if (open.device == *it) return err::kDeviceInUse;
    auto device_lock = DeviceLock::acquire(lockName(**it));
    if (!device_lock) return err::kDeviceInUse;
    QOR_HANDLE h = reinterpret_cast<QOR_HANDLE>(r.next_handle);
    r.next_handle += 0x10;
    r.handles[h] = OpenHandle{*it, std::move(device_lock)};
    (*it)->resetSettings();
    (*it)->setRecording(false);
    *handle = h;
    return 0;
}

int32_t closeCamera(QOR_HANDLE handle) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.handles.find(handle);
    if (it == r.handles.end()) return err::kInvalidHandle;
    it->second.device->setRecording(false);
    r.handles.erase(it);
    return 0;
}

HandleLookup lookupHandle(QOR_HANDLE handle) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.handles.find(handle);
    if (it == r.handles.end()) return {nullptr, err::kInvalidHandle};
    if (it->second.device->unplugged()) return {nullptr, err::kDisconnected};
    it->second.device->noteCall();
    return {it->second.device, 0};
}

bool sdkInitialized() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.initialized;
}

void setSdkInitialized(bool on) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.initialized = on;
    if (on) g_initialized_at_ns = steadyNowNs();
}

int32_t sdkInitStatus() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    refreshDevices(r);
    return r.init_status;
}

void unplug(uint32_t serial) {
    for (const auto& d : cameraDevices())
        if (d->model().serial == serial) d->unplug();
}

}  // namespace qorsim
