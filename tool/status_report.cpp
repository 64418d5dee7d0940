#include "tool/status_report.hpp"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/config/config_file.hpp"
#include "common/config/ini_store.hpp"
#include "tool/tool_bus.hpp"

namespace {

constexpr char FRAME_LINE[] = "********************************";
constexpr char EMPTY_LINE[] = "*                              *";

int32_t general_setting(const char *key) {
    return ini_getl(SECTION_GENERAL, key, SETTING_MISSING, inifile);
}

// The box shows a flag as on when the low 8 bits of its value are 1.
bool box_flag_on(const char *key) { return (general_setting(key) & 0xFF) == 1; }

void print_model_line(int code) {
    printf("* Model: ");
    switch (code) {
    case 1: printf("Basic                 *\n"); break;
    case 0: printf("Advanced              *\n"); break;
    case 4: printf("Advanced mobile       *\n"); break;
    case 5: printf("Basic mobile          *\n"); break;
    default: printf("-                  *\n"); return;
    }
    model = code;
}

void print_time_line(const struct tm *now) {
    char text[32];
    snprintf(text, sizeof text, "%s", asctime(now));
    text[strcspn(text, "\n")] = '\0';
    printf("* %s     *\n", text);
}

// Replies of the current readings, all from buffer_in after their exchange.
double battery_volts(void) { return ups_battery_volts(ups_reply_value16(buffer_in)); }

uint8_t battery_state(void) { return buffer_in[3]; }

}  // namespace

void header(void) {
    char boot_time[CONFIG_TEXT_SIZE];
    char shutdown_time[CONFIG_TEXT_SIZE];
    ini_gets(SECTION_GENERAL, KEY_TIME_BOOT, nullptr, boot_time, sizeof boot_time, inifile);
    ini_gets(SECTION_GENERAL, KEY_TIME_SHUTDOWN, nullptr, shutdown_time, sizeof shutdown_time,
             inifile);
    time_t now = time(nullptr);
    struct tm local_now = *localtime(&now);

    tool_identity_exchange();

    printf("%s\n", FRAME_LINE);
    printf("%s\n", EMPTY_LINE);
    printf("*          B.EXO UPS           *\n");
    printf("* www.example.com              *\n");
    printf("%s\n", EMPTY_LINE);
    print_model_line(buffer_in[3]);
    printf("* Firmware Version: %i.%i       *\n", buffer_in[1], buffer_in[2]);
    printf("* Software Version: %s       *\n", BEXO_VERSION);
    printf("%s\n", EMPTY_LINE);
    printf(box_flag_on(KEY_MAIL) ? "* Mail notification: Enabled   *\n"
                                 : "* Mail notification: Disabled  *\n");
    printf("%s\n", EMPTY_LINE);
    printf(box_flag_on(KEY_TIMED_BOOT) ? "* Timed Boot: Enabled          *\n"
                                       : "* Timed Boot: Disabled         *\n");
    printf("* Boot time: %s          *\n", boot_time);
    printf("%s\n", EMPTY_LINE);
    printf(box_flag_on(KEY_TIMED_SHUTDOWN) ? "* Timed Shutdown: Enabled      *\n"
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

void read_input_voltage(bool plain) {
    if (!plain) {
        header();
    }
    tool_exchange(fd, CMD_INPUT_VOLTAGE, 1, UPS_WAIT_READING, UPS_REPLY_SHORT, UPS_RETRY_LIMIT, 0);
    double volts = ups_input_volts(ups_reply_value16(buffer_in));
    if (plain) {
        printf("%2.2f\n", volts);
        return;
    }
    printf("* Voltage in: %2.2f V           *\n", volts);
    footer();
}

void read_extern_current(bool plain) {
    if (!plain) {
        header();
    }
    if (!ups_model_measures_extern_current(model)) {
        printf(plain ? "n/a\n" : "* Power Extern: n/a            *\n");
    } else {
        tool_exchange(fd, CMD_EXTERN_CURRENT, 1, UPS_WAIT_READING, UPS_REPLY_LONG, UPS_RETRY_LIMIT,
                      1);
        int32_t milliamperes = ups_reply_value16(buffer_in);
        if (plain) {
            milliamperes > 0 ? printf("%2.2f\n", static_cast<double>(milliamperes))
                             : printf("000.00\n");
        } else {
            milliamperes > 0
                ? printf("* Power Extern: %2.2f mA       *\n", static_cast<double>(milliamperes))
                : printf("* Power Extern: 000.00 mA      *\n");
        }
    }
    if (!plain) {
        footer();
    }
}

void read_battery_current(bool plain) {
    if (!plain) {
        header();
    }
    tool_exchange(fd, CMD_BATTERY_CURRENT, 1, UPS_WAIT_READING, UPS_REPLY_LONG, UPS_RETRY_LIMIT, 0);
    int32_t milliamperes = ups_reply_value16(buffer_in);
    if (plain) {
        if (buffer_in[3] == 2) {
            printf("n/a\n");
        } else if (milliamperes > 0) {
            printf("%2.2f\n", static_cast<double>(milliamperes));
        } else {
            printf("000.00\n");
        }
        return;
    }
    if (buffer_in[3] == 2) {
        printf("* Power Battery: n/a           *\n");
    } else if (milliamperes > 0) {
        printf("* Power Battery: %2.2f mA     *\n", static_cast<double>(milliamperes));
    } else {
        printf("* Power Battery: 000.00 mA     *\n");
    }
    footer();
}

void read_battery_level(bool plain) {
    if (!plain) {
        header();
    }
    tool_exchange(fd, CMD_BATTERY_LEVEL, 1, UPS_WAIT_BATTERY_LEVEL, UPS_REPLY_LONG, UPS_RETRY_LIMIT,
                  0);
    double volts = battery_volts();
    switch (ups_battery_classify(battery_state(), volts)) {
    case BATTERY_NOT_AVAILABLE:
        printf(plain ? "n/a\nn/a\n"
                     : "* Battery capacity: n/a        *\n* Battery voltage: n/a        *\n");
        break;
    case BATTERY_FULL:
        printf(plain ? "100.00\n4.20\n"
                     : "* Battery capacity: 100.00%%    *\n* Battery voltage: 4.20V       *\n");
        break;
    case BATTERY_EMPTY:
        if (plain) {
            printf("0.00\n%3.2f\n", volts);
        } else {
            printf("* Battery capacity: 0.00%%    *\n");
            printf("* Battery voltage: %3.2fV       *\n", volts);
        }
        break;
    case BATTERY_MEASURED:
        if (plain) {
            printf("%3.2f\n%3.2f\n", ups_battery_capacity(volts), volts);
        } else {
            printf("* Battery capacity: %3.2f%%     *\n", ups_battery_capacity(volts));
            printf("* Battery voltage: %3.2fV       *\n", volts);
        }
        break;
    }
    if (!plain) {
        footer();
    }
}

namespace {

void status_exchange(uint8_t command, int reply_length) {
    tool_exchange(fd, command, 1, UPS_WAIT_STATUS, reply_length, UPS_RETRY_LIMIT, 0);
}

void status_power_source(void) {
    status_exchange(CMD_POWER_SOURCE, UPS_REPLY_SHORT);
    printf(buffer_in[1] == 1 ? "* Powering Source: Battery     *\n"
                             : "* Powering Source: Primary     *\n");
}

void status_charger(void) {
    status_exchange(CMD_CHARGER_STATE, UPS_REPLY_SHORT);
    printf(buffer_in[1] == 1 ? "* Charging circuit: ONLINE     *\n"
                             : "* Charging circuit: OFFLINE    *\n");
    int milliamperes = ups_charge_current_ma(buffer_in[2]);
    if (milliamperes == 1000) {
        printf("* Charging current: %i mA    *\n", milliamperes);
    } else if (milliamperes > 0) {
        printf("* Charging current: %i mA     *\n", milliamperes);
    } else {
        printf("* Charging current: n/a      *\n");
    }
}

void status_input_voltage(void) {
    status_exchange(CMD_INPUT_VOLTAGE, UPS_REPLY_SHORT);
    printf("* Voltage in: %2.2f V           *\n", ups_input_volts(ups_reply_value16(buffer_in)));
}

void status_battery_level(void) {
    tool_exchange(fd, CMD_BATTERY_LEVEL, 1, UPS_WAIT_BATTERY_LEVEL, UPS_REPLY_LONG,
                  UPS_RETRY_LIMIT_STATUS_BATTERY, 0);
    double volts = battery_volts();
    switch (ups_battery_classify(battery_state(), volts)) {
    case BATTERY_NOT_AVAILABLE:
        printf("* Battery capacity: n/a        *\n");
        printf("* Battery voltage: n/a         *\n");
        break;
    case BATTERY_FULL:
        printf("* Battery capacity: 100.00%%    *\n");
        printf("* Battery voltage: 4.20V       *\n");
        break;
    case BATTERY_EMPTY:
        printf("* Battery capacity: 0.00%%    *\n");
        printf("* Battery voltage: %3.2fV       *\n", volts);
        break;
    case BATTERY_MEASURED:
        printf("* Battery capacity: %3.2f%%     *\n", ups_battery_capacity(volts));
        printf("* Battery voltage: %3.2fV       *\n", volts);
        break;
    }
}

// A current line: n/a when not measured, the value when above zero, else zero.
void print_current(bool measured, int32_t milliamperes, const char *not_measured,
                   const char *value_format, const char *zero) {
    if (!measured) {
        printf("%s", not_measured);
    } else if (milliamperes > 0) {
        printf(value_format, static_cast<double>(milliamperes));
    } else {
        printf("%s", zero);
    }
}

void status_battery_current(void) {
    status_exchange(CMD_BATTERY_CURRENT, UPS_REPLY_LONG);
    print_current(buffer_in[3] != 2, ups_reply_value16(buffer_in),
                  "* Power Battery: n/a           *\n", "* Power Battery: %2.2f mA     *\n",
                  "* Power Battery: 000.00 mA     *\n");
}

void status_extern_current(void) {
    status_exchange(CMD_EXTERN_CURRENT, UPS_REPLY_LONG);
    print_current(ups_model_measures_extern_current(model), ups_reply_value16(buffer_in),
                  "* Power Extern: n/a            *\n", "* Power Extern: %2.2f mA      *\n",
                  "* Power Extern: 000.00 mA      *\n");
}

void status_settings(void) {
    printf("* Shutdown timer: %i           *\n", general_setting(KEY_TIMER));
    printf("* Autostart: ");
    printf(general_setting(KEY_AUTOSTART) == 1 ? " enabled          *\n" : " disabled         *\n");
    printf("* Sleep timer: %i               *\n", general_setting(KEY_SLEEP));
}

}  // namespace

void status_report(void) {
    header();
    status_power_source();
    status_charger();
    printf("%s\n", EMPTY_LINE);
    status_input_voltage();
    status_battery_level();
    status_battery_current();
    status_extern_current();
    printf("%s\n", EMPTY_LINE);
    status_settings();
    footer();
}
