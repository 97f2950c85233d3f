// Working buffers of the liveness stages: zeroed vectors whose allocation a test can make fail.
#pragma once

#include <cstddef>
#include <vector>

namespace liveness {

namespace detail {
// Throws std::bad_alloc when the allocation test seam says this allocation fails.
void checkAllocation();
}  // namespace detail

// count zeroed elements; std::bad_alloc when memory runs out. nexLivenessTest turns that into 2.
template <class T>
std::vector<T> zeroedBuffer(size_t count) {
    detail::checkAllocation();
    return std::vector<T>(count, T{});
}

// An empty list that holds capacity elements without growing.
template <class T>
std::vector<T> reservedList(size_t capacity) {
    detail::checkAllocation();
    std::vector<T> list;
    list.reserve(capacity);
    return list;
}

}  // namespace liveness
