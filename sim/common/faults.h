#pragma once

// Call log and fault injection shared by every simulated library.
#include <cstdint>
#include <initializer_list>
#include <string>

#include "sim/common/device_file_entries.h"

namespace qorsim {

/// Arms one fault, replacing an armed fault of the same call; a count of 0 disarms the call.
void armFault(const FaultEntry& entry);

/// Logs the call with its integer arguments and waits when an armed fault blocks it; returns true
/// with `status` set when the fault has a status, in which case the call must return that status and
/// do nothing else.
bool enterCall(const char* name, std::initializer_list<int64_t> args, int32_t& status);

}  // namespace qorsim

/// First statement of every exported call: logs it and returns an injected status if one is armed.
#define QORSIM_ENTER(...)                                              \
    do {                                                               \
        int32_t qorsim_injected_status_ = 0;                           \
        if (::qorsim::enterCall(__func__, {__VA_ARGS__}, qorsim_injected_status_)) \
            return qorsim_injected_status_;                            \
    } while (0)

/// Integer view of a pointer argument for the call log.
#define QORSIM_PTR(p) static_cast<int64_t>(reinterpret_cast<intptr_t>(p))
