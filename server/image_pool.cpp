#include "server/image_pool.h"

std::shared_ptr<ImagePool> ImagePool::create(size_t keep) { return std::shared_ptr<ImagePool>(new ImagePool(keep)); }

std::shared_ptr<qor::Image> ImagePool::take() {
    std::unique_ptr<qor::Image> image;
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            image = std::move(idle_.back());
            idle_.pop_back();
        }
    }
    if (image)
        image->recycle();
    else
        image = std::make_unique<qor::Image>();
    std::weak_ptr<ImagePool> pool = weak_from_this();
    return std::shared_ptr<qor::Image>(image.release(), [pool](qor::Image* released) {
        if (auto owner = pool.lock())
            owner->giveBack(released);
        else
            delete released;
    });
}

void ImagePool::giveBack(qor::Image* image) {
    std::unique_ptr<qor::Image> held(image);
    std::lock_guard lock(mutex_);
    if (idle_.size() < keep_) idle_.push_back(std::move(held));
}

void ImagePool::keepAtMost(size_t keep) {
    std::vector<std::unique_ptr<qor::Image>> surplus;
    std::lock_guard lock(mutex_);
    keep_ = keep;
    while (idle_.size() > keep_) {
        surplus.push_back(std::move(idle_.back()));
        idle_.pop_back();
    }
}
