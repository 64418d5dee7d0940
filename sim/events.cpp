// SPDX-License-Identifier: GPL-2.0-or-later
// Formatting and filtering of the event record, and cpuinfo texts.

#include <cstdio>
#include <cstring>

#include "sim/world.hpp"

namespace sim {

std::string kind_name(Kind kind) {
    switch (kind) {
    case Kind::I2cOpen: return "open";
    case Kind::I2cBind: return "bind";
    case Kind::SmbusByteWrite: return "smbus-write";
    case Kind::Smbus: return "smbus";
    case Kind::Write: return "write";
    case Kind::Read: return "read";
    case Kind::GpioExport: return "export";
    case Kind::GpioUnexport: return "unexport";
    case Kind::GpioDirection: return "direction";
    case Kind::GpioValueWrite: return "value-write";
    case Kind::GpioValueRead: return "value-read";
    case Kind::GpioEdge: return "edge";
    case Kind::GpioActiveLow: return "active_low";
    case Kind::Shim: return "shim";
    case Kind::Signal: return "signal";
    case Kind::Note: return "note";
    }
    return "?";
}

std::string hex(const Bytes &bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        snprintf(b, sizeof b, "%02x", v);
        if (!s.empty()) s += ' ';
        s += b;
    }
    return s;
}

namespace {

std::string quoted(const std::string &text) {
    std::string s = "\"";
    for (char c : text) {
        if (c == '\n')
            s += "\\n";
        else if (c == '\0')
            s += "\\0";
        else
            s += c;
    }
    return s + "\"";
}

std::string failure(const Event &e) {
    if (e.err == 0) return "";
    const char *name = strerrorname_np(e.err);
    return std::string("  -> ") + (name ? name : std::to_string(e.err));
}

}  // namespace

std::string Event::str() const {
    char head[32];
    snprintf(head, sizeof head, "%10.6f  ", t);
    std::string s = head;
    if (is_bus(*this)) {
        char where[48];
        if (address < 0)
            snprintf(where, sizeof where, "%s ---- ", node.c_str());
        else
            snprintf(where, sizeof where, "%s 0x%02x ", node.c_str(), address);
        s += where;
        s += kind_name(kind);
        if (!text.empty()) s += " " + text;
        if (!bytes.empty()) s += "  " + hex(bytes);
    } else if (is_gpio(*this)) {
        s += "gpio" + (line >= 0 ? std::to_string(line) : std::string("?")) + " " + kind_name(kind) +
             " " + quoted(text);
    } else if (kind == Kind::Shim) {
        s += "shim " + text;
        for (const auto &a : args) s += " " + a;
        s += "  (pid " + std::to_string(pid) + ", uid " + std::to_string(uid) + ")";
    } else if (kind == Kind::Signal) {
        s += "signal " + text + " to pid " + std::to_string(pid);
    } else {
        s += "note " + text;
    }
    return s + failure(*this);
}

std::string format_trace(const Events &events) {
    std::string s;
    for (const auto &e : events) s += e.str() + "\n";
    return s;
}

Events only(const Events &events, const std::function<bool(const Event &)> &keep) {
    Events out;
    for (const auto &e : events)
        if (keep(e)) out.push_back(e);
    return out;
}

bool is_bus(const Event &e) {
    switch (e.kind) {
    case Kind::I2cOpen: case Kind::I2cBind:
    case Kind::SmbusByteWrite: case Kind::Smbus: case Kind::Write: case Kind::Read:
        return true;
    default:
        return false;
    }
}

bool is_gpio(const Event &e) {
    switch (e.kind) {
    case Kind::GpioExport: case Kind::GpioUnexport: case Kind::GpioDirection:
    case Kind::GpioValueWrite: case Kind::GpioValueRead: case Kind::GpioEdge:
    case Kind::GpioActiveLow:
        return true;
    default:
        return false;
    }
}

bool is_board_write(const Event &e) {
    return e.to_board && (e.kind == Kind::SmbusByteWrite || e.kind == Kind::Write);
}

std::vector<Bytes> requests_in(const Events &events) {
    std::vector<Bytes> out;
    for (const Event &e : only(events, is_board_write)) out.push_back(e.bytes);
    return out;
}

Bytes commands_in(const Events &events) {
    Bytes out;
    for (const Bytes &request : requests_in(events))
        if (!request.empty()) out.push_back(request[0]);
    return out;
}

namespace {

const char PROCESSOR[] =
    "processor\t: %d\n"
    "model name\t: ARMv7 Processor rev 4 (v7l)\n"
    "BogoMIPS\t: 38.40\n"
    "Features\t: half thumb fastmult vfp edsp neon vfpv3 tls vfpv4 idiva idivt vfpd32 lpae evtstrm crc32 \n"
    "CPU implementer\t: 0x41\n"
    "CPU architecture: 7\n"
    "CPU variant\t: 0x0\n"
    "CPU part\t: 0xd03\n"
    "CPU revision\t: 4\n"
    "\n";

}  // namespace

std::string cpuinfo_with(const std::string &hardware, const std::string &revision) {
    std::string s;
    char b[sizeof PROCESSOR + 8];
    for (int cpu = 0; cpu < 4; cpu++) {
        snprintf(b, sizeof b, PROCESSOR, cpu);
        s += b;
    }
    if (!hardware.empty()) s += "Hardware\t: " + hardware + "\n";
    if (!revision.empty()) s += "Revision\t: " + revision + "\n";
    s += "Serial\t\t: 00000000a3c1d2e4\n";
    return s;
}

std::string cpuinfo_pi3() {
    return cpuinfo_with("BCM2835", "a02082") + "Model\t\t: Raspberry Pi 3 Model B Rev 1.2\n";
}

std::string cpuinfo_pi4_64bit() {
    std::string s;
    for (int cpu = 0; cpu < 4; cpu++) {
        s += "processor\t: " + std::to_string(cpu) +
             "\nBogoMIPS\t: 108.00\nFeatures\t: fp asimd evtstrm crc32 cpuid\n"
             "CPU implementer\t: 0x41\nCPU architecture: 8\nCPU variant\t: 0x0\n"
             "CPU part\t: 0xd08\nCPU revision\t: 3\n\n";
    }
    return s + "Revision\t: c03114\nSerial\t\t: 10000000b2c3d4e5\nModel\t\t: Raspberry Pi 4 Model B Rev 1.4\n";
}

}  // namespace sim
