#pragma once

// The device file's "faults" and "unplug" lists, checked entry by entry: a malformed entry is
// reported once on standard error and left out, the others still apply.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qorsim {

/// One armed fault: after `skip` successful calls, the next `count` calls of `call` wait `block_ms`
/// (-1: forever) and then return `status`, or act normally when there is no status.
struct FaultEntry {
    std::string call;
    std::optional<int32_t> status;
    int skip = 0;
    int count = 1;
    int block_ms = 0;
};

/// When a camera disappears: after that many further calls on its handles, or that many seconds
/// after the library was initialised.
struct UnplugEntry {
    uint32_t serial = 0;
    std::optional<uint64_t> after_calls;
    std::optional<double> after_s;
};

/// The valid entries of the set's "faults" list; a call that this process does not export is
/// warned about (the entry is kept: such a fault never fires).
std::vector<FaultEntry> faultEntries(const nlohmann::json& set);
/// The valid entries of the set's "unplug" list.
std::vector<UnplugEntry> unplugEntries(const nlohmann::json& set);

}  // namespace qorsim
