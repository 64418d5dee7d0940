// SPDX-License-Identifier: GPL-2.0-or-later
// Checks of the words the settings options accept.
#pragma once

// True for "0x00" to "0x77" in either case of x and of the hex digits.
bool ishex(const char *text);
