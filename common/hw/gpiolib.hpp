// SPDX-License-Identifier: GPL-2.0-or-later
// GPIO lines through the kernel's sysfs GPIO interface.
// Every routine returns 0 (or the value read) on success and -1 on failure,
// after a perror report on standard error; none ends the process.
#pragma once

#include <cstddef>

inline constexpr int GPIO_IN = 0;
inline constexpr int GPIO_OUT = 1;

// Edges of an input line that wake a poll() on its value file.
inline constexpr int GPIO_EDGE_NONE = 0;
inline constexpr int GPIO_EDGE_RISING = 1;
inline constexpr int GPIO_EDGE_FALLING = 2;
inline constexpr int GPIO_EDGE_BOTH = 3;

int gpio_export(int pin);
int gpio_unexport(int pin);
int gpio_direction(int pin, int direction);
int gpio_read(int pin);
int gpio_write(int pin, int value);

// Arms an edge of an exported input line ("rising", "falling", "both") or
// disarms it ("none") through its "edge" file. No message on failure: a
// kernel or chip without line interrupts (no such file: ENOENT; EIO on an
// output line or where the interrupt cannot be had) is a case its callers
// expect; errno tells which. A line exported anew starts with "none".
int gpio_edge(int pin, int edge);

// The line's value file, opened for reading and kept open, close-on-exec:
// its descriptor, or -1. While an edge is armed, poll() on it for POLLPRI
// ends when the edge has come (sysfs always reports POLLIN, so ask only for
// POLLPRI). A descriptor just opened reports POLLPRI at once, and after an
// edge it keeps reporting it, until the value is read through it with
// gpio_value_read. Once the line is unexported the descriptor is dead:
// poll() reports POLLPRI|POLLERR at once and reads fail (ENODEV); close it.
int gpio_value_open(int pin);
// The value read through such a descriptor from its start, as gpio_read
// reads it (0 or 1), or -1.
int gpio_value_read(int fd);
// Closes it; 0 or -1.
int gpio_value_close(int fd);

// The path of `file` of an exported line (its folder, ending in "/", for an
// empty `file`), cut to `size` bytes.
void gpio_line_path(int pin, const char *file, char *path, size_t size);

// The kernel's number for a line of the processor's own GPIO block: the
// base of the chip whose label starts with "pinctrl-" plus the line (newer
// kernels number that chip from 512 up), or the line itself when no such
// chip is found.
int gpio_kernel_number(int processor_line);
