// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// A fresh folder under /tmp for one test, removed with all it holds.

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

class ScratchDir {
public:
    explicit ScratchDir(const char *prefix)
    {
        std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp " + pattern + " failed");
        path_ = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};
