// Exact quotients of integers by way of float division, for loops the compiler vectorises.
#pragma once

#include <algorithm>
#include <cstdint>

namespace mnt {

// floor(a / d) for 0 <= a < 2^31 and d > 0 when it is below `cap`, else at least `cap`, with
// (cap + 1) x d below 2^31. The float quotient is within one of it (three roundings of 2^-24
// at most), and one step each way in integers makes it exact: no division of integers, which
// does not vectorise, nor of doubles, four lanes at a time.
inline int32_t BoundedQuotient(int32_t a, int32_t d, int32_t cap) {
    int32_t q = int32_t(std::min(float(a) / float(d), float(cap)));
    q += (q + 1) * d <= a;
    q -= q * d > a;
    return q;
}

}  // namespace mnt
