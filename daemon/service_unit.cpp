// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemon/service_unit.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/config/config_file.hpp"
#include "daemon/daemon_pause.hpp"
#include "daemon/daemon_state.hpp"

// The unit, as systemctl names it, and its file: the copy that "autostart"
// installs from the programs' folder, and the package's, over which that
// copy takes precedence. Defines, so that the shell commands built on them
// are whole texts.
#define UNIT "bexod"
#define UNIT_NAME UNIT ".service"
#define UNIT_FOLDER "/etc/systemd/system"
#define UNIT_FILE UNIT_FOLDER "/" UNIT_NAME
#define UNIT_SOURCE BEXO_FOLDER "/start/" UNIT_NAME
#define PACKAGE_UNIT_FILE "/lib/systemd/system/" UNIT_NAME

namespace {

constexpr int PATH_SIZE = 512;
constexpr int CGROUP_LINE_SIZE = 512;

bool readable(const char *path) {
    FILE *unit = fopen(path, "r");
    if (unit == nullptr) {
        return false;
    }
    fclose(unit);
    return true;
}

// The copy that "autostart" installs and removes.
bool unit_file_installed(void) {
    return readable(UNIT_FILE);
}

bool ends_with(const char *text, const char *end) {
    const size_t length = strlen(text);
    const size_t end_length = strlen(end);
    return length >= end_length && strcmp(text + length - end_length, end) == 0;
}

// Enabled means linked into some target's .wants folder, as "systemctl
// enable" does it. The link lives in /etc/systemd/system whichever copy it
// enables; systemd loads the unit by the link's name, so a unit file must
// exist in one of the two places for the link to mean anything.
bool unit_enabled(void) {
    if (!unit_file_installed() && !readable(PACKAGE_UNIT_FILE)) {
        return false;
    }
    DIR *folder = opendir(UNIT_FOLDER);
    if (folder == nullptr) {
        return false;
    }
    bool enabled = false;
    char link[PATH_SIZE];
    struct stat info;
    for (struct dirent *entry; !enabled && (entry = readdir(folder)) != nullptr;) {
        if (!ends_with(entry->d_name, ".wants")) {
            continue;
        }
        snprintf(link, sizeof link, "%s/%s/%s", UNIT_FOLDER, entry->d_name, UNIT_NAME);
        enabled = lstat(link, &info) == 0;
    }
    closedir(folder);
    return enabled;
}

// A line of /proc/PID/cgroup ("0::/system.slice/bexod.service", or one per
// hierarchy on cgroup v1) that ends in the unit's name.
bool cgroup_is_service(const char *cgroup_path) {
    FILE *cgroups = fopen(cgroup_path, "r");
    if (cgroups == nullptr) {
        return false;
    }
    bool inside = false;
    char line[CGROUP_LINE_SIZE];
    while (!inside && fgets(line, sizeof line, cgroups) != nullptr) {
        line[strcspn(line, "\n")] = '\0';
        inside = ends_with(line, "/" UNIT_NAME);
    }
    fclose(cgroups);
    return inside;
}

}  // namespace

void install_or_remove_service(void) {
    // A value that could not be read says nothing about the unit.
    if (keep_service_unit) return;
    const bool installed = unit_file_installed();
    if (autostart == 1 && !installed) {
        run_shell("sudo cp " UNIT_SOURCE " " UNIT_FOLDER "/");
        daemon_pause_seconds(1);
        run_shell("sudo chmod +x " UNIT_FILE);
        run_shell("sudo systemctl daemon-reload");
        run_shell("sudo systemctl enable " UNIT_NAME);
    } else if (autostart != 1 && installed) {
        run_shell("sudo systemctl disable " UNIT_NAME);
        run_shell("sudo rm -r " UNIT_FILE);
    }
}

bool service_manages_daemon(void) {
    return unit_enabled() && !cgroup_is_service("/proc/self/cgroup");
}

bool service_install_pending(void) {
    return autostart == 1 && !unit_file_installed() && !cgroup_is_service("/proc/self/cgroup");
}

bool runs_in_service(pid_t pid) {
    char path[PATH_SIZE];
    snprintf(path, sizeof path, "/proc/%d/cgroup", static_cast<int>(pid));
    return cgroup_is_service(path);
}

void ask_service_manager(const char *action) {
    char command[PATH_SIZE];
    snprintf(command, sizeof command, "sudo systemctl %s " UNIT, action);
    if (run_shell(command) != 0) {
        printf("B.EXO Daemon: \"%s\" failed\n", command);
        exit(1);
    }
}
