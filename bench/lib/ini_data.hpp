// SPDX-License-Identifier: GPL-2.0-or-later
// INI files for the engine benchmark: sections of a few keys each, with the
// key that is read and written as the last line of the last section, so that
// every engine has to go through the whole file.
#pragma once

#include <cstddef>
#include <string>

namespace bench {

inline constexpr const char *kTargetSection = "target";
inline constexpr const char *kTargetKey = "wanted";
inline constexpr long kTargetValue = 12345;

// Writes a file of about `bytes` bytes (never less, and less than one
// section more) and returns its size.
size_t generate_ini(const std::string &path, size_t bytes);

}  // namespace bench
