#pragma once

#include <cstddef>

namespace velmora {

// Buffers of this size and above are laid on the system's huge pages where it has them.
inline constexpr std::size_t kLargeBufferBytes = std::size_t(4) << 20;

// Memory for a large buffer, its pages left untouched: laid on 2 MiB pages, so that writing it
// the first time faults once per 2 MiB instead of once per 4 KiB (on a virtual machine a fault
// took 10 us: a 144 MB flat took 0.35 s in faults alone). Raises std::bad_alloc.
void* AllocateLarge(std::size_t bytes);
void FreeLarge(void* buffer, std::size_t bytes);

}  // namespace velmora
