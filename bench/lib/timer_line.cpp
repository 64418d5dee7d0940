// SPDX-License-Identifier: GPL-2.0-or-later
#include "bench/lib/timer_line.hpp"

#include <cstdlib>
#include <sstream>

namespace bench {

std::optional<std::map<std::string, long long>> parse_timer_line(const std::string &text) {
    const std::string tag = "bench-timer: ";
    size_t at = text.rfind(tag);
    while (at != std::string::npos && at > 0 && text[at - 1] != '\n')
        at = text.rfind(tag, at - 1);
    if (at == std::string::npos) return std::nullopt;
    const size_t end = text.find('\n', at);
    std::istringstream fields(text.substr(at + tag.size(), end == std::string::npos ? end : end - at - tag.size()));
    std::map<std::string, long long> values;
    std::string field;
    while (fields >> field) {
        const size_t eq = field.find('=');
        if (eq == std::string::npos) return std::nullopt;
        char *stop = nullptr;
        const long long value = strtoll(field.c_str() + eq + 1, &stop, 10);
        if (*stop != '\0') return std::nullopt;
        values[field.substr(0, eq)] = value;
    }
    if (!values.count("wall_ns")) return std::nullopt;
    return values;
}

}  // namespace bench
