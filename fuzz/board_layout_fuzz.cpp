// SPDX-License-Identifier: GPL-2.0-or-later
// Board detection: any /proc/cpuinfo text, with or without a device-tree
// model, through the classifier behind piBoardLayout. The line buffer is a
// heap allocation of exactly its size, so AddressSanitizer sees any overrun.
// The outcome (layout 1 or 2 exactly when no failure is reported, and which
// failure) is compared with a reference model of the detection rules.
//
// Input: one flag byte (1: the device-tree model file exists), then the
// model text up to the first NUL byte, then the cpuinfo text.
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/hw/pi_cpuinfo.hpp"
#include "fuzz/fuzz_support.hpp"

namespace {

constexpr size_t FGETS_PIECE = PI_CPUINFO_LINE_SIZE - 1;

struct Detection {
    int layout;            // 1 or 2, 0 on failure
    const char *why;       // reason of a failure, null for unsupported hardware
    std::string hardware;  // the Hardware line, for unsupported hardware
};

// The lines as read with the 120-byte buffer, each seen up to a NUL byte.
std::vector<std::string> cpuinfo_lines(const std::string &content) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < content.size()) {
        size_t len = 0;
        while (at + len < content.size() && len < FGETS_PIECE) {
            ++len;
            if (content[at + len - 1] == '\n') break;
        }
        const std::string piece = content.substr(at, len);
        lines.push_back(piece.substr(0, piece.find('\0')));
        at += len;
    }
    return lines;
}

const std::string *first_starting_with(const std::vector<std::string> &lines,
                                       const std::string &prefix) {
    for (const auto &line : lines)
        if (line.compare(0, prefix.size(), prefix) == 0) return &line;
    return nullptr;
}

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_white(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

Detection revision_layout(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    size_t at = line.find(':');
    if (at == std::string::npos) return {0, "Bogus \"Revision\" line (no colon)", {}};
    ++at;
    while (at < line.size() && is_white(line[at])) ++at;
    if (at == line.size() || !is_hex(line[at]))
        return {0, "Bogus \"Revision\" line (no hex digit at start of revision)", {}};
    const std::string rest = line.substr(at);
    if (rest.size() < 4) return {0, "Bogus revision line (too small)", {}};
    const std::string last = rest.substr(rest.size() - 4);
    return {last == "0002" || last == "0003" ? 1 : 2, nullptr, {}};
}

Detection expected(const std::string &cpuinfo, const std::optional<std::string> &model_text) {
    const auto lines = cpuinfo_lines(cpuinfo);
    const bool named_pi = model_text && model_text->compare(0, 12, "Raspberry Pi") == 0 &&
                          model_text->size() >= 12;
    if (const std::string *hardware = first_starting_with(lines, "Hardware")) {
        const bool known = hardware->find("BCM2708") != std::string::npos ||
                           hardware->find("BCM2709") != std::string::npos ||
                           hardware->find("BCM2835") != std::string::npos ||
                           hardware->find("BCM2711") != std::string::npos;
        if (!known && !named_pi) return {0, nullptr, *hardware};
    } else if (!named_pi) {
        return {0, "No \"Hardware\" line", {}};
    }
    const std::string *revision = first_starting_with(lines, "Revision");
    if (revision == nullptr) {
        if (named_pi) return {2, nullptr, {}};
        return {0, "No \"Revision\" line", {}};
    }
    return revision_layout(*revision);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const auto fields = fuzz::split_fields(data + 1, size - 1, 2);
    const std::string cpuinfo_path = fuzz::scratch_dir() + "/cpuinfo";
    const std::string model_path = fuzz::scratch_dir() + "/model";
    std::optional<std::string> model_text;
    if (data[0] & 1) {
        model_text = fields[0];
        fuzz::write_file(model_path, *model_text);
    } else {
        fuzz::remove_file(model_path);
    }
    fuzz::write_file(cpuinfo_path, fields[1]);

    FILE *cpuinfo = fopen(cpuinfo_path.c_str(), "r");
    if (cpuinfo == nullptr) fuzz::fail("cannot open the cpuinfo text");
    const auto line = std::make_unique<char[]>(PI_CPUINFO_LINE_SIZE);
    const char *why = "(not set)";
    const int layout = piCpuinfoLayout(cpuinfo, model_path.c_str(), line.get(), &why);
    fclose(cpuinfo);

    fuzz::check(layout == 0 || layout == 1 || layout == 2, "layout is neither 1, 2 nor a failure");
    fuzz::check(layout == 0 || why == nullptr, "a layout came with a failure reason");
    const Detection want = expected(fields[1], model_text);
    fuzz::check(layout == want.layout, "layout differs from the model");
    fuzz::check((why == nullptr) == (want.why == nullptr), "failure kind differs from the model");
    if (why != nullptr)
        fuzz::check(strcmp(why, want.why) == 0, "failure reason differs from the model");
    if (layout == 0 && why == nullptr)
        fuzz::check(want.hardware == line.get(), "unsupported hardware line differs");
    return 0;
}
