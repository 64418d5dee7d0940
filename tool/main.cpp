// SPDX-License-Identifier: GPL-2.0-or-later
// bexo: the control tool of the B.EXO UPS board.

#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <unistd.h>

#include "common/config/config_file.hpp"
#include "common/config/ini_store.hpp"
#include "common/hw/pi_i2c.hpp"
#include "tool/settings.hpp"
#include "tool/status_report.hpp"
#include "tool/tool_bus.hpp"

namespace {

const struct option long_options[] = {
    {"chrgon", no_argument, nullptr, '1'},
    {"chrgoff", no_argument, nullptr, '2'},
    {"vin", no_argument, nullptr, '3'},
    {"pwrext", no_argument, nullptr, '4'},
    {"pwrbat", no_argument, nullptr, '5'},
    {"capbat", no_argument, nullptr, '6'},
    {"status", no_argument, nullptr, '7'},
    {"timer", required_argument, nullptr, '8'},
    {"auto", required_argument, nullptr, '9'},
    {"sleep", required_argument, nullptr, '0'},
    {"chrgpwr", required_argument, nullptr, 'a'},
    {"chgadd", required_argument, nullptr, 'b'},
    {"flash", required_argument, nullptr, 'c'},
    {"help", no_argument, nullptr, 'd'},
    {"mail", required_argument, nullptr, 'e'},
    {"boot", required_argument, nullptr, 'f'},
    {"shutdown", required_argument, nullptr, 'g'},
    {"setboot", required_argument, nullptr, 'h'},
    {"setshutdown", required_argument, nullptr, 'i'},
    {nullptr, 0, nullptr, 0},
};

constexpr char SHORT_OPTIONS[] = "12345678:9:0:a:b:c:de:f:g:h:i:";

void usage(const char *program) {
    printf(
        "Usage: %s -chrgon | -chrgoff | -vin [0] | -pwrext [0] | -pwrbat [0] | -capbat [0] | "
        "-status | -timer | -auto | -sleep | -mail | -boot | -setboot | -shutdown | -chrgpwr | "
        "-chgadd | -flash  \n",
        program);
    printf("  Options:\n");
    printf("      -chrgon\t\t\tSwitch charging circuit on\n");
    printf("      -chrgoff\t\t\tSwitch charging circuit off\n");
    printf("      -vin\t\t\tRead input voltage\n");
    printf("      -pwrext\t\t\tRead power consumption\n");
    printf("      -pwrbat\t\t\tRead battery consumption\n");
    printf("      -capbat\t\t\tRead battery capacity\n");
    printf("      -status\t\t\tRead B.EXO status\n");
    printf("      -timer\t\t\tSet shutdown timer\n");
    printf("      -auto\t\t\tSet autostart of B.EXO Daemon [0|1]\n");
    printf("      -sleep\t\t\tSet B.EXO Daemon sleep variable [sec]\n");
    printf("      -mail\t\t\tSet B.EXO Mail notification [0|1]\n");
    printf("      -boot\t\t\tSet B.EXO timed boot [0|1]\n");
    printf("      -setboot\t\t\tSet B.EXO boot time [HH:mm:ss]\n");
    printf("      -shutdown\t\t\tSet B.EXO timed shutdown [0|1]\n");
    printf("      -setshutdown\t\tSet B.EXO shutdown time [HH:mm:ss]\n");
    printf("      -chrgpwr\t\t\tSet charging current [mA]\n");
    printf("      -chgadd\t\t\tSet I2C-Adress [eg. 0x0F]\n");
    printf("      -flash            \tUpgrade Firmware\n");
    printf("\n");
    printf("  Optional Parameter:\n");
    printf("      0                Clear Output");
    printf("\n");
}

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

void run_option(int option, int argc, char *argv[]) {
    switch (option) {
    case '1': switch_charger(true); break;
    case '2': switch_charger(false); break;
    case '3': read_input_voltage(plain_output_requested(argc, argv)); break;
    case '4': read_extern_current(plain_output_requested(argc, argv)); break;
    case '5': read_battery_current(plain_output_requested(argc, argv)); break;
    case '6': read_battery_level(plain_output_requested(argc, argv)); break;
    case '7': status_report(); break;
    case '8':
        require_superuser();
        set_shutdown_timer(optarg);
        break;
    case '9':
        require_superuser();
        set_autostart(optarg);
        break;
    case '0':
        require_superuser();
        set_sleep_time(optarg);
        break;
    case 'a': set_charge_current(optarg); break;
    case 'b':
        require_superuser();
        change_address(optarg);
        break;
    case 'c': flash_firmware(optarg); break;
    case 'e':
        require_superuser();
        set_mail_notification(optarg);
        break;
    case 'f':
        require_superuser();
        set_timed_boot(optarg);
        break;
    case 'g':
        require_superuser();
        set_timed_shutdown(optarg);
        break;
    case 'h':
        require_superuser();
        set_boot_time(optarg);
        break;
    case 'i':
        require_superuser();
        set_shutdown_time(optarg);
        break;
    default: usage(argv[0]); break;
    }
}

}  // namespace

int main(int argc, char *argv[]) {
    address = static_cast<uint8_t>(
        ini_getl(SECTION_GENERAL, KEY_ADDRESS, SETTING_MISSING, inifile) & 0xFF);
    fd = piI2CSetup(address);

    int option;
    while ((option = getopt_long_only(argc, argv, SHORT_OPTIONS, long_options, nullptr)) != -1) {
        run_option(option, argc, argv);
    }
    close(fd);
    return 0;
}
