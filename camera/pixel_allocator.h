#pragma once

// Memory for pixel buffers. A frame of several MiB touched in 4 KiB pages costs a page fault per page
// when it is new and a TLB miss per page whenever it is copied, converted or sent; buffers of 2 MiB and
// more are therefore mapped on their own, aligned to 2 MiB and offered to the kernel for huge pages.
// Smaller buffers come from the ordinary heap.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace qor {

namespace pixel_memory {

/// The huge-page size the large buffers are aligned and rounded to.
inline constexpr size_t kHugePage = size_t{2} << 20;

/// Whether large buffers are mapped on their own. Under AddressSanitizer they come from its heap
/// instead, so that reading or writing beyond the end of a frame is still caught.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kMapsLargeBuffers = false;
#else
inline constexpr bool kMapsLargeBuffers = true;
#endif

/// Maps `bytes` (at least kHugePage), aligned to kHugePage and advised for huge pages;
/// throws std::bad_alloc when the system has no room.
void* mapLarge(size_t bytes);
/// Unmaps a block that `mapLarge(bytes)` returned.
void unmapLarge(void* block, size_t bytes) noexcept;

}  // namespace pixel_memory

/// The allocator of the image buffers: large blocks from `pixel_memory`, small ones from the heap.
/// Elements are still value-initialised by the vectors that use it.
template <class T>
struct PixelAllocator {
    using value_type = T;

    PixelAllocator() noexcept = default;
    template <class U>
    PixelAllocator(const PixelAllocator<U>&) noexcept {}

    T* allocate(size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        const size_t bytes = count * sizeof(T);
        if (!pixel_memory::kMapsLargeBuffers || bytes < pixel_memory::kHugePage)
            return std::allocator<T>{}.allocate(count);
        return static_cast<T*>(pixel_memory::mapLarge(bytes));
    }

    void deallocate(T* block, size_t count) noexcept {
        const size_t bytes = count * sizeof(T);
        if (!pixel_memory::kMapsLargeBuffers || bytes < pixel_memory::kHugePage)
            std::allocator<T>{}.deallocate(block, count);
        else
            pixel_memory::unmapLarge(block, bytes);
    }

    template <class U>
    bool operator==(const PixelAllocator<U>&) const noexcept {
        return true;
    }
};

/// A pixel buffer equals a plain vector that holds the same elements.
template <class T>
bool operator==(const std::vector<T, PixelAllocator<T>>& pixels, const std::vector<T>& plain) {
    return std::ranges::equal(pixels, plain);
}

}  // namespace qor
