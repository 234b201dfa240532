#pragma once

// What both latency programs, native and under Wine, report their samples as.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace tarsel::bench {

template <class Rep, class Period>
double milliseconds(std::chrono::duration<Rep, Period> d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The sample at fraction `p` of the sorted values, rounded to the nearest
// rank: 0.5 the median, 1.0 the largest.
inline double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

}  // namespace tarsel::bench
