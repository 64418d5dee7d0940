// SPDX-License-Identifier: GPL-2.0-or-later
#include "tool/value_checks.hpp"

#include <cstring>

// The name is part of the tool's fixed interface.
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
