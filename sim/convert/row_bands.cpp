#include "sim/convert/row_bands.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>
#include <vector>

namespace qorsim::conv {
namespace {

// Threads that wait for bands to convert. A thread started for every image cost a clone, a stack
// mapping and its first wake-up each time; these are started once and live as long as the process.
// After its work a helper watches for the next image for a moment before it sleeps (as OpenMP
// runtimes do), so that images converted one after another (a series, a stream, a client fetching
// frames) find it running: woken from its sleep it arrived when the caller had converted most of
// the bands itself.
class Helpers {
public:
    void offer(const std::shared_ptr<BandQueue>& queue, int helpers) {
        std::lock_guard lock(mutex_);
        while (static_cast<int>(threads_) < helpers) {
            std::thread([this] { serve(); }).detach();
            ++threads_;
        }
        for (int i = 0; i < helpers; ++i) offered_.push_back(queue);
        pending_.fetch_add(helpers, std::memory_order_release);
        wake_.notify_all();
    }

private:
    [[noreturn]] void serve() {
        for (;;) {
            std::shared_ptr<BandQueue> queue;
            watch();
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !offered_.empty(); });
                queue = std::move(offered_.front());
                offered_.pop_front();
                pending_.fetch_sub(1, std::memory_order_relaxed);
            }
            // A queue whose bands are all taken already is left at once.
            queue->work();
        }
    }

    // Returns when an offer is pending or kWatch has passed, without sleeping.
    void watch() const {
        const auto until = std::chrono::steady_clock::now() + kWatch;
        for (int spins = 0; pending_.load(std::memory_order_acquire) == 0; ++spins) {
#if defined(__x86_64__)
            __builtin_ia32_pause();
#endif
            if (spins % 64 == 0 && std::chrono::steady_clock::now() >= until) return;
        }
    }

    static constexpr auto kWatch = std::chrono::microseconds(500);
    std::atomic<int> pending_{0};  // offers not taken yet
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::shared_ptr<BandQueue>> offered_;
    size_t threads_ = 0;
};

}  // namespace

void offerToHelpers(const std::shared_ptr<BandQueue>& queue, int helpers) {
    if (helpers <= 0) return;
    // Never destroyed: detached helpers may still be waiting on it while the process exits.
    static Helpers* const shared = new Helpers();
    shared->offer(queue, helpers);
}

}  // namespace qorsim::conv
