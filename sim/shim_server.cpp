// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/shim_server.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "sim/shim_protocol.hpp"

namespace sim {

namespace {

bool read_all(int fd, void *buf, size_t n) {
    auto *p = static_cast<char *>(buf);
    while (n > 0) {
        const ssize_t got = read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

std::vector<std::string> split_fields(const std::string &payload) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (start < payload.size()) {
        size_t end = payload.find('\0', start);
        if (end == std::string::npos) end = payload.size();
        fields.push_back(payload.substr(start, end - start));
        start = end + 1;
    }
    return fields;
}

}  // namespace

struct ShimServer::Impl {
    Handler handle;
    int listen_fd = -1;
    int stop_fd = -1;
    std::thread thread;

    void serve_one(int fd) {
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        uint32_t length = 0;
        if (!read_all(fd, &length, sizeof length) || length > SHIM_MAX_REQUEST) return;
        std::string payload(length, '\0');
        if (!read_all(fd, payload.data(), length)) return;
        auto fields = split_fields(payload);
        if (fields.size() < 4) return;
        Event e;
        e.kind = Kind::Shim;
        e.text = fields[0];
        e.pid = atoi(fields[1].c_str());
        e.uid = atoi(fields[2].c_str());
        e.umask = atoi(fields[3].c_str());
        e.args.assign(fields.begin() + 4, fields.end());
        const int32_t status = handle(std::move(e));
        send(fd, &status, sizeof status, MSG_NOSIGNAL);
    }

    void loop() {
        for (;;) {
            pollfd fds[2] = {{listen_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            serve_one(fd);
            close(fd);
        }
    }
};

ShimServer::ShimServer(const std::string &socket_path, Handler handle)
    : impl_(std::make_unique<Impl>()) {
    impl_->handle = std::move(handle);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socket_path.size() >= sizeof addr.sun_path) throw std::runtime_error("shim socket path too long");
    strcpy(addr.sun_path, socket_path.c_str());
    impl_->listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (impl_->listen_fd < 0 ||
        bind(impl_->listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(impl_->listen_fd, 16) != 0)
        throw std::runtime_error("shim socket: " + std::string(strerror(errno)));
    chmod(socket_path.c_str(), 0666);  // non-root runs report too
    impl_->stop_fd = eventfd(0, EFD_CLOEXEC);
    impl_->thread = std::thread([this] { impl_->loop(); });
}

ShimServer::~ShimServer() {
    const uint64_t one = 1;
    if (write(impl_->stop_fd, &one, sizeof one) < 0) {
        // The thread then ends with the process.
    }
    if (impl_->thread.joinable()) impl_->thread.join();
    close(impl_->listen_fd);
    close(impl_->stop_fd);
}

}  // namespace sim
