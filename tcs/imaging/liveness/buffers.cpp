// The allocation test seam behind the liveness module's working buffers.
#include "tcs/imaging/liveness/buffers.h"

#include "tcs/imaging/liveness/test_seams.h"

#include <atomic>
#include <new>

namespace {

std::atomic<int32_t> gAllocationsLeft{-1};

}  // namespace

namespace liveness::detail {

void checkAllocation() {
    int32_t left = gAllocationsLeft.load();
    while (left >= 0) {
        if (gAllocationsLeft.compare_exchange_weak(left, left - 1)) {
            if (left == 0) throw std::bad_alloc();
            return;
        }
    }
}

}  // namespace liveness::detail

extern "C" void nexTestFailAllocationAfter(int32_t after) { gAllocationsLeft.store(after < 0 ? -1 : after); }
