// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/config/int32_text.hpp"

namespace {

// Larger than any 32-bit magnitude; the sum stops growing there.
constexpr int64_t MAGNITUDE_CAP = int64_t{1} << 40;

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool is_hex_prefix(const char *c) {
    return c[0] == '0' && (c[1] == 'x' || c[1] == 'X') && digit_value(c[2]) < 16;
}

// Takes the digits of `base` at `c`; returns the first byte after them.
const char *take_digits(const char *c, int base, int64_t *magnitude) {
    *magnitude = 0;
    for (; digit_value(*c) < base; ++c) {
        *magnitude = *magnitude * base + digit_value(*c);
        if (*magnitude > MAGNITUDE_CAP) *magnitude = MAGNITUDE_CAP;
    }
    return c;
}

int32_t saturated(int64_t value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

}  // namespace

int32_t int32_text_lead(const char *text, int base) {
    const char *c = text;
    while (is_space(*c)) ++c;
    const bool negative = *c == '-';
    if (*c == '+' || *c == '-') ++c;
    if (base == 16 && is_hex_prefix(c)) c += 2;
    int64_t magnitude;
    take_digits(c, base, &magnitude);
    return saturated(negative ? -magnitude : magnitude);
}

int32_text_result int32_text_whole(const char *text, int32_t *value) {
    if (text[0] == '\0') return INT32_TEXT_EMPTY;
    const bool hex = text[1] == 'x' || text[1] == 'X';
    const bool negative = !hex && text[0] == '-';
    const char *digits = text;
    if (hex)
        digits = is_hex_prefix(text) ? text + 2 : nullptr;
    else if (text[0] == '+' || text[0] == '-')
        digits = text + 1;
    int64_t magnitude;
    if (digits == nullptr || digit_value(*digits) >= (hex ? 16 : 10) ||
        *take_digits(digits, hex ? 16 : 10, &magnitude) != '\0')
        return INT32_TEXT_UNREADABLE;
    const int64_t number = negative ? -magnitude : magnitude;
    if (number < INT32_MIN || number > INT32_MAX) return INT32_TEXT_UNREADABLE;
    *value = static_cast<int32_t>(number);
    return INT32_TEXT_READ;
}
