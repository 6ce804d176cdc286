#pragma once

// Converter objects of the simulated conversion library and the registry of live handles.
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "camera/vendor/qor_convert.h"
#include "sim/convert/tone.h"

namespace qorsim::conv {

inline constexpr uint16_t kRecordSize = 264;

/// What the conversions need to know of the sensor, taken from a QOR_SensorInfo.
struct SensorModel {
    int bits = 16;
    bool colour = false;
    bool msb_aligned = false;
    int dark = 0;                                          // dark offset in the units of the pixel data as delivered
    int full = 65535;                                      // largest pixel value the sensor delivers
    std::array<double, 9> ccm{1, 0, 0, 0, 1, 0, 0, 0, 1};  // row-major, rows give R, G, B
};

/// A pseudo-colour table: 256 entries of red, green, blue.
struct PseudoLut {
    std::array<std::array<uint8_t, 3>, 256> rgb{};
};

/// Everything one conversion needs, copied out of the converter so that the conversion runs
/// without holding its lock.
struct Snapshot {
    int kind = 0;
    SensorModel sensor;
    DisplayParams display;
    std::shared_ptr<const PseudoLut> lut;  // null: grey ramp
};

/// One converter handle's state. All members are guarded by the mutex.
class Converter {
public:
    Converter(int kind, const SensorModel& sensor);

    int kind() const { return kind_; }
    Snapshot snapshot() const;
    QOR_Display display() const;
    void setDisplay(const QOR_Display& display);
    void setSensor(const SensorModel& sensor);
    void setLut(std::shared_ptr<const PseudoLut> lut);

    /// Tone table for the key, from a small cache of recently used tables or newly built.
    std::shared_ptr<const ToneTable> toneTable(const ToneKey& key);

private:
    const int kind_;
    mutable std::mutex mutex_;
    SensorModel sensor_;
    QOR_Display display_{};
    std::shared_ptr<const PseudoLut> lut_;
    struct CachedTable {
        ToneKey key;
        std::shared_ptr<const ToneTable> table;
    };
    std::vector<CachedTable> tone_cache_;  // most recently used first
};

/// Registers a new converter and returns its handle.
QOR_CONVERTER registerConverter(std::shared_ptr<Converter> converter);
/// The converter of a live handle, or null for anything else; never dereferences the handle.
std::shared_ptr<Converter> findConverter(QOR_CONVERTER handle);
/// Removes a handle; false when it was not live. Conversions still running keep their object.
bool unregisterConverter(QOR_CONVERTER handle);
/// Deletes every converter (the simulation's reset).
void unregisterAll();

}  // namespace qorsim::conv
