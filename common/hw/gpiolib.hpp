// SPDX-License-Identifier: GPL-2.0-or-later
// GPIO lines through the kernel's sysfs GPIO interface.
// Every routine returns 0 (or the value read) on success and -1 on failure,
// after a perror report on standard error; none ends the process.
#pragma once

#include <cstddef>

inline constexpr int GPIO_IN = 0;
inline constexpr int GPIO_OUT = 1;

int gpio_export(int pin);
int gpio_unexport(int pin);
int gpio_direction(int pin, int direction);
int gpio_read(int pin);
int gpio_write(int pin, int value);

// The path of `file` of an exported line (its folder, ending in "/", for an
// empty `file`), cut to `size` bytes.
void gpio_line_path(int pin, const char *file, char *path, size_t size);

// The kernel's number for a line of the processor's own GPIO block: the
// base of the chip whose label starts with "pinctrl-" plus the line (newer
// kernels number that chip from 512 up), or the line itself when no such
// chip is found.
int gpio_kernel_number(int processor_line);
