// SPDX-License-Identifier: GPL-2.0-or-later
// bexo: the control tool of the B.EXO UPS board.

#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <unistd.h>

#include "common/config/config_file.hpp"
#include "common/config/settings_table.hpp"
#include "common/hw/pi_i2c.hpp"
#include "tool/settings.hpp"
#include "tool/status_report.hpp"
#include "tool/tool_bus.hpp"

namespace {

constexpr int REASON_SIZE = 512;

// An option's work, given its argument (null without one) and whether a
// reading is to print plain numbers.
using option_handler = void (*)(const char *word, bool plain);

// One row per option drives the option parser's tables, the usage text and
// the dispatch. The rows stand in the order of the parser's table, which its
// message about an ambiguous abbreviation follows; the usage text lists them
// in the order of `usage_place`. Its texts, "I2C-Adress" included, are the
// usage as users know it.
struct option_row {
    char letter;          // the one-character form (-7 is -status), the parser's value
    const char *name;     // the long form, typed after one dash
    int has_arg;          // no_argument or required_argument
    bool needs_root;      // refused without superuser rights
    option_handler run;   // null: print the usage text
    const char *summary;  // after "-name" in the usage's first line; null: not there
    const char *help;     // after "-name" in its line under "Options:"; null: no line
    int usage_place;      // -1: not in the usage text
};

const option_row OPTIONS[] = {
    {'1', "chrgon", no_argument, false, [](const char *, bool) { switch_charger(true); }, "",
     "\t\t\tSwitch charging circuit on", 0},
    {'2', "chrgoff", no_argument, false, [](const char *, bool) { switch_charger(false); }, "",
     "\t\t\tSwitch charging circuit off", 1},
    {'3', "vin", no_argument, false, [](const char *, bool plain) { read_input_voltage(plain); },
     " [0]", "\t\t\tRead input voltage", 2},
    {'4', "pwrext", no_argument, false,
     [](const char *, bool plain) { read_extern_current(plain); }, " [0]",
     "\t\t\tRead power consumption", 3},
    {'5', "pwrbat", no_argument, false,
     [](const char *, bool plain) { read_battery_current(plain); }, " [0]",
     "\t\t\tRead battery consumption", 4},
    {'6', "capbat", no_argument, false, [](const char *, bool plain) { read_battery_level(plain); },
     " [0]", "\t\t\tRead battery capacity", 5},
    {'7', "status", no_argument, false, [](const char *, bool) { status_report(); }, "",
     "\t\t\tRead B.EXO status", 6},
    {'8', "timer", required_argument, true,
     [](const char *word, bool) { set_shutdown_timer(word); }, "", "\t\t\tSet shutdown timer", 7},
    {'9', "auto", required_argument, true, [](const char *word, bool) { set_autostart(word); }, "",
     "\t\t\tSet autostart of B.EXO Daemon [0|1]", 8},
    {'0', "sleep", required_argument, true, [](const char *word, bool) { set_sleep_time(word); },
     "", "\t\t\tSet B.EXO Daemon sleep variable [sec]", 9},
    {'a', "chrgpwr", required_argument, false,
     [](const char *word, bool) { set_charge_current(word); }, "",
     "\t\t\tSet charging current [mA]", 15},
    {'b', "chgadd", required_argument, true, [](const char *word, bool) { change_address(word); },
     "", "\t\t\tSet I2C-Adress [eg. 0x0F]", 16},
    {'c', "flash", required_argument, false, [](const char *word, bool) { flash_firmware(word); },
     "", "            \tUpgrade Firmware", 17},
    {'d', "help", no_argument, false, nullptr, nullptr, nullptr, -1},
    {'e', "mail", required_argument, true,
     [](const char *word, bool) { set_mail_notification(word); }, "",
     "\t\t\tSet B.EXO Mail notification [0|1]", 10},
    {'f', "boot", required_argument, true, [](const char *word, bool) { set_timed_boot(word); }, "",
     "\t\t\tSet B.EXO timed boot [0|1]", 11},
    {'g', "shutdown", required_argument, true,
     [](const char *word, bool) { set_timed_shutdown(word); }, "",
     "\t\t\tSet B.EXO timed shutdown [0|1]", 13},
    {'h', "setboot", required_argument, true, [](const char *word, bool) { set_boot_time(word); },
     "", "\t\t\tSet B.EXO boot time [HH:mm:ss]", 12},
    {'i', "setshutdown", required_argument, true,
     [](const char *word, bool) { set_shutdown_time(word); }, nullptr,
     "\t\tSet B.EXO shutdown time [HH:mm:ss]", 14},
};

constexpr int OPTION_COUNT = static_cast<int>(sizeof OPTIONS / sizeof OPTIONS[0]);

// The parser's tables, filled from the rows: the long options with their
// closing zero row, and the one-character forms with ':' after each that
// takes an argument.
struct option long_options[OPTION_COUNT + 1];
char short_options[2 * OPTION_COUNT + 1];

void fill_option_tables(void) {
    int used = 0;
    for (int i = 0; i < OPTION_COUNT; ++i) {
        const option_row &row = OPTIONS[i];
        long_options[i] = {row.name, row.has_arg, nullptr, row.letter};
        short_options[used++] = row.letter;
        if (row.has_arg == required_argument) short_options[used++] = ':';
    }
    long_options[OPTION_COUNT] = {nullptr, 0, nullptr, 0};
    short_options[used] = '\0';
}

const option_row *row_at_usage_place(int place) {
    for (const option_row &row : OPTIONS) {
        if (row.usage_place == place) return &row;
    }
    return nullptr;
}

const option_row *row_of(int letter) {
    for (const option_row &row : OPTIONS) {
        if (row.letter == letter) return &row;
    }
    return nullptr;
}

void usage(const char *program) {
    printf("Usage: %s ", program);
    const char *separator = "";
    for (int place = 0; place < OPTION_COUNT; ++place) {
        const option_row *row = row_at_usage_place(place);
        if (row == nullptr || row->summary == nullptr) continue;
        printf("%s-%s%s", separator, row->name, row->summary);
        separator = " | ";
    }
    printf("  \n");
    printf("  Options:\n");
    for (int place = 0; place < OPTION_COUNT; ++place) {
        const option_row *row = row_at_usage_place(place);
        if (row != nullptr && row->help != nullptr) printf("      -%s%s\n", row->name, row->help);
    }
    printf("\n");
    printf("  Optional Parameter:\n");
    printf("      0                Clear Output");
    printf("\n");
}

// "privilegs" is part of the programs' fixed interface, as users know it.
void require_superuser(void) {
    if (geteuid() != 0) {
        printf("Please use the command with superuser privilegs.\n");
        exit(0);
    }
}

// A reading option prints plain numbers when a word that is not an option
// follows it on the command line.
bool plain_output_requested(int argc, char *argv[]) {
    return optind < argc && argv[optind][0] != '-';
}

// An unknown option, one without its argument and -help print the usage.
void run_option(int option, int argc, char *argv[]) {
    const option_row *row = row_of(option);
    if (row == nullptr || row->run == nullptr) {
        usage(argv[0]);
        return;
    }
    if (row->needs_root) require_superuser();
    row->run(optarg, plain_output_requested(argc, argv));
}

}  // namespace

int main(int argc, char *argv[]) {
    char reason[REASON_SIZE];
    if (!setting_file_usable(inifile, reason, sizeof reason)) {
        printf("Configuration %s\n", reason);
        return 1;
    }
    address = static_cast<uint8_t>(setting_number(SETTING_ADDRESS, inifile));
    fd = piI2CSetup(address);

    fill_option_tables();
    int option;
    while ((option = getopt_long_only(argc, argv, short_options, long_options, nullptr)) != -1) {
        run_option(option, argc, argv);
    }
    close(fd);
    return 0;
}
