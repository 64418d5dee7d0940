// SPDX-License-Identifier: GPL-2.0-or-later
#include "tool/value_checks.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool is_digit_in(char c, char low, char high) { return c >= low && c <= high; }

}  // namespace

bool ishex(const char *text) {
    if (strlen(text) != 4 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
        return false;
    }
    if (strchr("01234567", text[2]) == nullptr ||
        strchr("0123456789AaBbCcDdEeFf", text[3]) == nullptr) {
        return false;
    }
    return !(text[2] == '7' && strchr("89AaBbCcDdEeFf", text[3]) != nullptr);
}

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

bool is_whole_number(const char *text, int32_t *value) {
    const char *digits = text[0] == '+' || text[0] == '-' ? text + 1 : text;
    if (*digits == '\0' || strspn(digits, "0123456789") != strlen(digits)) {
        return false;
    }
    errno = 0;
    const long long number = strtoll(text, nullptr, 10);
    if (errno == ERANGE || number < INT32_MIN || number > INT32_MAX) {
        return false;
    }
    *value = static_cast<int32_t>(number);
    return true;
}
