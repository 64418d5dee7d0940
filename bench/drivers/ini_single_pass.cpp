// SPDX-License-Identifier: GPL-2.0-or-later
// Reference for the cost of ini_puts' design: the same change made in one
// pass, each line read once through the same 512-byte buffer and written to
// a synced temporary file that is renamed over the original (the folder is
// synced too). No same-value check, no second read of copied bytes. Plain C
// library only, like the other drivers.
//   ini-single-pass put FILE SECTION KEY VALUE
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "bench/drivers/driver_clock.hpp"
#include "bench/drivers/fsync_timer.hpp"

namespace {

const char *skip_blanks(const char *p) {
    while (*p != '\0' && static_cast<unsigned char>(*p) <= ' ') p++;
    return p;
}

// True for a header line naming `section`; `header` tells whether the line
// is a header at all.
bool names_section(const char *line, const char *section, bool *header) {
    const char *p = skip_blanks(line);
    const char *end = *p == '[' ? strchr(p, ']') : nullptr;
    *header = end != nullptr;
    return *header && static_cast<size_t>(end - p - 1) == strlen(section) &&
           strncasecmp(p + 1, section, end - p - 1) == 0;
}

bool is_key_line(const char *line, const char *key) {
    const char *p = skip_blanks(line);
    const char *sep = strchr(p, '=');
    if (sep == nullptr) return false;
    const char *end = sep;
    while (end > p && static_cast<unsigned char>(end[-1]) <= ' ') end--;
    return static_cast<size_t>(end - p) == strlen(key) && strncasecmp(p, key, end - p) == 0;
}

bool sync_folder(const char *file) {
    char folder[512];
    snprintf(folder, sizeof folder, "%s", file);
    char *slash = strrchr(folder, '/');
    if (slash == nullptr) snprintf(folder, sizeof folder, ".");
    else slash[1] = '\0';
    const int dir = open(folder, O_RDONLY | O_DIRECTORY);
    const bool ok = dir >= 0 && fsync(dir) == 0;
    if (dir >= 0) close(dir);
    return ok;
}

bool put(const char *file, const char *section, const char *key, const char *value) {
    char temp[512];
    snprintf(temp, sizeof temp, "%s", file);
    temp[strlen(temp) - 1] = '~';
    FILE *in = fopen(file, "rb");
    FILE *out = fopen(temp, "wb");
    if (in == nullptr || out == nullptr) return false;
    char line[512];
    bool inside = false, done = false;
    while (fgets(line, sizeof line, in) != nullptr) {
        bool header = false;
        const bool match = names_section(line, section, &header);
        if (header) {
            if (inside && !done) {
                fprintf(out, "%s=%s\n", key, value);
                done = true;
            }
            inside = match;
        } else if (inside && !done && is_key_line(line, key)) {
            fprintf(out, "%s=%s\n", key, value);
            done = true;
            continue;
        }
        fputs(line, out);
    }
    if (!done && !inside) fprintf(out, "[%s]\n", section);
    if (!done) fprintf(out, "%s=%s\n", key, value);
    fclose(in);
    bool ok = fflush(out) == 0 && fsync(fileno(out)) == 0;
    ok = fclose(out) == 0 && ok && rename(temp, file) == 0;
    return sync_folder(file) && ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 6 && strcmp(argv[1], "put") == 0) {
        const long long start = driver_now_ns();
        const bool ok = put(argv[2], argv[3], argv[4], argv[5]);
        const long long ns = driver_now_ns() - start;
        printf("result=%d ns=%lld fsync_ns=%lld\n", ok ? 1 : 0, ns, fsync_ns_total);
        return ok ? 0 : 1;
    }
    fprintf(stderr, "usage: %s put FILE SECTION KEY VALUE\n", argv[0]);
    return 2;
}
