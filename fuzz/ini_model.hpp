// SPDX-License-Identifier: GPL-2.0-or-later
// A small reference model of the INI rules, written from the file format's
// rules rather than from the engine: whole file contents in, expected reads
// and expected rewritten contents out. It works on std::string and is meant
// only to check the engine under the fuzzer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace model {

inline constexpr size_t LINE_PIECE = 511;    // bytes per line read
inline constexpr size_t LOOKUP_SIZE = 512;   // buffer of the same-value check
inline constexpr size_t NUMBER_SIZE = 64;    // buffer of an integer read
inline constexpr size_t MAX_SECTION = 507;   // longest section name written
inline constexpr size_t MAX_KEY_LINE = 509;  // key, "=" and value, without "\n"

inline bool blank(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 1 && b <= 32;
}

// A UTF-8 byte-order mark at the start: the engine passes over it when it
// reads and copies it when it rewrites.
inline std::string mark_of(const std::string &content) {
    return content.rfind("\xEF\xBB\xBF", 0) == 0 ? "\xEF\xBB\xBF" : "";
}

// The file as the engine reads it: after the mark, lines of at most 511
// bytes, a longer line giving several pieces.
inline std::vector<std::string> pieces(const std::string &content) {
    std::vector<std::string> out;
    size_t at = mark_of(content).size();
    while (at < content.size()) {
        size_t len = 0;
        while (at + len < content.size() && len < LINE_PIECE) {
            ++len;
            if (content[at + len - 1] == '\n') break;
        }
        out.push_back(content.substr(at, len));
        at += len;
    }
    return out;
}

// A piece is examined as text: up to its first NUL byte.
inline std::string text_of(const std::string &piece) { return piece.substr(0, piece.find('\0')); }

inline size_t first_text(const std::string &t) {
    size_t i = 0;
    while (i < t.size() && blank(t[i])) ++i;
    return i;
}

inline std::string trim_end(std::string s) {
    while (!s.empty() && blank(s.back())) s.pop_back();
    return s;
}

inline std::string trim(const std::string &s) { return trim_end(s.substr(first_text(s))); }

inline char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

inline bool opens_section(const std::string &t) {
    const size_t i = first_text(t);
    return i < t.size() && t[i] == '[';
}

inline std::optional<std::string> header_name(const std::string &t) {
    if (!opens_section(t)) return std::nullopt;
    const size_t open = first_text(t);
    const size_t close = t.find(']', open + 1);
    if (close == std::string::npos) return std::nullopt;
    return t.substr(open + 1, close - open - 1);
}

inline bool is_comment(const std::string &t) {
    const size_t i = first_text(t);
    return i < t.size() && (t[i] == ';' || t[i] == '#');
}

inline size_t separator(const std::string &t) {
    const size_t eq = t.find('=');
    return eq != std::string::npos ? eq : t.find(':');
}

inline bool is_key_line(const std::string &t) {
    return !is_comment(t) && separator(t) != std::string::npos;
}

// Whether the line's key text (comments not set apart) is `key`.
inline bool has_key(const std::string &t, const std::string &key) {
    const size_t sep = separator(t);
    return sep != std::string::npos && same_name(trim(t.substr(0, sep)), key);
}

inline bool named(const char *section) { return section != nullptr && section[0] != '\0'; }

struct Value {
    std::string text;  // cleaned, outer quotes removed
    bool quoted;       // copied in dequote mode
};

inline Value clean(std::string v) {
    bool inside = false;
    size_t i = 0;
    while (i < v.size()) {
        const char c = v[i];
        if (!inside && (c == ';' || c == '#')) break;
        const bool pair = i + 1 < v.size() && v[i + 1] == '"';
        if (c == '"' && !pair) inside = !inside;
        i += (c == '"' || c == '\\') && pair ? 2 : 1;
    }
    v = trim_end(v.substr(0, i));
    if (!v.empty() && v.front() == '"' && v.back() == '"')
        return {v.size() == 1 ? std::string() : v.substr(1, v.size() - 2), true};
    return {v, false};
}

// What a buffer of `size` bytes receives (without its NUL).
inline std::string copy_out(const Value &v, size_t size) {
    const size_t room = size - 1;
    if (!v.quoted) return v.text.substr(0, room);
    std::string out;
    for (size_t i = 0; i < v.text.size() && out.size() < room; ++i) {
        if ((v.text[i] == '"' || v.text[i] == '\\') && i + 1 < v.text.size() &&
            v.text[i + 1] == '"')
            ++i;
        out += v.text[i];
    }
    return out;
}

// Index of the first line of the section's body, or none when the section is
// missing. The unnamed section starts at the top.
inline std::optional<size_t> body_start(const std::vector<std::string> &lines,
                                        const char *section) {
    if (!named(section)) return 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto name = header_name(text_of(lines[i]));
        if (name && same_name(*name, section)) return i + 1;
    }
    return std::nullopt;
}

inline std::optional<Value> lookup(const std::string &content, const char *section,
                                   const std::string &key) {
    const auto lines = pieces(content);
    const auto start = body_start(lines, section);
    if (!start) return std::nullopt;
    for (size_t i = *start; i < lines.size(); ++i) {
        const std::string t = text_of(lines[i]);
        if (opens_section(t)) return std::nullopt;
        if (is_key_line(t) && has_key(t, key)) {
            const std::string after = t.substr(separator(t) + 1);
            return clean(after.substr(first_text(after)));
        }
    }
    return std::nullopt;
}

// ini_gets: `content` null for a missing file.
inline std::string gets(const std::optional<std::string> &content, const char *section,
                        const std::string &key, const char *default_value, size_t size) {
    if (content) {
        const auto v = lookup(*content, section, key);
        if (v) return copy_out(*v, size);
    }
    return std::string(default_value != nullptr ? default_value : "").substr(0, size - 1);
}

// strtol with the 32-bit long of the target.
inline int32_t to_long32(const std::string &s, int base) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    auto digit = [base](char c) -> int {
        int d = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'z' ? c - 'a' + 10
                : c >= 'A' && c <= 'Z' ? c - 'A' + 10
                                       : 99;
        return d < base ? d : -1;
    };
    if (base == 16 && i + 2 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') &&
        digit(s[i + 2]) >= 0)
        i += 2;
    int64_t magnitude = 0;
    for (; i < s.size() && digit(s[i]) >= 0; ++i)
        magnitude = std::min<int64_t>(magnitude * base + digit(s[i]), int64_t{1} << 40);
    const int64_t value = negative ? -magnitude : magnitude;
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

inline int32_t getl(const std::optional<std::string> &content, const char *section,
                    const std::string &key, int32_t default_value) {
    const std::string v = gets(content, section, key, "", NUMBER_SIZE);
    if (v.empty()) return default_value;
    const bool hex = v.size() >= 2 && (v[1] == 'x' || v[1] == 'X');
    return to_long32(v, hex ? 16 : 10);
}

// ---------------------------------------------------------------------------
// Writing

inline bool needs_quotes(const std::string &value) {
    return value.find_first_of("\";#") != std::string::npos ||
           (!value.empty() && value.back() == ' ');
}

inline std::string key_line(const std::string &key, const std::string &value) {
    if (!needs_quotes(value)) return key + "=" + value + "\n";
    std::string line = key + "=\"";
    for (char c : value) {
        if (c == '"') line += '\\';
        line += c;
    }
    return line + "\"\n";
}

struct Request {
    const char *section;  // null or empty: the unnamed section
    const char *key;      // null: delete the section
    const char *value;    // null: delete the key
};

struct Outcome {
    int result;
    std::optional<std::string> file;  // null: no file
};

inline bool has_line_break(const char *s) {
    return s != nullptr && std::string_view(s).find_first_of("\r\n") != std::string_view::npos;
}

// Requests that the engine refuses: a line break in any text, or a header or
// key line longer than one line buffer.
inline bool refused(const Request &r) {
    if (has_line_break(r.section) || has_line_break(r.key) || has_line_break(r.value)) return true;
    if (r.key == nullptr || r.value == nullptr) return false;
    if (r.section != nullptr && std::string_view(r.section).size() > MAX_SECTION) return true;
    return key_line(r.key, r.value).size() - 1 > MAX_KEY_LINE;
}

inline std::string join(const std::vector<std::string> &lines, size_t from, size_t to) {
    std::string out;
    for (size_t i = from; i < to && i < lines.size(); ++i) out += lines[i];
    return out;
}

// A line feed goes first unless the copied text ends in one.
inline std::string line_break_before(const std::string &copied) {
    return !copied.empty() && copied.back() == '\n' ? "" : "\n";
}

inline std::string rewrite(const std::string &content, const Request &r) {
    const auto lines = pieces(content);
    const bool setting = r.key != nullptr && r.value != nullptr;
    const std::string header = named(r.section) ? "[" + std::string(r.section) + "]\n" : "";
    const std::string new_line = setting ? key_line(r.key, r.value) : "";
    const auto start = body_start(lines, r.section);
    if (!start) return setting ? content + line_break_before(content) + header + new_line : content;

    size_t end_of_body = *start;
    while (end_of_body < lines.size() && !opens_section(text_of(lines[end_of_body]))) ++end_of_body;
    if (r.key == nullptr) {
        if (named(r.section))
            return mark_of(content) + join(lines, 0, *start - 1) +
                   join(lines, end_of_body, lines.size());
        std::string out = mark_of(content);
        for (size_t i = 0; i < end_of_body; ++i)
            if (!is_key_line(text_of(lines[i]))) out += lines[i];
        return out + join(lines, end_of_body, lines.size());
    }

    size_t at = *start;
    while (at < lines.size() && !opens_section(text_of(lines[at])) &&
           !has_key(text_of(lines[at]), r.key))
        ++at;
    if (at == lines.size()) {
        const std::string body = join(lines, *start, lines.size());
        return setting ? content + line_break_before(body) + new_line : content;
    }
    const bool keep = opens_section(text_of(lines[at]));
    return mark_of(content) + join(lines, 0, at) + new_line + (keep ? lines[at] : "") +
           join(lines, at + 1, lines.size());
}

// ini_puts: `content` null for a missing file.
inline Outcome puts(const std::optional<std::string> &content, const Request &r) {
    if (refused(r)) return {0, content};
    const bool setting = r.key != nullptr && r.value != nullptr;
    if (!content) {
        if (!setting) return {1, std::nullopt};
        const std::string header = named(r.section) ? "[" + std::string(r.section) + "]\n" : "";
        return {1, header + key_line(r.key, r.value)};
    }
    if (setting) {
        const auto stored = lookup(*content, r.section, r.key);
        if (stored && copy_out(*stored, LOOKUP_SIZE) == r.value) return {1, content};
    }
    return {1, rewrite(*content, r)};
}

}  // namespace model
