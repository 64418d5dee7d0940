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

// The rising edge on the line's current export: not yet asked for, armed,
// or refused by the kernel (no line interrupt). A new export starts with
// no edge, so a descriptor that died with its export asks again.
enum edge_state { EDGE_UNASKED, EDGE_ARMED, EDGE_REFUSED };
edge_state edge = EDGE_UNASKED;
int value_fd = -1;            // the value file, held open while the edge is armed
bool line_is_boards = false;  // an input, driven by the board
bool edges_trusted = true;
bool woken_by_edge = false;

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

// A line that is not exported (someone gave it up under the daemon) is
// asked again once it is back; only an exported line's refusal stands.
void arm_edge(void) {
    if (gpio_edge(event_line, GPIO_EDGE_RISING) == 0) {
        edge = EDGE_ARMED;
    } else {
        edge = line_exported() ? EDGE_REFUSED : EDGE_UNASKED;
    }
}

// Arms the edge on an export that has not had it asked for yet, while the
// line is the board's (an output refuses every edge), and opens the value
// file to watch. Both can fail silently: the look reads the line as it
// always did.
void prepare_watch(void) {
    if (edge == EDGE_UNASKED && line_is_boards) arm_edge();
    if (edge == EDGE_ARMED && value_fd < 0) value_fd = gpio_value_open(event_line);
}

// A descriptor whose read fails has lost its export, or its file is gone
// for now: it is closed, and the next look opens it anew and asks for the
// edge again (a new export has none).
int read_line(void) {
    if (value_fd < 0) return gpio_read(event_line);
    const int value = gpio_value_read(value_fd);
    if (value < 0) {
        gpio_value_close(value_fd);
        value_fd = -1;
        edge = EDGE_UNASKED;
    }
    return value;
}

}  // namespace

// A line left exported is handed back first, so that it starts afresh.
void event_line_claim(void) {
    const bool exported = line_exported()
                              ? gpio_unexport(event_line) == 0 && gpio_export(event_line) == 0
                              : gpio_export(event_line) == 0;
    if (!exported) log_fatal("BEXOD:  Unable to export GPIO\n");
    gpio_direction(event_line, GPIO_IN);
    line_is_boards = true;
    arm_edge();
    Log(LOG_INFO, "BEXOD:  Set GPIO to input\n");
}

// The board holds the line high until the daemon answers: a look woken by
// an edge that finds it low saw noise.
bool event_line_raised(void) {
    const bool after_edge = woken_by_edge;
    woken_by_edge = false;
    prepare_watch();
    const bool raised = read_line() == 1;
    edges_trusted = raised || !after_edge;
    return raised;
}

int event_line_edge_descriptor(void) {
    return line_is_boards && edge == EDGE_ARMED && edges_trusted ? value_fd : -1;
}

bool event_line_edges_trusted(void) { return edges_trusted; }

void event_line_edge_woke(void) { woken_by_edge = true; }

void event_line_leave_to_command(void) {
    if (value_fd >= 0) close(value_fd);
    value_fd = -1;
}

void gpio_change_out(void) {
    line_is_boards = false;
    if (gpio_direction(event_line, GPIO_OUT) != 0)
        log_fatal("BEXOD:  Unable to change to output\n");
    if (gpio_write(event_line, 1) != 0) log_fatal("BEXOD:  Unable to set output high\n");
    Log(LOG_INFO, "BEXOD:  Set GPIO to output\n");
}

void gpio_change_in(void) {
    if (gpio_direction(event_line, GPIO_IN) != 0) log_fatal("BEXOD:  Unable to change to input\n");
    line_is_boards = true;
    Log(LOG_INFO, "BEXOD:  Set GPIO to input\n");
}
