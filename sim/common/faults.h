#pragma once

// Call log and fault injection shared by every simulated library.
#include <cstdint>
#include <initializer_list>
#include <string>

namespace qorsim {

/// Logs the call with its integer arguments; returns true with `status` set when a fault is armed
/// for it, in which case the call must return that status and do nothing else.
bool enterCall(const char* name, std::initializer_list<int64_t> args, int32_t& status);

/// Makes the named call block for `block_ms` (negative: for ever) on its next `count` calls after
/// `skip` unaffected ones; a call that comes back then runs normally.
void blockAfter(const std::string& call, int skip, int block_ms, int count);

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
