// SPDX-License-Identifier: GPL-2.0-or-later
#include "tool/settings.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/config/config_file.hpp"
#include "common/config/ini_store.hpp"
#include "common/config/int32_text.hpp"
#include "common/config/settings_table.hpp"
#include "common/hw/pi_i2c.hpp"
#include "tool/status_report.hpp"
#include "tool/tool_bus.hpp"
#include "tool/value_checks.hpp"

namespace {

constexpr int COMMAND_BUFFER_SIZE = 4096;
// The flashing command; its name is part of the programs' fixed interface.
char String[COMMAND_BUFFER_SIZE];

constexpr char RESTART_LINES[] =
    "*                              * \n"
    "* Please restart B.EXO Daemon  * \n";

constexpr char FLASHING_TOOL[] = BEXO_FOLDER "/tools/twiboot";

// Set when a change landed but its folder could not be synced.
bool change_unsynced = false;

// A value the configuration cannot hold as typed is refused before anything
// is shown or sent.
void refuse_unless_storable(setting_id id, const char *word) {
    switch (ini_check_value(setting_of(id).section, setting_of(id).key, word)) {
    case INI_VALUE_OK: return;
    case INI_VALUE_LINE_BREAK: printf("Please use a value without a line break.\n"); break;
    case INI_VALUE_TOO_LONG:
        printf("Please use a shorter value: it does not fit on a line of %s.\n", inifile);
        break;
    }
    exit(0);
}

// The word is stored exactly as typed. A write that fails must not look
// like success, so the run ends there; once the new file is in place the
// change has landed, whatever the folder's sync says.
void store_setting(setting_id id, const char *word) {
    const int result = ini_puts(setting_of(id).section, setting_of(id).key, word, inifile);
    if (result == 0) {
        printf("Unable to write the configuration file %s\n", inifile);
        exit(1);
    }
    change_unsynced = change_unsynced || result == INI_PUT_UNSYNCED;
}

void close_box(void) {
    footer();
    if (change_unsynced) {
        printf(
            "Warning: %s was changed, but its folder could not be synced; the change may not "
            "survive a power cut.\n",
            inifile);
    }
}

// Only a word the daemon reads whole and within its setting's range is
// stored; any other is refused with `refusal`. Returns the number the
// daemon takes from it.
int32_t refuse_unless_sound(setting_id id, const char *word, const char *refusal) {
    refuse_unless_storable(id, word);
    const setting_value value = setting_judge(id, word);
    if (value.state != SETTING_READ) {
        printf("%s\n", refusal);
        exit(0);
    }
    return value.used;
}

int32_t zero_or_one_or_refuse(setting_id id, const char *word) {
    return refuse_unless_sound(id, word, "Please only use the variable 1 or 0.");
}

void refuse_unless_time(setting_id id, const char *word) {
    refuse_unless_sound(id, word, "Please only use the format HH:mm:ss");
}

void confirm_and_close_box(const char *confirmation_format, const char *word) {
    printf(confirmation_format, word);
    printf("%s", RESTART_LINES);
    close_box();
}

// Stores a 0/1 word, then shows the box with the line for the number read.
void set_flag(setting_id id, const char *word, const char *enabled_line,
              const char *disabled_line) {
    const int32_t number = zero_or_one_or_refuse(id, word);
    store_setting(id, word);
    header();
    confirm_and_close_box(number == 1 ? enabled_line : disabled_line, word);
}

// Copies `word` into `quoted` as one shell word in single quotes.
// Returns false when it does not fit.
bool shell_quote(const char *word, char *quoted, size_t size) {
    size_t length = 0;
    auto put = [&](const char *text) {
        size_t text_length = strlen(text);
        if (length + text_length >= size) {
            return false;
        }
        memcpy(quoted + length, text, text_length);
        length += text_length;
        return true;
    };
    if (!put("'")) {
        return false;
    }
    for (const char *c = word; *c != '\0'; ++c) {
        char single[2] = {*c, '\0'};
        if (!put(*c == '\'' ? "'\\''" : single)) {
            return false;
        }
    }
    if (!put("'")) {
        return false;
    }
    quoted[length] = '\0';
    return true;
}

// The board waits in its bootloader for a file once 0x42 is sent; a typo or
// a missing tool must not put it there.
void refuse_unless_flashable(const char *file) {
    struct stat info;
    if (stat(file, &info) != 0 || access(file, R_OK) != 0) {
        printf("The firmware file %s cannot be read: %s\n", file, strerror(errno));
        exit(0);
    }
    if (!S_ISREG(info.st_mode)) {
        printf("The firmware file %s is not a file.\n", file);
        exit(0);
    }
    if (access(FLASHING_TOOL, X_OK) != 0) {
        printf("The flashing tool %s cannot be run: %s\n", FLASHING_TOOL, strerror(errno));
        exit(1);
    }
}

}  // namespace

void switch_charger(bool on) {
    header();
    tool_exchange(on ? CMD_CHARGE_ON : CMD_CHARGE_OFF, UPS_PACE_ALONE, UPS_RETRY_LIMIT, 0);
    if (buffer_in[1] == 1) {
        printf(on ? "* Charging circuit: Online     *\n" : "* Charging circuit: Offline    *\n");
    } else {
        printf(on ? "Failure: Activating charging circuit not possible.\n"
                  : "Failure: Deactivating charging circuit not possible.\n");
    }
    footer();
}

void set_charge_current(const char *word) {
    int code = ups_charge_current_code(int32_text_lead(word, 10));
    if (code < 0) {
        printf("Please only use current 300, 500 or 1000 \n");
        exit(0);
    }
    buffer_out[1] = static_cast<uint8_t>(code);
    header();
    tool_exchange(CMD_SET_CHARGE_CURRENT, UPS_PACE_ALONE, UPS_RETRY_LIMIT, 0);
    print_charge_current(buffer_in[1], false);
    footer();
}

void change_address(const char *word) {
    if (!ishex(word)) {
        // "Forma" and the rest are the message as users know it, a fixed interface.
        printf(
            "%s is not a hexadecimal character or not within the range - Please use the "
            "correct Forma, e.g. 0X0F \n",
            word);
        exit(0);
    }
    header();
    printf("* I2C-Address set to: %s     *\n", word);
    printf("%s", RESTART_LINES);
    // The board only moves once its new address is safely stored.
    store_setting(SETTING_ADDRESS, word);
    buffer_out[1] = static_cast<uint8_t>(setting_judge(SETTING_ADDRESS, word).used);
    tool_send(CMD_SET_ADDRESS);
    close_box();
}

void set_shutdown_timer(const char *word) {
    refuse_unless_sound(SETTING_TIMER, word,
                        "Please only use a whole number of seconds (negative: no countdown).");
    header();
    store_setting(SETTING_TIMER, word);
    confirm_and_close_box("* Shutdown timer set to: %s    *\n", word);
}

void set_sleep_time(const char *word) {
    refuse_unless_sound(SETTING_SLEEP, word,
                        "Please only use a whole number of seconds, 1 or more.");
    header();
    store_setting(SETTING_SLEEP, word);
    confirm_and_close_box("* Sleep timer set to: %s        *\n", word);
}

void set_autostart(const char *word) {
    set_flag(SETTING_AUTOSTART, word, "* Autostart enabled            *\n",
             "* Autostart disabled           *\n");
}

void set_mail_notification(const char *word) {
    set_flag(SETTING_MAIL, word, "* Mail notification enabled    *\n",
             "* Mail notification disabled   *\n");
}

void set_timed_boot(const char *word) {
    const int32_t number = zero_or_one_or_refuse(SETTING_TIMED_BOOT, word);
    store_setting(SETTING_TIMED_BOOT, word);
    header();
    if (number == 1) {
        confirm_and_close_box("* Timed boot enabled           *\n", word);
        return;
    }
    tool_send(CMD_TIMED_BOOT_OFF);
    tool_pause(ups_wait(CMD_TIMED_BOOT_OFF));
    confirm_and_close_box("* Timed boot disabled          *\n", word);
}

void set_timed_shutdown(const char *word) {
    set_flag(SETTING_TIMED_SHUTDOWN, word, "* Timed shutdown enabled       *\n",
             "* Timed shutdown disabled      *\n");
}

void set_boot_time(const char *word) {
    refuse_unless_time(SETTING_TIME_BOOT, word);
    store_setting(SETTING_TIME_BOOT, word);
    header();
    confirm_and_close_box("* Boot time %s           *\n", word);
}

void set_shutdown_time(const char *word) {
    refuse_unless_time(SETTING_TIME_SHUTDOWN, word);
    store_setting(SETTING_TIME_SHUTDOWN, word);
    header();
    confirm_and_close_box("* Shutdown time %s       *\n", word);
}

void flash_firmware(const char *word) {
    char quoted[COMMAND_BUFFER_SIZE];
    int length = -1;
    if (shell_quote(word, quoted, sizeof quoted)) {
        // The bootloader answers on the bus the board was sent into it on.
        length = snprintf(String, sizeof String, "%s -a 0x30 -d %s -w flash:%s -n",
                          FLASHING_TOOL, piI2CDevice(), quoted);
    }
    if (length < 0 || length >= COMMAND_BUFFER_SIZE) {
        printf("The firmware file name is too long.\n");
        exit(0);
    }
    refuse_unless_flashable(word);
    tool_send(CMD_ENTER_BOOTLOADER);
    fflush(stdout);
    // The bootloader needs half a second before the flashing tool talks to it.
    if (system("sleep 0.5") != 0) tool_pause(ups_wait(CMD_ENTER_BOOTLOADER));
    // The flashing tool reports its own failures on the terminal; the run
    // goes on with its next option either way.
    const int flashing_status = system(String);
    (void)flashing_status;
}
