// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/config/int32_text.hpp"

#include <cstdlib>

int32_t text_to_int32(const char *text, int base) {
    const long long value = strtoll(text, nullptr, base);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

int32_t atoi32(const char *text) { return text_to_int32(text, 10); }
