// SPDX-License-Identifier: GPL-2.0-or-later
// The world's /dev/log: a datagram socket in the umockdev testbed, where the
// preload sends every connect() to "/dev/log" made inside the world. It
// keeps what arrives, so a program's syslog messages never leave the world.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace sim {

class SyslogSink {
public:
    explicit SyslogSink(const std::string &socket_path);
    ~SyslogSink();
    SyslogSink(const SyslogSink &) = delete;
    SyslogSink &operator=(const SyslogSink &) = delete;

    std::vector<std::string> messages() const;  // each datagram as received

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
