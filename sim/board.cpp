// SPDX-License-Identifier: GPL-2.0-or-later
#include "sim/board.hpp"

#include <algorithm>
#include <cerrno>

namespace sim {

namespace {

constexpr uint8_t IDLE = 0xFF;  // what an idle bus reads: echoes no command

void put16(Bytes &reply, int value) {
    reply[1] = static_cast<uint8_t>(value & 0xFF);
    reply[2] = static_cast<uint8_t>((value >> 8) & 0xFF);
}

}  // namespace

void Board::set_model(int code) { std::lock_guard l(m_); model_ = code; }
void Board::set_firmware(int major, int minor) {
    std::lock_guard l(m_);
    fw_major_ = major;
    fw_minor_ = minor;
}
void Board::set_input_mv(int mv) { std::lock_guard l(m_); input_mv_ = mv; }
void Board::set_extern_ma(int ma) { std::lock_guard l(m_); extern_ma_ = ma; }
void Board::set_battery_current(int ma, int state) {
    std::lock_guard l(m_);
    battery_ma_ = ma;
    battery_current_state_ = state;
}
void Board::set_battery(int raw, int state, int second) {
    std::lock_guard l(m_);
    battery_raw_ = raw;
    battery_state_ = state;
    battery_second_ = second;
}
void Board::set_on_battery(bool on) { std::lock_guard l(m_); on_battery_ = on; }
void Board::set_charger(bool on, int code) {
    std::lock_guard l(m_);
    charger_on_ = on;
    charge_code_ = code;
}
void Board::set_charger_switch_works(bool works) { std::lock_guard l(m_); charger_switch_works_ = works; }
void Board::set_battery_low(bool low) { std::lock_guard l(m_); battery_low_ = low; }
void Board::set_primary_present(bool present) { std::lock_guard l(m_); primary_present_ = present; }
void Board::set_address(int address) { std::lock_guard l(m_); address_ = address & 0x7F; }

void Board::press_button(int kind) {
    std::lock_guard l(m_);
    pending_button_ = kind;
    set_line_locked(true);
}

void Board::lose_supply() {
    std::lock_guard l(m_);
    primary_present_ = false;
    on_battery_ = true;
    set_line_locked(true);
}

void Board::restore_supply() {
    std::lock_guard l(m_);
    primary_present_ = true;
    on_battery_ = false;
}

void Board::set_line(bool high) { std::lock_guard l(m_); set_line_locked(high); }

void Board::set_line_listener(std::function<void(bool high)> listener) {
    std::lock_guard l(m_);
    line_listener_ = std::move(listener);
    if (line_listener_) line_listener_(line_);
}

void Board::set_line_locked(bool high) {
    const bool changed = line_ != high;
    line_ = high;
    if (changed && line_listener_) line_listener_(high);
}

void Board::wrong_echo(int replies) { std::lock_guard l(m_); wrong_echo_ = replies; }
void Board::fail_reads(int reads) { std::lock_guard l(m_); fail_reads_ = reads; }
void Board::set_answering(bool answering) { std::lock_guard l(m_); answering_ = answering; }
void Board::set_reply_schedule(std::vector<ReplyFault> schedule, bool repeat) {
    std::lock_guard l(m_);
    schedule_ = std::move(schedule);
    schedule_pos_ = 0;
    schedule_repeat_ = repeat;
}

bool Board::line() const { std::lock_guard l(m_); return line_; }
int Board::address() const { std::lock_guard l(m_); return address_; }
int Board::pending_button() const { std::lock_guard l(m_); return pending_button_; }
bool Board::primary_present() const { std::lock_guard l(m_); return primary_present_; }
bool Board::on_battery() const { std::lock_guard l(m_); return on_battery_; }
bool Board::charger_on() const { std::lock_guard l(m_); return charger_on_; }
int Board::charge_code() const { std::lock_guard l(m_); return charge_code_; }
bool Board::timed_boot_armed() const { std::lock_guard l(m_); return timed_boot_armed_; }
std::optional<Bytes> Board::time_record() const { std::lock_guard l(m_); return time_record_; }
int Board::seen(uint8_t command) const { std::lock_guard l(m_); return seen_[command]; }
int Board::replies() const { std::lock_guard l(m_); return replies_; }

int Board::bus_write(int address, const Bytes &bytes) {
    std::lock_guard l(m_);
    if (!answering_ || address != address_) return EREMOTEIO;
    if (!bytes.empty()) host_request_locked(bytes);
    return 0;
}

// Acts on a request at once; replies are computed when they are read.
void Board::host_request_locked(const Bytes &bytes) {
    const uint8_t command = bytes[0];
    last_request_ = bytes;
    seen_[command]++;
    switch (command) {
    case 0x29: if (charger_switch_works_) charger_on_ = true; break;
    case 0x27: if (charger_switch_works_) charger_on_ = false; break;
    case 0x37:
        if (bytes.size() >= 2 && bytes[1] <= 2) charge_code_ = bytes[1];
        break;
    case 0x41:
        if (bytes.size() >= 2) address_ = bytes[1] & 0x7F;
        break;
    case 0x53: timed_boot_armed_ = true; break;
    case 0x55: timed_boot_armed_ = false; break;
    case 0x54: time_record_ = bytes; break;
    case 0x44:
    case 0x34:
        if (primary_present_ && pending_button_ == 0) set_line_locked(false);
        break;
    default: break;
    }
}

int Board::bus_read(int address, size_t length, Bytes &reply) {
    std::lock_guard l(m_);
    if (!answering_ || address != address_) return EREMOTEIO;
    replies_++;
    const ReplyFault fault = next_fault_locked();
    if (fault == ReplyFault::FailRead) return EREMOTEIO;

    Bytes full = last_request_.empty()
                     ? Bytes(10, IDLE)
                     : reply_locked(last_request_[0], last_request_.size() > 1 ? last_request_[1] : 0);
    if (fault == ReplyFault::WrongEcho) full[0] = static_cast<uint8_t>(~full[0]);
    // A button event is cleared once a good reply has reported it.
    if (fault == ReplyFault::Good && !last_request_.empty() && last_request_[0] == 0x33 &&
        full[1] != 0 && length >= 2)
        pending_button_ = 0;
    full.resize(std::max(full.size(), length), IDLE);
    reply.assign(full.begin(), full.begin() + static_cast<long>(length));
    return 0;
}

ReplyFault Board::next_fault_locked() {
    if (fail_reads_ < 0) return ReplyFault::FailRead;
    if (fail_reads_ > 0) {
        fail_reads_--;
        return ReplyFault::FailRead;
    }
    if (wrong_echo_ > 0) {
        wrong_echo_--;
        return ReplyFault::WrongEcho;
    }
    if (schedule_.empty()) return ReplyFault::Good;
    const ReplyFault f = schedule_[schedule_pos_++];
    if (schedule_pos_ == schedule_.size()) {
        if (schedule_repeat_)
            schedule_pos_ = 0;
        else
            schedule_.clear();
    }
    return f;
}

// The full reply to a request: echo, then the layout of that command; bytes
// the layout leaves unused are 0. Unknown commands read as an idle bus.
Bytes Board::reply_locked(uint8_t command, uint8_t parameter) const {
    (void)parameter;
    Bytes r(6, 0);
    r[0] = command;
    switch (command) {
    case 0x22:
        r.resize(5);
        r[1] = static_cast<uint8_t>(fw_major_);
        r[2] = static_cast<uint8_t>(fw_minor_);
        r[3] = static_cast<uint8_t>(model_);
        break;
    case 0x29:
    case 0x27:
        r.resize(3);
        r[1] = charger_switch_works_ ? 1 : 0;
        break;
    case 0xD0: r.resize(3); put16(r, input_mv_); break;
    case 0xD1: put16(r, extern_ma_); break;
    case 0xD2:
        put16(r, battery_ma_);
        r[3] = static_cast<uint8_t>(battery_current_state_);
        break;
    case 0x23:
        put16(r, battery_raw_);
        r[3] = static_cast<uint8_t>(battery_state_);
        r[4] = static_cast<uint8_t>(battery_second_ & 0xFF);
        r[5] = static_cast<uint8_t>((battery_second_ >> 8) & 0xFF);
        break;
    case 0x36: r.resize(3); r[1] = on_battery_ ? 1 : 0; break;
    case 0x35:
        r.resize(3);
        r[1] = charger_on_ ? 1 : 0;
        r[2] = static_cast<uint8_t>(charge_code_);
        break;
    case 0x37: r.resize(3); r[1] = static_cast<uint8_t>(charge_code_); break;
    case 0x33: r.resize(3); r[1] = static_cast<uint8_t>(pending_button_); break;
    case 0x21: r[5] = battery_low_ ? 1 : 0; break;
    case 0x45: r[1] = primary_present_ ? 1 : 0; break;
    case 0x41: case 0x42: case 0x55: case 0x44: case 0x53:
    case 0x54: case 0x43: case 0x34: case 0x49:
        r.resize(3);  // requests without a reply: an echo and nothing else
        break;
    default: return Bytes(10, IDLE);
    }
    return r;
}

}  // namespace sim
