// SPDX-License-Identifier: GPL-2.0-or-later
#include "tool/status_report.hpp"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/config/config_file.hpp"
#include "common/config/settings_table.hpp"
#include "tool/tool_bus.hpp"

namespace {

constexpr char FRAME_LINE[] = "********************************";
constexpr char EMPTY_LINE[] = "*                              *";

// The box shows what the daemon uses: a value it cannot read as missing.
int32_t general_setting(setting_id id) { return setting_number(id, inifile); }

// The box shows a flag as on when the low 8 bits of its value as written
// are 1 (so 257 shows as on, though the daemon takes only 1).
bool box_flag_on(setting_id id) {
    setting_value value;
    setting_number(id, inifile, &value);
    return (value.written & 0xFF) == 1;
}

void print_model_line(int code) {
    const char *name = ups_model_name(code);
    if (name == nullptr) {
        printf("* Model: -                  *\n");
    } else {
        printf("* Model: %-22s*\n", name);
    }
}

void print_time_line(const struct tm *now) {
    char text[32];
    snprintf(text, sizeof text, "%s", asctime(now));
    text[strcspn(text, "\n")] = '\0';
    printf("* %s     *\n", text);
}

// The printers of the readings: each prints the reply in buffer_in, either
// as its line of the box or, with `plain`, as bare numbers.

void print_input_voltage(bool plain) {
    const double volts = ups_input_volts(ups_reply_value16(buffer_in));
    printf(plain ? "%2.2f\n" : "* Voltage in: %2.2f V           *\n", volts);
}

// A current: n/a when not measured, the value when above zero, else zero.
void print_current(bool plain, bool measured, const char *not_measured, const char *value_format,
                   const char *zero) {
    const int32_t milliamperes = ups_reply_value16(buffer_in);
    if (!measured) {
        printf("%s", plain ? "n/a\n" : not_measured);
    } else if (milliamperes > 0) {
        printf(plain ? "%2.2f\n" : value_format, static_cast<double>(milliamperes));
    } else {
        printf("%s", plain ? "000.00\n" : zero);
    }
}

// -pwrext's line for a measured value has one blank more than the status
// box's.
void print_extern_current(bool plain, bool measured, bool status_box) {
    print_current(
        plain, measured, "* Power Extern: n/a            *\n",
        status_box ? "* Power Extern: %2.2f mA      *\n" : "* Power Extern: %2.2f mA       *\n",
        "* Power Extern: 000.00 mA      *\n");
}

void print_battery_current(bool plain) {
    print_current(plain, ups_battery_current_available(buffer_in),
                  "* Power Battery: n/a           *\n", "* Power Battery: %2.2f mA     *\n",
                  "* Power Battery: 000.00 mA     *\n");
}

// The status box's line for a voltage that is not available has one blank
// more than -capbat's; a measured capacity's line has one blank more than a
// full or empty one's.
void print_battery_level(bool plain, bool status_box) {
    const double volts = ups_battery_volts(ups_reply_value16(buffer_in));
    const ups_battery_display display = ups_battery_classify(buffer_in[3], volts);
    if (display == BATTERY_NOT_AVAILABLE) {
        printf(plain ? "n/a\n" : "* Battery capacity: n/a        *\n");
        printf(plain        ? "n/a\n"
               : status_box ? "* Battery voltage: n/a         *\n"
                            : "* Battery voltage: n/a        *\n");
        return;
    }
    printf(plain                         ? "%3.2f\n"
           : display == BATTERY_MEASURED ? "* Battery capacity: %3.2f%%     *\n"
                                         : "* Battery capacity: %3.2f%%    *\n",
           ups_shown_capacity(display, volts));
    printf(plain ? "%3.2f\n" : "* Battery voltage: %3.2fV       *\n",
           ups_shown_volts(display, volts));
}

}  // namespace

void header(void) {
    char boot_time[CONFIG_TEXT_SIZE];
    char shutdown_time[CONFIG_TEXT_SIZE];
    setting_text(SETTING_TIME_BOOT, inifile, boot_time, sizeof boot_time);
    setting_text(SETTING_TIME_SHUTDOWN, inifile, shutdown_time, sizeof shutdown_time);
    time_t now = time(nullptr);
    struct tm local_now = *localtime(&now);

    tool_identity_exchange();

    printf("%s\n", FRAME_LINE);
    printf("%s\n", EMPTY_LINE);
    printf("*          B.EXO UPS           *\n");
    printf("* www.example.com              *\n");
    printf("%s\n", EMPTY_LINE);
    print_model_line(buffer_in[3]);
    // A later reading of the external current depends on the model.
    if (ups_model_name(buffer_in[3]) != nullptr) model = buffer_in[3];
    printf("* Firmware Version: %i.%i       *\n", buffer_in[1], buffer_in[2]);
    printf("* Software Version: %s       *\n", BEXO_VERSION);
    printf("%s\n", EMPTY_LINE);
    printf(box_flag_on(SETTING_MAIL) ? "* Mail notification: Enabled   *\n"
                                     : "* Mail notification: Disabled  *\n");
    printf("%s\n", EMPTY_LINE);
    printf(box_flag_on(SETTING_TIMED_BOOT) ? "* Timed Boot: Enabled          *\n"
                                           : "* Timed Boot: Disabled         *\n");
    printf("* Boot time: %s          *\n", boot_time);
    printf("%s\n", EMPTY_LINE);
    printf(box_flag_on(SETTING_TIMED_SHUTDOWN) ? "* Timed Shutdown: Enabled      *\n"
                                               : "* Timed Shutdown: Disabled     *\n");
    printf("* Shutdown time: %s      *\n", shutdown_time);
    printf("%s\n", EMPTY_LINE);
    print_time_line(&local_now);
    printf("%s\n", EMPTY_LINE);
    printf("%s\n", FRAME_LINE);
    printf("%s\n", EMPTY_LINE);
}

void footer(void) {
    printf("%s\n", EMPTY_LINE);
    printf("%s\n", FRAME_LINE);
}

namespace {

// A reading option on its own: the reply printed by `print`, inside the box
// unless plain numbers are asked for.
void read_alone(uint8_t command, bool plain, void (*print)(bool plain)) {
    if (!plain) header();
    tool_exchange(command, UPS_PACE_ALONE, UPS_RETRY_LIMIT, 0);
    print(plain);
    if (!plain) footer();
}

}  // namespace

void read_input_voltage(bool plain) { read_alone(CMD_INPUT_VOLTAGE, plain, print_input_voltage); }

void read_extern_current(bool plain) {
    if (!plain) header();
    const bool measured = ups_model_measures_extern_current(model);
    // Models without the measurement are not asked.
    if (measured) tool_exchange(CMD_EXTERN_CURRENT, UPS_PACE_ALONE, UPS_RETRY_LIMIT, 1);
    print_extern_current(plain, measured, false);
    if (!plain) footer();
}

void read_battery_current(bool plain) {
    read_alone(CMD_BATTERY_CURRENT, plain, print_battery_current);
}

void read_battery_level(bool plain) {
    read_alone(CMD_BATTERY_LEVEL, plain,
               [](bool plain_numbers) { print_battery_level(plain_numbers, false); });
}

void print_charge_current(int code, bool unknown_shown) {
    const int milliamperes = ups_charge_current_ma(code);
    if (milliamperes == 1000) {
        printf("* Charging current: %i mA    *\n", milliamperes);
    } else if (milliamperes > 0) {
        printf("* Charging current: %i mA     *\n", milliamperes);
    } else if (unknown_shown) {
        printf("* Charging current: n/a      *\n");
    }
}

namespace {

void status_exchange(uint8_t command) {
    tool_exchange(command, UPS_PACE_STATUS, UPS_RETRY_LIMIT, 0);
}

void status_power_source(void) {
    status_exchange(CMD_POWER_SOURCE);
    printf(buffer_in[1] == 1 ? "* Powering Source: Battery     *\n"
                             : "* Powering Source: Primary     *\n");
}

void status_charger(void) {
    status_exchange(CMD_CHARGER_STATE);
    printf(buffer_in[1] == 1 ? "* Charging circuit: ONLINE     *\n"
                             : "* Charging circuit: OFFLINE    *\n");
    print_charge_current(buffer_in[2], true);
}

void status_settings(void) {
    printf("* Shutdown timer: %i           *\n", general_setting(SETTING_TIMER));
    printf("* Autostart: ");
    printf(general_setting(SETTING_AUTOSTART) == 1 ? " enabled          *\n"
                                                   : " disabled         *\n");
    printf("* Sleep timer: %i               *\n", general_setting(SETTING_SLEEP));
}

}  // namespace

void status_report(void) {
    header();
    status_power_source();
    status_charger();
    printf("%s\n", EMPTY_LINE);
    status_exchange(CMD_INPUT_VOLTAGE);
    print_input_voltage(false);
    tool_exchange(CMD_BATTERY_LEVEL, UPS_PACE_STATUS, UPS_RETRY_LIMIT_STATUS_BATTERY, 0);
    print_battery_level(false, true);
    status_exchange(CMD_BATTERY_CURRENT);
    print_battery_current(false);
    status_exchange(CMD_EXTERN_CURRENT);
    print_extern_current(false, ups_model_measures_extern_current(model), true);
    printf("%s\n", EMPTY_LINE);
    status_settings();
    footer();
}
