#include "sim/convert/converter.h"

#include <cstdint>
#include <unordered_map>

namespace qorsim::conv {
namespace {

constexpr size_t kToneCacheSize = 6;  // three colour channels of two alternating settings

// Handles are tokens, not addresses, and never reused: a deleted handle stays invalid even after
// new converters were created.
struct Registry {
    std::mutex mutex;
    std::unordered_map<const void*, std::shared_ptr<Converter>> live;
    uintptr_t last_token = 0x10000;
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: calls may arrive during static destruction
    return *r;
}

}  // namespace

Converter::Converter(int kind, const SensorModel& sensor) : kind_(kind), sensor_(sensor) {
    display_.wSize = kRecordSize;
    display_.iScale_min = 0;
    display_.iScale_max = sensor.full;
    display_.iColor_temp = 6500;
    display_.iGamma = 100;
}

Snapshot Converter::snapshot() const {
    std::lock_guard lock(mutex_);
    return Snapshot{kind_, sensor_, displayParams(display_), lut_};
}

QOR_Display Converter::display() const {
    std::lock_guard lock(mutex_);
    return display_;
}

void Converter::setDisplay(const QOR_Display& display) {
    std::lock_guard lock(mutex_);
    display_ = display;
}

void Converter::setSensor(const SensorModel& sensor) {
    std::lock_guard lock(mutex_);
    sensor_ = sensor;
}

void Converter::setLut(std::shared_ptr<const PseudoLut> lut) {
    std::lock_guard lock(mutex_);
    lut_ = std::move(lut);
}

std::shared_ptr<const ToneTable> Converter::toneTable(const ToneKey& key) {
    {
        std::lock_guard lock(mutex_);
        for (size_t i = 0; i < tone_cache_.size(); ++i) {
            if (tone_cache_[i].key == key) {
                CachedTable hit = tone_cache_[i];
                tone_cache_.erase(tone_cache_.begin() + static_cast<std::ptrdiff_t>(i));
                tone_cache_.insert(tone_cache_.begin(), hit);
                return hit.table;
            }
        }
    }
    // Built outside the lock, so that reading the display never waits for it.
    std::shared_ptr<const ToneTable> table = buildToneTable(key);
    std::lock_guard lock(mutex_);
    tone_cache_.insert(tone_cache_.begin(), CachedTable{key, table});
    if (tone_cache_.size() > kToneCacheSize) tone_cache_.pop_back();
    return table;
}

QOR_CONVERTER registerConverter(std::shared_ptr<Converter> converter) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.last_token += 0x10;
    void* handle = reinterpret_cast<void*>(r.last_token);
    r.live.emplace(handle, std::move(converter));
    return handle;
}

std::shared_ptr<Converter> findConverter(QOR_CONVERTER handle) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.live.find(handle);
    return it == r.live.end() ? nullptr : it->second;
}

bool unregisterConverter(QOR_CONVERTER handle) {
    Registry& r = registry();
    std::shared_ptr<Converter> gone;  // released after the lock
    std::lock_guard lock(r.mutex);
    auto it = r.live.find(handle);
    if (it == r.live.end()) return false;
    gone = std::move(it->second);
    r.live.erase(it);
    return true;
}

void unregisterAll() {
    Registry& r = registry();
    std::unordered_map<const void*, std::shared_ptr<Converter>> gone;
    std::lock_guard lock(r.mutex);
    gone.swap(r.live);
}

}  // namespace qorsim::conv
