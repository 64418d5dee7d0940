// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench/lib/estimates.hpp"

#include <cstddef>

namespace bench {

std::vector<double> window_rates(const std::vector<double> &values, const std::vector<double> &spans) {
    std::vector<double> rates;
    for (size_t k = 1; k < values.size() && k < spans.size(); k++) {
        const double span = spans[k] - spans[k - 1];
        rates.push_back(span > 0 ? (values[k] - values[k - 1]) / span : 0);
    }
    return rates;
}

double scaled_lower_bound(double smallest, double previous, double growth) {
    const double grown = previous > smallest ? previous - smallest : 0;
    return smallest + grown * growth;
}

}  // namespace bench
