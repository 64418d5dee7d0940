// SPDX-License-Identifier: GPL-2.0-or-later
// I2C bus access on a Raspberry Pi: picks the bus node from the board
// revision in /proc/cpuinfo, opens it, binds it to a slave address and makes
// SMBus transfers on it. Failures to open or bind end the process.
//
// Everything declared here is the helper layer's fixed interface and stays
// whole: the programs call only piI2CSetup, piI2CDevice and piI2CWrite; the
// other transfers, piI2CSetupInterface, piBoardRevision, piFailure,
// piBoardLayoutOops and piReturnCodes complete the layer for other callers.
#pragma once

// When non-zero, a non-fatal failure returns -1 instead of ending the
// process. Nothing in either program sets it.
extern int piReturnCodes;

int piI2CSetup(int address);
// The bus node piI2CSetup opens on this board: "/dev/i2c-0" or "/dev/i2c-1".
const char *piI2CDevice(void);
int piI2CSetupInterface(const char *device, int address);

int piI2CWrite(int fd, int data);
int piI2CRead(int fd);
int piI2CReadReg8(int fd, int reg);
int piI2CReadReg16(int fd, int reg);
int piI2CWriteReg8(int fd, int reg, int value);
int piI2CWriteReg16(int fd, int reg, int value);

// Board layout 1 (first revisions, bus 0) or 2 (bus 1); detected once.
int piBoardLayout(void);
int piBoardRevision(void);

int piFailure(int fatal, const char *message, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void piBoardLayoutOops(const char *why);
