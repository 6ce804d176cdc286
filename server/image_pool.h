#pragma once

// Images whose pixel buffers are reused by later downloads: a fresh multi-MiB buffer costs a page
// fault per 4 KiB every time, a reused one costs nothing.
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "camera/image.h"

class ImagePool : public std::enable_shared_from_this<ImagePool> {
public:
    /// Keeps at most `keep` idle images.
    static std::shared_ptr<ImagePool> create(size_t keep);

    /// An idle image (its buffers as the last user left them) or a new one; it comes back to the
    /// pool when the last reference goes.
    std::shared_ptr<qor::Image> take();

    /// From now on keeps at most `keep` idle images; the surplus is freed at once.
    void keepAtMost(size_t keep);

private:
    explicit ImagePool(size_t keep) : keep_(keep) {}
    void giveBack(qor::Image* image);

    std::mutex mutex_;
    size_t keep_;
    std::vector<std::unique_ptr<qor::Image>> idle_;
};
