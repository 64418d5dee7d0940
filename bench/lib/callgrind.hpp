// SPDX-License-Identifier: GPL-2.0-or-later
// Instruction counts from callgrind's profile dumps.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace bench {

// The total of the first event (Ir) of a dump: its "totals:" line, or its
// "summary:" line in older formats.
std::optional<uint64_t> callgrind_total(const std::string &dump_text);

// Instructions executed in each object file (program or library) itself,
// calls into other objects not included. Keys are the objects' paths.
std::map<std::string, uint64_t> callgrind_self_by_object(const std::string &dump_text);

// Instructions spent on behalf of the objects whose path contains `needle`:
// their own, plus everything they call in other objects (such as the C
// library functions an interposed wrapper uses).
uint64_t callgrind_share_of(const std::string &dump_text, const std::string &needle);

}  // namespace bench
