// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench/lib/ini_data.hpp"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace bench {

namespace {

std::string section_text(size_t index) {
    char line[96];
    snprintf(line, sizeof line, "[section%07zu]\n", index);
    std::string text = line;
    for (int key = 0; key < 8; key++) {
        snprintf(line, sizeof line, "setting_%02d = some value text %07zu-%02d\n", key, index, key);
        text += line;
    }
    return text + "\n";
}

std::string tail_text() {
    char text[128];
    snprintf(text, sizeof text, "[%s]\nother = 1\n%s = %ld\n", kTargetSection, kTargetKey,
             kTargetValue);
    return text;
}

}  // namespace

size_t generate_ini(const std::string &path, size_t bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) throw std::runtime_error("cannot write " + path);
    const std::string head = "; generated for the INI benchmark\n\n";
    const std::string tail = tail_text();
    size_t size = head.size();
    fputs(head.c_str(), f);
    for (size_t index = 1; size + tail.size() < bytes; index++) {
        const std::string section = section_text(index);
        fputs(section.c_str(), f);
        size += section.size();
    }
    fputs(tail.c_str(), f);
    size += tail.size();
    if (fclose(f) != 0) throw std::runtime_error("cannot write " + path);
    return size;
}

}  // namespace bench
