// SPDX-License-Identifier: GPL-2.0-or-later
// A Linux guest under QEMU in which the real bexo and bexod of one build run
// against Linux's own i2c-dev and GPIO sysfs. The board behind /dev/i2c-1
// and GPIO line 27 is the world's sim::Board on this side of a virtio-serial
// port (the guest's module bexo_board.c and the relay in init); scripts run
// in the guest through a second port. Bus transfers, changes of the line and
// the calls of the guest's sudo, systemctl and sim-mark land in one record,
// stamped with the guest's boot clock, so that the system tests' helpers
// read it as they read a world's.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/world.hpp"

namespace sim {

class Guest {
public:
    // Starts `qemu` (its command line without the two ports) and waits for
    // the guest; `build` names the folder of programs in the guest's /builds.
    Guest(const std::vector<std::string> &qemu, const std::string &build);
    ~Guest();
    Guest(const Guest &) = delete;
    Guest &operator=(const Guest &) = delete;

    // "" while the guest answers; else why it does not.
    std::string failure() const;

    // A new scenario: every bexo, bexod and sim-probe killed, a new board,
    // line 27 low and unexported, the Pi 3's GPIO chip with its interrupt, the transfers
    // answered, /opt/bexod, /run, /var/log and the calls emptied.
    void reset();
    Board &board();
    // The Pi's GPIO block the module imitates: "bcm2835" (Pi 1 to 3),
    // "bcm2711" (Pi 4) or "rp1" (Pi 5); the chip is registered anew.
    bool set_chip(const std::string &model);
    // Line 27's interrupt: "works", "missing" (no "edge" file) or "refused"
    // (EIO); the chip is registered anew.
    bool set_edge(const std::string &support);
    // false: the relay leaves the guest's transfers unanswered, as if it
    // were gone (each then ends with the adapter's timeout).
    void set_answering(bool answering);

    // A shell script in the guest; status -1 when the guest did not answer.
    Result run(const std::string &script, double timeout = 60);
    Result bexo(const std::vector<std::string> &args);

    // The record: bus transfers (kind Write or Read, one event per message;
    // `pid` is the process that made the transfer), the board's level of
    // line 27 taking effect (Note "line 0" or "line 1"), shim calls and the
    // SIGTERM that a power-off or reboot sends (Signal).
    Events events(size_t from = 0) const;
    size_t event_count() const;
    Events board_writes(size_t from = 0) const;
    std::vector<Bytes> requests(size_t from = 0) const;
    Bytes commands(size_t from = 0) const;
    Events shim_calls(const std::string &name = "", size_t from = 0) const;

    // Files in the guest.
    std::string read_file(const std::string &path) const;  // "" when missing
    bool exists(const std::string &path) const;
    void write_file(const std::string &path, const std::string &text);
    void set_config(const std::string &text);  // /opt/bexod/bexo.cfg
    std::string log() const;                   // /var/log/bexod.log

    bool wait_for(const std::function<bool()> &condition, double timeout) const;
    bool wait_for_log(const std::string &text, double timeout) const;
    pid_t daemon_pid() const;    // from /run/bexod.pid; 0 when absent
    bool alive(pid_t pid) const;  // a process that has not ended
    bool gone(pid_t pid, double timeout) const;

    // GPIO as the guest's sysfs shows it: the base of the chip whose label
    // starts with "pinctrl-" (-1 when there is none) and its line.
    int gpio_base() const;
    World::GpioLine gpio(int chip_line = 27) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
