// Checks of the words the settings options accept.
#pragma once

// True for "0x00" to "0x77" in either case of x and of the hex digits.
bool ishex(const char *text);
// 0 for a valid "HH:mm:ss" (hours 00 to 24), -1 otherwise.
int validate(const char *text);
