// SPDX-License-Identifier: GPL-2.0-or-later
// Options that change the board, the daemon's settings or the firmware.
#pragma once

void switch_charger(bool on);
void set_charge_current(const char *word);
void change_address(const char *word);

void set_shutdown_timer(const char *word);
void set_sleep_time(const char *word);
void set_autostart(const char *word);
void set_mail_notification(const char *word);
void set_timed_boot(const char *word);
void set_timed_shutdown(const char *word);
void set_boot_time(const char *word);
void set_shutdown_time(const char *word);

void flash_firmware(const char *word);
