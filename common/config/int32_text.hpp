// SPDX-License-Identifier: GPL-2.0-or-later
// Whole numbers read from text as the 32-bit target reads them, whatever
// the width of long on the host that runs the program. Every number of a
// setting, an option or a state file is read here (only the account files'
// ids, unsigned, are read where those files are).
#pragma once

#include <cstdint>

// The leading number of `text` as strtol reads it in `base` (10 or 16):
// blanks, an optional sign, in base 16 an optional "0x", then digits up to
// the first byte that is none; 0 without digits; saturated to 32 bits. For
// the readings that the programs' fixed interface gives this way (atoi's
// fields of a time text, ini_getl, -chrgpwr's word).
int32_t int32_text_lead(const char *text, int base);

enum int32_text_result { INT32_TEXT_READ, INT32_TEXT_EMPTY, INT32_TEXT_UNREADABLE };

// The strict reading of a configuration value or an option's word: "0x" or
// "0X" and hexadecimal digits when the second byte is x or X, else an
// optional sign and decimal digits; nothing else, not even a blank, and a
// value within 32 bits. The value goes to *value only when it is READ.
int32_text_result int32_text_whole(const char *text, int32_t *value);
