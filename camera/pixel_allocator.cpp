#include "camera/pixel_allocator.h"

#include <sys/mman.h>

namespace qor::pixel_memory {

namespace {

size_t roundedUp(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* mapLarge(size_t bytes) {
    const size_t length = roundedUp(bytes);
    // Sizes so close to the end of the address space that the rounding or the spare page wraps.
    if (length < bytes || length > SIZE_MAX - kHugePage) throw std::bad_alloc();
    // Mapped with one huge page to spare, then trimmed to an aligned block of `length`.
    const size_t mapped = length + kHugePage;
    void* area = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<uintptr_t>(area);
    const uintptr_t aligned = (start + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > start) munmap(area, aligned - start);
    const uintptr_t end = start + mapped;
    if (end > aligned + length) munmap(reinterpret_cast<void*>(aligned + length), end - (aligned + length));
    // Only advice: where huge pages are off or scarce the block is an ordinary mapping.
    madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void unmapLarge(void* block, size_t bytes) noexcept { munmap(block, roundedUp(bytes)); }

}  // namespace qor::pixel_memory
