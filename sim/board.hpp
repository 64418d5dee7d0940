// SPDX-License-Identifier: GPL-2.0-or-later
// Model of the B.EXO UPS board as the host sees it on the I2C bus: its
// readings, its event line, what the host told it, and faults a test can
// switch on. Thread-safe: the simulated bus calls it from a worker thread
// while the test changes it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

// What one reply in a scripted fault schedule looks like.
enum class ReplyFault { Good, WrongEcho, FailRead };

class Board {
public:
    static constexpr int DEFAULT_ADDRESS = 0x36;

    // Readings, as the replies carry them.
    void set_model(int code);                           // 0x22 byte 3
    void set_firmware(int major, int minor);            // 0x22 bytes 1, 2
    void set_input_mv(int millivolts);                  // 0xD0
    void set_extern_ma(int milliamperes);               // 0xD1
    void set_battery_current(int milliamperes, int state = 0);  // 0xD2 bytes 1-2, 3
    void set_battery(int raw, int state = 0, int second = 0);   // 0x23 bytes 1-2, 3, 4-5
    void set_on_battery(bool on_battery);               // 0x36 byte 1
    void set_charger(bool on, int code);                // 0x35 bytes 1, 2
    void set_charger_switch_works(bool works);          // 0x29/0x27 byte 1 (1 or 0)
    void set_battery_low(bool low);                     // 0x21 byte 5
    void set_primary_present(bool present);             // 0x45 byte 1
    void set_address(int address);                      // 7-bit bus address

    // Events. Each raises the event line (GPIO 27).
    void press_button(int kind);  // 1 shutdown, 2 reboot; reported once by 0x33
    void lose_supply();           // primary gone, running from the battery
    // Supply back; the line falls when the host then sends 0x44 or 0x34
    // and no button event is pending.
    void restore_supply();
    void set_line(bool high);     // drive the event line directly
    // Told the line's level now and at each change, in the order of the
    // changes; it runs under the board's lock, so it must not call the
    // board. An empty function stops the calls.
    void set_line_listener(std::function<void(bool high)> listener);

    // Faults.
    void wrong_echo(int replies);  // the next N replies carry a wrong echo
    void fail_reads(int reads);    // the next N reads fail (EREMOTEIO); -1: all
    void set_answering(bool answering);  // false: the address NACKs everything
    // Applied to each reply after the counters above are used up.
    void set_reply_schedule(std::vector<ReplyFault> schedule, bool repeat = true);

    // State, including what the host told the board.
    bool line() const;
    int address() const;
    int pending_button() const;
    bool primary_present() const;
    bool on_battery() const;
    bool charger_on() const;
    int charge_code() const;
    bool timed_boot_armed() const;              // 0x53 arms, 0x55 disarms
    std::optional<Bytes> time_record() const;   // last 0x54 record
    int seen(uint8_t command) const;            // requests that began with this byte
    int replies() const;                        // reads answered or failed

    // Bus side: a transfer to `address`. Both return 0 or an errno value.
    // A read returns the reply to the last request, computed at read time.
    int bus_write(int address, const Bytes &bytes);
    int bus_read(int address, size_t length, Bytes &reply);

private:
    Bytes reply_locked(uint8_t command, uint8_t parameter) const;
    ReplyFault next_fault_locked();
    void host_request_locked(const Bytes &bytes);
    void set_line_locked(bool high);

    mutable std::mutex m_;
    int model_ = 0;
    int fw_major_ = 1;
    int fw_minor_ = 12;
    int input_mv_ = 5100;
    int extern_ma_ = 350;
    int battery_ma_ = 120;
    int battery_current_state_ = 0;
    int battery_raw_ = 760;
    int battery_state_ = 0;
    int battery_second_ = 0;
    bool on_battery_ = false;
    bool charger_on_ = true;
    int charge_code_ = 1;
    bool charger_switch_works_ = true;
    bool battery_low_ = false;
    bool primary_present_ = true;
    int address_ = DEFAULT_ADDRESS;
    bool line_ = false;
    std::function<void(bool)> line_listener_;
    int pending_button_ = 0;

    int wrong_echo_ = 0;
    int fail_reads_ = 0;
    bool answering_ = true;
    std::vector<ReplyFault> schedule_;
    size_t schedule_pos_ = 0;
    bool schedule_repeat_ = true;

    Bytes last_request_;
    bool timed_boot_armed_ = false;
    std::optional<Bytes> time_record_;
    std::array<int, 256> seen_{};
    int replies_ = 0;
};

}  // namespace sim
