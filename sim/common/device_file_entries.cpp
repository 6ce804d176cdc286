#include "sim/common/device_file_entries.h"

#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>

namespace qorsim {
namespace {

using nlohmann::json;

// An integer field within [min, max], or the fallback when the key is absent.
int64_t integerField(const json& entry, const char* key, int64_t fallback, int64_t min, int64_t max) {
    if (!entry.contains(key)) return fallback;
    const json& v = entry[key];
    if (!v.is_number_integer())
        throw std::runtime_error(std::string("\"") + key + "\" must be an integer, not " + v.dump());
    const bool negative = v.is_number_unsigned() ? false : v.get<int64_t>() < 0;
    if (!negative && v.get<uint64_t>() > static_cast<uint64_t>(max))
        throw std::runtime_error(std::string("\"") + key + "\" is out of range: " + v.dump());
    const int64_t value = negative ? v.get<int64_t>() : static_cast<int64_t>(v.get<uint64_t>());
    if (value < min || value > max)
        throw std::runtime_error(std::string("\"") + key + "\" is out of range: " + v.dump());
    return value;
}

// Reports every malformed entry of the list `key` and returns the parsed rest.
template <class Entry, class Parse>
std::vector<Entry> entries(const json& set, const char* key, Parse parse) {
    std::vector<Entry> out;
    if (!set.is_object() || !set.contains(key)) return out;
    const json& list = set[key];
    if (!list.is_array()) {
        std::fprintf(stderr, "[qor-sim] device file: \"%s\" must be a list; ignored\n", key);
        return out;
    }
    for (size_t i = 0; i < list.size(); ++i) {
        try {
            if (!list[i].is_object()) throw std::runtime_error("an entry must be an object");
            out.push_back(parse(list[i]));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "[qor-sim] device file: \"%s\" entry %zu skipped: %s\n", key, i, e.what());
        }
    }
    return out;
}

FaultEntry parseFault(const json& f) {
    FaultEntry e;
    if (!f.contains("call") || !f["call"].is_string()) throw std::runtime_error("\"call\" must be a call name");
    e.call = f["call"].get<std::string>();
    // Statuses are written signed (-2146172921) or as the unsigned word (2148794375).
    if (f.contains("status"))
        e.status = static_cast<int32_t>(static_cast<uint32_t>(integerField(
            f, "status", 0, std::numeric_limits<int32_t>::min(), std::numeric_limits<uint32_t>::max())));
    e.skip = static_cast<int>(integerField(f, "skip", 0, 0, std::numeric_limits<int>::max()));
    e.count = static_cast<int>(integerField(f, "count", 1, 1, std::numeric_limits<int>::max()));
    e.block_ms = static_cast<int>(integerField(f, "block_ms", 0, -1, std::numeric_limits<int>::max()));
    if (!e.status && e.block_ms == 0) throw std::runtime_error("a fault needs \"status\" or \"block_ms\"");
    if (dlsym(RTLD_DEFAULT, e.call.c_str()) == nullptr)
        std::fprintf(stderr, "[qor-sim] device file: fault for \"%s\": no such call in this process\n",
                     e.call.c_str());
    return e;
}

UnplugEntry parseUnplug(const json& u) {
    UnplugEntry e;
    if (!u.contains("serial")) throw std::runtime_error("\"serial\" is missing");
    e.serial = static_cast<uint32_t>(integerField(u, "serial", 0, 0, std::numeric_limits<uint32_t>::max()));
    if (u.contains("after_calls"))
        e.after_calls =
            static_cast<uint64_t>(integerField(u, "after_calls", 0, 0, std::numeric_limits<int64_t>::max()));
    if (u.contains("after_s")) {
        const json& v = u["after_s"];
        if (!v.is_number() || !std::isfinite(v.get<double>()) || v.get<double>() < 0)
            throw std::runtime_error("\"after_s\" must be a number of seconds, not " + v.dump());
        e.after_s = v.get<double>();
    }
    if (e.after_calls.has_value() == e.after_s.has_value())
        throw std::runtime_error("an entry needs exactly one of \"after_calls\" and \"after_s\"");
    return e;
}

}  // namespace

std::vector<FaultEntry> faultEntries(const json& set) { return entries<FaultEntry>(set, "faults", parseFault); }

std::vector<UnplugEntry> unplugEntries(const json& set) { return entries<UnplugEntry>(set, "unplug", parseUnplug); }

}  // namespace qorsim
