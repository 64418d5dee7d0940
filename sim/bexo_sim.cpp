// SPDX-License-Identifier: GPL-2.0-or-later
// bexo-sim: runs a command inside a simulated world whose board is set up
// from the options. Its exit status is the command's.

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sim/world.hpp"

namespace {

const char HELP[] =
    "Usage: bexo-sim [OPTION...] [--] COMMAND [ARG...]\n"
    "       bexo-sim [OPTION...] --shell\n"
    "Runs COMMAND inside a simulated world: a B.EXO board on /dev/i2c-1, sysfs GPIO\n"
    "under /sys/class/gpio, a Raspberry Pi 3 /proc/cpuinfo, private /opt, /var/log,\n"
    "/run, /etc/systemd/system and /lib/systemd/system, and shims that record sudo,\n"
    "systemctl, python, /opt/bexod/tools/twiboot and sim-mark. bexo and bexod from\n"
    "the build tree are on PATH. Nothing outside the world changes.\n"
    "\n"
    "World:\n"
    "  --bus N                  board on /dev/i2c-N (0: old board layout; default 1)\n"
    "  --no-i2c-0, --no-i2c-1   leave that bus node out\n"
    "  --gpio-base N            base of the GPIO chip (default 0; line 27 is N+27)\n"
    "  --gpio-edge missing|refused  a chip without line interrupts: no edge file,\n"
    "                           or every edge but none refused (EIO)\n"
    "  --cpuinfo FILE           /proc/cpuinfo content (default: a Raspberry Pi 3)\n"
    "  --device-tree-model TEXT /proc/device-tree/model content\n"
    "  --config FILE            installed as /opt/bexod/bexo.cfg\n"
    "                           (default: [General] address=0x36, the board's address)\n"
    "  --no-config              no /opt/bexod/bexo.cfg at all\n"
    "  --install FILE:PATH      copy FILE to PATH inside the world\n"
    "Board (readings as its replies carry them):\n"
    "  --address N              7-bit bus address (default 0x36)\n"
    "  --model N                model code (0 Advanced, 1 Basic, 4, 5 mobile)\n"
    "  --firmware MAJOR.MINOR   firmware version (default 1.12)\n"
    "  --input-mv N             input voltage in mV\n"
    "  --extern-ma N            external current in mA\n"
    "  --battery-ma N           battery current in mA\n"
    "  --battery-current-state N  byte 3 of the 0xD2 reply (2: not available)\n"
    "  --battery-raw N          raw battery reading (782 and up: full)\n"
    "  --battery-state N        battery state byte (1 full, 2 no reading)\n"
    "  --on-battery             the computer runs from the battery\n"
    "  --charger on|off         charging circuit\n"
    "  --charge-code N          charging current code (0 1000 mA, 1 500 mA, 2 300 mA)\n"
    "  --battery-low            the board reports a low battery\n"
    "  --supply-lost            start with the supply lost (event line high)\n"
    "Faults:\n"
    "  --wrong-echo N           the next N replies carry a wrong echo\n"
    "  --fail-reads N           the next N reads fail (EREMOTEIO); -1: all\n"
    "  --no-answer              the board's address answers nothing (EREMOTEIO)\n"
    "Events:\n"
    "  --at SECONDS:EVENT       at that time: lose-supply, restore-supply,\n"
    "                           shutdown-button, reboot-button, battery-low\n"
    "  --poweroff-sigterm[=DELAY]  'systemctl poweroff' or 'reboot' ends the daemon\n"
    "                           (SIGTERM to the pid in /run/bexod.pid; default 0.5 s)\n"
    "Run:\n"
    "  --as-user                run COMMAND with a non-zero user id\n"
    "  --faketime TIME          libfaketime FAKETIME, e.g. '@2026-12-08 12:00:50' or '+0 x10'\n"
    "  --timeout SECONDS        kill COMMAND after that long (exit status 124)\n"
    "  --trace                  print the world's event record to stderr afterwards\n"
    "  --shell                  run an interactive shell instead of COMMAND\n"
    "  --help                   this text\n"
    "\n"
    "Examples:\n"
    "  bexo-sim --battery-raw 745 -- bexo -capbat 0\n"
    "  bexo-sim --no-i2c-1 -- bexo -help\n"
    "  bexo-sim --trace --at 3:lose-supply --poweroff-sigterm -- \\\n"
    "      sh -c 'bexod -start; sleep 20; cat /var/log/bexod.log'\n";

enum OptionId {
    BUS = 1000, NO_I2C_0, NO_I2C_1, GPIO_BASE, GPIO_EDGE, CPUINFO, DT_MODEL, CONFIG, NO_CONFIG, INSTALL,
    ADDRESS, MODEL, FIRMWARE, INPUT_MV, EXTERN_MA, BATTERY_MA, BATTERY_CURRENT_STATE,
    BATTERY_RAW, BATTERY_STATE, ON_BATTERY, CHARGER, CHARGE_CODE, BATTERY_LOW, SUPPLY_LOST,
    WRONG_ECHO, FAIL_READS, NO_ANSWER, AT, POWEROFF_SIGTERM, AS_USER, FAKETIME, TIMEOUT,
    TRACE, SHELL, HELP_ID,
};

const option OPTIONS[] = {
    {"bus", required_argument, nullptr, BUS},
    {"no-i2c-0", no_argument, nullptr, NO_I2C_0},
    {"no-i2c-1", no_argument, nullptr, NO_I2C_1},
    {"gpio-base", required_argument, nullptr, GPIO_BASE},
    {"gpio-edge", required_argument, nullptr, GPIO_EDGE},
    {"cpuinfo", required_argument, nullptr, CPUINFO},
    {"device-tree-model", required_argument, nullptr, DT_MODEL},
    {"config", required_argument, nullptr, CONFIG},
    {"no-config", no_argument, nullptr, NO_CONFIG},
    {"install", required_argument, nullptr, INSTALL},
    {"address", required_argument, nullptr, ADDRESS},
    {"model", required_argument, nullptr, MODEL},
    {"firmware", required_argument, nullptr, FIRMWARE},
    {"input-mv", required_argument, nullptr, INPUT_MV},
    {"extern-ma", required_argument, nullptr, EXTERN_MA},
    {"battery-ma", required_argument, nullptr, BATTERY_MA},
    {"battery-current-state", required_argument, nullptr, BATTERY_CURRENT_STATE},
    {"battery-raw", required_argument, nullptr, BATTERY_RAW},
    {"battery-state", required_argument, nullptr, BATTERY_STATE},
    {"on-battery", no_argument, nullptr, ON_BATTERY},
    {"charger", required_argument, nullptr, CHARGER},
    {"charge-code", required_argument, nullptr, CHARGE_CODE},
    {"battery-low", no_argument, nullptr, BATTERY_LOW},
    {"supply-lost", no_argument, nullptr, SUPPLY_LOST},
    {"wrong-echo", required_argument, nullptr, WRONG_ECHO},
    {"fail-reads", required_argument, nullptr, FAIL_READS},
    {"no-answer", no_argument, nullptr, NO_ANSWER},
    {"at", required_argument, nullptr, AT},
    {"poweroff-sigterm", optional_argument, nullptr, POWEROFF_SIGTERM},
    {"as-user", no_argument, nullptr, AS_USER},
    {"faketime", required_argument, nullptr, FAKETIME},
    {"timeout", required_argument, nullptr, TIMEOUT},
    {"trace", no_argument, nullptr, TRACE},
    {"shell", no_argument, nullptr, SHELL},
    {"help", no_argument, nullptr, HELP_ID},
    {nullptr, 0, nullptr, 0},
};

[[noreturn]] void fail(const std::string &message) {
    fprintf(stderr, "bexo-sim: %s\n", message.c_str());
    exit(2);
}

long number(const char *text, const char *option) {
    char *end = nullptr;
    errno = 0;
    const long v = strtol(text, &end, 0);
    if (errno || end == text || *end) fail(std::string("--") + option + ": not a number: " + text);
    return v;
}

double seconds(const char *text, const char *option) {
    char *end = nullptr;
    const double v = strtod(text, &end);
    if (end == text || *end || v < 0) fail(std::string("--") + option + ": not a time in seconds: " + text);
    return v;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read " + path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Everything the options ask for, applied once the world exists.
struct Plan {
    sim::Options world;
    std::optional<std::string> config = std::string("[General]\naddress=0x36\n");
    std::vector<std::pair<std::string, std::string>> installs;  // file, path in the world
    std::vector<std::function<void(sim::Board &)>> board;
    std::vector<std::pair<double, std::string>> events;
    sim::RunOptions run;
    bool trace = false;
    bool shell = false;
    std::vector<std::string> command;
};

std::function<void(sim::Board &)> event_action(const std::string &name) {
    if (name == "lose-supply") return [](sim::Board &b) { b.lose_supply(); };
    if (name == "restore-supply") return [](sim::Board &b) { b.restore_supply(); };
    if (name == "shutdown-button") return [](sim::Board &b) { b.press_button(1); };
    if (name == "reboot-button") return [](sim::Board &b) { b.press_button(2); };
    if (name == "battery-low") return [](sim::Board &b) { b.set_battery_low(true); };
    fail("--at: unknown event " + name);
}

void parse_board_option(int id, const char *arg, Plan &p) {
    const auto set = [&](std::function<void(sim::Board &)> f) { p.board.push_back(std::move(f)); };
    const char *name = "";
    for (const option *o = OPTIONS; o->name; o++)
        if (o->val == id) name = o->name;
    switch (id) {
    case ADDRESS: { const long v = number(arg, name); set([v](sim::Board &b) { b.set_address(static_cast<int>(v)); }); break; }
    case MODEL: { const long v = number(arg, name); set([v](sim::Board &b) { b.set_model(static_cast<int>(v)); }); break; }
    case FIRMWARE: {
        int major = 0, minor = 0;
        if (sscanf(arg, "%d.%d", &major, &minor) != 2) fail("--firmware: expected MAJOR.MINOR");
        set([major, minor](sim::Board &b) { b.set_firmware(major, minor); });
        break;
    }
    case INPUT_MV: { const long v = number(arg, name); set([v](sim::Board &b) { b.set_input_mv(static_cast<int>(v)); }); break; }
    case EXTERN_MA: { const long v = number(arg, name); set([v](sim::Board &b) { b.set_extern_ma(static_cast<int>(v)); }); break; }
    default: break;
    }
}

// Battery current and its state byte, set together.
struct BatteryCurrent {
    int ma = 120;
    int state = 0;
};

}  // namespace

int main(int argc, char **argv) {
    Plan p;
    p.run.capture = false;
    p.run.timeout = 1e9;
    BatteryCurrent current;
    bool current_set = false;
    int battery_raw = 760, battery_state = 0;
    bool battery_set = false;
    bool charger_on = true;
    int charge_code = 1;
    bool charger_set = false;

    opterr = 1;
    int id;
    while ((id = getopt_long(argc, argv, "+", OPTIONS, nullptr)) != -1) {
        switch (id) {
        case BUS: p.world.board_bus = static_cast<int>(number(optarg, "bus")); break;
        case NO_I2C_0: p.world.bus0 = false; break;
        case NO_I2C_1: p.world.bus1 = false; break;
        case GPIO_BASE: p.world.gpio_base = static_cast<int>(number(optarg, "gpio-base")); break;
        case GPIO_EDGE:
            if (!strcmp(optarg, "missing"))
                p.world.gpio_edge = sim::GpioEdge::Missing;
            else if (!strcmp(optarg, "refused"))
                p.world.gpio_edge = sim::GpioEdge::Refused;
            else
                fail("--gpio-edge: missing or refused");
            break;
        case CPUINFO: p.world.cpuinfo = slurp(optarg); break;
        case DT_MODEL: p.world.device_tree_model = std::string(optarg); break;
        case CONFIG: p.config = slurp(optarg); break;
        case NO_CONFIG: p.config.reset(); break;
        case INSTALL: {
            const std::string a = optarg;
            const size_t colon = a.find(':');
            if (colon == std::string::npos) fail("--install: expected FILE:PATH");
            p.installs.emplace_back(a.substr(0, colon), a.substr(colon + 1));
            break;
        }
        case ADDRESS: case MODEL: case FIRMWARE: case INPUT_MV: case EXTERN_MA:
            parse_board_option(id, optarg, p);
            break;
        case BATTERY_MA: current.ma = static_cast<int>(number(optarg, "battery-ma")); current_set = true; break;
        case BATTERY_CURRENT_STATE:
            current.state = static_cast<int>(number(optarg, "battery-current-state"));
            current_set = true;
            break;
        case BATTERY_RAW: battery_raw = static_cast<int>(number(optarg, "battery-raw")); battery_set = true; break;
        case BATTERY_STATE: battery_state = static_cast<int>(number(optarg, "battery-state")); battery_set = true; break;
        case ON_BATTERY: p.board.push_back([](sim::Board &b) { b.set_on_battery(true); }); break;
        case CHARGER:
            if (strcmp(optarg, "on") && strcmp(optarg, "off")) fail("--charger: on or off");
            charger_on = strcmp(optarg, "on") == 0;
            charger_set = true;
            break;
        case CHARGE_CODE: charge_code = static_cast<int>(number(optarg, "charge-code")); charger_set = true; break;
        case BATTERY_LOW: p.board.push_back([](sim::Board &b) { b.set_battery_low(true); }); break;
        case SUPPLY_LOST: p.board.push_back([](sim::Board &b) { b.lose_supply(); }); break;
        case WRONG_ECHO: { const long v = number(optarg, "wrong-echo"); p.board.push_back([v](sim::Board &b) { b.wrong_echo(static_cast<int>(v)); }); break; }
        case FAIL_READS: { const long v = number(optarg, "fail-reads"); p.board.push_back([v](sim::Board &b) { b.fail_reads(static_cast<int>(v)); }); break; }
        case NO_ANSWER: p.board.push_back([](sim::Board &b) { b.set_answering(false); }); break;
        case AT: {
            const std::string a = optarg;
            const size_t colon = a.find(':');
            if (colon == std::string::npos) fail("--at: expected SECONDS:EVENT");
            event_action(a.substr(colon + 1));  // check the name now
            p.events.emplace_back(seconds(a.substr(0, colon).c_str(), "at"), a.substr(colon + 1));
            break;
        }
        case POWEROFF_SIGTERM:
            p.world.sigterm_on_poweroff = true;
            if (optarg) p.world.sigterm_delay = seconds(optarg, "poweroff-sigterm");
            break;
        case AS_USER: p.run.as_user = true; break;
        case FAKETIME: p.run.faketime = optarg; break;
        case TIMEOUT: p.run.timeout = seconds(optarg, "timeout"); break;
        case TRACE: p.trace = true; break;
        case SHELL: p.shell = true; break;
        case HELP_ID: fputs(HELP, stdout); return 0;
        default: fputs("Try 'bexo-sim --help'.\n", stderr); return 2;
        }
    }
    for (int i = optind; i < argc; i++) p.command.push_back(argv[i]);
    if (p.shell) {
        const char *sh = getenv("SHELL");
        p.command = {sh && *sh ? sh : "/bin/bash"};
    }
    if (p.command.empty()) {
        fputs("bexo-sim: no command given. Try 'bexo-sim --help'.\n", stderr);
        return 2;
    }

    const std::string problem = sim::enter_world_process(argv);
    if (!problem.empty()) fail("cannot enter a simulated world: " + problem);

    try {
        sim::World world(p.world);
        sim::Board &board = world.board();
        for (auto &f : p.board) f(board);
        if (current_set) board.set_battery_current(current.ma, current.state);
        if (battery_set) board.set_battery(battery_raw, battery_state);
        if (charger_set) board.set_charger(charger_on, charge_code);
        if (p.config) world.set_config(*p.config);
        for (const auto &[file, path] : p.installs) sim::World::write_file(path, slurp(file));
        for (const auto &[at, name] : p.events) {
            auto action = event_action(name);
            world.after(at, [&world, action, name] {
                action(world.board());
                world.note("board: " + name);
            });
        }
        // Ctrl-C reaches the command; the world stays to clean up.
        signal(SIGINT, [](int) {});
        signal(SIGQUIT, [](int) {});
        const sim::Result r = world.run(p.command, p.run);
        if (!r.err.empty()) fputs(r.err.c_str(), stderr);
        if (p.trace) {
            fputs("---- bexo-sim event record (seconds since the world began) ----\n", stderr);
            fputs(sim::format_trace(world.events()).c_str(), stderr);
        }
        if (r.timed_out && r.status < 0) return 124;
        return r.status < 0 ? 1 : r.status;
    } catch (const std::exception &e) {
        fail(e.what());
    }
}
