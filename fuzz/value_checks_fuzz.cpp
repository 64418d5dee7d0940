// SPDX-License-Identifier: GPL-2.0-or-later
// The tool's checks of option words: ishex (bus addresses 0x00 to 0x77) and
// validate ("HH:mm:ss" with hours 00 to 24), compared with reference
// predicates stated as numbers rather than as character classes.
//
// Input: the word (up to a NUL byte).
#include <cstdint>
#include <string>

#include "common/config/time_of_day.hpp"
#include "fuzz/fuzz_support.hpp"
#include "tool/value_checks.hpp"

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool address_word(const std::string &w) {
    if (w.size() != 4 || w[0] != '0' || (w[1] != 'x' && w[1] != 'X')) return false;
    const int high = hex_value(w[2]);
    const int low = hex_value(w[3]);
    return high >= 0 && low >= 0 && high * 16 + low <= 0x77;
}

bool two_digits(const std::string &w, size_t at, int most) {
    const bool digits = w[at] >= '0' && w[at] <= '9' && w[at + 1] >= '0' && w[at + 1] <= '9';
    return digits && (w[at] - '0') * 10 + (w[at + 1] - '0') <= most;
}

bool time_word(const std::string &w) {
    return w.size() == 8 && w[2] == ':' && w[5] == ':' && two_digits(w, 0, 24) &&
           two_digits(w, 3, 59) && two_digits(w, 6, 59);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string raw(reinterpret_cast<const char *>(data), size);
    const std::string word = raw.substr(0, raw.find('\0'));
    fuzz::check(ishex(word.c_str()) == address_word(word), "ishex differs from the address rule");
    const int valid = validate(word.c_str());
    fuzz::check(valid == 0 || valid == -1, "validate returned neither 0 nor -1");
    fuzz::check((valid == 0) == time_word(word), "validate differs from the time rule");
    return 0;
}
