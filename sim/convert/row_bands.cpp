#include "sim/convert/row_bands.h"

#include <deque>
#include <thread>
#include <vector>

namespace qorsim::conv {
namespace {

// Threads that wait for bands to convert. A thread started for every image cost a clone, a stack
// mapping and its first wake-up each time; these are started once and live as long as the process.
class Helpers {
public:
    void offer(const std::shared_ptr<BandQueue>& queue, int helpers) {
        std::lock_guard lock(mutex_);
        while (static_cast<int>(threads_) < helpers) {
            std::thread([this] { serve(); }).detach();
            ++threads_;
        }
        for (int i = 0; i < helpers; ++i) offered_.push_back(queue);
        wake_.notify_all();
    }

private:
    [[noreturn]] void serve() {
        for (;;) {
            std::shared_ptr<BandQueue> queue;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return !offered_.empty(); });
                queue = std::move(offered_.front());
                offered_.pop_front();
            }
            // A queue whose bands are all taken already is left at once.
            queue->work();
        }
    }

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
