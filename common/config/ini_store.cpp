// SPDX-License-Identifier: GPL-2.0-or-later
// INI engine: look-ups scan the file from the top; a change copies the file
// into a temporary file beside it and renames that over the original, so the
// file is always either the old or the new version, even after a power cut.

// The precondition checks stay in every build type: a calling error must stop
// the program rather than run on into undefined behaviour.
#undef NDEBUG

#include "common/config/ini_store.hpp"

#include "common/config/int32_text.hpp"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The helpers' names with words run together (skipleading, skiptrailing,
// striptrailing, cleanstring, getkeystring, writesection, writekey) are the
// engine's own, which its descriptions use; the helpers added since are
// written with underscores.
namespace {

enum { INI_BUFFERSIZE = INI_LINE_SIZE };

// ini_getl reads at most this many bytes minus one.
enum { INI_NUMBERSIZE = 64 };

enum quote_option { QUOTE_NONE, QUOTE_ENQUOTE, QUOTE_DEQUOTE };

// ---------------------------------------------------------------------------
// Text helpers

// Bytes 1 to 32 are blanks; every byte above 32 is text.
bool is_blank(char c) {
    const unsigned char byte = static_cast<unsigned char>(c);
    return byte >= 1 && byte <= ' ';
}

char *skipleading(char *str) {
    assert(str != nullptr);
    while (is_blank(*str)) str++;
    return str;
}

char *skiptrailing(char *str, char *base) {
    assert(str != nullptr);
    assert(base != nullptr);
    while (str > base && is_blank(*(str - 1))) str--;
    return str;
}

char *striptrailing(char *str) {
    char *end = skiptrailing(strchr(str, '\0'), str);
    *end = '\0';
    return str;
}

// A destination that starts inside the source text (after its first byte)
// would be overwritten before it is read.
bool starts_inside(const char *dest, const char *source) {
    const uintptr_t d = reinterpret_cast<uintptr_t>(dest);
    const uintptr_t s = reinterpret_cast<uintptr_t>(source);
    return d > s && d <= s + strlen(source);
}

void copy_plain(char *dest, const char *source, size_t maxlen) {
    size_t d = 0;
    while (d < maxlen - 1 && source[d] != '\0') {
        dest[d] = source[d];
        d++;
    }
    dest[d] = '\0';
}

// A doubled quote and a backslash-quote both stand for one quote.
void copy_dequoted(char *dest, const char *source, size_t maxlen) {
    size_t d = 0;
    for (const char *p = source; d < maxlen - 1 && *p != '\0'; p++) {
        if ((*p == '"' || *p == '\\') && p[1] == '"') p++;
        dest[d++] = *p;
    }
    dest[d] = '\0';
}

// Wraps the text in quotes, escaping inner quotes with a backslash; the text
// is cut so that both quotes fit and a quote never loses its backslash.
void copy_enquoted(char *dest, const char *source, size_t maxlen) {
    size_t d = 0;
    dest[d++] = '"';
    for (const char *p = source; d < maxlen - 2 && *p != '\0'; p++) {
        if (*p == '"') {
            if (d >= maxlen - 3) break;
            dest[d++] = '\\';
        }
        dest[d++] = *p;
    }
    dest[d++] = '"';
    dest[d] = '\0';
}

char *save_strncpy(char *dest, const char *source, size_t maxlen, quote_option option) {
    assert(maxlen > 0);
    assert(!starts_inside(dest, source));
    assert(option == QUOTE_NONE || option == QUOTE_ENQUOTE || option == QUOTE_DEQUOTE);
    if (option == QUOTE_ENQUOTE && maxlen <= 2) option = QUOTE_NONE;
    switch (option) {
    case QUOTE_ENQUOTE: copy_enquoted(dest, source, maxlen); break;
    case QUOTE_DEQUOTE: copy_dequoted(dest, source, maxlen); break;
    default: copy_plain(dest, source, maxlen); break;
    }
    return dest;
}

// Cuts the value at an unquoted comment character, strips trailing blanks and
// removes enclosing quotes, telling the caller how to copy what is left.
char *cleanstring(char *string, quote_option *quotes) {
    assert(string != nullptr);
    assert(quotes != nullptr);
    bool in_quotes = false;
    char *ep = string;
    while (*ep != '\0' && (in_quotes || (*ep != ';' && *ep != '#'))) {
        if (*ep == '"') {
            if (ep[1] == '"')
                ep++;
            else
                in_quotes = !in_quotes;
        } else if (*ep == '\\' && ep[1] == '"') {
            ep++;
        }
        ep++;
    }
    *ep = '\0';
    striptrailing(string);

    *quotes = QUOTE_NONE;
    const size_t length = strlen(string);
    if (length > 0 && string[0] == '"' && string[length - 1] == '"') {
        *quotes = QUOTE_DEQUOTE;
        if (length == 1) {
            string[0] = '\0';
        } else {
            string[length - 1] = '\0';
            string++;
        }
    }
    return string;
}

// ---------------------------------------------------------------------------
// Opening and line reading and classification

// Opens a regular file for reading. Anything else (a FIFO, a device, a
// directory) is refused before it is opened, and the open cannot block
// should it be swapped in meanwhile. Null on failure, errno telling why.
FILE *open_for_reading(const char *filename) {
    struct stat st;
    if (stat(filename, &st) != 0) return nullptr;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    const int fd = open(filename, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    FILE *fp = fdopen(fd, "rb");
    if (fp == nullptr) close(fd);
    return fp;
}

// Passes over a UTF-8 byte-order mark at the start of the file, which an
// editor may put there and which is no part of the first line. Returns the
// bytes passed over (0 or 3); without a mark the file is at its start again.
int skip_byte_order_mark(FILE *fp) {
    const int first = getc(fp);
    if (first != 0xEF) {
        if (first != EOF) ungetc(first, fp);
        return 0;
    }
    if (getc(fp) == 0xBB && getc(fp) == 0xBF) return 3;
    rewind(fp);
    return 0;
}

// Reads one line, or a piece of at most size - 1 bytes of a longer one.
// Returns the number of bytes taken from the file (NUL bytes included), 0 at
// the end of the file or on a read error.
int read_line(FILE *fp, char *line, int size) {
    int n = 0;
    int c;
    while (n < size - 1 && (c = getc(fp)) != EOF) {
        line[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    line[n] = '\0';
    return n;
}

bool names_match(const char *stored, size_t length, const char *name) {
    return length == strlen(name) && strncasecmp(stored, name, length) == 0;
}

bool is_section_header(char *line, const char *section) {
    char *start = skipleading(line);
    if (*start != '[') return false;
    const char *end = strchr(start + 1, ']');
    return end != nullptr && names_match(start + 1, static_cast<size_t>(end - start - 1), section);
}

bool starts_section(char *line) { return *skipleading(line) == '['; }

bool is_comment(char *line) {
    const char first = *skipleading(line);
    return first == ';' || first == '#';
}

// The first "=" separates key and value; only a line without any "=" uses
// its first ":".
char *find_separator(char *line) {
    char *sep = strchr(line, '=');
    return sep != nullptr ? sep : strchr(line, ':');
}

bool is_key_line(char *line) { return !is_comment(line) && find_separator(line) != nullptr; }

// The key text runs from the first non-blank byte to the separator, less
// trailing blanks; it must have the key's exact length.
bool line_has_key(char *line, const char *key) {
    char *sep = find_separator(line);
    if (sep == nullptr) return false;
    char *start = skipleading(line);
    char *end = skiptrailing(sep, start);
    return names_match(start, static_cast<size_t>(end - start), key);
}

bool has_section_name(const char *section) { return section != nullptr && section[0] != '\0'; }

// Looks the key up in `line` (a buffer of INI_BUFFERSIZE bytes) and copies
// its cleaned value into `dest`, which may be `line` itself.
int getkeystring(FILE *fp, const char *section, const char *key, char *line, char *dest, int size) {
    assert(fp != nullptr);
    assert(key != nullptr);
    if (has_section_name(section)) {
        do {
            if (read_line(fp, line, INI_BUFFERSIZE) == 0) return 0;
        } while (!is_section_header(line, section));
    }
    for (;;) {
        if (read_line(fp, line, INI_BUFFERSIZE) == 0 || starts_section(line)) return 0;
        if (!is_comment(line) && line_has_key(line, key)) break;
    }
    quote_option quotes = QUOTE_NONE;
    char *value = cleanstring(skipleading(find_separator(line) + 1), &quotes);
    save_strncpy(dest, value, static_cast<size_t>(size), quotes);
    return 1;
}

}  // namespace

// ---------------------------------------------------------------------------
// Reading

int ini_gets(const char *section, const char *key, const char *default_value, char *buffer,
             int buffer_size, const char *filename) {
    if (buffer == nullptr || buffer_size <= 0 || key == nullptr) return 0;
    char line[INI_BUFFERSIZE];
    int found = 0;
    FILE *fp = filename != nullptr ? open_for_reading(filename) : nullptr;
    if (fp != nullptr) {
        skip_byte_order_mark(fp);
        found = getkeystring(fp, section, key, line, buffer, buffer_size);
        fclose(fp);
    }
    if (!found)
        save_strncpy(buffer, default_value != nullptr ? default_value : "",
                     static_cast<size_t>(buffer_size), QUOTE_NONE);
    return static_cast<int>(strlen(buffer));
}

int32_t ini_getl(const char *section, const char *key, int32_t default_value,
                 const char *filename) {
    char number[INI_NUMBERSIZE];
    const int length = ini_gets(section, key, "", number, INI_NUMBERSIZE, filename);
    if (length == 0) return default_value;
    const bool hex = length >= 2 && (number[1] == 'x' || number[1] == 'X');
    return int32_text_lead(number, hex ? 16 : 10);
}

namespace {

// Fills `entry` from `line`, which is cut up in place; false for a line that
// carries no data.
bool classify_line(char *line, ini_line *entry) {
    char *start = skipleading(line);
    entry->value = nullptr;
    if (*start == '[') {
        char *end = strchr(start + 1, ']');
        entry->kind = end != nullptr ? INI_LINE_SECTION : INI_LINE_OPEN_SECTION;
        if (end != nullptr)
            *end = '\0';
        else
            striptrailing(start + 1);
        entry->name = start + 1;
        return true;
    }
    if (!is_key_line(line)) return false;
    char *sep = find_separator(line);
    quote_option quotes = QUOTE_NONE;
    char *value = cleanstring(skipleading(sep + 1), &quotes);
    // Dequoting only ever shortens the text, so it is done in place.
    if (quotes == QUOTE_DEQUOTE) save_strncpy(value, value, strlen(value) + 1, quotes);
    *skiptrailing(sep, start) = '\0';
    entry->kind = INI_LINE_KEY;
    entry->name = start;
    entry->value = value;
    return true;
}

}  // namespace

int ini_walk(const char *filename, void (*visit)(const ini_line *line, void *context),
             void *context) {
    FILE *fp = open_for_reading(filename);
    if (fp == nullptr) return 0;
    char line[INI_BUFFERSIZE];
    ini_line entry{INI_LINE_BYTE_ORDER_MARK, 1, nullptr, nullptr};
    if (skip_byte_order_mark(fp) > 0) visit(&entry, context);
    int length;
    while ((length = read_line(fp, line, INI_BUFFERSIZE)) > 0) {
        const bool line_ends = line[length - 1] == '\n';
        if (classify_line(line, &entry)) visit(&entry, context);
        if (line_ends) entry.number++;
    }
    fclose(fp);
    return 1;
}

namespace {

// ---------------------------------------------------------------------------
// Writing: line assembly

bool check_enquote(const char *value) {
    const size_t length = strlen(value);
    return strpbrk(value, "\";#") != nullptr || (length > 0 && value[length - 1] == ' ');
}

// Bytes the value takes in a written key line.
size_t written_length(const char *value) {
    size_t length = strlen(value);
    if (!check_enquote(value)) return length;
    for (const char *p = value; *p != '\0'; p++)
        if (*p == '"') length++;
    return length + 2;
}

bool writesection(char *buffer, const char *section, FILE *out) {
    buffer[0] = '[';
    save_strncpy(buffer + 1, section, INI_BUFFERSIZE - 4, QUOTE_NONE);
    strcat(buffer, "]\n");
    return fputs(buffer, out) != EOF;
}

bool writekey(char *buffer, const char *key, const char *value, FILE *out) {
    save_strncpy(buffer, key, INI_BUFFERSIZE - 3, QUOTE_NONE);
    char *p = strchr(buffer, '\0');
    *p++ = '=';
    const size_t room = static_cast<size_t>(INI_BUFFERSIZE - 2 - (p - buffer));
    save_strncpy(p, value, room, check_enquote(value) ? QUOTE_ENQUOTE : QUOTE_NONE);
    strcat(p, "\n");
    return fputs(buffer, out) != EOF;
}

char *ini_tempname(char *dest, const char *source, int maxlength) {
    save_strncpy(dest, source, static_cast<size_t>(maxlength), QUOTE_NONE);
    char *last = strchr(dest, '\0');
    if (last > dest) *(last - 1) = '~';
    return dest;
}

// ---------------------------------------------------------------------------
// Writing: the copy of unchanged lines
//
// Unchanged lines are not held in memory: only a mark (an input position) and
// the count of bytes read since the mark that still have to be copied.

struct ini_copy {
    FILE *in;
    FILE *out;
    char *buffer;
    fpos_t mark;
    int pending;
};

bool cache_accum(int length, int *pending) {
    if (*pending + length >= INI_BUFFERSIZE) return false;
    *pending += length;
    return true;
}

// Copies the pending bytes to the output and sets the mark after them, which
// leaves the input at the start of the first line not counted. The bytes are
// read back in one piece, NUL bytes included; a short read means a read error
// or a file changed under us, and the change is abandoned. Returns 1 when the
// copied text ends in "\n", 0 when not (or nothing was pending), -1 when the
// bytes could not be read back or written.
int cache_flush(ini_copy *copy) {
    if (fsetpos(copy->in, &copy->mark) != 0) return -1;
    const size_t count = static_cast<size_t>(copy->pending);
    int ends_in_newline = 0;
    if (count > 0) {
        if (fread(copy->buffer, 1, count, copy->in) != count) return -1;
        if (fwrite(copy->buffer, 1, count, copy->out) != count) return -1;
        ends_in_newline = copy->buffer[count - 1] == '\n';
    }
    if (fgetpos(copy->in, &copy->mark) != 0) return -1;
    copy->pending = 0;
    return ends_in_newline;
}

// Counts the line just read for copying, flushing first when it does not fit.
bool copy_line(ini_copy *copy, int length) {
    if (cache_accum(length, &copy->pending)) return true;
    if (cache_flush(copy) < 0) return false;
    const int again = read_line(copy->in, copy->buffer, INI_BUFFERSIZE);
    return again == length && cache_accum(again, &copy->pending);
}

// Leaves the line just read out of the copy.
bool drop_line(ini_copy *copy) {
    if (cache_flush(copy) < 0) return false;
    read_line(copy->in, copy->buffer, INI_BUFFERSIZE);
    return fgetpos(copy->in, &copy->mark) == 0;
}

// End of the input: copies what is pending and, for a setting, appends the
// header (when given) and the key line on a line of their own.
bool finish_at_end(ini_copy *copy, const char *section, const char *key, const char *value) {
    const int ends_in_newline = cache_flush(copy);
    if (ends_in_newline < 0) return false;
    if (key == nullptr || value == nullptr) return true;
    if (!ends_in_newline && fputs("\n", copy->out) == EOF) return false;
    if (section != nullptr && !writesection(copy->buffer, section, copy->out)) return false;
    return writekey(copy->buffer, key, value, copy->out);
}

bool copy_rest(ini_copy *copy) {
    int length;
    while ((length = read_line(copy->in, copy->buffer, INI_BUFFERSIZE)) > 0)
        if (!copy_line(copy, length)) return false;
    return cache_flush(copy) >= 0;
}

// Copies up to and including the header of `section`; deleting the section
// leaves the header out. Without such a header the request is completed at
// the end of the file and `done` is set. False when the copy failed.
bool copy_to_section(ini_copy *copy, const char *section, const char *key, const char *value,
                     bool *done) {
    int length;
    while ((length = read_line(copy->in, copy->buffer, INI_BUFFERSIZE)) > 0) {
        const bool found = is_section_header(copy->buffer, section);
        if (found && key == nullptr) return drop_line(copy);
        if (!copy_line(copy, length)) return false;
        if (found) return cache_flush(copy) >= 0;
    }
    *done = true;
    return finish_at_end(copy, section, key, value);
}

// Deleting the unnamed section removes its key lines and keeps its comments
// and blank lines; deleting a named section removes every line of its body.
bool keep_when_deleting(ini_copy *copy, const char *section) {
    return !has_section_name(section) && !is_key_line(copy->buffer);
}

// Walks the section body up to the key line or the next header and writes
// the new key line there, or at the end of the file.
bool rewrite_section_body(ini_copy *copy, const char *key, const char *value, const char *section) {
    bool next_section = false;
    for (;;) {
        const int read = read_line(copy->in, copy->buffer, INI_BUFFERSIZE);
        if (read == 0) return finish_at_end(copy, nullptr, key, value);
        next_section = starts_section(copy->buffer);
        if (next_section || (key != nullptr && line_has_key(copy->buffer, key))) break;
        bool ok;
        if (key != nullptr || keep_when_deleting(copy, section))
            ok = copy_line(copy, read);
        else
            ok = drop_line(copy);
        if (!ok) return false;
    }
    if (cache_flush(copy) < 0) return false;
    if (key != nullptr && value != nullptr && !writekey(copy->buffer, key, value, copy->out))
        return false;
    // Read the line that ended the walk again: a header is kept, the old key
    // line is left out.
    const int length = read_line(copy->in, copy->buffer, INI_BUFFERSIZE);
    const bool ok =
        next_section ? cache_accum(length, &copy->pending) : fgetpos(copy->in, &copy->mark) == 0;
    return ok && copy_rest(copy);
}

bool rewrite(ini_copy *copy, const char *section, const char *key, const char *value) {
    if (fgetpos(copy->in, &copy->mark) != 0) return false;
    // A byte-order mark is copied with the first line.
    copy->pending = skip_byte_order_mark(copy->in);
    if (has_section_name(section)) {
        bool done = false;
        if (!copy_to_section(copy, section, key, value, &done)) return false;
        if (done) return true;
    }
    return rewrite_section_body(copy, key, value, section);
}

// ---------------------------------------------------------------------------
// Writing: temporary file, replacement and lock

// A file system that cannot sync a file reports EINVAL; nothing more can be
// done there.
bool synced(int result) { return result == 0 || errno == EINVAL; }

// Gives the copy the owner (where the writer may) and the permission bits of
// the file it replaces.
bool carry_permissions(int fd, const struct stat *old) {
    struct stat now;
    if (fstat(fd, &now) != 0) return false;
    if ((now.st_uid != old->st_uid || now.st_gid != old->st_gid) &&
        fchown(fd, old->st_uid, old->st_gid) != 0 && errno != EPERM)
        return false;
    return fchmod(fd, old->st_mode & 0777) == 0;
}

// Creates the temporary file afresh (a stale one from an interrupted writer
// is removed). Without a file to replace it gets default permission bits.
FILE *open_temp(const char *tempname, FILE *in) {
    struct stat old;
    if (in != nullptr && fstat(fileno(in), &old) != 0) return nullptr;
    if (unlink(tempname) != 0 && errno != ENOENT) return nullptr;
    const int fd =
        open(tempname, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, in != nullptr ? 0600 : 0666);
    if (fd < 0) return nullptr;
    FILE *out = nullptr;
    if (in == nullptr || carry_permissions(fd, &old)) out = fdopen(fd, "wb");
    if (out == nullptr) {
        close(fd);
        unlink(tempname);
    }
    return out;
}

bool finish_temp(FILE *out) {
    const bool ok = fflush(out) == 0 && !ferror(out) && synced(fsync(fileno(out)));
    return fclose(out) == 0 && ok;
}

// The file, its folder's descriptor, the working buffer and the name of the
// temporary file beside the file, for one change.
struct ini_target {
    const char *filename;
    int folder;
    char *buffer;
    const char *tempname;
};

// Renames the fully written and synced copy over the file, then syncs the
// folder so that the new name survives a power cut. On any failure before
// the rename the file stays as it was and the copy is removed; after it the
// change has landed, and only a failed folder sync is left to report.
int close_rename(FILE *in, FILE *out, bool ok, const ini_target *target) {
    if (in != nullptr) {
        ok = !ferror(in) && ok;
        fclose(in);
    }
    ok = finish_temp(out) && ok;
    if (!ok || rename(target->tempname, target->filename) != 0) {
        unlink(target->tempname);
        return 0;
    }
    return synced(fsync(target->folder)) ? 1 : INI_PUT_UNSYNCED;
}

// Opens the file's folder and takes an exclusive lock on it, waiting for any
// other writer. The folder stays the same across the rename, and the kernel
// drops the lock when its holder ends, however it ends.
int lock_folder(const char *filename, char *buffer) {
    save_strncpy(buffer, filename, INI_BUFFERSIZE, QUOTE_NONE);
    char *slash = strrchr(buffer, '/');
    if (slash == nullptr)
        strcpy(buffer, ".");
    else if (slash == buffer)
        slash[1] = '\0';
    else
        *slash = '\0';
    const int folder = open(buffer, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return -1;
    while (flock(folder, LOCK_EX) != 0) {
        if (errno != EINTR) {
            close(folder);
            return -1;
        }
    }
    return folder;
}

bool file_is_missing(const char *filename) {
    struct stat st;
    return stat(filename, &st) != 0 && errno == ENOENT;
}

int create_file(const char *section, const char *key, const char *value, const ini_target *target) {
    char *buffer = target->buffer;
    FILE *out = open_temp(target->tempname, nullptr);
    if (out == nullptr) return 0;
    const bool ok = (!has_section_name(section) || writesection(buffer, section, out)) &&
                    writekey(buffer, key, value, out);
    return close_rename(nullptr, out, ok, target);
}

int put_locked(const char *section, const char *key, const char *value, const ini_target *target) {
    char *buffer = target->buffer;
    const bool setting = key != nullptr && value != nullptr;
    FILE *in = open_for_reading(target->filename);
    if (in == nullptr) {
        // Only a file that is truly absent may be created; one that merely
        // cannot be read would be overwritten with a single key.
        if (errno != ENOENT) return 0;
        return setting ? create_file(section, key, value, target) : 1;
    }
    skip_byte_order_mark(in);
    if (setting && getkeystring(in, section, key, buffer, buffer, INI_BUFFERSIZE) &&
        strcmp(buffer, value) == 0) {
        fclose(in);
        return 1;
    }
    rewind(in);
    FILE *out = open_temp(target->tempname, in);
    if (out == nullptr) {
        fclose(in);
        return 0;
    }
    ini_copy copy{in, out, buffer, {}, 0};
    const bool ok = rewrite(&copy, section, key, value);
    return close_rename(in, out, ok, target);
}

bool has_line_break(const char *text) {
    return text != nullptr && strpbrk(text, "\r\n") != nullptr;
}

// A header or key line that would not fit in one line buffer would be cut,
// storing something other than what was asked.
bool fits_in_line(const char *section, const char *key, const char *value) {
    if (key == nullptr || value == nullptr) return true;
    if (section != nullptr && strlen(section) > INI_BUFFERSIZE - 5) return false;
    return strlen(key) + 1 + written_length(value) <= INI_BUFFERSIZE - 3;
}

// A file reached through symbolic links is changed where it is: `target`
// gets the final file's path, or the name as given when it is no link.
// False for a link that leads to no file (or round in a circle): a new
// file in place of the link would leave the file it was meant for as it
// was.
bool final_target(const char *filename, char *target) {
    struct stat st;
    if (lstat(filename, &st) != 0 || !S_ISLNK(st.st_mode)) {
        if (strlen(filename) >= PATH_MAX) return false;
        strcpy(target, filename);
        return true;
    }
    return realpath(filename, target) != nullptr;
}

// The temporary name is built from at most 511 bytes of the file name, and a
// name ending in "~" would be its own temporary file.
bool usable_filename(const char *filename) {
    const size_t length = strlen(filename);
    return length > 0 && length < INI_BUFFERSIZE && filename[length - 1] != '~';
}

}  // namespace

ini_value_check ini_check_value(const char *section, const char *key, const char *value) {
    if (has_line_break(section) || has_line_break(key) || has_line_break(value))
        return INI_VALUE_LINE_BREAK;
    return fits_in_line(section, key, value) ? INI_VALUE_OK : INI_VALUE_TOO_LONG;
}

int ini_puts(const char *section, const char *key, const char *value, const char *filename) {
    assert(filename != nullptr);
    char final_name[PATH_MAX];
    if (!final_target(filename, final_name)) return 0;
    filename = final_name;
    if (!usable_filename(filename) || ini_check_value(section, key, value) != INI_VALUE_OK)
        return 0;
    char buffer[INI_BUFFERSIZE];
    const int folder = lock_folder(filename, buffer);
    if (folder < 0)
        return (key == nullptr || value == nullptr) && file_is_missing(filename) ? 1 : 0;
    char tempname[INI_BUFFERSIZE];
    ini_tempname(tempname, filename, INI_BUFFERSIZE);
    const ini_target target{filename, folder, buffer, tempname};
    const int result = put_locked(section, key, value, &target);
    close(folder);
    return result;
}
