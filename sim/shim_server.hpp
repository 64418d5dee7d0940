// SPDX-License-Identifier: GPL-2.0-or-later
// The world's end of the shims' socket: each call is handed to the world,
// which records it, and the shim waits until then.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sim/world.hpp"

namespace sim {

class ShimServer {
public:
    // `handle` gets a Kind::Shim event (not yet time-stamped) and returns the
    // shim's exit status.
    using Handler = std::function<int(Event)>;

    ShimServer(const std::string &socket_path, Handler handle);
    ~ShimServer();
    ShimServer(const ShimServer &) = delete;
    ShimServer &operator=(const ShimServer &) = delete;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
