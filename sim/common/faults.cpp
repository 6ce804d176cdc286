#include "sim/common/faults.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>
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

// One logged call, kept without allocating: its name is the call's own static name.
struct LoggedCall {
    static constexpr size_t kInlineArgs = 8;
    const char* name = "";
    size_t count = 0;
    std::array<int64_t, kInlineArgs> args{};
    std::vector<int64_t> more;  // arguments past the inline ones, rarely any

    void assign(const char* call, std::initializer_list<int64_t> values) {
        name = call;
        count = values.size();
        const size_t inline_count = std::min(count, kInlineArgs);
        std::copy_n(values.begin(), inline_count, args.begin());
        more.assign(values.begin() + inline_count, values.end());
    }
    CallRecord record() const {
        CallRecord r{name, std::vector<int64_t>(args.begin(), args.begin() + std::min(count, kInlineArgs))};
        r.args.insert(r.args.end(), more.begin(), more.end());
        return r;
    }
};

// The most recent calls, oldest first from `first`, in a ring that is filled once and then reused.
class CallLog {
public:
    void add(const char* name, std::initializer_list<int64_t> args) {
        if (ring_.size() < kMaxLoggedCalls) {
            ring_.emplace_back().assign(name, args);
            return;
        }
        ring_[first_].assign(name, args);
        first_ = (first_ + 1) % ring_.size();
    }
    template <typename F>
    void forEach(F&& f) const {
        for (size_t i = 0; i < ring_.size(); ++i) f(ring_[(first_ + i) % ring_.size()]);
    }
    void clear() {
        ring_.clear();
        first_ = 0;
    }

private:
    std::vector<LoggedCall> ring_;
    size_t first_ = 0;
};

struct Registry {
    std::mutex mutex;
    std::map<std::string, Fault, std::less<>> faults;
    CallLog log;
    std::map<std::string, int, std::less<>> counts;
};

Registry& registry() {
    static Registry* r = new Registry;  // never destroyed: calls may arrive during static destruction
    return *r;
}

}  // namespace

bool enterCall(const char* name, std::initializer_list<int64_t> args, int32_t& status) {
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    r.log.add(name, args);
    const std::string_view call(name);
    if (auto counted = r.counts.find(call); counted != r.counts.end())
        ++counted->second;
    else
        r.counts.emplace(call, 1);
    if (r.faults.empty()) return false;
    auto it = r.faults.find(call);
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
    std::vector<CallRecord> records;
    r.log.forEach([&](const LoggedCall& call) { records.push_back(call.record()); });
    return records;
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
    std::vector<int64_t> last;
    r.log.forEach([&](const LoggedCall& call) {
        if (call.name == name) last = call.record().args;
    });
    return last;
}

void clearCalls() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.log.clear();
    r.counts.clear();
}

}  // namespace qorsim
