// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/hw/pi_cpuinfo.hpp"

#include <cctype>
#include <cstring>

namespace {

constexpr char PI_MODEL_PREFIX[] = "Raspberry Pi";
// BCM2711: a Pi 4, 400 or Compute Module 4 on a 32-bit kernel from 5.4 on.
constexpr const char *SUPPORTED_CHIPS[] = {"BCM2708", "BCM2709", "BCM2835", "BCM2711"};
// Only the first Pi 1 Model B boards (revisions 0002 and 0003) have the old
// layout, and every kernel they run prints their Revision line.
constexpr int LAYOUT_OF_A_PI_WITHOUT_REVISION = 2;

// Reads lines until one begins with `prefix`; false at the end of the file.
bool find_line(FILE *cpuinfo, const char *prefix, char *line) {
    while (fgets(line, PI_CPUINFO_LINE_SIZE, cpuinfo) != nullptr) {
        if (strncmp(line, prefix, strlen(prefix)) == 0) {
            return true;
        }
    }
    return false;
}

bool device_tree_names_a_pi(const char *model_path) {
    FILE *model = fopen(model_path, "r");
    if (model == nullptr) {
        return false;
    }
    char text[sizeof PI_MODEL_PREFIX] = {0};
    size_t got = fread(text, 1, sizeof text - 1, model);
    fclose(model);
    return got == sizeof text - 1 && strcmp(text, PI_MODEL_PREFIX) == 0;
}

bool names_supported_chip(const char *line) {
    for (const char *chip : SUPPORTED_CHIPS) {
        if (strstr(line, chip) != nullptr) {
            return true;
        }
    }
    return false;
}

void strip_line_end(char *line) {
    size_t length = strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) {
        line[--length] = '\0';
    }
}

// The layout from a Revision line, or 0 with the reason in `why`.
int layout_from_revision_line(char *line, const char **why) {
    strip_line_end(line);
    char *value = strchr(line, ':');
    if (value == nullptr) {
        *why = "Bogus \"Revision\" line (no colon)";
        return 0;
    }
    ++value;
    while (isspace(static_cast<unsigned char>(*value))) {
        ++value;
    }
    if (!isxdigit(static_cast<unsigned char>(*value))) {
        *why = "Bogus \"Revision\" line (no hex digit at start of revision)";
        return 0;
    }
    size_t length = strlen(value);
    if (length < 4) {
        *why = "Bogus revision line (too small)";
        return 0;
    }
    const char *last_four = value + length - 4;
    return strcmp(last_four, "0002") == 0 || strcmp(last_four, "0003") == 0 ? 1 : 2;
}

}  // namespace

int piCpuinfoLayout(FILE *cpuinfo, const char *model_path, char *line, const char **why) {
    *why = nullptr;
    // A kernel that is not Raspberry Pi's own may name another chip or leave
    // out the Hardware and Revision lines; the device tree still names the
    // board.
    const bool named_pi = device_tree_names_a_pi(model_path);
    if (find_line(cpuinfo, "Hardware", line)) {
        if (!names_supported_chip(line) && !named_pi) {
            return 0;
        }
    } else if (!named_pi) {
        *why = "No \"Hardware\" line";
        return 0;
    }
    rewind(cpuinfo);
    if (!find_line(cpuinfo, "Revision", line)) {
        if (named_pi) {
            return LAYOUT_OF_A_PI_WITHOUT_REVISION;
        }
        *why = "No \"Revision\" line";
        return 0;
    }
    return layout_from_revision_line(line, why);
}
