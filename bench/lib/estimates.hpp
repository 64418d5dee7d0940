// SPDX-License-Identifier: GPL-2.0-or-later
// Arithmetic on measurements: rates per window, and the lower bound on a
// run's time that decides whether it can end within its limit.
#pragma once

#include <vector>

namespace bench {

// (values[k] - values[k-1]) / (spans[k] - spans[k-1]) for every window k; a
// window without span gives 0.
std::vector<double> window_rates(const std::vector<double> &values, const std::vector<double> &spans);

// Time of a run on a file `growth` times the previous one, at least: the
// part that grew from the smallest file to the previous one grows in
// proportion to the file (every byte is read), the rest stays.
double scaled_lower_bound(double smallest, double previous, double growth);

}  // namespace bench
