#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace velmora {

// An allocator that leaves new elements of a trivial type unset: a buffer that is written in full
// right after it grows is not zeroed first, and its pages are first touched by whichever thread
// writes them.
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
