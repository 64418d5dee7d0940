// SPDX-License-Identifier: GPL-2.0-or-later
// The daemon's split of "HH:mm:ss" texts: any text into a heap buffer of
// exactly the given capacity (0 to 10 fields), compared with a reference
// split: fields are the runs between ':' bytes, each read like the 32-bit
// atoi and cut to 8 bits.
//
// Input: one capacity byte, then the text (up to a NUL byte).
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "daemon/daemon_state.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

int32_t atoi32(const std::string &s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    int64_t magnitude = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
        magnitude = std::min<int64_t>(magnitude * 10 + (s[i] - '0'), int64_t{1} << 40);
    const int64_t value = negative ? -magnitude : magnitude;
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

std::vector<uint8_t> expected_fields(const std::string &text, size_t capacity) {
    std::vector<uint8_t> fields;
    size_t at = 0;
    while (at < text.size() && fields.size() < capacity) {
        const size_t end = std::min(text.find(':', at), text.size());
        if (end > at)
            fields.push_back(static_cast<uint8_t>(atoi32(text.substr(at, end - at)) & 0xFF));
        at = end + 1;
    }
    return fields;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const int capacity = data[0] % 11;
    const std::string raw(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string text = raw.substr(0, raw.find('\0'));
    const auto fields = std::make_unique<uint8_t[]>(static_cast<size_t>(capacity));
    const int count = split_time_text(text.c_str(), fields.get(), capacity);
    const auto want = expected_fields(text, static_cast<size_t>(capacity));
    fuzz::check(count >= 0 && count <= capacity, "field count outside the capacity");
    fuzz::check(static_cast<size_t>(count) == want.size(),
                "field count differs from the reference split");
    for (int i = 0; i < count; ++i)
        fuzz::check(fields[static_cast<size_t>(i)] == want[static_cast<size_t>(i)],
                    "field differs from the reference split");
    return 0;
}
