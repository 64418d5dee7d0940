// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/event_line.hpp"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/hw/gpiolib.hpp"
#include "common/support/log.hpp"
#include "daemon/daemon_state.hpp"

namespace {

constexpr int PATH_BUFFER_SIZE = 100;

// The name is part of the daemon's fixed interface: -1 when nothing is at
// `path`, 1 for a folder, 0 for anything else.
int DirectoryExists(const char *path) {
    if (access(path, F_OK) != 0) {
        return -1;
    }
    struct stat info;
    if (stat(path, &info) != 0) {
        return 0;
    }
    return (info.st_mode & S_IFDIR) != 0 ? 1 : 0;
}

bool line_exported(void) {
    char path[PATH_BUFFER_SIZE];
    gpio_line_path(event_line, "", path, sizeof path);
    return DirectoryExists(path) != -1;
}

}  // namespace

// A line left exported is handed back first, so that it starts afresh.
void event_line_claim(void) {
    const bool exported = line_exported()
                              ? gpio_unexport(event_line) == 0 && gpio_export(event_line) == 0
                              : gpio_export(event_line) == 0;
    if (!exported) log_fatal("BEXOD:  Unable to export GPIO\n");
    gpio_direction(event_line, GPIO_IN);
    Log(LOG_INFO, "BEXOD:  Set GPIO to input\n");
}

bool event_line_raised(void) { return gpio_read(event_line) == 1; }

void gpio_change_out(void) {
    if (gpio_direction(event_line, GPIO_OUT) != 0)
        log_fatal("BEXOD:  Unable to change to output\n");
    if (gpio_write(event_line, 1) != 0) log_fatal("BEXOD:  Unable to set output high\n");
    Log(LOG_INFO, "BEXOD:  Set GPIO to output\n");
}

void gpio_change_in(void) {
    if (gpio_direction(event_line, GPIO_IN) != 0) log_fatal("BEXOD:  Unable to change to input\n");
    Log(LOG_INFO, "BEXOD:  Set GPIO to input\n");
}
