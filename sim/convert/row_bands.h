#pragma once

// Splits an image's rows into bands converted side by side. Every output row depends only on the
// input rows around it, so a band that reads beyond its own rows gives the same bytes as one pass.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "sim/common/conversion_threads.h"

namespace qorsim::conv {

/// Below this many pixels a second thread costs more than it saves.
inline constexpr long kBandMinPixels = 256 * 1024;
/// Bands per thread: small bands let the calling thread take over the work of a helper that the
/// system does not schedule soon, at the price of a few rows read twice at each band's edge.
inline constexpr int kBandsPerThread = 8;

/// The bands of one image, claimed one after the other by the calling thread and its helpers.
struct BandQueue {
    std::function<void(int, int)> rows;
    int height = 0;
    int count = 0;
    std::atomic<int> next{0};
    std::mutex mutex;
    std::condition_variable finished_one;
    int finished = 0;

    // Converts bands until none is left; false when this caller got none.
    void work() {
        for (int b; (b = next.fetch_add(1)) < count;) {
            rows(height * b / count, height * (b + 1) / count);
            std::lock_guard lock(mutex);
            ++finished;
            finished_one.notify_all();
        }
    }
};

/// Lets `helpers` threads of the library's own (started on first use and kept) join the work of
/// `queue`.
void offerToHelpers(const std::shared_ptr<BandQueue>& queue, int helpers);

/// Calls rows(begin, end) for bands of [0, height) on the calling thread and helper threads. The
/// caller waits only for bands a helper has started; a helper that starts late finds nothing to do.
template <typename Rows>
void inBands(int width, int height, Rows&& rows) {
    const int threads = conversionThreads();
    if (threads <= 1 || static_cast<long>(width) * height < kBandMinPixels || height < 2) {
        rows(0, height);
        return;
    }
    auto queue = std::make_shared<BandQueue>();
    queue->rows = [&rows](int begin, int end) { rows(begin, end); };
    queue->height = height;
    queue->count = std::min(height, threads * kBandsPerThread);
    offerToHelpers(queue, threads - 1);
    queue->work();
    std::unique_lock lock(queue->mutex);
    queue->finished_one.wait(lock, [&] { return queue->finished == queue->count; });
}

}  // namespace qorsim::conv
