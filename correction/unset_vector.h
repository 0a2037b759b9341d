#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "correction/large_buffer.h"

namespace velmora {

// An allocator that leaves new elements of a trivial type unset: a buffer that is written in full
// right after it grows is not zeroed first, and its pages are first touched by whichever thread
// writes them. Large buffers lie on huge pages (see AllocateLarge).
template <typename T>
struct LeaveUnset : std::allocator<T> {
    using value_type = T;
    template <typename U>
    struct rebind {
        using other = LeaveUnset<U>;
    };
    LeaveUnset() = default;
    template <typename U>
    LeaveUnset(const LeaveUnset<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n * sizeof(T) >= kLargeBufferBytes)
            return static_cast<T*>(AllocateLarge(n * sizeof(T)));
        return std::allocator<T>::allocate(n);
    }
    void deallocate(T* at, std::size_t n) {
        if (n * sizeof(T) >= kLargeBufferBytes) {
            FreeLarge(at, n * sizeof(T));
        } else {
            std::allocator<T>::deallocate(at, n);
        }
    }

    template <typename U>
    void construct(U* at) noexcept {
        ::new (static_cast<void*>(at)) U;
    }
    template <typename U, typename... Arguments>
    void construct(U* at, Arguments&&... arguments) {
        ::new (static_cast<void*>(at)) U(std::forward<Arguments>(arguments)...);
    }
};

// A vector whose resize leaves the new elements unset.
template <typename T>
using UnsetVector = std::vector<T, LeaveUnset<T>>;

}  // namespace velmora
