// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/config/time_of_day.hpp"

#include <cstring>

namespace {

bool is_digit_in(char c, char low, char high) { return c >= low && c <= high; }

}  // namespace

int validate(const char *text) {
    if (strlen(text) != 8) {
        return -1;
    }
    bool hour_ok =
        is_digit_in(text[0], '0', '2') && is_digit_in(text[1], '0', text[0] == '2' ? '4' : '9');
    bool minute_ok =
        text[2] == ':' && is_digit_in(text[3], '0', '5') && is_digit_in(text[4], '0', '9');
    bool second_ok =
        text[5] == ':' && is_digit_in(text[6], '0', '5') && is_digit_in(text[7], '0', '9');
    return hour_ok && minute_ok && second_ok ? 0 : -1;
}
