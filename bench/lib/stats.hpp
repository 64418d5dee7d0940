// SPDX-License-Identifier: GPL-2.0-or-later
// Summaries of repeated measurements: a loaded machine makes single runs
// meaningless, so every figure is reported as median, minimum and maximum.
#pragma once

#include <cstddef>
#include <vector>

namespace bench {

struct Summary {
    double median = 0;
    double min = 0;
    double max = 0;
    size_t runs = 0;
};

// Median of an even count is the mean of the two middle values. An empty
// sample gives runs == 0 and zeros.
Summary summarize(std::vector<double> samples);

}  // namespace bench
