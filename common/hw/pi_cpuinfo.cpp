// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/hw/pi_cpuinfo.hpp"

#include <cctype>
#include <cstring>

namespace {

constexpr char PI_MODEL_PREFIX[] = "Raspberry Pi";
constexpr const char *SUPPORTED_CHIPS[] = {"BCM2708", "BCM2709", "BCM2835"};

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
    if (find_line(cpuinfo, "Hardware", line)) {
        if (!names_supported_chip(line)) {
            return 0;
        }
    } else if (!device_tree_names_a_pi(model_path)) {
        *why = "No \"Hardware\" line";
        return 0;
    }
    rewind(cpuinfo);
    if (!find_line(cpuinfo, "Revision", line)) {
        *why = "No \"Revision\" line";
        return 0;
    }
    return layout_from_revision_line(line, why);
}
