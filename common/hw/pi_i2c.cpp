// SPDX-License-Identifier: GPL-2.0-or-later
#include "common/hw/pi_i2c.hpp"

#include "common/hw/pi_cpuinfo.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

int piReturnCodes = 0;

namespace {

int boardLayout = -1;

constexpr int FAILURE_TEXT_SIZE = 1024;
constexpr char CPUINFO_PATH[] = "/proc/cpuinfo";
// Kernels other than Raspberry Pi's own 32-bit ones may print no "Hardware"
// or "Revision" line, or another chip's name; the device tree still names
// the board.
constexpr char DEVICE_TREE_MODEL_PATH[] = "/proc/device-tree/model";
// A missing bus node on a Pi means that I2C is not enabled.
constexpr char ENABLE_I2C_HINT[] =
    "I2C is not enabled: run \"sudo raspi-config nonint do_i2c 0\", or add "
    "\"dtparam=i2c_arm=on\" to config.txt and reboot.\n";

int i2c_smbus_access(int fd, char rw, uint8_t command, int size, union i2c_smbus_data *data) {
    struct i2c_smbus_ioctl_data args;
    args.read_write = static_cast<uint8_t>(rw);
    args.command = command;
    args.size = static_cast<uint32_t>(size);
    args.data = data;
    return ioctl(fd, I2C_SMBUS, &args);
}

// The read transfers of the family: the byte (0..255) or, for word data,
// the word (0..65535) the request brought, or -1 when it failed.
int smbus_read(int fd, uint8_t command, int size) {
    union i2c_smbus_data data;
    if (i2c_smbus_access(fd, I2C_SMBUS_READ, command, size, &data) != 0) {
        return -1;
    }
    return size == I2C_SMBUS_WORD_DATA ? data.word & 0xFFFF : data.byte & 0xFF;
}

[[noreturn]] void report_unsupported_hardware(const char *hardware_line) {
    fprintf(stderr, "Unable to determine hardware version. I see: %s,\n", hardware_line);
    fprintf(stderr, " - expecting BCM2708, BCM2709 or BCM2835.\n");
    fprintf(stderr, "If this is a genuine Raspberry Pi then please report this\n");
    fprintf(stderr,
            "to the maintainers of this software. If this is not a Raspberry Pi then you\n");
    fprintf(stderr, "are on your own as this software is designed to support the\n");
    fprintf(stderr, "Raspberry Pi ONLY.\n");
    exit(1);
}

}  // namespace

int piFailure(int fatal, const char *message, ...) {
    if (!fatal && piReturnCodes) {
        return -1;
    }
    char text[FAILURE_TEXT_SIZE];
    va_list arguments;
    va_start(arguments, message);
    vsnprintf(text, sizeof text, message, arguments);
    va_end(arguments);
    fprintf(stderr, "%s", text);
    exit(1);
}

void piBoardLayoutOops(const char *why) {
    fprintf(stderr, "Oops: Unable to determine board revision from /proc/cpuinfo\n");
    fprintf(stderr, " -> %s\n", why);
    fprintf(stderr, " ->  You'd best google the error to find out why.\n");
    exit(1);
}

int piBoardLayout(void) {
    if (boardLayout != -1) {
        return boardLayout;
    }
    FILE *cpuinfo = fopen(CPUINFO_PATH, "r");
    if (cpuinfo == nullptr) {
        piBoardLayoutOops("Unable to open /proc/cpuinfo");
    }
    char line[PI_CPUINFO_LINE_SIZE];
    const char *why = nullptr;
    int layout = piCpuinfoLayout(cpuinfo, DEVICE_TREE_MODEL_PATH, line, &why);
    if (layout == 0 && why == nullptr) {
        report_unsupported_hardware(line);
    }
    fclose(cpuinfo);
    if (layout == 0) {
        piBoardLayoutOops(why);
    }
    boardLayout = layout;
    return boardLayout;
}

int piBoardRevision(void) { return piBoardLayout(); }

int piI2CSetupInterface(const char *device, int address) {
    int fd = open(device, O_RDWR);
    if (fd < 0) {
        const int error = errno;
        return piFailure(0, "Unable to open I2C device: %s\n%s", strerror(error),
                         error == ENOENT ? ENABLE_I2C_HINT : "");
    }
    if (ioctl(fd, I2C_SLAVE, address) < 0) {
        return piFailure(0, "Unable to select I2C device: %s\n", strerror(errno));
    }
    return fd;
}

const char *piI2CDevice(void) { return piBoardLayout() == 1 ? "/dev/i2c-0" : "/dev/i2c-1"; }

int piI2CSetup(int address) { return piI2CSetupInterface(piI2CDevice(), address); }

int piI2CWrite(int fd, int data) {
    return i2c_smbus_access(fd, I2C_SMBUS_WRITE, static_cast<uint8_t>(data & 0xFF), I2C_SMBUS_BYTE,
                            nullptr);
}

int piI2CRead(int fd) { return smbus_read(fd, 0, I2C_SMBUS_BYTE); }

int piI2CReadReg8(int fd, int reg) {
    return smbus_read(fd, static_cast<uint8_t>(reg & 0xFF), I2C_SMBUS_BYTE_DATA);
}

int piI2CReadReg16(int fd, int reg) {
    return smbus_read(fd, static_cast<uint8_t>(reg & 0xFF), I2C_SMBUS_WORD_DATA);
}

int piI2CWriteReg8(int fd, int reg, int value) {
    union i2c_smbus_data data;
    data.byte = static_cast<uint8_t>(value & 0xFF);
    return i2c_smbus_access(fd, I2C_SMBUS_WRITE, static_cast<uint8_t>(reg & 0xFF),
                            I2C_SMBUS_BYTE_DATA, &data);
}

int piI2CWriteReg16(int fd, int reg, int value) {
    union i2c_smbus_data data;
    data.word = static_cast<uint16_t>(value & 0xFFFF);
    return i2c_smbus_access(fd, I2C_SMBUS_WRITE, static_cast<uint8_t>(reg & 0xFF),
                            I2C_SMBUS_WORD_DATA, &data);
}
