#include "sim/common/faults.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "sim/control.h"

namespace qorsim {
namespace {

struct Fault {
    int skip = 0;
    std::optional<int32_t> status;
    int count = 0;
    int block_ms = 0;
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
    const Fault fired = f;
    if (--f.count <= 0) r.faults.erase(it);
    lock.unlock();
    // A blocking call blocks only itself: other calls, and the process's exit, go on.
    if (fired.block_ms < 0)
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    if (fired.block_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fired.block_ms));
    if (!fired.status) return false;
    status = *fired.status;
    return true;
}

void armFault(const FaultEntry& entry) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (entry.count <= 0) {
        r.faults.erase(entry.call);
        return;
    }
    r.faults[entry.call] = Fault{entry.skip, entry.status, entry.count, entry.block_ms};
}

void failNext(const std::string& call, int32_t status, int count) { failAfter(call, 0, status, count); }

void failAfter(const std::string& call, int skip, int32_t status, int count) {
    armFault(FaultEntry{call, status, skip, count, 0});
}

void blockAfter(const std::string& call, int skip, int block_ms, std::optional<int32_t> status, int count) {
    armFault(FaultEntry{call, status, skip, count, block_ms});
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
