// SPDX-License-Identifier: GPL-2.0-or-later
// INI writing: any file content (or none) and any set, delete-key or
// delete-section request through ini_puts. The rewritten file must equal the
// reference model's byte for byte (so every line the request does not touch
// is kept as it was), the file must never go missing, no temporary copy may
// be left behind, a set key must read back through ini_gets and a deleted key
// or section must be gone.
//
// Input: one request byte (low two bits: 1 delete the key, 2 delete the
// section, else set; 4: null section; 8: no file), then section, key and
// value separated by NUL bytes, then the file content.
#include <cstdint>
#include <cstring>

#include "common/config/ini_store.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/ini_model.hpp"

namespace {

enum : uint8_t { DELETE_KEY = 1, DELETE_SECTION = 2, NULL_SECTION = 4, NO_FILE = 8 };

constexpr char PROBE_DEFAULT[] = "\x01(absent)";
constexpr int PROBE_SIZE = 600;

// A key the file format can hold on a line of its own: no "=", nothing that
// would make the line a comment or a header, no blanks at its ends.
bool plain_key(const std::string &key) {
    if (key.find('=') != std::string::npos) return false;
    if (key.empty()) return true;
    const char first = key.front();
    return !model::blank(first) && !model::blank(key.back()) && first != ';' && first != '#' &&
           first != '[';
}

bool plain_section(const char *section) {
    return section == nullptr || strchr(section, ']') == nullptr;
}

std::string read_back(const char *section, const std::string &key, const std::string &path) {
    char buffer[PROBE_SIZE];
    const int length =
        ini_gets(section, key.c_str(), PROBE_DEFAULT, buffer, PROBE_SIZE, path.c_str());
    return std::string(buffer, static_cast<size_t>(length));
}

// Matching key lines in the body of the section's first header.
size_t key_lines_in_section(const std::string &content, const char *section,
                            const std::string &key) {
    const auto lines = model::pieces(content);
    const auto start = model::body_start(lines, section);
    size_t count = 0;
    for (size_t i = start.value_or(lines.size()); i < lines.size(); ++i) {
        const std::string t = model::text_of(lines[i]);
        if (model::opens_section(t)) break;
        count += model::is_key_line(t) && model::has_key(t, key);
    }
    return count;
}

size_t headers_named(const std::string &content, const char *section) {
    size_t count = 0;
    for (const auto &line : model::pieces(content)) {
        const auto name = model::header_name(model::text_of(line));
        count += name && model::same_name(*name, section);
    }
    return count;
}

void check_read_back(const std::optional<std::string> &before,
                     const std::optional<std::string> &after, const model::Request &r,
                     const std::string &path) {
    const std::string got = read_back(r.section, r.key, path);
    if (r.value != nullptr) {
        // A stored value found equal is left as it stands; a written one
        // loses outer blanks unless it was quoted.
        const std::string value = r.value;
        const bool untouched = before && after == before;
        const std::string expected =
            untouched || model::needs_quotes(value) ? value : model::trim(value);
        fuzz::check(got == expected, "a set key does not read back as its value");
    } else if (before && key_lines_in_section(*before, r.section, r.key) == 1) {
        fuzz::check(got == PROBE_DEFAULT, "a deleted key still reads back");
    }
}

void check_section_gone(const std::optional<std::string> &before, const model::Request &r,
                        const std::string &probe, const std::string &path) {
    if (!before || (model::named(r.section) && headers_named(*before, r.section) != 1)) return;
    fuzz::check(read_back(r.section, probe, path) == PROBE_DEFAULT,
                "a key of a deleted section still reads back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint8_t request = data[0];
    const auto fields = fuzz::split_fields(data + 1, size - 1, 4);
    model::Request r{request & NULL_SECTION ? nullptr : fields[0].c_str(), fields[1].c_str(),
                     fields[2].c_str()};
    if ((request & 3) == DELETE_KEY) r.value = nullptr;
    if ((request & 3) == DELETE_SECTION) r.key = r.value = nullptr;

    const std::string path = fuzz::scratch_dir() + "/bexo.cfg";
    const std::string temp = fuzz::scratch_dir() + "/bexo.cf~";
    fuzz::remove_file(temp);
    std::optional<std::string> before;
    if (request & NO_FILE) {
        fuzz::remove_file(path);
    } else {
        before = fields[3];
        fuzz::write_file(path, *before);
    }

    const int result = ini_puts(r.section, r.key, r.value, path.c_str());
    const auto after = fuzz::read_file(path);
    fuzz::check(result == 0 || result == 1, "ini_puts returned neither 0 nor 1");
    fuzz::check(!before || after, "the file went missing");
    fuzz::check(!fuzz::exists(temp), "a temporary copy was left behind");
    fuzz::check(result == 1 || after == before, "a refused request changed the file");
    const model::Outcome expected = model::puts(before, r);
    fuzz::check(result == expected.result, "ini_puts result differs from the model");
    fuzz::check(after == expected.file, "rewritten file differs from the model");

    if (result != 1 || !plain_section(r.section)) return 0;
    if (r.key != nullptr && plain_key(r.key)) check_read_back(before, after, r, path);
    if (r.key == nullptr && plain_key(fields[1])) check_section_gone(before, r, fields[1], path);
    return 0;
}
