// SPDX-License-Identifier: GPL-2.0-or-later
// bexod's command line and start sequence in the simulated world: options,
// PID file, board programming at start, GPIO line 27, the service unit and
// the event log.

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include "tests/system/daemon_support.hpp"

namespace {

using namespace daemon_test;

const std::string USAGE =
    "Usage: bexod -status | -start | -stop | -restart\n"
    "  Options:\n"
    "      -status\tStatus\n"
    "      -start\tStart Daemon\n"
    "      -stop\t\tStop Daemon \n"
    "\t  -restart  Restart the Daemon\n"
    "\n";

bool any_bus_or_gpio(const World &w) {
    for (const Event &e : w.events())
        if (sim::is_bus(e) || sim::is_gpio(e)) return true;
    return false;
}

mode_t mode_of(const std::string &path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return 0;
    return info.st_mode & 07777;
}

// ---------------------------------------------------------------- start

TEST(DaemonStart, TimedBootSendsResumeBootOnAndTheStartRecord) {
    World w;
    w.set_config(config("timed_boot=1\ntime_boot=07:30:00\nsleep=1\n"));
    const pid_t daemon = start_daemon(w);
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(w.wait_for_log("BEXOD: Entering Daemon BEXO.", 5)) << dump(w);

    const Events writes = w.board_writes();
    ASSERT_EQ(writes.size(), 3u) << dump(w);
    EXPECT_EQ(writes[0].kind, Kind::SmbusByteWrite);
    EXPECT_EQ(text_of(writes[0].bytes), "44");
    EXPECT_EQ(writes[1].kind, Kind::SmbusByteWrite);
    EXPECT_EQ(text_of(writes[1].bytes), "53");
    EXPECT_EQ(writes[2].kind, Kind::Write);
    EXPECT_EQ(writes[2].bytes, time_record(7, 30, 0, 0, 0, 0));
    expect_pause(writes[0], writes[1], 0.1, "after 'D'");
    expect_pause(writes[1], writes[2], 0.1, "after 'S'");
    EXPECT_TRUE(w.board().timed_boot_armed());
    for (const Event &e : writes) EXPECT_EQ(e.address, 0x36);

    EXPECT_EQ(messages(w), (std::vector<std::string>{
                               "BEXOD:  Activating time controlled boot!",
                               "BEXOD:  Set GPIO to input",
                               "BEXOD: Entering Daemon BEXO.",
                           }));
    EXPECT_EQ(gpio_operations(w), (std::vector<std::string>{"export 27", "direction in", "edge rising"}));
    // The record goes out before the line is claimed.
    EXPECT_LT(index_of(w, write_of(0x54)),
              index_of(w, [](const Event &e) { return e.kind == Kind::GpioExport; }));

    EXPECT_EQ(World::read_file(PID_FILE), std::to_string(daemon) + "\n");
    EXPECT_EQ(mode_of(PID_FILE), 0600u);
    // It goes on watching the line, once a second.
    ASSERT_TRUE(w.wait_for([&] { return gpio_operations(w, 0, true).size() >= 5; }, 10)) << dump(w);
    EXPECT_TRUE(reads(w).empty()) << dump(w);
    EXPECT_TRUE(is_bexod(daemon));
}

class DaemonStartWithoutTimedBoot : public testing::TestWithParam<const char *> {};

TEST_P(DaemonStartWithoutTimedBoot, SendsOnlyResume) {
    World w;
    w.set_config(config(std::string(GetParam()) + "time_boot=07:30:00\nsleep=1\n"));
    ASSERT_GT(start_daemon(w), 0);
    ASSERT_TRUE(w.wait_for_log("BEXOD: Entering Daemon BEXO.", 5)) << dump(w);
    EXPECT_EQ(w.requests(), (std::vector<Bytes>{{0x44}})) << dump(w);
    EXPECT_FALSE(w.board().timed_boot_armed());
    EXPECT_EQ(messages(w), (std::vector<std::string>{"BEXOD:  Set GPIO to input",
                                                     "BEXOD: Entering Daemon BEXO."}));
}

INSTANTIATE_TEST_SUITE_P(Settings, DaemonStartWithoutTimedBoot,
                         testing::Values("", "timed_boot=0\n", "timed_boot=2\n",
                                         "timed_boot=-1\n"));

struct BootTimeCase {
    const char *name;
    const char *setting;  // the time_boot line, or nothing
    Bytes record;
};

class DaemonBootTimeText : public testing::TestWithParam<BootTimeCase> {};

TEST_P(DaemonBootTimeText, FillsTheStartRecordFieldByField) {
    World w;
    w.set_config(config(std::string("timed_boot=1\nsleep=1\n") + GetParam().setting));
    ASSERT_GT(start_daemon(w), 0);
    const std::vector<Bytes> sent = w.requests();
    ASSERT_EQ(sent.size(), 3u) << dump(w);
    EXPECT_EQ(text_of(sent[2]), text_of(GetParam().record));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, DaemonBootTimeText,
    testing::Values(
        BootTimeCase{"OutOfRangeFieldsCutTo8Bits", "time_boot=25:99:300\n",
                     {0x54, 25, 99, 44, 0, 0, 0, 0, 0, 0}},
        BootTimeCase{"RunsOfSeparatorsCountAsOne", "time_boot=:6::05:9\n",
                     {0x54, 6, 5, 9, 0, 0, 0, 0, 0, 0}},
        BootTimeCase{"FieldsWithoutDigitsReadAsZero", "time_boot=x:7y:\n",
                     {0x54, 0, 7, 0, 0, 0, 0, 0, 0, 0}},
        BootTimeCase{"MissingTextGivesZeros", "", {0x54, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        // Nine fields fill the buffer after the command byte; the rest are
        // passed over.
        BootTimeCase{"FieldsBeyondTheBufferIgnored", "time_boot=1:2:3:4:5:6:7:8:9:10:11:12\n",
                     {0x54, 1, 2, 3, 4, 5, 6, 7, 8, 9}}),
    [](const testing::TestParamInfo<BootTimeCase> &info) { return info.param.name; });

struct BusCase {
    const char *name;
    bool bus1;
    const char *address;
    std::string message;
    std::string warning = "";  // the configuration check's line before it, the log's only one
};

class DaemonStartWithoutBus : public testing::TestWithParam<BusCase> {};

TEST_P(DaemonStartWithoutBus, EndsWithStatus1BeforeAnythingElse) {
    sim::Options o;
    o.bus1 = GetParam().bus1;
    World w(o);
    w.set_config(std::string("[General]\n") + GetParam().address + "sleep=1\n");
    const sim::Result r = w.bexod({"-start"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "B.EXO Daemon started..\n");
    EXPECT_EQ(r.err, GetParam().warning + GetParam().message);
    EXPECT_TRUE(w.gpio_events().empty());
    EXPECT_TRUE(w.board_writes().empty());
    EXPECT_EQ(messages(w).size(), GetParam().warning.empty() ? 0u : 1u);
    EXPECT_FALSE(World::exists(PID_FILE));
}

INSTANTIATE_TEST_SUITE_P(
    Buses, DaemonStartWithoutBus,
    testing::Values(
        BusCase{"NoBusNode", false, "address=0x36\n", sim::NO_BUS_NODE_TEXT},
        // A missing address reads as 255, beyond the 7-bit range; the start says so first.
        BusCase{"MissingAddress", true, "", "Unable to select I2C device: Invalid argument\n",
                "BEXOD:  Configuration /opt/bexod/bexo.cfg has no address in [General]; read as missing (0xFF, which the kernel refuses)\n"}),
    [](const testing::TestParamInfo<BusCase> &info) { return info.param.name; });

// A wrong address lets the start go on, as before, but the user who started
// it hears that nothing answers there.
TEST(DaemonStart, NoBoardAtTheAddressIsReportedAndTheStartGoesOn) {
    World w;
    w.set_config("[General]\naddress=0x0F\nsleep=1\n");
    const sim::Result r = w.bexod({"-start"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "B.EXO Daemon started..\n");
    const std::string line = "BEXOD:  No board answers at address 0x0F on /dev/i2c-1 (Remote I/O error); "
                             "check \"address\" in /opt/bexod/bexo.cfg";
    EXPECT_EQ(r.err, line + "\n");
    ASSERT_TRUE(w.wait_for([&] { return is_bexod(w.daemon_pid()); }, 10)) << dump(w);
    EXPECT_EQ(messages(w), (std::vector<std::string>{line, "BEXOD:  Set GPIO to input", "BEXOD: Entering Daemon BEXO."}));
    const pid_t daemon = w.daemon_pid();
    ASSERT_TRUE(w.signal_daemon(SIGTERM));
    EXPECT_EQ(w.wait_exit(daemon, 10), 0);
}

// ---------------------------------------------------------- command line

TEST(DaemonCommandLine, UnknownOptionPrintsUsage) {
    World w;
    w.set_config(config("sleep=1\n"));
    const sim::Result r = w.bexod({"-x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, USAGE);
    EXPECT_NE(r.err.find("-x"), std::string::npos) << r.err;
    const sim::Result ambiguous = w.bexod({"-st"});
    EXPECT_EQ(ambiguous.status, 0);
    EXPECT_EQ(ambiguous.out, USAGE);
    EXPECT_NE(ambiguous.err.find("ambiguous"), std::string::npos) << ambiguous.err;
    EXPECT_FALSE(any_bus_or_gpio(w)) << dump(w);
    EXPECT_FALSE(World::exists(PID_FILE));
}

TEST(DaemonCommandLine, NoOptionOrAPlainWordDoesNothing) {
    World w;
    w.set_config(config("sleep=1\n"));
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{}, std::vector<std::string>{"start"}}) {
        const sim::Result r = w.bexod(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_FALSE(any_bus_or_gpio(w)) << dump(w);
    EXPECT_EQ(w.log(), "");
}

TEST(DaemonCommandLine, NonRootIsRefusedWhateverTheOption) {
    World w;
    w.set_config(config("sleep=1\n"));
    sim::RunOptions user;
    user.as_user = true;
    for (const char *option : {"-start", "-status", "-stop", "-restart"}) {
        const sim::Result r = w.bexod({option}, user);
        EXPECT_EQ(r.status, 0) << option;
        EXPECT_EQ(r.out, "Please start the software with superuser privilegs.\n") << option;
    }
    EXPECT_FALSE(any_bus_or_gpio(w)) << dump(w);
    EXPECT_FALSE(World::exists(PID_FILE));
    EXPECT_EQ(w.log(), "");
}

TEST(DaemonCommandLine, StatusReportsStoppedThenRunningDaemon) {
    World w;
    w.set_config(config("sleep=1\n"));
    EXPECT_EQ(w.bexod({"-status"}).out, "B.EXO Daemon stopped...\n");
    // Options are acted on in order; the start comes after both.
    const sim::Result both = w.bexod({"-status", "-start"});
    EXPECT_EQ(both.status, 0);
    EXPECT_EQ(both.out, "B.EXO Daemon stopped...\nB.EXO Daemon started..\n");
    ASSERT_TRUE(w.wait_for([&] { return w.daemon_pid() > 0; }, 10)) << dump(w);
    const std::string running = "B.EXO Daemon running... PID: " + std::to_string(w.daemon_pid()) + "\n";
    EXPECT_EQ(w.bexod({"-status"}).out, running);
    EXPECT_EQ(w.bexod({"-i"}).out, running);
    EXPECT_EQ(w.bexod({"--status"}).out, running);
}

TEST(DaemonCommandLine, SecondStartWhileRunningChangesNothing) {
    World w;
    w.set_config(config("timed_boot=1\ntime_boot=06:00:00\nsleep=1\n"));
    const pid_t daemon = start_daemon(w);
    ASSERT_GT(daemon, 0);
    const size_t before = w.event_count();
    const std::string log_before = w.log();

    const sim::Result again = w.bexod({"-start"});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, "B.EXO still Daemon running... PID: " + std::to_string(daemon) + "\n");
    EXPECT_EQ(again.err, "");
    EXPECT_EQ(World::read_file(PID_FILE), std::to_string(daemon) + "\n");
    EXPECT_TRUE(w.board_writes(before).empty()) << dump(w);
    EXPECT_TRUE(since(w, before, [](const Event &e) {
                    return e.kind == Kind::I2cOpen || e.kind == Kind::GpioExport ||
                           e.kind == Kind::GpioUnexport;
                }).empty())
        << dump(w);
    EXPECT_EQ(w.log(), log_before);
    EXPECT_TRUE(is_bexod(daemon));
}

TEST(DaemonCommandLine, StopEndsTheDaemonThroughItsStopSequence) {
    World w;
    w.set_config(config("timed_boot=1\ntime_boot=06:00:00\nsleep=1\n"));
    const pid_t daemon = start_daemon(w);
    ASSERT_GT(daemon, 0);
    const size_t before = w.event_count();

    const sim::Result stop = w.bexod({"-stop"});
    EXPECT_EQ(stop.status, 0);
    EXPECT_EQ(stop.out, "B.EXO Daemon stopped!\n");
    EXPECT_EQ(w.wait_exit(daemon, 10), 0) << dump(w);
    EXPECT_FALSE(World::exists(PID_FILE));

    const Events writes = w.board_writes(before);
    ASSERT_EQ(writes.size(), 2u) << dump(w);
    EXPECT_EQ(text_of(writes[0].bytes), "43");
    EXPECT_EQ(writes[1].bytes.size(), 10u);
    EXPECT_EQ(text_of(Bytes(writes[1].bytes.begin(), writes[1].bytes.begin() + 4)), "54 06 00 00");
    EXPECT_EQ(shim_calls(w, before), (std::vector<std::string>{"sudo rm -r /var/run/bexod.pid"}));
    EXPECT_EQ(gpio_operations(w, before), (std::vector<std::string>{"direction out", "value-write 1"}));
    const std::vector<std::string> log = messages(w);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "BEXOD:  Set GPIO to output");
    EXPECT_EQ(log.back(), "BEXOD: Received SIGTERM signal.");
    // The line stays with the daemon's last word: an output driven high.
    EXPECT_TRUE(w.gpio().exported);
    EXPECT_TRUE(w.gpio().output);
    EXPECT_EQ(w.gpio().level, 1);

    EXPECT_EQ(w.bexod({"-stop"}).out, "B.EXO Daemon still stopped...\n");
    EXPECT_EQ(w.bexod({"-e"}).out, "B.EXO Daemon still stopped...\n");
    const sim::Result restart = w.bexod({"-restart"});
    EXPECT_EQ(restart.out, "B.EXO Daemon not running...\n");
    EXPECT_FALSE(World::exists(PID_FILE));
}

TEST(DaemonCommandLine, RestartStopsTheOldDaemonAndStartsANewOne) {
    World w;
    w.set_config(config("sleep=1\n"));
    const pid_t old = start_daemon(w);
    ASSERT_GT(old, 0);
    const size_t before = w.event_count();

    const sim::Result restart = w.bexod({"-restart"});
    EXPECT_EQ(restart.status, 0);
    EXPECT_EQ(restart.out, "B.EXO Daemon stopped!\nB.EXO Daemon started..\n");
    EXPECT_GE(restart.seconds, 1.0);
    EXPECT_EQ(w.wait_exit(old, 10), 0) << dump(w);
    ASSERT_TRUE(w.wait_for([&] { return w.daemon_pid() > 0 && w.daemon_pid() != old; }, 10))
        << dump(w);
    // The old daemon's stop comes first, then the new start re-exports the line.
    EXPECT_EQ(gpio_operations(w, before),
              (std::vector<std::string>{"direction out", "value-write 1", "unexport 27",
                                        "export 27", "direction in", "edge rising"}));
    EXPECT_EQ(w.commands(before), (Bytes{0x43, 0x44}));
    const std::vector<std::string> log = messages(w);
    EXPECT_EQ(count(log, "BEXOD: Entering Daemon BEXO."), 2u);
    EXPECT_EQ(count(log, "BEXOD: Received SIGTERM signal."), 1u);
    EXPECT_EQ(w.bexod({"-status"}).out,
              "B.EXO Daemon running... PID: " + std::to_string(w.daemon_pid()) + "\n");
}

// An old daemon that never lets go of its PID file (here a process that
// holds the lock and ignores SIGTERM): -restart waits half a minute, then
// says so and starts nothing, instead of a new daemon that dies on the lock.
TEST(DaemonCommandLine, RestartGivesUpWhenTheOldDaemonNeverLetsGo) {
    World w;
    w.set_config(config("sleep=1\n"));
    World::write_file(PID_FILE, "");
    const pid_t holder = fork();
    if (holder == 0) {
        signal(SIGTERM, SIG_IGN);
        const int fd = open(PID_FILE, O_RDWR);
        struct flock whole = {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        fcntl(fd, F_SETLK, &whole);
        for (;;) pause();
    }
    World::write_file(PID_FILE, std::to_string(holder) + "\n");
    ASSERT_TRUE(w.wait_for([&] { return w.bexod({"-status"}).out.find("running") != std::string::npos; }, 5));
    sim::RunOptions fast;
    fast.faketime = "+0 x10";
    const std::vector<std::vector<std::string>> restarts{
        {"bexod", "-restart"},
        // SIGINT cuts each pause short; the wait is counted on the clock.
        // (Sent once bexod has said it stopped the old daemon: its handler
        // is in place by then.)
        {"sh", "-c",
         "bexod -restart >/run/restart.out & p=$!; until grep -q stopped /run/restart.out; do sleep 0.01; done; "
         "while kill -INT $p 2>/dev/null; do sleep 0.1; done; wait $p; s=$?; cat /run/restart.out; exit $s"}};
    for (const auto &command : restarts) {
        SCOPED_TRACE(command.back());
        const sim::Result restart = w.run(command, fast);
        EXPECT_EQ(restart.status, 1);
        EXPECT_EQ(restart.out, "B.EXO Daemon stopped!\nB.EXO Daemon (PID " + std::to_string(holder) +
                                   ") did not stop within 30 seconds; nothing started.\n");
        EXPECT_GE(restart.seconds, 2.5) << "thirty seconds at ten times the speed";
    }
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(w.board_writes().empty());
    EXPECT_TRUE(w.gpio_events().empty());
}

// -------------------------------------------------------- systemd's daemon

// The unit installed and enabled, as "autostart=1" and systemctl leave it,
// or the package's unit after "systemctl enable bexod".
void install_enabled_unit(const char *unit_file = UNIT_FILE) {
    World::write_file(unit_file, "[Unit]\n");
    std::filesystem::create_directories("/etc/systemd/system/multi-user.target.wants");
    std::filesystem::create_symlink(unit_file, "/etc/systemd/system/multi-user.target.wants/bexod.service");
}

// A daemon started from a shell while the unit was installed but not yet
// enabled; then the unit is enabled.
pid_t start_then_enable_unit(World &w) {
    w.set_config(config("autostart=1\nsleep=1\n"));
    World::write_file(UNIT_FILE, "[Unit]\n");
    const pid_t daemon = start_daemon(w);
    install_enabled_unit();
    return daemon;
}

bool any_bus_traffic(const World &w, size_t from = 0) {
    return !since(w, from, [](const Event &e) { return sim::is_bus(e); }).empty();
}

// From a shell, with the unit enabled, systemd starts the daemon; the unit's
// own start, inside its cgroup, is the one that runs it.
TEST(DaemonService, StartFromAShellIsHandedToSystemd) {
    World w;
    w.set_config(config("autostart=1\nsleep=1\n"));
    install_enabled_unit();
    const sim::Result r = w.bexod({"-start"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "B.EXO Daemon started..\n");
    EXPECT_EQ(shim_calls(w), (std::vector<std::string>{"sudo systemctl start bexod", "systemctl start bexod"}));
    EXPECT_FALSE(World::exists(PID_FILE));
    EXPECT_FALSE(any_bus_traffic(w));

    w.set_shim_status("systemctl", 5);
    const sim::Result failed = w.bexod({"-start"});
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.out, "B.EXO Daemon: \"sudo systemctl start bexod\" failed\n");

    put_in_unit(w, "self");
    const size_t before = w.event_count();
    const pid_t daemon = start_daemon(w);
    ASSERT_GT(daemon, 0);
    EXPECT_TRUE(shim_calls(w, before).empty()) << "the unit's own start runs the daemon";
    ASSERT_TRUE(w.signal_daemon(SIGTERM));
    EXPECT_EQ(w.wait_exit(daemon, 10), 0);
}

// The package's unit, enabled with "systemctl enable bexod", counts as much.
TEST(DaemonService, StartFromAShellIsHandedToSystemdForThePackagesUnit) {
    World w;
    w.set_config(config("autostart=0\nsleep=1\n"));
    install_enabled_unit(PACKAGE_UNIT_FILE);
    EXPECT_EQ(w.bexod({"-start"}).out, "B.EXO Daemon started..\n");
    EXPECT_EQ(shim_calls(w), (std::vector<std::string>{"sudo systemctl start bexod", "systemctl start bexod"}));
    EXPECT_FALSE(any_bus_traffic(w));
}

// The first start with autostart=1 installs and enables the unit and has
// systemd start it: the invoking process never touches the board or the
// line, so the unit's own start is the only one.
TEST(DaemonService, FirstStartWithAutostartInstallsTheUnitAndLeavesTheStartToSystemd) {
    for (const int systemctl_status : {0, 5}) {
        SCOPED_TRACE(systemctl_status);
        World w;
        w.set_config(config("autostart=1\nsleep=1\n"));
        World::write_file(UNIT_SOURCE, "[Unit]\nDescription=B.EXO UPS daemon\n");
        w.set_shim_status("systemctl", systemctl_status);
        const sim::Result r = w.bexod({"-start"});
        EXPECT_EQ(shim_calls(w, 0, "sudo"),
                  (std::vector<std::string>{"sudo cp /opt/bexod/start/bexod.service /etc/systemd/system/",
                                            "sudo chmod +x /etc/systemd/system/bexod.service",
                                            "sudo systemctl daemon-reload", "sudo systemctl enable bexod.service",
                                            "sudo systemctl start bexod"}));
        EXPECT_EQ(World::read_file(UNIT_FILE), "[Unit]\nDescription=B.EXO UPS daemon\n");
        EXPECT_FALSE(any_bus_traffic(w)) << dump(w);
        EXPECT_TRUE(w.gpio_events().empty());
        EXPECT_FALSE(World::exists(PID_FILE));
        EXPECT_TRUE(messages(w).empty());
        if (systemctl_status == 0) {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, "B.EXO Daemon started..\n");
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "B.EXO Daemon: \"sudo systemctl start bexod\" failed\n");
        }
    }
}

// A daemon started from a shell before the unit was enabled is not the
// unit's: -stop has systemd stop its own and then ends this one, -restart
// ends it before systemd starts the unit's (which would otherwise adopt it
// through the PID file and never read new settings).
// The same holds when the unit is only enabled by the new settings (bexo
// -auto 1 after a start from a shell): -restart installs it and hands over,
// as -start would.
TEST(DaemonService, StopAndRestartAlsoEndADaemonStartedFromAShell) {
    for (const std::string option : {"-stop", "-restart", "-restart after bexo -auto 1"}) {
        SCOPED_TRACE(option);
        World w;
        const bool enabled_by_settings = option.size() > 8;
        pid_t stray = 0;
        if (enabled_by_settings) {
            w.set_config(config("autostart=0\nsleep=1\n"));
            stray = start_daemon(w);
            w.set_config(config("autostart=1\nsleep=1\n"));
            World::write_file(UNIT_SOURCE, "[Unit]\n");
        } else {
            stray = start_then_enable_unit(w);
        }
        ASSERT_GT(stray, 0);
        const size_t before = w.event_count();
        const sim::Result r = w.bexod({option.substr(0, 8)});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(w.wait_exit(stray, 10), 0) << dump(w);
        if (enabled_by_settings) {
            EXPECT_EQ(shim_calls(w, before, "sudo"),
                      (std::vector<std::string>{"sudo cp /opt/bexod/start/bexod.service /etc/systemd/system/",
                                                "sudo chmod +x /etc/systemd/system/bexod.service",
                                                "sudo systemctl daemon-reload", "sudo systemctl enable bexod.service",
                                                "sudo rm -r /var/run/bexod.pid", "sudo systemctl restart bexod"}));
        } else if (option == "-stop") {
            EXPECT_EQ(r.out, "B.EXO Daemon stopped!\n");
            EXPECT_EQ(shim_calls(w, before), (std::vector<std::string>{"sudo systemctl stop bexod", "systemctl stop bexod",
                                                                       "sudo rm -r /var/run/bexod.pid"}));
        } else {
            EXPECT_EQ(r.out, "B.EXO Daemon stopped!\nB.EXO Daemon started..\n");
            EXPECT_EQ(shim_calls(w, before), (std::vector<std::string>{"sudo rm -r /var/run/bexod.pid",
                                                                       "sudo systemctl restart bexod",
                                                                       "systemctl restart bexod"}));
        }
        EXPECT_EQ(count(messages(w), "BEXOD: Entering Daemon BEXO."), 1u) << "nothing started from here";
    }
}

TEST(DaemonService, RestartOfTheUnitsOwnDaemonIsLeftToSystemd) {
    World w;
    const pid_t daemon = start_then_enable_unit(w);
    ASSERT_GT(daemon, 0);
    put_in_unit(w, std::to_string(daemon));
    const size_t before = w.event_count();
    const sim::Result r = w.bexod({"-restart"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "B.EXO Daemon stopped!\nB.EXO Daemon started..\n");
    EXPECT_EQ(shim_calls(w, before), (std::vector<std::string>{"sudo systemctl restart bexod", "systemctl restart bexod"}));
    EXPECT_TRUE(alive(daemon)) << "only systemd signals the unit's daemon";
    EXPECT_FALSE(any_bus_traffic(w, before));
    ASSERT_TRUE(w.signal_daemon(SIGTERM));
    EXPECT_EQ(w.wait_exit(daemon, 10), 0);
}

// ---------------------------------------------------- stale PID files

// A process of the test's own, in a process group of its own, that only
// waits to be killed.
pid_t bystander() {
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        for (;;) pause();
    }
    setpgid(pid, pid);
    return pid;
}

struct StaleCase {
    const char *name;
    int kind;  // 0: text as given, 1: the bystander's id, 2: minus its group
    const char *text;
};

class DaemonStalePidFile : public testing::TestWithParam<StaleCase> {};

TEST_P(DaemonStalePidFile, CountsAsStoppedAndIsNeverSignalled) {
    World w;
    w.set_config(config("sleep=1\n"));
    const pid_t other = bystander();
    std::string text = GetParam().text;
    if (GetParam().kind == 1) text = std::to_string(other) + "\n";
    if (GetParam().kind == 2) text = "-" + std::to_string(other) + "\n";
    World::write_file(PID_FILE, text);

    EXPECT_EQ(w.bexod({"-status"}).out, "B.EXO Daemon stopped...\n");
    const sim::Result stop = w.bexod({"-stop"});
    EXPECT_EQ(stop.status, 0);  // not signalled itself (a pid of 0 names its own group)
    EXPECT_EQ(stop.out, "B.EXO Daemon still stopped...\n");
    const sim::Result restart = w.bexod({"-restart"});
    EXPECT_EQ(restart.status, 0);
    EXPECT_EQ(restart.out, "B.EXO Daemon not running...\n");
    EXPECT_TRUE(alive(other));
    EXPECT_TRUE(since(w, 0, [](const Event &e) { return e.kind == Kind::I2cOpen; }).empty());

    // A start takes the file over.
    const pid_t daemon = start_daemon(w);
    ASSERT_GT(daemon, 0);
    EXPECT_EQ(World::read_file(PID_FILE), std::to_string(daemon) + "\n");
    EXPECT_TRUE(alive(other));
    kill(other, SIGKILL);
    w.wait_exit(other, 5);
}

INSTANTIATE_TEST_SUITE_P(
    Files, DaemonStalePidFile,
    testing::Values(StaleCase{"Empty", 0, ""}, StaleCase{"NoNumber", 0, "bexod\n"},
                    StaleCase{"Zero", 0, "0\n"}, StaleCase{"LiveProcessWithoutTheLock", 1, ""},
                    StaleCase{"NegativeProcessGroup", 2, ""}),
    [](const testing::TestParamInfo<StaleCase> &info) { return info.param.name; });

// ----------------------------------------------------------- service unit

struct UnitCase {
    const char *name;
    const char *setting;
    bool unit_installed_before;
    std::vector<std::string> sudo_calls;
    bool unit_installed_after;
    bool package_unit = false;  // the package's copy in /lib/systemd/system, not enabled
    bool inside_unit = false;   // started by systemd, in the unit's cgroup
};

class DaemonServiceUnit : public testing::TestWithParam<UnitCase> {};

TEST_P(DaemonServiceUnit, InstalledOrRemovedAtStart) {
    const UnitCase &c = GetParam();
    World w;
    w.set_config(config(std::string(c.setting) + "sleep=1\n"));
    const std::string unit = "[Unit]\nDescription=B.EXO UPS daemon\n";
    World::write_file(UNIT_SOURCE, unit);
    if (c.unit_installed_before) World::write_file(UNIT_FILE, unit);
    if (c.package_unit) World::write_file(PACKAGE_UNIT_FILE, unit);
    if (c.inside_unit) put_in_unit(w, "self");

    ASSERT_GT(start_daemon(w), 0);
    EXPECT_EQ(shim_calls(w, 0, "sudo"), c.sudo_calls) << dump(w);
    EXPECT_EQ(World::exists(UNIT_FILE), c.unit_installed_after);
    EXPECT_EQ(World::exists(PACKAGE_UNIT_FILE), c.package_unit) << "the package's unit is dpkg's";
    const Events sudo = since(w, 0, [](const Event &e) { return e.kind == Kind::Shim && e.text == "sudo"; });
    if (c.sudo_calls.size() == 4) {
        expect_pause(sudo[0], sudo[1], 1.0, "after the copy");
        EXPECT_EQ(World::read_file(UNIT_FILE), unit);
        EXPECT_NE(mode_of(UNIT_FILE) & 0111, 0u);
        EXPECT_EQ(shim_calls(w, 0, "systemctl"),
                  (std::vector<std::string>{"systemctl daemon-reload", "systemctl enable bexod.service"}));
    }
    for (const Event &e : sudo) EXPECT_EQ(e.uid, 0);
    // All of it happens before the daemon detaches.
    const std::vector<std::string> log = messages(w);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "BEXOD: Entering Daemon BEXO.");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DaemonServiceUnit,
    testing::Values(
        UnitCase{"OnAndMissingInstallsInsideTheUnit", "autostart=1\n", false,
                 {"sudo cp /opt/bexod/start/bexod.service /etc/systemd/system/",
                  "sudo chmod +x /etc/systemd/system/bexod.service",
                  "sudo systemctl daemon-reload", "sudo systemctl enable bexod.service"},
                 true, true, true},
        UnitCase{"OnAndPresentDoesNothing", "autostart=1\n", true, {}, true},
        UnitCase{"OffAndPresentRemoves", "autostart=0\n", true,
                 {"sudo systemctl disable bexod.service",
                  "sudo rm -r /etc/systemd/system/bexod.service"},
                 false},
        UnitCase{"MissingSettingAndPresentRemoves", "", true,
                 {"sudo systemctl disable bexod.service",
                  "sudo rm -r /etc/systemd/system/bexod.service"},
                 false},
        UnitCase{"OffAndMissingDoesNothing", "autostart=0\n", false, {}, false},
        // A value that is no number says nothing about the unit.
        UnitCase{"UnreadableSettingLeavesTheUnit", "autostart=yes\n", true, {}, true},
        UnitCase{"OffLeavesThePackagesUnit", "autostart=0\n", false, {}, false, true},
        UnitCase{"OffRemovesOnlyTheCopyInEtc", "autostart=0\n", true,
                 {"sudo systemctl disable bexod.service",
                  "sudo rm -r /etc/systemd/system/bexod.service"},
                 false, true}),
    [](const testing::TestParamInfo<UnitCase> &info) { return info.param.name; });

// ------------------------------------------------------ configuration check

const std::string FLAWED = "[General]\naddress=0x36\nsleep=1\ntimer=abc\ntime_shutdown=25:99:00\n[Genral]\n[NUT]\nexprot=1\n";
const std::vector<std::string> FLAWED_LINES = {
    "BEXOD:  Configuration /opt/bexod/bexo.cfg line 4: timer=abc in [General] is not a whole 32-bit number; read as missing (-1)",
    "BEXOD:  Configuration /opt/bexod/bexo.cfg line 5: time_shutdown=25:99:00 in [General] is not a time HH:mm:ss",
    "BEXOD:  Configuration /opt/bexod/bexo.cfg line 6: unknown section [Genral]; nothing in it is read",
    "BEXOD:  Configuration /opt/bexod/bexo.cfg line 8: unknown key exprot=1 in [NUT]; not read"};

TEST(DaemonConfigFile, CheckNamesEachProblemForAnyUserAndExitsWith1) {
    World w;
    w.set_config(FLAWED);
    sim::RunOptions user;
    user.as_user = true;
    for (const sim::RunOptions &options : {sim::RunOptions{}, user}) {
        const sim::Result r = w.bexod({"-check"}, options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(lines(r.out), FLAWED_LINES);
        EXPECT_EQ(r.err, "");
    }
    w.set_config(config("sleep=1\n"));
    const sim::Result sound = w.bexod({"-check"}, user);
    EXPECT_EQ(sound.status, 0);
    EXPECT_EQ(sound.out + sound.err, "");
    EXPECT_FALSE(any_bus_or_gpio(w)) << dump(w);
    EXPECT_EQ(w.log(), "");
}

TEST(DaemonConfigFile, StartWarnsOnStandardErrorInTheLogAndInTheJournal) {
    World w;
    w.set_config(FLAWED);
    const sim::Result r = w.bexod({"-start"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(lines(r.err), FLAWED_LINES);
    ASSERT_TRUE(w.wait_for_log("BEXOD: Entering Daemon BEXO.", 10)) << dump(w);
    std::vector<std::string> expected = FLAWED_LINES;
    expected.insert(expected.end(), {"BEXOD:  Set GPIO to input", "BEXOD: Entering Daemon BEXO."});
    EXPECT_EQ(messages(w), expected);
    // Each line reaches the journal just after the log file.
    w.wait_for([&] { return w.syslog().size() >= expected.size(); }, 5);
    ASSERT_EQ(syslog_entries(w).size(), expected.size());
}

// A FIFO, a folder or a link to no file in place of bexo.cfg is refused at
// once by both programs, with one line and status 1; nothing waits on the
// FIFO, and the link is not replaced by a file.
TEST(DaemonConfigFile, FileThatIsNotRegularIsRefusedAtOnceByBothPrograms) {
    const std::tuple<const char *, const char *, std::string> files[] = {
        {"mkfifo", "-p", " is a FIFO, not a regular file\n"}, {"mkdir", "-d", " is a directory, not a regular file\n"},
        {"ln -s /opt/none", "-L", " is a symbolic link to a missing file\n"}};
    sim::RunOptions brief;
    brief.timeout = 5;
    for (const auto &[make, kind, what] : files) {
        World w;
        ASSERT_EQ(w.run({"sh", "-c", std::string("rm -f /opt/bexod/bexo.cfg && ") + make + " /opt/bexod/bexo.cfg"}).status, 0);
        SCOPED_TRACE(make);
        const std::string line = "Configuration /opt/bexod/bexo.cfg" + what;
        for (const auto &[r, out, err] : {std::tuple{w.bexod({"-check"}, brief), "BEXOD:  " + line, std::string()},
                                          {w.bexod({"-start"}, brief), std::string(), "BEXOD:  " + line},
                                          {w.bexo({"-timer", "40"}, brief), line, std::string()}}) {
            EXPECT_EQ(std::tuple(r.status, r.timed_out, r.out, r.err), std::tuple(1, false, out, err));
        }
        EXPECT_EQ(w.run({"test", kind, "/opt/bexod/bexo.cfg"}).status, 0) << "left as it was";
        EXPECT_FALSE(any_bus_or_gpio(w)) << dump(w);
    }
}

// timer=abc read as 0 powered the Pi off after a blip; read as missing, there is no countdown.
TEST(DaemonConfigFile, UnreadableTimerMeansNoCountdown) {
    World w;
    w.set_config(config("timer=abc\nsleep=1\n"));
    ASSERT_GT(start_daemon(w), 0);
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage loss!", 10)) << dump(w);
    w.after(2, [&] { w.board().restore_supply(); });
    EXPECT_TRUE(w.wait_for_log("BEXOD:  Voltage present!", 15)) << dump(w);
    EXPECT_TRUE(shim_calls(w, 0, "systemctl").empty()) << dump(w);
    const Bytes sent = w.commands();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x49), 0) << "no 'I'";
}

// ------------------------------------------------------------------- GPIO

TEST(DaemonGpio, LineLeftExportedIsUnexportedAndExportedAgain) {
    World w;
    w.set_config(config("sleep=1\n"));
    // As an earlier daemon leaves it: exported, an output driven high.
    const std::string gpio = w.testbed_root() + "/sys/class/gpio";
    World::write_file(gpio + "/export", "27");
    World::write_file(gpio + "/gpio27/direction", "out");
    World::write_file(gpio + "/gpio27/value", "1");
    const size_t before = w.event_count();

    ASSERT_GT(start_daemon(w), 0);
    ASSERT_TRUE(w.wait_for([&] { return gpio_operations(w, before, true).size() >= 5; }, 5))
        << dump(w);
    const std::vector<std::string> ops = gpio_operations(w, before, true);
    EXPECT_EQ(std::vector<std::string>(ops.begin(), ops.begin() + 5),
              (std::vector<std::string>{"unexport 27", "export 27", "direction in", "edge rising", "value-read 0"}));
    EXPECT_FALSE(w.gpio().output);
}

TEST(DaemonGpio, EventLineAtChipBase512IsGpio539) {
    sim::Options o;
    o.gpio_base = 512;
    World w(o);
    w.set_config(config("sleep=1\ntimer=-1\n"));
    ASSERT_GT(start_daemon(w), 0);
    EXPECT_EQ(gpio_operations(w), (std::vector<std::string>{"export 539", "direction in", "edge rising"}));
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage loss!", 10)) << dump(w);
    for (const Event &e : w.gpio_events()) EXPECT_EQ(e.line, 539) << e.str();
    EXPECT_TRUE(w.gpio().output);
    EXPECT_EQ(w.gpio().level, 1);
}

TEST(DaemonGpio, FailedExportEndsTheStartWithStatus1) {
    World w;
    w.set_config(config("sleep=1\n"));
    NoSysfsGpio hidden(w);
    ASSERT_FALSE(hidden.path.empty()) << "cannot mount over " << w.testbed_root();
    const sim::Result r = w.bexod({"-start"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "B.EXO Daemon started..\n");
    EXPECT_EQ(r.err, "Kann nicht auf export schreiben!\n: No such file or directory\n");
    EXPECT_EQ(messages(w), (std::vector<std::string>{"BEXOD:  Unable to export GPIO"}));
    EXPECT_FALSE(World::exists(PID_FILE));
    EXPECT_EQ(w.requests(), (std::vector<Bytes>{{0x44}}));
}

// ----------------------------------------------------------- descriptors

std::string link_of(const std::string &path) {
    char target[256] = {0};
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n < 0 ? "" : std::string(target, static_cast<size_t>(n));
}

TEST(DaemonDescriptors, StandardStreamsAreDevNullAndCommandsInheritNeitherThePidFileNorTheLine) {
    World w;
    w.set_config(config("sleep=1\n", "command1=ls -l /proc/$$/fd > /var/log/fds.txt\n"));
    const pid_t pid = start_daemon(w);
    ASSERT_GT(pid, 0);
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
    // The pipes of the invocation close a moment before /dev/null comes.
    const auto on_null = [&] {
        for (const char *stream : {"0", "1", "2"})
            if (link_of(fds + stream) != "/dev/null") return false;
        return true;
    };
    EXPECT_TRUE(w.wait_for(on_null, 5)) << link_of(fds + "0") << " " << link_of(fds + "1") << " "
                                        << link_of(fds + "2");
    // The PID file stays open, and so locked, for the daemon's life; the
    // line's value file stays open for its edge.
    const auto open_file = [&](const std::string &ending) {
        for (int fd = 3; fd < 64; fd++) {
            const std::string target = link_of(fds + std::to_string(fd));
            if (target.size() >= ending.size() && target.compare(target.size() - ending.size(), ending.size(), ending) == 0)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(open_file(PID_FILE));
    EXPECT_TRUE(w.wait_for([&] { return open_file("/gpio27/value"); }, 5));

    w.board().press_button(1);
    ASSERT_TRUE(w.wait_for_shim("systemctl", 10, "poweroff")) << dump(w);
    const std::string listing = World::read_file("/var/log/fds.txt");
    EXPECT_NE(listing.find("/dev/null"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("bexod.pid"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("gpio27"), std::string::npos) << listing;
}

// ------------------------------------------------------------- event log

TEST(DaemonEventLog, EntriesCarryTheAsctimeStamp) {
    World w;
    w.set_config(config("sleep=1\n"));
    sim::RunOptions at;
    at.faketime = "@2026-12-07 06:05:09";
    ASSERT_GT(start_daemon(w, at), 0);
    const std::vector<std::string> entries = lines(w.log());
    ASSERT_EQ(entries.size(), 2u) << w.log();
    for (const std::string &entry : entries) {
        // Seconds may have ticked on a slow machine.
        EXPECT_TRUE(entry.rfind("Mon Dec  7 06:05:09 2026 - ", 0) == 0 ||
                    entry.rfind("Mon Dec  7 06:05:10 2026 - ", 0) == 0)
            << entry;
    }
    EXPECT_EQ(entries[0].substr(STAMP_LENGTH), "BEXOD:  Set GPIO to input");
    EXPECT_EQ(entries[1].substr(STAMP_LENGTH), "BEXOD: Entering Daemon BEXO.");
}

TEST(DaemonEventLog, CreatedWithMode0640WhateverTheCreationMask) {
    World w;
    w.set_config(config("sleep=1\n"));
    // The invoking process creates the log under a narrow mask.
    const sim::Result start = w.run({"sh", "-c", "umask 077; exec bexod -start"});
    ASSERT_EQ(start.status, 0) << start.err;
    ASSERT_TRUE(w.wait_for([&] { return w.daemon_pid() > 0; }, 10)) << dump(w);
    EXPECT_EQ(mode_of(LOG_FILE), 0640u);

    // The daemon itself runs with a mask of 0; a deleted log comes back.
    ASSERT_EQ(unlink(LOG_FILE), 0);
    ASSERT_TRUE(w.signal_daemon(SIGHUP));
    ASSERT_TRUE(w.wait_for_log("BEXOD: Received SIGHUP signal.", 10)) << dump(w);
    EXPECT_EQ(mode_of(LOG_FILE), 0640u);
    const std::vector<std::string> log = messages(w);
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(log.begin(), log.begin() + 2),
              (std::vector<std::string>{"BEXOD:  Set GPIO to output", "BEXOD: Received SIGHUP signal."}));
}

// ---------------------------------------------------------- cycle pause

struct PauseCase {
    const char *name;
    const char *setting;
    double seconds;
    sim::GpioEdge edge = sim::GpioEdge::Works;
    bool spikes = false;  // 20 a second, too short for any read to see
};

// The look every `sleep` seconds keeps its moments: spikes on the line cost
// one look more per pause at most. Two looks after the spikes (the last one
// no spike woke), the board's rise is seen at once where the kernel gives
// the edge, else at the next look.
class DaemonCyclePause : public testing::TestWithParam<PauseCase> {};

TEST_P(DaemonCyclePause, LooksEverySleepSecondsAndWhenTheLineRises) {
    const PauseCase &c = GetParam();
    sim::Options o;
    o.gpio_edge = c.edge;
    World w(o);
    w.set_config(config(std::string(c.setting) + "timer=-1\n"));
    ASSERT_GT(start_daemon(w), 0);
    std::atomic<bool> spiking{c.spikes};
    std::thread spikes([&] {
        for (; spiking; std::this_thread::sleep_for(std::chrono::milliseconds(50))) w.spike_gpio_line();
    });
    const auto value_read = [](const Event &e) { return e.kind == Kind::GpioValueRead; };
    const size_t per_pause = c.spikes ? 2 : 1;
    const auto looks_from = [&](size_t from, size_t n) {
        return w.wait_for([&] { return since(w, from, value_read).size() >= n; }, (n + 1) * c.seconds + 5);
    };
    const bool looked = looks_from(0, 2 * per_pause + 1);
    spiking = false;
    spikes.join();
    ASSERT_TRUE(looked && looks_from(w.event_count(), c.spikes ? 2 : 0)) << dump(w);
    const Events polls = since(w, 0, value_read);
    expect_pause(polls[0], polls[per_pause], c.seconds, "between two periodic looks");
    expect_pause(polls[per_pause], polls[2 * per_pause], c.seconds, "between two periodic looks");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const size_t from = w.event_count();
    const double rose = w.now();
    w.board().lose_supply();
    const auto alert = w.wait_for_event(write_of(0x43), c.seconds + 5, from);
    ASSERT_TRUE(alert) << dump(w);
    if (c.edge == sim::GpioEdge::Works) EXPECT_LE(alert->t - rose, sim::scaled(0.5)) << dump(w);
    else expect_pause(polls.back(), *alert, c.seconds, "from the last look to the take-over");
}

INSTANTIATE_TEST_SUITE_P(
    Settings, DaemonCyclePause,
    testing::Values(PauseCase{"Missing", "", 1.0}, PauseCase{"Negative", "sleep=-5\n", 1.0},
                    // 0, and a word that reads as 0, would poll the line without a pause.
                    PauseCase{"Zero", "sleep=0\n", 1.0}, PauseCase{"NotANumber", "sleep=soon\n", 1.0},
                    PauseCase{"TwoSeconds", "sleep=2\n", 2.0},
                    PauseCase{"FiveSecondsWokenByTheEdge", "sleep=5\n", 5.0},
                    PauseCase{"SpikesOnTheLine", "sleep=2\n", 2.0, sim::GpioEdge::Works, true},
                    PauseCase{"NoEdgeFile", "sleep=2\n", 2.0, sim::GpioEdge::Missing},
                    PauseCase{"EdgeRefused", "sleep=2\n", 2.0, sim::GpioEdge::Refused}),
    [](const testing::TestParamInfo<PauseCase> &info) { return info.param.name; });

}  // namespace
