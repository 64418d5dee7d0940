// SPDX-License-Identifier: GPL-2.0-or-later
// Checks of the words the settings options accept.
#pragma once

#include <cstdint>

// True for "0x00" to "0x77" in either case of x and of the hex digits.
bool ishex(const char *text);

// A whole number in decimal ([+-] and digits, nothing else) that a 32-bit
// integer holds; its value goes to *value.
bool is_whole_number(const char *text, int32_t *value);
