// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/syslog_sink.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace sim {

struct SyslogSink::Impl {
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
            const ssize_t got = recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got < 0) continue;
            std::lock_guard l(m);
            received.emplace_back(buffer, static_cast<size_t>(got));
        }
    }
};

SyslogSink::SyslogSink(const std::string &socket_path) : impl_(std::make_unique<Impl>()) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof addr.sun_path) throw std::runtime_error("syslog socket path too long");
    strcpy(addr.sun_path, socket_path.c_str());
    impl_->sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (impl_->sock < 0 || bind(impl_->sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
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
