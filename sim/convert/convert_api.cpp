// The exported C calls of the simulated conversion library: argument checks, then the
// converter's settings and the conversion pipelines.
#include <cmath>
#include <memory>

#include "camera/vendor/qor_convert.h"
#include "sim/common/device_set.h"
#include "sim/common/errors.h"
#include "sim/common/faults.h"
#include "sim/convert/conversions.h"
#include "sim/convert/converter.h"
#include "sim/convert/lut_file.h"
#include "sim/convert/white_balance.h"

#define QOR_CONVERT_EXPORT __attribute__((visibility("default")))

namespace conv = qorsim::conv;
namespace err = qorsim::err;

namespace {

constexpr int kMaxDimension = 65535;  // image sizes are 16-bit values throughout the SDK

// The simulation's reset deletes every converter.
[[maybe_unused]] const bool kResetHookAdded = [] {
    qorsim::addResetHook([] { conv::unregisterAll(); });
    return true;
}();

// The sensor model of a sensor-information record, or a failing status.
int32_t sensorModel(const QOR_SensorInfo* info, conv::SensorModel& model) {
    if (info == nullptr) return err::kConvInvalidArgument;
    if (info->wSize != conv::kRecordSize) return err::kConvWrongRecordSize;
    if (info->iDataBits < 1 || info->iDataBits > 16) return err::kConvInvalidArgument;
    model.bits = info->iDataBits;
    model.colour = (info->iSensorInfoBits & 0x1) != 0;
    model.msb_aligned = (info->iSensorInfoBits & 0x2) != 0;
    const int shift = model.msb_aligned ? 16 - model.bits : 0;
    const int sensor_full = (1 << model.bits) - 1;
    if (info->iDarkOffset < 0 || info->iDarkOffset >= sensor_full) return err::kConvInvalidArgument;
    model.full = sensor_full << shift;
    model.dark = info->iDarkOffset << shift;
    const QOR_ColorCoeff& c = info->strColorCoeff;
    const double m[9] = {c.da11, c.da12, c.da13, c.da21, c.da22, c.da23, c.da31, c.da32, c.da33};
    bool all_zero = true;
    for (int i = 0; i < 9; ++i) {
        if (!std::isfinite(m[i])) return err::kConvInvalidArgument;
        all_zero = all_zero && m[i] == 0.0;
    }
    // A record that was never filled in carries no matrix at all: no correction.
    if (!all_zero)
        for (int i = 0; i < 9; ++i) model.ccm[static_cast<size_t>(i)] = m[i];
    return 0;
}

bool colourKind(int kind) { return kind == QOR_CONVERT_COLOR || kind == QOR_CONVERT_COLOR16; }

int32_t checkImage(int color_mode, int width, int height, const void* in, const void* out) {
    if (in == nullptr || out == nullptr) return err::kConvInvalidArgument;
    if (width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension) return err::kConvInvalidArgument;
    if (color_mode < 0 || color_mode > 3) return err::kConvInvalidArgument;
    return 0;
}

// The converter of a live handle that serves the call, or the failing status.
int32_t converterFor(QOR_CONVERTER handle, bool (*serves)(int kind), std::shared_ptr<conv::Converter>& converter) {
    converter = conv::findConverter(handle);
    if (!converter) return err::kConvInvalidHandle;
    if (serves != nullptr && !serves(converter->kind())) return err::kConvWrongKind;
    return 0;
}

bool monoKind(int kind) { return kind == QOR_CONVERT_MONO; }
bool pseudoKind(int kind) { return kind == QOR_CONVERT_PSEUDO; }

}  // namespace

QOR_CONVERT_EXPORT int QOR_ConvertCreate(QOR_CONVERTER* converter, QOR_SensorInfo* sensor_info, int kind) {
    QORSIM_ENTER(QORSIM_PTR(converter), QORSIM_PTR(sensor_info), kind);
    if (converter == nullptr) return err::kConvInvalidArgument;
    conv::SensorModel model;
    if (const int32_t status = sensorModel(sensor_info, model); status != 0) return status;
    if (kind < QOR_CONVERT_MONO || kind > QOR_CONVERT_COLOR16) return err::kConvInvalidArgument;
    if (colourKind(kind) && !model.colour) return err::kConvWrongKind;
    *converter = conv::registerConverter(std::make_shared<conv::Converter>(kind, model));
    return 0;
}

QOR_CONVERT_EXPORT int QOR_ConvertDelete(QOR_CONVERTER converter) {
    QORSIM_ENTER(QORSIM_PTR(converter));
    return conv::unregisterConverter(converter) ? 0 : err::kConvInvalidHandle;
}

QOR_CONVERT_EXPORT int QOR_ConvertGetDisplay(QOR_CONVERTER converter, QOR_Display* display) {
    QORSIM_ENTER(QORSIM_PTR(converter), QORSIM_PTR(display));
    std::shared_ptr<conv::Converter> c;
    if (const int32_t status = converterFor(converter, nullptr, c); status != 0) return status;
    if (display == nullptr) return err::kConvInvalidArgument;
    if (display->wSize != conv::kRecordSize) return err::kConvWrongRecordSize;
    *display = c->display();
    return 0;
}

QOR_CONVERT_EXPORT int QOR_ConvertSetDisplay(QOR_CONVERTER converter, QOR_Display* display) {
    QORSIM_ENTER(QORSIM_PTR(converter), QORSIM_PTR(display));
    std::shared_ptr<conv::Converter> c;
    if (const int32_t status = converterFor(converter, nullptr, c); status != 0) return status;
    if (display == nullptr) return err::kConvInvalidArgument;
    if (display->wSize != conv::kRecordSize) return err::kConvWrongRecordSize;
    if (display->iGamma <= 0) return err::kConvInvalidArgument;
    c->setDisplay(*display);
    return 0;
}

QOR_CONVERT_EXPORT int QOR_ConvertSetSensorInfo(QOR_CONVERTER converter, QOR_SensorInfo* sensor_info) {
    QORSIM_ENTER(QORSIM_PTR(converter), QORSIM_PTR(sensor_info));
    std::shared_ptr<conv::Converter> c;
    if (const int32_t status = converterFor(converter, nullptr, c); status != 0) return status;
    conv::SensorModel model;
    if (const int32_t status = sensorModel(sensor_info, model); status != 0) return status;
    if (colourKind(c->kind()) && !model.colour) return err::kConvWrongKind;
    c->setSensor(model);
    return 0;
}

QOR_CONVERT_EXPORT int QOR_Convert16TO8(QOR_CONVERTER converter, int flags, int color_mode, int width, int height,
                                        const uint16_t* in, uint8_t* out) {
    QORSIM_ENTER(QORSIM_PTR(converter), flags, color_mode, width, height, QORSIM_PTR(in), QORSIM_PTR(out));
    std::shared_ptr<conv::Converter> c;
    if (const int32_t status = converterFor(converter, monoKind, c); status != 0) return status;
    if (const int32_t status = checkImage(color_mode, width, height, in, out); status != 0) return status;
    conv::convertMono8(*c, c->snapshot(), flags, width, height, in, out);
    return 0;
}

QOR_CONVERT_EXPORT int QOR_Convert16TOCOL(QOR_CONVERTER converter, int flags, int color_mode, int width, int height,
                                          const uint16_t* in, uint8_t* out) {
    QORSIM_ENTER(QORSIM_PTR(converter), flags, color_mode, width, height, QORSIM_PTR(in), QORSIM_PTR(out));
    std::shared_ptr<conv::Converter> c;
    if (const int32_t status = converterFor(converter, colourKind, c); status != 0) return status;
    if (const int32_t status = checkImage(color_mode, width, height, in, out); status != 0) return status;
    conv::convertColour8(*c, c->snapshot(), flags, color_mode, width, height, in, out);
    return 0;
}

QOR_CONVERT_EXPORT int QOR_Convert16TOPSEUDO(QOR_CONVERTER converter, int flags, int color_mode, int width, int height,
                                             const uint16_t* in, uint8_t* out) {
    QORSIM_ENTER(QORSIM_PTR(converter), flags, color_mode, width, height, QORSIM_PTR(in), QORSIM_PTR(out));
    std::shared_ptr<conv::Converter> c;
    if (const int32_t status = converterFor(converter, pseudoKind, c); status != 0) return status;
    if (const int32_t status = checkImage(color_mode, width, height, in, out); status != 0) return status;
    conv::convertPseudo(*c, c->snapshot(), flags, width, height, in, out);
    return 0;
}

QOR_CONVERT_EXPORT int QOR_Convert16TOCOL16(QOR_CONVERTER converter, int flags, int color_mode, int width, int height,
                                            const uint16_t* in, uint16_t* out) {
    QORSIM_ENTER(QORSIM_PTR(converter), flags, color_mode, width, height, QORSIM_PTR(in), QORSIM_PTR(out));
    std::shared_ptr<conv::Converter> c;
    if (const int32_t status = converterFor(converter, colourKind, c); status != 0) return status;
    if (const int32_t status = checkImage(color_mode, width, height, in, out); status != 0) return status;
    conv::convertColour16(c->snapshot(), flags, color_mode, width, height, in, out);
    return 0;
}

QOR_CONVERT_EXPORT int QOR_LoadPseudoLut(QOR_CONVERTER converter, int kind, const char* file) {
    QORSIM_ENTER(QORSIM_PTR(converter), kind, QORSIM_PTR(file));
    std::shared_ptr<conv::Converter> c;
    if (const int32_t status = converterFor(converter, pseudoKind, c); status != 0) return status;
    if (file == nullptr || kind < 0 || kind > 3) return err::kConvInvalidArgument;
    auto lut = std::make_shared<conv::PseudoLut>();
    switch (conv::readLutFile(file, kind, *lut)) {
        case conv::LutResult::Unreadable: return err::kConvLutFile;
        case conv::LutResult::Malformed: return err::kConvLutFormat;
        case conv::LutResult::Ok: break;
    }
    c->setLut(std::move(lut));
    return 0;
}

QOR_CONVERT_EXPORT int QOR_GetWhiteBalance(QOR_CONVERTER converter, int* color_temp, int* tint, int color_mode,
                                           int width, int height, const uint16_t* raw, int x0, int y0, int x1, int y1) {
    QORSIM_ENTER(QORSIM_PTR(converter), QORSIM_PTR(color_temp), QORSIM_PTR(tint), color_mode, width, height,
                 QORSIM_PTR(raw), x0, y0, x1, y1);
    std::shared_ptr<conv::Converter> c;
    if (const int32_t status = converterFor(converter, nullptr, c); status != 0) return status;
    if (color_temp == nullptr || tint == nullptr) return err::kConvInvalidArgument;
    if (const int32_t status = checkImage(color_mode, width, height, raw, raw); status != 0) return status;
    if (x0 < 1 || y0 < 1 || x1 < x0 || y1 < y0 || x1 > width || y1 > height) return err::kConvInvalidArgument;
    // Without signal in every channel there is nothing to balance: the current values stay.
    const QOR_Display current = c->display();
    int32_t temperature = current.iColor_temp;
    int32_t current_tint = current.iColor_tint;
    conv::estimateWhiteBalance(c->snapshot().sensor, color_mode, width, raw, x0 - 1, y0 - 1, x1 - 1, y1 - 1,
                               temperature, current_tint);
    *color_temp = temperature;
    *tint = current_tint;
    return 0;
}

QOR_CONVERT_EXPORT int QOR_GetWhiteBalanceGains(int color_temp, int tint, int bit_resolution, float* red, float* green,
                                                float* blue) {
    QORSIM_ENTER(color_temp, tint, bit_resolution, QORSIM_PTR(red), QORSIM_PTR(green), QORSIM_PTR(blue));
    if (red == nullptr || green == nullptr || blue == nullptr) return err::kConvInvalidArgument;
    if (bit_resolution < 1 || bit_resolution > 16) return err::kConvInvalidArgument;
    const conv::Gains gains = conv::gainsFor(color_temp, tint);
    *red = static_cast<float>(gains.r);
    *green = static_cast<float>(gains.g);
    *blue = static_cast<float>(gains.b);
    return 0;
}
