// SPDX-License-Identifier: GPL-2.0-or-later
// The line bench-timer prints about the program it ran.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace bench {

// Fields of the last "bench-timer: name=value ..." line in `text`
// (wall_ns, user_us, sys_us, maxrss_kib, nvcsw, nivcsw, status).
std::optional<std::map<std::string, long long>> parse_timer_line(const std::string &text);

}  // namespace bench
