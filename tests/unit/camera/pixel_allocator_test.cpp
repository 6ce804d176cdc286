#include "camera/pixel_allocator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

#include "camera/image.h"

namespace qor {
namespace {

uintptr_t addressOf(const void* p) { return reinterpret_cast<uintptr_t>(p); }

TEST(PixelAllocatorTest, FrameSizedBuffersAreAlignedToHugePagesAndHoldTheirValues) {
    // 2048 x 2048 words, one byte under a huge page, exactly one, and one pixel over it.
    for (size_t count : {size_t{2048} * 2048, pixel_memory::kHugePage / 2 - 1, pixel_memory::kHugePage / 2,
                         pixel_memory::kHugePage / 2 + 1}) {
        SCOPED_TRACE(count);
        PixelWords words(count);
        EXPECT_TRUE(std::all_of(words.begin(), words.end(), [](uint16_t w) { return w == 0; }));
        if (pixel_memory::kMapsLargeBuffers && count * sizeof(uint16_t) >= pixel_memory::kHugePage) {
            EXPECT_EQ(addressOf(words.data()) % pixel_memory::kHugePage, 0u);
        }
        std::iota(words.begin(), words.end(), uint16_t{7});
        EXPECT_EQ(words.back(), static_cast<uint16_t>(7 + count - 1));
    }
}

TEST(PixelAllocatorTest, BuffersGrowShrinkAndCopyAcrossTheThreshold) {
    PixelBytes bytes(100, 3);
    bytes.resize(3 << 20, 5);  // from the heap to a mapping of its own
    EXPECT_EQ(bytes[99], 3);
    EXPECT_EQ(bytes[100], 5);
    EXPECT_EQ(bytes.back(), 5);
    PixelBytes copy = bytes;
    EXPECT_EQ(copy, bytes);
    bytes.resize(10);
    bytes.shrink_to_fit();  // and back to the heap
    EXPECT_EQ(bytes, (std::vector<uint8_t>{3, 3, 3, 3, 3, 3, 3, 3, 3, 3}));
    EXPECT_EQ(copy.size(), size_t{3} << 20);
    EXPECT_FALSE(copy == std::vector<uint8_t>(copy.size(), 5));
}

TEST(PixelAllocatorTest, ImpossibleSizesThrowInsteadOfMapping) {
    PixelAllocator<uint16_t> allocator;
    EXPECT_THROW((void)allocator.allocate(SIZE_MAX / 2 + 1), std::bad_array_new_length);
    EXPECT_THROW((void)allocator.allocate(SIZE_MAX / 2 - 1), std::bad_alloc);
}

TEST(PixelAllocatorTest, ImagesOfAFullFrameUseTheLargeBuffers) {
    if (!pixel_memory::kMapsLargeBuffers) GTEST_SKIP() << "large buffers come from the sanitizer's heap";
    Image image;
    image.reshape(DataFormat::Mono8, RawFormat::Word, 1, 1, 2048, 2048);
    EXPECT_EQ(addressOf(image.rawBuffer()) % pixel_memory::kHugePage, 0u);
    EXPECT_EQ(addressOf(image.outputBuffer()) % pixel_memory::kHugePage, 0u);
}

}  // namespace
}  // namespace qor
