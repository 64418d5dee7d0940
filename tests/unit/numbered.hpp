// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// "k7", "v3_": a text with a number appended. Built by appending: the
// shorter "k" + std::to_string(7) inserts in front, where GCC 12 warns
// falsely (-Wrestrict, GCC bug 105329) once the test is optimised.

#include <string>

inline std::string numbered(std::string prefix, int number)
{
    prefix += std::to_string(number);
    return prefix;
}
