// SPDX-License-Identifier: GPL-2.0-or-later
// The world's /dev/log: a datagram socket in the umockdev testbed, where the
// preload sends every connect() to "/dev/log" made inside the world, or a
// stream socket, as some syslog daemons offer. It keeps what arrives, so a
// program's syslog messages never leave the world.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace sim {

class SyslogSink {
public:
    // `stream`: a listening stream socket, on which each message ends with a
    // zero byte, as the C library's syslog sends it there.
    explicit SyslogSink(const std::string &socket_path, bool stream = false);
    ~SyslogSink();
    SyslogSink(const SyslogSink &) = delete;
    SyslogSink &operator=(const SyslogSink &) = delete;

    std::vector<std::string> messages() const;  // each message as received

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
