// The equal error rate of a matcher's genuine and impostor scores, for the accuracy tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace matchtest {

// The rate where false acceptance (impostor score above t) and false rejection (genuine score at
// or below t) meet, over every threshold t: each score, and one below them all.
template <typename Score = int32_t>
double EqualErrorRate(const std::vector<Score>& genuine, const std::vector<Score>& impostor) {
    std::vector<int64_t> thresholds(genuine.begin(), genuine.end());
    thresholds.insert(thresholds.end(), impostor.begin(), impostor.end());
    if (thresholds.empty()) return 1;
    thresholds.push_back(*std::min_element(thresholds.begin(), thresholds.end()) - 1);
    double best = 2, eer = 1;
    for (int64_t t : thresholds) {
        const double far = double(std::count_if(impostor.begin(), impostor.end(), [t](Score s) { return s > t; })) /
                           double(impostor.size());
        const double frr = double(std::count_if(genuine.begin(), genuine.end(), [t](Score s) { return s <= t; })) /
                           double(genuine.size());
        if (std::abs(far - frr) < best) {
            best = std::abs(far - frr);
            eer = (far + frr) / 2;
        }
    }
    return eer;
}

}  // namespace matchtest
