// SPDX-License-Identifier: GPL-2.0-or-later
// Numbers read from text as the 32-bit target reads them: strtol with a
// 32-bit long, saturating at its limits, whatever the width of long on the
// host that runs the program.
#pragma once

#include <cstdint>

// strtol's reading of `text` in `base`, saturated to 32 bits.
int32_t text_to_int32(const char *text, int base);

// atoi's reading (base 10), saturated to 32 bits.
int32_t atoi32(const char *text);
