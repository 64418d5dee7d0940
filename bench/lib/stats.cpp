// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench/lib/stats.hpp"

#include <algorithm>

namespace bench {

Summary summarize(std::vector<double> samples) {
    Summary s;
    s.runs = samples.size();
    if (samples.empty()) return s;
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    s.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    s.min = samples.front();
    s.max = samples.back();
    return s;
}

}  // namespace bench
