#include "correction/large_buffer.h"

#include <sys/mman.h>

#include <cstdint>
#include <new>

namespace velmora {
namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;

std::size_t Rounded(std::size_t bytes) {
    return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

}  // namespace

void* AllocateLarge(std::size_t bytes) {
    // Mapped afresh: its pages are the system's to choose, and go back to it when freed.
    void* buffer = ::mmap(nullptr, Rounded(bytes) + kHugePage, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (buffer == MAP_FAILED) throw std::bad_alloc();
    // A huge page must start on a multiple of its size: the slack before and after is let go.
    auto* start = static_cast<char*>(buffer);
    auto* aligned = reinterpret_cast<char*>(
        (reinterpret_cast<std::uintptr_t>(start) + kHugePage - 1) / kHugePage * kHugePage);
    if (aligned > start) ::munmap(start, std::size_t(aligned - start));
    const std::size_t after = kHugePage - std::size_t(aligned - start);
    if (after > 0) ::munmap(aligned + Rounded(bytes), after);
#ifdef MADV_HUGEPAGE
    ::madvise(aligned, Rounded(bytes), MADV_HUGEPAGE);
#endif
    return aligned;
}

void FreeLarge(void* buffer, std::size_t bytes) {
    ::munmap(buffer, Rounded(bytes));
}

}  // namespace velmora
