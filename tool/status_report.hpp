// SPDX-License-Identifier: GPL-2.0-or-later
// The status box: its top and bottom, the reading options and the full report.
#pragma once

void header(void);
void footer(void);

// With `plain` set, only the numbers are printed, without box, labels or units.
void read_input_voltage(bool plain);
void read_extern_current(bool plain);
void read_battery_current(bool plain);
void read_battery_level(bool plain);

void status_report(void);

// The box's line for the charging current of `code`; an unknown code gets
// "n/a" when `unknown_shown`, else no line.
void print_charge_current(int code, bool unknown_shown);
