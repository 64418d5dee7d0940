// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/syslog_sink.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace sim {

struct SyslogSink::Impl {
    bool stream = false;
    int sock = -1;
    int stop_fd = -1;
    mutable std::mutex m;
    std::vector<std::string> received;
    std::thread thread;

    void loop() {
        char buffer[65536];
        for (;;) {
            pollfd fds[2] = {{sock, POLLIN, 0}, {stop_fd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            if (stream) {
                take_connection();
                continue;
            }
            const ssize_t got = recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got < 0) continue;
            std::lock_guard l(m);
            received.emplace_back(buffer, static_cast<size_t>(got));
        }
    }

    // A sender connects, writes its messages and closes; a silent one is
    // given up after a second.
    void take_connection() {
        const int connection = accept4(sock, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) return;
        const timeval limit{1, 0};
        setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = recv(connection, buffer, sizeof buffer, 0)) > 0;)
            text.append(buffer, static_cast<size_t>(got));
        close(connection);
        std::lock_guard l(m);
        for (size_t start = 0; start < text.size();) {
            const size_t end = std::min(text.find('\0', start), text.size());
            if (end > start) received.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }
};

SyslogSink::SyslogSink(const std::string &socket_path, bool stream) : impl_(std::make_unique<Impl>()) {
    impl_->stream = stream;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof addr.sun_path) throw std::runtime_error("syslog socket path too long");
    strcpy(addr.sun_path, socket_path.c_str());
    impl_->sock = socket(AF_UNIX, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (impl_->sock < 0 || bind(impl_->sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        (stream && listen(impl_->sock, SOMAXCONN) != 0))
        throw std::runtime_error("syslog socket: " + std::string(strerror(errno)));
    chmod(socket_path.c_str(), 0666);  // as /dev/log: every user may log
    impl_->stop_fd = eventfd(0, EFD_CLOEXEC);
    impl_->thread = std::thread([this] { impl_->loop(); });
}

SyslogSink::~SyslogSink() {
    const uint64_t one = 1;
    if (write(impl_->stop_fd, &one, sizeof one) < 0) {
        // The thread then ends with the process.
    }
    if (impl_->thread.joinable()) impl_->thread.join();
    close(impl_->sock);
    close(impl_->stop_fd);
}

std::vector<std::string> SyslogSink::messages() const {
    std::lock_guard l(impl_->m);
    return impl_->received;
}

}  // namespace sim
