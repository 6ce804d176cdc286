#include "server/image_pool.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using qor::DataFormat;
using qor::RawFormat;

constexpr uint16_t kMark = 0xBEEF;

// Takes `count` images at once and marks their pixels; answers how many were marked already, i.e.
// reused (a new image's buffer is cleared, a reused one keeps its pixels).
size_t takeMarked(ImagePool& pool, size_t count, std::vector<std::shared_ptr<qor::Image>>& held) {
    size_t reused = 0;
    for (size_t i = 0; i < count; ++i) {
        auto image = pool.take();
        if (!image->fits(DataFormat::Mono16, RawFormat::Word, 1, 1, 64, 64))
            image->reshape(DataFormat::Mono16, RawFormat::Word, 1, 1, 64, 64);
        auto* pixels = static_cast<uint16_t*>(image->rawBuffer());
        if (pixels[0] == kMark) ++reused;
        pixels[0] = kMark;
        held.push_back(std::move(image));
    }
    return reused;
}

TEST(ImagePoolTest, ReleasedImagesComeBackUpToTheLimitWithTheirBuffers) {
    auto pool = ImagePool::create(2);
    std::vector<std::shared_ptr<qor::Image>> held;
    EXPECT_EQ(takeMarked(*pool, 3, held), 0u);
    held.clear();  // two kept, one freed
    EXPECT_EQ(takeMarked(*pool, 3, held), 2u);
    // A reused image starts as a new one: it fits nothing until it is reshaped.
    held.clear();
    EXPECT_FALSE(pool->take()->fits(DataFormat::Mono16, RawFormat::Word, 1, 1, 64, 64));
}

TEST(ImagePoolTest, KeepAtMostRaisesTheLimitAndFreesTheSurplusWhenLowered) {
    auto pool = ImagePool::create(1);
    pool->keepAtMost(3);
    std::vector<std::shared_ptr<qor::Image>> held;
    EXPECT_EQ(takeMarked(*pool, 3, held), 0u);
    held.clear();
    pool->keepAtMost(1);
    EXPECT_EQ(takeMarked(*pool, 3, held), 1u);
}

TEST(ImagePoolTest, ImagesOutliveTheirPool) {
    auto pool = ImagePool::create(2);
    auto image = pool->take();
    image->reshape(DataFormat::Mono16, RawFormat::Word, 1, 1, 8, 8);
    pool.reset();
    EXPECT_EQ(image->width(), 8u);
    image.reset();  // deleted, not given back (leak checkers would see it)
}

}  // namespace
