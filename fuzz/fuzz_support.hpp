// SPDX-License-Identifier: GPL-2.0-or-later
// Helpers shared by the fuzz targets: a private scratch folder (on tmpfs when
// there is one), whole-file reads and writes, and the split of an input into
// NUL-separated fields.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace fuzz {

// A failed check ends the run the way a sanitizer does, so that libFuzzer
// keeps the input.
[[noreturn]] inline void fail(const char *what) {
    fprintf(stderr, "fuzz check failed: %s\n", what);
    fflush(stderr);
    abort();
}

inline void check(bool ok, const char *what) {
    if (!ok) fail(what);
}

inline std::string &scratch_path() {
    static std::string path;
    return path;
}

inline void remove_scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_path(), ignored);
}

// The folder is made once per process and removed when it exits normally.
inline const std::string &scratch_dir() {
    std::string &path = scratch_path();
    if (path.empty()) {
        struct stat st;
        const char *base =
            stat("/dev/shm", &st) == 0 && access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/bexo-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) fail("cannot make a scratch folder");
        path = pattern;
        atexit(remove_scratch);
    }
    return path;
}

inline void write_file(const std::string &path, const std::string &content) {
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) fail("cannot write a scratch file");
    if (!content.empty() && fwrite(content.data(), 1, content.size(), f) != content.size())
        fail("short write");
    if (fclose(f) != 0) fail("cannot close a scratch file");
}

inline std::optional<std::string> read_file(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return std::nullopt;
    std::string content;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) content.append(chunk, got);
    fclose(f);
    return content;
}

inline void remove_file(const std::string &path) { unlink(path.c_str()); }

inline bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// Splits the input at its first `count - 1` NUL bytes; the last field takes
// the rest, NUL bytes included. Missing fields are empty.
inline std::vector<std::string> split_fields(const uint8_t *data, size_t size, size_t count) {
    std::vector<std::string> fields;
    const char *p = reinterpret_cast<const char *>(data);
    const char *end = p + size;
    while (fields.size() + 1 < count) {
        const char *nul = p;
        while (nul < end && *nul != '\0') ++nul;
        fields.emplace_back(p, nul);
        p = nul < end ? nul + 1 : end;
    }
    fields.emplace_back(p, end);
    return fields;
}

}  // namespace fuzz
