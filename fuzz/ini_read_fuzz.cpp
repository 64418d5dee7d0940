// SPDX-License-Identifier: GPL-2.0-or-later
// INI reading: any file content, section, key and default through ini_gets,
// into a heap buffer of exactly the requested size (1 to 600 bytes) so that
// AddressSanitizer sees any overrun, and through ini_getl; both compared with
// the reference model.
//
// Input: two bytes of buffer size, one flag byte (1: null section, 2: null
// default, 4: no file, 8: null key), then section, key and default separated by NUL bytes,
// then the file content (which may hold NUL bytes).
#include <cstdint>
#include <cstring>
#include <memory>

#include "common/config/ini_store.hpp"
#include "fuzz/fuzz_support.hpp"
#include "fuzz/ini_model.hpp"

namespace {

enum : uint8_t { NULL_SECTION = 1, NULL_DEFAULT = 2, NO_FILE = 4, NULL_KEY = 8 };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const int buffer_size = 1 + ((data[0] << 8) | data[1]) % 600;
    const uint8_t flags = data[2];
    const auto fields = fuzz::split_fields(data + 3, size - 3, 4);
    const char *section = flags & NULL_SECTION ? nullptr : fields[0].c_str();
    const std::string &key = fields[1];
    const char *default_value = flags & NULL_DEFAULT ? nullptr : fields[2].c_str();
    const std::string path = fuzz::scratch_dir() + "/bexo.cfg";
    std::optional<std::string> content;
    if (flags & NO_FILE) {
        fuzz::remove_file(path);
    } else {
        content = fields[3];
        fuzz::write_file(path, *content);
    }

    const auto buffer = std::make_unique<char[]>(static_cast<size_t>(buffer_size));
    memset(buffer.get(), 0x55, static_cast<size_t>(buffer_size));
    const int32_t default_number = ((data[0] << 8) | data[1]) - 30000;
    if (flags & NULL_KEY) {
        // A null key is a calling error: nothing is read or written.
        fuzz::check(ini_getl(section, nullptr, default_number, path.c_str()) == default_number,
                    "ini_getl read a value for a null key");
        fuzz::check(
            ini_gets(section, nullptr, default_value, buffer.get(), buffer_size, path.c_str()) == 0,
            "ini_gets gave a length for a null key");
        for (int i = 0; i < buffer_size; ++i)
            fuzz::check(buffer[static_cast<size_t>(i)] == 0x55, "ini_gets wrote for a null key");
        return 0;
    }
    const int length =
        ini_gets(section, key.c_str(), default_value, buffer.get(), buffer_size, path.c_str());
    fuzz::check(memchr(buffer.get(), '\0', static_cast<size_t>(buffer_size)) != nullptr,
                "ini_gets left no NUL in the buffer");
    fuzz::check(length >= 0 && static_cast<size_t>(length) == strlen(buffer.get()),
                "ini_gets returned a length other than the text's");
    fuzz::check(length < buffer_size, "ini_gets filled the whole buffer");
    const std::string expected =
        model::gets(content, section, key, default_value, static_cast<size_t>(buffer_size));
    fuzz::check(std::string(buffer.get(), static_cast<size_t>(length)) == expected,
                "ini_gets differs from the model");

    const int32_t number = ini_getl(section, key.c_str(), default_number, path.c_str());
    fuzz::check(number == model::getl(content, section, key, default_number),
                "ini_getl differs from the model");
    return 0;
}
