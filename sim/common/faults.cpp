#include "sim/common/faults.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "sim/control.h"

namespace qorsim {
namespace {

struct Fault {
    int skip = 0;
    int32_t status = 0;
    int count = 0;
    int block_ms = 0;  // instead of failing, the call blocks this long (negative: for ever), then runs
};

// The log keeps the most recent calls only, so long recordings do not grow it without bound.
constexpr size_t kMaxLoggedCalls = 20000;

struct Registry {
    std::mutex mutex;
    std::map<std::string, Fault> faults;
    std::deque<CallRecord> log;
    std::map<std::string, int> counts;
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: calls may arrive during static destruction
    return *r;
}

}  // namespace

bool enterCall(const char* name, std::initializer_list<int64_t> args, int32_t& status) {
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    r.log.push_back(CallRecord{name, std::vector<int64_t>(args)});
    if (r.log.size() > kMaxLoggedCalls) r.log.pop_front();
    ++r.counts[name];
    auto it = r.faults.find(name);
    if (it == r.faults.end()) return false;
    Fault& f = it->second;
    if (f.skip > 0) {
        --f.skip;
        return false;
    }
    status = f.status;
    const int block_ms = f.block_ms;
    if (--f.count <= 0) r.faults.erase(it);
    if (block_ms == 0) return true;
    // A hung device: the call neither returns nor holds the registry while it waits.
    lock.unlock();
    if (block_ms < 0)
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(block_ms));
    return false;
}

void blockAfter(const std::string& call, int skip, int block_ms, int count) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (count <= 0) {
        r.faults.erase(call);
        return;
    }
    r.faults[call] = Fault{skip, 0, count, block_ms};
}

void failNext(const std::string& call, int32_t status, int count) { failAfter(call, 0, status, count); }

void failAfter(const std::string& call, int skip, int32_t status, int count) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (count <= 0) {
        r.faults.erase(call);
        return;
    }
    r.faults[call] = Fault{skip, status, count};
}

void clearFaults() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.faults.clear();
}

std::vector<CallRecord> calls() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return {r.log.begin(), r.log.end()};
}

int callCount(const std::string& name) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.counts.find(name);
    return it == r.counts.end() ? 0 : it->second;
}

std::vector<int64_t> lastCallArgs(const std::string& name) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = std::find_if(r.log.rbegin(), r.log.rend(), [&](const CallRecord& c) { return c.name == name; });
    return it == r.log.rend() ? std::vector<int64_t>{} : it->args;
}

void clearCalls() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.log.clear();
    r.counts.clear();
}

}  // namespace qorsim
