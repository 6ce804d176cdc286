#include "sim/common/conversion_threads.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "sim/control.h"

namespace qorsim {
namespace {

int defaultThreads() { return std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 2); }

std::atomic<int>& threads() {
    static std::atomic<int> count{defaultThreads()};
    return count;
}

}  // namespace

int conversionThreads() { return threads().load(); }

void setConversionThreads(int count) { threads() = count < 1 ? defaultThreads() : count; }

}  // namespace qorsim
