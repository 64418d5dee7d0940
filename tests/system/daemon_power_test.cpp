// SPDX-License-Identifier: GPL-2.0-or-later
// bexod's monitoring cycle in the simulated world: supply loss and return,
// the countdown, low battery, the buttons, the mail script, the daily
// shutdown and a board that does not answer.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>

#include <filesystem>

#include "tests/system/daemon_support.hpp"

namespace {

using namespace daemon_test;

const char USER_COMMANDS[] =
    "command1=sim-mark one\ncommand2=\ncommand3=sim-mark three\ncommand5=sim-mark five\n";

// A command the daemon would cut at 99 bytes, and so never runs.
std::string too_long(const std::string &command) { return command + " || true" + std::string(100, ' ') + "|| true"; }

const std::vector<std::string> USER_COMMAND_CALLS{"sim-mark one", "sim-mark three",
                                                  "sim-mark five"};

const std::vector<std::string> START_LOG{"BEXOD:  Activating time controlled boot!",
                                         "BEXOD:  Set GPIO to input",
                                         "BEXOD: Entering Daemon BEXO."};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// "22:15:04" of the entry carrying `message` as hour, minute, second.
struct Clock {
    int h = -1, m = -1, s = -1;
};
Clock clock_of(const World &w, const std::string &message) {
    const std::string stamp = stamp_of(w, message);
    Clock c;
    if (stamp.size() == 24) {
        c.h = std::stoi(stamp.substr(11, 2));
        c.m = std::stoi(stamp.substr(14, 2));
        c.s = std::stoi(stamp.substr(17, 2));
    }
    return c;
}

// A record sent before a power-off: the boot time 06:00:00 and the time of
// day the log shows for `message` (a second apart at most).
void expect_power_off_record(const World &w, const Bytes &record, const std::string &message) {
    const Clock c = clock_of(w, message);
    ASSERT_GE(c.s, 0) << "no entry '" << message << "'";
    ASSERT_EQ(record.size(), 10u);
    EXPECT_EQ(text_of(record), text_of(time_record(6, 0, 0, c.h, c.m, record[6])));
    const int apart = (record[6] - c.s + 60) % 60;
    EXPECT_TRUE(apart == 0 || apart == 1 || apart == 59)
        << "second " << int(record[6]) << ", log " << c.s;
}

Events signals(const World &w) {
    return since(w, 0, [](const Event &e) { return e.kind == Kind::Signal; });
}

// A started daemon with timed boot at 06:00:00, the clock at 22:15:00, the
// user commands set and the system's shutdown sending SIGTERM.
struct Running {
    World w;
    pid_t pid = 0;
    size_t start = 0;  // record index after the start

    explicit Running(const std::string &general, sim::Options o = {}) : w(o) {
        w.set_config(config("timed_boot=1\ntime_boot=06:00:00\nsleep=1\n" + general, USER_COMMANDS));
        w.sigterm_on_poweroff(true, 0.5);
        sim::RunOptions at;
        at.faketime = "@2026-12-08 22:15:00";
        pid = start_daemon(w, at);
        start = w.event_count();
    }

    void wait_log(const std::string &message, double seconds = 20) {
        ASSERT_TRUE(w.wait_for_log(message, seconds)) << "no '" << message << "'\n" << dump(w);
    }

    // Waits for the end that a power-off brings, and checks its stop sequence.
    void expect_stopped_by_shutdown() {
        wait_log("BEXOD: Received SIGTERM signal.");
        EXPECT_EQ(w.wait_exit(pid, 10), 0) << dump(w);
        EXPECT_FALSE(World::exists(PID_FILE));
        const Events sig = signals(w);
        ASSERT_EQ(sig.size(), 1u) << dump(w);
        EXPECT_EQ(sig[0].text, "SIGTERM");
        const Events after = w.board_writes(index_of(w, [](const Event &e) { return e.kind == Kind::Signal; }));
        ASSERT_EQ(after.size(), 2u) << dump(w);
        EXPECT_EQ(text_of(after[0].bytes), "43");
        EXPECT_LT(gap(sig[0], after[0]), 0.5) << "the stop sequence waited";
        expect_power_off_record(w, after[1].bytes, "BEXOD: Received SIGTERM signal.");
        const std::vector<std::string> calls = shim_calls(w, start);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back(), "sudo rm -r /var/run/bexod.pid");
    }

    // The user commands and the power-off ran exactly once.
    void expect_one_power_off() {
        const std::vector<std::string> calls = shim_calls(w, start);
        EXPECT_EQ(calls, (USER_COMMAND_CALLS + std::vector<std::string>{
                                                  "sudo systemctl poweroff", "systemctl poweroff",
                                                  "sudo rm -r /var/run/bexod.pid"}))
            << dump(w);
    }
};

// ------------------------------------------------------------ supply loss

TEST(DaemonSupply, LossThenReturnHandsTheLineBackAndWaitsAgain) {
    Running d("timer=30\n");
    ASSERT_GT(d.pid, 0);
    World &w = d.w;
    w.board().lose_supply();
    d.wait_log("BEXOD:  Voltage loss!");
    const size_t lost = w.event_count();
    ASSERT_TRUE(w.wait_for_event(write_of(0x45), 10, lost)) << dump(w);
    w.board().restore_supply();
    d.wait_log("BEXOD:  Voltage present!");
    const size_t back = w.event_count();

    EXPECT_EQ(messages(w), (START_LOG + std::vector<std::string>{
                                           "BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                                           "BEXOD:  Set GPIO to input", "BEXOD:  Voltage present!"}));
    // Take-over, the answered button query, passes of '3' '!' 'E', hand-back.
    const Bytes sent = w.commands(d.start);
    ASSERT_GE(sent.size(), 7u) << dump(w);
    EXPECT_EQ(text_of(Bytes(sent.begin(), sent.begin() + 2)), "43 33");
    for (size_t i = 2; i + 2 < sent.size(); i += 3)
        EXPECT_EQ(text_of(Bytes(sent.begin() + i, sent.begin() + i + 3)), "33 21 45") << dump(w);
    EXPECT_EQ(text_of(Bytes(sent.end() - 2, sent.end())), "44 34");
    EXPECT_EQ(sent.size() % 3, 1u);

    const Events writes = w.board_writes(d.start);
    const Events replies = reads(w, d.start);
    expect_pause(writes[0], writes[1], 0.1, "after 'C'");
    expect_pause(writes[1], replies[0], 1.0, "before the reply to '3'");
    EXPECT_EQ(text_of(replies[0].bytes), "33 00 00");
    expect_pause(writes[writes.size() - 2], writes.back(), 0.1, "after 'D'");
    EXPECT_EQ(gpio_operations(w, d.start),
              (std::vector<std::string>{"direction out", "value-write 1", "direction in"}));
    // The line goes back to the board between 'D' and '4'.
    const size_t line_in = index_of(w, [](const Event &e) { return e.kind == Kind::GpioDirection && e.text == "in"; }, d.start);
    EXPECT_LT(index_of(w, write_of(0x44), d.start), line_in);
    EXPECT_LT(line_in, index_of(w, write_of(0x34), d.start));

    // Waiting again: the line reads low and nothing is sent.
    ASSERT_TRUE(w.wait_for([&] { return gpio_operations(w, back, true).size() >= 2; }, 5)) << dump(w);
    EXPECT_EQ(gpio_operations(w, back, true), (std::vector<std::string>{"value-read 0", "value-read 0"}));
    EXPECT_TRUE(w.board_writes(back).empty()) << dump(w);
    EXPECT_TRUE(shim_calls(w, d.start).empty());
    EXPECT_TRUE(alive(d.pid));
}

// bexo -status in a loop while the daemon counts down: each exchange holds
// the bus from its request to its reply, so every reply answers the request
// just before it, and the daemon's queries keep their pace.
TEST(DaemonSupply, StatusLoopDuringTheCountdownSharesTheBus) {
    Running d("timer=-1\n");
    ASSERT_GT(d.pid, 0);
    World &w = d.w;
    w.board().lose_supply();
    d.wait_log("BEXOD:  Voltage loss!");
    // One box waits for the daemon's one-second queries: about 7 s.
    const sim::Result box = w.bexo({"-status"});
    EXPECT_EQ(box.status, 0);
    EXPECT_LT(box.seconds, 8.5);
    const size_t from = w.event_count();
    sim::RunOptions loop;
    loop.timeout = 12;
    const sim::Result r = w.run({"sh", "-c", "while :; do bexo -status >/dev/null || exit 9; done"}, loop);
    EXPECT_TRUE(r.timed_out) << "a -status run failed: " << r.out << r.err;

    EXPECT_GT(expect_replies_follow_their_requests(w, from), 12u);
    expect_boxes_beside_the_countdown(w, from);
    w.board().restore_supply();
    d.wait_log("BEXOD:  Voltage present!");
}

// Whether some process holds the bus lock (byte 1 of the node) or its place
// in the queue for it (byte 0).
bool bus_held(off_t byte = 1) {
    const int node = open("/dev/i2c-1", O_RDWR);
    struct flock region = {};
    region.l_type = F_WRLCK;
    region.l_whence = SEEK_SET;
    region.l_start = byte;
    region.l_len = 1;
    const bool held = fcntl(node, F_OFD_GETLK, &region) == 0 && region.l_type != F_UNLCK;
    close(node);
    return held;
}

// Starts bexo -status and stops it as Ctrl-Z does while it holds the bus,
// between one of its requests and the reply. Returns its process id.
pid_t stop_tool_holding_the_bus(World &w) {
    const sim::Result r = w.run({"sh", "-c", "bexo -status >/dev/null 2>&1 & echo $!"});
    const pid_t tool = std::atoi(r.out.c_str());
    const auto plain_write = [](const Event &e) { return e.kind == Kind::Write; };
    for (size_t from = w.event_count(); tool > 0;) {
        if (!w.wait_for_event(plain_write, 10, from)) return 0;
        kill(tool, SIGSTOP);
        if (bus_held()) return tool;
        from = index_of(w, plain_write, from) + 1;
        kill(tool, SIGCONT);
    }
    return 0;
}

// A second bexo -status, started behind the stopped one, waits in the queue
// and is stopped there as Ctrl-Z does. Returns its process id.
pid_t stop_tool_in_the_queue(World &w) {
    const sim::Result r = w.run({"sh", "-c", "bexo -status >/dev/null 2>&1 & echo $!"});
    const pid_t tool = std::atoi(r.out.c_str());
    if (tool <= 0 || !w.wait_for([] { return bus_held(0); }, 5)) return 0;
    kill(tool, SIGSTOP);
    return bus_held(0) ? tool : 0;
}

struct BusHeldCase {
    const char *name;
    bool nut;     // [NUT] export=1
    bool queued;  // a second tool stopped in the queue; the holder then goes on
};

void PrintTo(const BusHeldCase &c, std::ostream *os) { *os << c.name; }

// A bexo stopped while it holds the bus, or while it waits in the queue for
// it, delays the daemon once, and by little: 'C' comes at most 3.5 s after
// the line rose, and a low battery reported at the first query after it
// powers off within 4.5 s of 'C'. Readings for NUT give their turn up, and
// after a few skipped intervals go ahead as the daemon's own transfers do:
// the file follows the board.
class DaemonBusHeld : public testing::TestWithParam<BusHeldCase> {};

TEST_P(DaemonBusHeld, AStoppedToolDelaysTheDaemonOnceAndByLittle) {
    const BusHeldCase &c = GetParam();
    Running d(c.nut ? "timer=-1\n[NUT]\nexport=1\ninterval=2\n" : "timer=-1\n");
    ASSERT_GT(d.pid, 0);
    World &w = d.w;
    const pid_t tool = stop_tool_holding_the_bus(w);
    ASSERT_GT(tool, 0) << dump(w);
    pid_t stopped = tool;
    if (c.queued) {
        w.board().set_battery(700);
        EXPECT_TRUE(w.wait_for([] {
            return World::read_file("/run/bexod/bexo.dev").find("battery.charge: 26.63\n") != std::string::npos;
        }, 15)) << World::read_file("/run/bexod/bexo.dev") << dump(w);
        stopped = stop_tool_in_the_queue(w);
        ASSERT_GT(stopped, 0) << dump(w);
        kill(tool, SIGCONT);
        EXPECT_EQ(w.wait_exit(tool, 20), 0) << "the holder finishes its box";
    }
    w.board().set_battery_low(true);
    const size_t from = w.event_count();
    const double rose = w.now();
    w.board().lose_supply();
    const auto alert = w.wait_for_event(write_of(0x43), 10, from);
    ASSERT_TRUE(alert) << dump(w);
    EXPECT_LE(alert->t - rose, 3.5) << dump(w);
    const auto power_off = w.wait_for_event(write_of(0x49), 15, from);
    ASSERT_TRUE(power_off) << dump(w);
    EXPECT_LE(gap(*alert, *power_off), 4.5) << dump(w);
    EXPECT_TRUE(bus_held(c.queued ? 0 : 1)) << "the tool kept its byte all along";
    d.expect_stopped_by_shutdown();
    d.expect_one_power_off();
    // Running again, the tool finishes its box.
    kill(stopped, SIGCONT);
    EXPECT_EQ(w.wait_exit(stopped, 20), 0);
}

INSTANTIATE_TEST_SUITE_P(Export, DaemonBusHeld,
                         testing::Values(BusHeldCase{"NutExportOff", false, false},
                                         BusHeldCase{"NutExportOn", true, false},
                                         BusHeldCase{"StoppedInTheQueueWithNutExport", true, true}),
                         [](const testing::TestParamInfo<BusHeldCase> &i) { return i.param.name; });

class DaemonCountdown : public testing::TestWithParam<int> {};

TEST_P(DaemonCountdown, SupplyLossWithCountdownPowersOffOnce) {
    const int timer = GetParam();
    Running d("timer=" + std::to_string(timer) + "\n");
    ASSERT_GT(d.pid, 0);
    World &w = d.w;
    w.board().lose_supply();
    d.expect_stopped_by_shutdown();

    EXPECT_EQ(messages(w), (START_LOG + std::vector<std::string>{
                                           "BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                                           "BEXOD:  Received Shutdown Signal through timer expired.",
                                           "BEXOD:  Set GPIO to output",
                                           "BEXOD: Received SIGTERM signal."}));
    d.expect_one_power_off();
    // The countdown is compared after '3' and '!': with 0 (var must pass 0)
    // in the first pass, with 2 in the second.
    const std::string passes = timer == 0 ? "33 21" : "33 21 45 33 21";
    EXPECT_EQ(text_of(w.commands(d.start)), "43 33 " + passes + " 49 54 43 54") << dump(w);

    const Events writes = w.board_writes(d.start);
    const Event &power_off = writes[writes.size() - 4];
    const Event &record = writes[writes.size() - 3];
    EXPECT_EQ(power_off.bytes, Bytes{0x49});
    expect_power_off_record(w, record.bytes, "BEXOD:  Received Shutdown Signal through timer expired.");
    // The countdown starts after the answered button query; 'I' comes once
    // more than `timer` seconds have been counted.
    const Event answered = reads(w, d.start).at(0);
    EXPECT_GE(gap(answered, power_off), timer + 1 - 0.1);
    EXPECT_LE(gap(answered, power_off), timer + 5.0);
    const Events calls = since(w, d.start, [](const Event &e) { return e.kind == Kind::Shim; });
    expect_pause(power_off, calls[0], 0.1, "after 'I'");
    EXPECT_LT(calls[2].t, record.t);  // user commands, then the record, then the power-off
    EXPECT_LT(record.t, calls[3].t);
}

INSTANTIATE_TEST_SUITE_P(Timers, DaemonCountdown, testing::Values(0, 2));

// ---------------------------------------------------------------- journal

// Every message the daemon logs, with the syslog level its copy carries.
// A row marked `starts` stands for every line it begins.
struct JournalLevel {
    const char *message;
    int level;
    bool starts = false;
};

const JournalLevel JOURNAL_LEVELS[] = {
    {"BEXOD:  Activating time controlled boot!", LOG_NOTICE},
    {"BEXOD:  Set GPIO to input", LOG_INFO},
    {"BEXOD:  Set GPIO to output", LOG_INFO},
    {"BEXOD: Entering Daemon BEXO.", LOG_NOTICE},
    {"BEXOD:  Configuration ", LOG_WARNING, true},
    {"BEXOD:  No board answers at address ", LOG_NOTICE, true},
    {"BEXOD:  Voltage loss!", LOG_WARNING},
    {"BEXOD:  Sending Mail notification!", LOG_NOTICE},
    {"BEXOD:  Voltage present!", LOG_NOTICE},
    {"BEXOD:  Received manual Shutdown signal!", LOG_WARNING},
    {"BEXOD:  Received manual Reboot signal!", LOG_NOTICE},
    {"BEXOD: Received Shutdown signal through low battery capacity.", LOG_WARNING},
    {"BEXOD:  Received Shutdown Signal through timer expired.", LOG_WARNING},
    {"BEXOD:  Shutdown through timed shutdown - timer expired!", LOG_WARNING},
    {"BEXOD:  The system did not go down; watching the board again", LOG_WARNING},
    {"BEXOD:  \"sudo systemctl ", LOG_ERR, true},
    {"BEXOD: Received SIGHUP signal.", LOG_NOTICE},
    {"BEXOD: Received SIGTERM signal.", LOG_NOTICE},
    {"BEXOD:  i2c-Request timed out ", LOG_WARNING},
    {"BEXOD:  NUT export: unable to read the board", LOG_WARNING},
    {"BEXOD:  NUT export: three readings failed; /run/bexod/bexo.dev removed", LOG_WARNING},
    {"BEXOD:  NUT export: unable to write /run/bexod/bexo.dev", LOG_WARNING},
    {"BEXOD:  Unable to select I2C device", LOG_ERR},
    {"BEXOD:  Unable to export GPIO", LOG_ERR},
    {"BEXOD:  Unable to change to output", LOG_ERR},
    {"BEXOD:  Unable to set output high", LOG_ERR},
    {"BEXOD:  Unable to change to input", LOG_ERR},
    // Never seen in the world, where neither the interval timer nor a fork
    // or exec fails.
    {"BEXOD:  timer error", LOG_ERR},
    {"BEXOD:  Unable to start the notify command", LOG_WARNING},
    {"BEXOD:  Not run: ", LOG_ERR, true},
};

const JournalLevel *journal_row(const std::string &text) {
    for (const JournalLevel &row : JOURNAL_LEVELS)
        if (row.starts ? text.rfind(row.message, 0) == 0 : text == row.message) return &row;
    return nullptr;
}

int journal_level(const std::string &text) {
    const JournalLevel *row = journal_row(text);
    return row == nullptr ? -1 : row->level;
}

// Every entry of the event log goes to /dev/log as well, in the same order,
// from facility daemon as "bexod" with the process that wrote it; a supply
// loss and a power-off decision at warning level.
TEST(DaemonJournal, EveryEventLineAlsoGoesToTheSystemLogWithItsLevel) {
    Running d("timer=0\n");
    ASSERT_GT(d.pid, 0);
    d.w.board().lose_supply();
    d.expect_stopped_by_shutdown();
    const std::vector<std::string> logged = messages(d.w);
    const std::vector<SyslogEntry> sent = syslog_entries(d.w);
    ASSERT_EQ(sent.size(), logged.size()) << dump(d.w);
    for (size_t i = 0; i < sent.size(); i++) {
        EXPECT_EQ(sent[i].text, logged[i]);
        EXPECT_EQ(sent[i].ident, "bexod");
        EXPECT_EQ(sent[i].priority, LOG_DAEMON | journal_level(logged[i])) << logged[i];
    }
    // The start sequence runs in the invoking process, the rest in the daemon.
    ASSERT_GT(sent.size(), START_LOG.size());
    EXPECT_NE(sent[0].pid, d.pid);
    for (size_t i = START_LOG.size(); i < sent.size(); i++) EXPECT_EQ(sent[i].pid, d.pid) << logged[i];
}

// Each case brings some of the messages to the world's /dev/log; together
// with the test above they bring every message of the table the world can
// bring about, each checked against its level as it arrives.
struct JournalCase {
    const char *name;
    std::vector<std::string> brings;
    void (*provoke)(World &w);
    bool stream = false;  // /dev/log a stream socket
};

void PrintTo(const JournalCase &c, std::ostream *os) { *os << c.name; }

pid_t start_with(World &w, const std::string &general, const char *faketime = "") {
    w.set_config(config(general));
    sim::RunOptions o;
    o.faketime = faketime;
    return start_daemon(w, o);
}

void await_log(World &w, const std::string &message) {
    ASSERT_TRUE(w.wait_for_log(message, 20)) << "no '" << message << "'\n" << dump(w);
}

void unexport_event_line(World &w) {
    World::write_file(w.testbed_root() + "/sys/class/gpio/unexport", std::to_string(w.gpio_number()));
}

// A daemon that has written its first NUT file.
bool start_exporting(World &w) {
    return start_with(w, "sleep=1\n[NUT]\nexport=1\ninterval=2\n") > 0 &&
           w.wait_for([] { return World::exists("/run/bexod/bexo.dev"); }, 10);
}

class DaemonJournalLevels : public testing::TestWithParam<JournalCase> {};

TEST_P(DaemonJournalLevels, EachMessageArrivesWithTheLevelOfTheTable) {
    const JournalCase &c = GetParam();
    sim::Options o;
    o.stream_syslog = c.stream;
    World w(o);
    w.sigterm_on_poweroff(true);
    c.provoke(w);
    for (const std::string &message : c.brings) {
        const auto arrived = [&] {
            for (const SyslogEntry &e : syslog_entries(w))
                if (journal_row(e.text) == journal_row(message)) return true;
            return false;
        };
        EXPECT_TRUE(w.wait_for(arrived, 60)) << "no '" << message << "'\n" << dump(w);
    }
    for (const SyslogEntry &e : syslog_entries(w))
        EXPECT_EQ(e.priority, LOG_DAEMON | journal_level(e.text)) << e.text;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DaemonJournalLevels,
    testing::Values(
        JournalCase{"SupplyLostAndBackOnAStreamSocket",
                    {"BEXOD:  Activating time controlled boot!", "BEXOD:  Voltage loss!",
                     "BEXOD:  Sending Mail notification!", "BEXOD:  Voltage present!"},
                    [](World &w) {
                        ASSERT_GT(start_with(w, "timed_boot=1\ntime_boot=06:00:00\nsleep=1\ntimer=60\nmail=1\n"), 0);
                        w.board().lose_supply();
                        await_log(w, "BEXOD:  Voltage loss!");
                        w.board().restore_supply();
                    },
                    true},
        JournalCase{"Hangup", {"BEXOD: Received SIGHUP signal."},
                    [](World &w) { ASSERT_GT(start_with(w, "sleep=1\n"), 0); w.signal_daemon(SIGHUP); }},
        JournalCase{"ShutdownButton", {"BEXOD:  Received manual Shutdown signal!"},
                    [](World &w) { ASSERT_GT(start_with(w, "sleep=1\n"), 0); w.board().press_button(1); }},
        JournalCase{"RebootButton", {"BEXOD:  Received manual Reboot signal!"},
                    [](World &w) { ASSERT_GT(start_with(w, "sleep=1\n"), 0); w.board().press_button(2); }},
        JournalCase{"LowBattery", {"BEXOD: Received Shutdown signal through low battery capacity."},
                    [](World &w) {
                        ASSERT_GT(start_with(w, "sleep=1\ntimer=60\n"), 0);
                        w.board().lose_supply();
                        await_log(w, "BEXOD:  Voltage loss!");
                        w.board().set_battery_low(true);
                    }},
        JournalCase{"DailyShutdown", {"BEXOD:  Shutdown through timed shutdown - timer expired!"},
                    // Ten seconds before the window: a slow start-up (valgrind) still sees a time outside it first.
                    [](World &w) { ASSERT_GT(start_with(w, "sleep=1\ntimed_shutdown=1\ntime_shutdown=12:00:55\n", "@2026-12-08 12:00:45"), 0); }},
        JournalCase{"QueryWithoutEcho", {"BEXOD:  i2c-Request timed out "},
                    [](World &w) {
                        ASSERT_GT(start_with(w, "sleep=1\ntimer=-1\n", "+0 x100"), 0);
                        w.board().wrong_echo(1001);
                        w.board().lose_supply();
                    }},
        JournalCase{"ReadsFail", {"BEXOD:  Unable to select I2C device"},
                    [](World &w) { ASSERT_GT(start_with(w, "sleep=1\n"), 0); w.board().fail_reads(5); w.board().lose_supply(); }},
        JournalCase{"SystemNeverGoesDown", {"BEXOD:  The system did not go down; watching the board again"},
                    [](World &w) {
                        w.sigterm_on_poweroff(false);
                        ASSERT_GT(start_with(w, "sleep=1\n", "+0 x10"), 0);
                        w.board().press_button(2);
                    }},
        JournalCase{"SystemRefuses", {"BEXOD:  \"sudo systemctl poweroff\" failed with exit status 1"},
                    [](World &w) {
                        w.set_shim_status("systemctl", 1);
                        ASSERT_GT(start_with(w, "sleep=1\n"), 0);
                        w.board().press_button(1);
                    }},
        JournalCase{"NutReadingsFail",
                    {"BEXOD:  NUT export: unable to read the board",
                     "BEXOD:  NUT export: three readings failed; /run/bexod/bexo.dev removed"},
                    [](World &w) { ASSERT_TRUE(start_exporting(w)); w.board().fail_reads(3); }},
        JournalCase{"NutFolderUnwritable", {"BEXOD:  NUT export: unable to write /run/bexod/bexo.dev"},
                    [](World &w) {
                        ASSERT_TRUE(start_exporting(w));
                        std::filesystem::remove_all("/run/bexod");
                        World::write_file("/run/bexod", "not a folder\n");
                    }},
        JournalCase{"FlawedFileSilentBoard", {"BEXOD:  Configuration ", "BEXOD:  No board answers at address "},
                    [](World &w) { w.board().set_answering(false); ASSERT_GT(start_with(w, "sleep=1\ntimer=30abc\n"), 0); }},
        JournalCase{"CommandTooLong", {"BEXOD:  Not run: "},
                    [](World &w) { ASSERT_GT(start_with(w, "sleep=1\n[User]\ncommand1=" + too_long("sim-mark") + "\n"), 0); w.board().press_button(1); }},
        JournalCase{"GpioExportFails", {"BEXOD:  Unable to export GPIO"},
                    [](World &w) {
                        w.set_config(config("sleep=1\n"));
                        NoSysfsGpio hidden(w);
                        ASSERT_FALSE(hidden.path.empty());
                        EXPECT_EQ(w.bexod({"-start"}).status, 1);
                    }},
        JournalCase{"LineCannotGoHigh", {"BEXOD:  Unable to set output high"},
                    [](World &w) { ASSERT_GT(start_with(w, "sleep=1\n"), 0); w.hide_gpio_value(30); w.signal_daemon(SIGHUP); }},
        JournalCase{"LineGoneAtHangup", {"BEXOD:  Unable to change to output"},
                    [](World &w) { ASSERT_GT(start_with(w, "sleep=1\n"), 0); unexport_event_line(w); w.signal_daemon(SIGHUP); }},
        JournalCase{"LineGoneAtSupplyReturn", {"BEXOD:  Unable to change to input"},
                    [](World &w) {
                        ASSERT_GT(start_with(w, "sleep=1\ntimer=-1\n"), 0);
                        w.board().lose_supply();
                        await_log(w, "BEXOD:  Voltage loss!");
                        unexport_event_line(w);
                        w.board().restore_supply();
                    }}),
    [](const testing::TestParamInfo<JournalCase> &info) { return info.param.name; });

struct ReasonCase {
    const char *name;
    bool battery;  // low battery, else the shutdown button
    const char *message;
};

class DaemonDuringCountdown : public testing::TestWithParam<ReasonCase> {};

TEST_P(DaemonDuringCountdown, PowersOffOnceWithoutTheExpiry) {
    const ReasonCase &c = GetParam();
    Running d("timer=60\n");
    ASSERT_GT(d.pid, 0);
    World &w = d.w;
    w.board().lose_supply();
    d.wait_log("BEXOD:  Voltage loss!");
    ASSERT_TRUE(w.wait_for_event(write_of(0x45), 10, d.start)) << dump(w);
    if (c.battery)
        w.board().set_battery_low(true);
    else
        w.board().press_button(1);
    d.expect_stopped_by_shutdown();

    EXPECT_EQ(messages(w), (START_LOG + std::vector<std::string>{
                                           "BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                                           c.message, "BEXOD:  Set GPIO to output",
                                           "BEXOD: Received SIGTERM signal."}));
    d.expect_one_power_off();
    const Bytes sent = w.commands(d.start);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x49), c.battery ? 1 : 0);
    // The power-off follows the query that reported it.
    const std::string tail = c.battery ? "21 49 54 43 54" : "33 54 43 54";
    const std::string all = text_of(sent);
    EXPECT_EQ(all.substr(all.size() - tail.size()), tail) << all;
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, DaemonDuringCountdown,
    testing::Values(ReasonCase{"LowBattery", true,
                               "BEXOD: Received Shutdown signal through low battery capacity."},
                    ReasonCase{"ShutdownButton", false, "BEXOD:  Received manual Shutdown signal!"}),
    [](const testing::TestParamInfo<ReasonCase> &info) { return info.param.name; });

// ---------------------------------------------------------------- buttons

TEST(DaemonButtons, ShutdownButtonWhileWaitingPowersOff) {
    Running d("timer=5\n");
    ASSERT_GT(d.pid, 0);
    d.w.board().press_button(1);
    d.expect_stopped_by_shutdown();
    EXPECT_EQ(messages(d.w), (START_LOG + std::vector<std::string>{
                                             "BEXOD:  Set GPIO to output",
                                             "BEXOD:  Received manual Shutdown signal!",
                                             "BEXOD:  Set GPIO to output",
                                             "BEXOD: Received SIGTERM signal."}));
    d.expect_one_power_off();
    EXPECT_EQ(text_of(d.w.commands(d.start)), "43 33 54 43 54");
    expect_power_off_record(d.w, d.w.requests()[5], "BEXOD:  Received manual Shutdown signal!");
}

TEST(DaemonButtons, RebootButtonWhileWaitingRebootsWithoutUserCommandsOrRecord) {
    Running d("timer=5\n");
    ASSERT_GT(d.pid, 0);
    d.w.board().press_button(2);
    d.wait_log("BEXOD: Received SIGTERM signal.");
    EXPECT_EQ(d.w.wait_exit(d.pid, 10), 0);
    EXPECT_EQ(messages(d.w), (START_LOG + std::vector<std::string>{
                                             "BEXOD:  Set GPIO to output",
                                             "BEXOD:  Received manual Reboot signal!",
                                             "BEXOD:  Set GPIO to output",
                                             "BEXOD: Received SIGTERM signal."}));
    EXPECT_EQ(shim_calls(d.w, d.start),
              (std::vector<std::string>{"sudo systemctl reboot", "systemctl reboot",
                                        "sudo rm -r /var/run/bexod.pid"}));
    // Before the system's SIGTERM only the take-over and the query.
    const size_t signal = index_of(d.w, [](const Event &e) { return e.kind == Kind::Signal; });
    EXPECT_EQ(text_of(d.w.commands(d.start)), "43 33 43 54");
    EXPECT_EQ(text_of(d.w.commands(signal)), "43 54");
}

TEST(DaemonButtons, RebootButtonDuringCountdownIsIgnored) {
    Running d("timer=-1\n");
    ASSERT_GT(d.pid, 0);
    World &w = d.w;
    w.board().lose_supply();
    d.wait_log("BEXOD:  Voltage loss!");
    w.board().press_button(2);
    const auto reboot_reported = [](const Event &e) {
        return e.kind == Kind::Read && e.bytes == Bytes{0x33, 0x02, 0x00};
    };
    ASSERT_TRUE(w.wait_for_event(reboot_reported, 10, d.start)) << dump(w);
    const size_t reported = w.event_count();
    // The pass goes on with '!' and 'E'.
    ASSERT_TRUE(w.wait_for_event(write_of(0x45), 10, reported)) << dump(w);
    w.board().restore_supply();
    d.wait_log("BEXOD:  Voltage present!");
    EXPECT_EQ(messages(w), (START_LOG + std::vector<std::string>{
                                           "BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                                           "BEXOD:  Set GPIO to input", "BEXOD:  Voltage present!"}));
    EXPECT_TRUE(shim_calls(w).empty()) << dump(w);
    EXPECT_TRUE(alive(d.pid));
}

// ------------------------------------------------------------------ mail

struct MailCase {
    const char *name;
    const char *setting;
    bool sent;
};

class DaemonMail : public testing::TestWithParam<MailCase> {};

TEST_P(DaemonMail, ScriptStartedOnSupplyLossOnlyWhenMailIsOne) {
    Running d(std::string("timer=-1\n") + GetParam().setting);
    ASSERT_GT(d.pid, 0);
    World &w = d.w;
    w.board().lose_supply();
    d.wait_log("BEXOD:  Voltage loss!");
    ASSERT_TRUE(w.wait_for_event(write_of(0x21), 10, d.start)) << dump(w);
    w.board().restore_supply();
    d.wait_log("BEXOD:  Voltage present!");

    std::vector<std::string> expected = (START_LOG + std::vector<std::string>{
                                                        "BEXOD:  Set GPIO to output",
                                                        "BEXOD:  Voltage loss!"});
    if (GetParam().sent) expected.push_back("BEXOD:  Sending Mail notification!");
    expected = expected + std::vector<std::string>{"BEXOD:  Set GPIO to input", "BEXOD:  Voltage present!"};
    EXPECT_EQ(messages(w), expected);
    const std::vector<std::string> mail = GetParam().sent
                                              ? std::vector<std::string>{"python /opt/bexod/scripts/mail.py"}
                                              : std::vector<std::string>{};
    EXPECT_EQ(shim_calls(w), mail);
    if (GetParam().sent) {
        // Started when the loss was known, before the countdown went on.
        const size_t script = index_of(w, [](const Event &e) { return e.kind == Kind::Shim; });
        EXPECT_GT(script, index_of(w, [](const Event &e) { return e.kind == Kind::Read; }));
        EXPECT_LT(script, index_of(w, write_of(0x21)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, DaemonMail,
    testing::Values(MailCase{"One", "mail=1\n", true}, MailCase{"Zero", "mail=0\n", false},
                    MailCase{"Two", "mail=2\n", false}, MailCase{"Missing", "", false}),
    [](const testing::TestParamInfo<MailCase> &info) { return info.param.name; });

// ----------------------------------------------------------- notify

struct NotifyCase {
    const char *name;
    std::string section;  // [Notify], or nothing
    std::vector<std::string> calls;
    size_t not_run = 0;       // error lines for commands too long to hold or without a user
    bool board_gone = false;  // the second loss meets a board whose reads fail: a fatal exit
    int uid = 0;              // of every call
    bool accounts = false;    // the world's passwd and group are ACCOUNTS
    std::string problem = "";  // the line -check and the start give
};

const std::vector<std::string> NOTICES{
    "ONBATT bexo UPS bexo on battery", "ONLINE bexo UPS bexo on line power", "ONBATT bexo UPS bexo on battery",
    "LOWBATT bexo UPS bexo battery is low", "FSD bexo UPS bexo: forced shutdown in progress",
    "SHUTDOWN bexo Auto logout and shutdown proceeding"};

// Each event's call: its type, then `identity` in place of UPSNAME and the
// message; an empty `identity`: the type alone.
std::vector<std::string> marked(const std::string &identity) {
    std::vector<std::string> out;
    for (const std::string &n : NOTICES) {
        const size_t type = n.find(' '), message = n.find(' ', type + 1);
        out.push_back("sim-mark " + n.substr(0, type) + (identity.empty() ? "" : " " + identity + n.substr(message)));
    }
    return out;
}

// A user whose own group has no entry, in two groups besides.
const char ACCOUNTS_PASSWD[] = "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n"
                               "bexo-notify:x:4242:4243:B.EXO notify:/var/lib/bexo-notify:/usr/sbin/nologin\n";
const char ACCOUNTS_GROUP[] = "dialout:x:20:pi,bexo-notify\nnogroup:x:65534:\nbexo-extra:x:4244:bexo-notify\n";
const std::string IDENTITY = "[Notify]\ncommand=sim-mark \"$NOTIFYTYPE\" \"$(id -u):$(id -g):$(id -G)\" \"$HOME:$USER:$LOGNAME\"\n";

class DaemonNotify : public testing::TestWithParam<NotifyCase> {};

// A supply loss, its return, a second loss to low battery and the
// power-off: each event runs the command once, in order, with NUT's message
// and NOTIFYTYPE and UPSNAME, with creation mask 022, detached (the daemon
// keeps no child) and as its user, with that user's groups, HOME, USER and
// LOGNAME. A command that never ends delays nothing; without a command or a
// user to run it as nothing else changes.
TEST_P(DaemonNotify, EachEventRunsTheCommandOnceInOrder) {
    const NotifyCase &c = GetParam();
    if (c.uid != 0 && !sim::exists_outside("/"))
        GTEST_SKIP() << "in a user namespace the daemon cannot take on another user";
    World w;
    if (c.accounts) w.set_accounts(ACCOUNTS_PASSWD, ACCOUNTS_GROUP);
    w.set_config(config("sleep=1\ntimer=-1\n") + c.section);
    if (c.accounts) { EXPECT_EQ(w.bexod({"-check"}).out, c.problem); }
    w.sigterm_on_poweroff(true, 0.5);
    sim::RunOptions started;
    started.env = {"HOME=/daemon-home", "USER=starter", "LOGNAME=starter"};
    const pid_t pid = start_daemon(w, started);
    ASSERT_GT(pid, 0);
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for_event(write_of(0x21), 10)) << dump(w);
    w.board().restore_supply();
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage present!", 20)) << dump(w);
    if (!c.calls.empty() && c.not_run == 0) {
        ASSERT_TRUE(w.wait_for_shim("sim-mark", 10, "ONLINE")) << dump(w);
        const std::string task = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
        // The middle process of the double fork ends at once and is reaped.
        EXPECT_TRUE(w.wait_for([&] { return World::read_file(task + "/children").empty(); }, 5))
            << "a child left, zombie or not: " << World::read_file(task + "/children");
    }
    w.board().set_battery_low(true);
    if (c.board_gone) w.board().fail_reads(-1);
    w.board().lose_supply();
    EXPECT_EQ(w.wait_exit(pid, 30), c.board_gone ? 1 : 0) << dump(w);
    // A command still running holds the next back for a second at most.
    w.wait_for([&] { return shim_calls(w, 0, "sim-mark").size() >= c.calls.size(); }, 5);
    EXPECT_EQ(shim_calls(w, 0, "sim-mark"), c.calls);
    for (const Event &e : w.shim_calls("sim-mark")) EXPECT_TRUE(e.umask == 022 && e.uid == c.uid) << call_line(e);
    if (c.board_gone) return;
    std::vector<std::string> others;
    for (const std::string &call : shim_calls(w))
        if (call.rfind("sim-mark", 0) != 0) others.push_back(call);
    EXPECT_EQ(others, (std::vector<std::string>{"sudo systemctl poweroff", "systemctl poweroff", "sudo rm -r /var/run/bexod.pid"}));
    const Events all = w.events();
    const size_t low = index_of(w, [](const Event &e) { return e.kind == Kind::Read && e.bytes[0] == 0x21 && e.bytes[5] == 1; });
    const size_t off = index_of(w, [](const Event &e) { return e.kind == Kind::Shim && e.text == "systemctl"; });
    ASSERT_LT(off, all.size()) << dump(w);
    EXPECT_LT(gap(all[low], all[off]), 1.0) << "the power-off waited";
    std::vector<std::string> logged = messages(w);
    EXPECT_EQ(std::erase_if(logged, [](const std::string &m) { return m.rfind("BEXOD:  Not run: command", 0) == 0; }), c.not_run);
    const std::string warning = c.problem.empty() ? "" : c.problem.substr(0, c.problem.size() - 1);
    EXPECT_EQ(std::erase(logged, warning), c.problem.empty() ? 0u : 1u);
    std::erase_if(logged, [](const std::string &m) { return m.rfind("BEXOD:  Configuration ", 0) == 0; });
    EXPECT_EQ(logged, (std::vector<std::string>{
                               "BEXOD:  Set GPIO to input", "BEXOD: Entering Daemon BEXO.", "BEXOD:  Set GPIO to output",
                               "BEXOD:  Voltage loss!", "BEXOD:  Set GPIO to input", "BEXOD:  Voltage present!",
                               "BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!",
                               "BEXOD: Received Shutdown signal through low battery capacity.",
                               "BEXOD:  Set GPIO to output", "BEXOD: Received SIGTERM signal."}));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, DaemonNotify,
    testing::Values(NotifyCase{"AsRootWithTheDaemonsEnvironment",
                               "[Notify]\ncommand=sim-mark \"$NOTIFYTYPE\" \"$UPSNAME:$(id -u):$HOME:$USER:$LOGNAME\"\nuser=root\n",
                               marked("bexo:0:/daemon-home:starter:starter")},
                    NotifyCase{"AsNobodyUnlessSet", IDENTITY, marked("65534:65534:65534 /nonexistent:nobody:nobody"), 0,
                               false, 65534, true},
                    NotifyCase{"AsItsUserWithItsGroups", IDENTITY + "user=bexo-notify\n",
                               marked("4242:4243:4243 20 4244 /var/lib/bexo-notify:bexo-notify:bexo-notify"), 0, false,
                               4242, true},
                    // Never as root instead; each event and -check say why.
                    NotifyCase{"UnknownUserNeverRuns", IDENTITY + "user=bexo-nobody\n", {}, 6, false, 0, true,
                               "BEXOD:  Configuration /opt/bexod/bexo.cfg line 7: user=bexo-nobody in [Notify] is not in "
                               "/etc/passwd; the notify command is not run\n"},
                    NotifyCase{"NeverEnding", "[Notify]\ncommand=sim-mark \"$NOTIFYTYPE\" && sleep 600 && true\nuser=root\n",
                               marked("")},
                    NotifyCase{"Empty", "[Notify]\ncommand=\n", {}}, NotifyCase{"Absent", "", {}},
                    // Neither the notify command nor the [User] one is run cut short; each event
                    // and the power-off log why, and the short command still runs.
                    NotifyCase{"TooLongCommandsAreNotRun",
                               "[Notify]\ncommand=" + too_long("sim-mark \"$NOTIFYTYPE\"") + "\n[User]\ncommand1=" +
                                   too_long("sim-mark user") + "\ncommand2=sim-mark two\n",
                               {"sim-mark two"}, 7},
                    // Nothing watches the board any more: NUT's upsmon says COMMBAD.
                    NotifyCase{"FatalExit", "[Notify]\ncommand=sim-mark \"$NOTIFYTYPE\"\nuser=root\n",
                               {"sim-mark ONBATT UPS bexo on battery", "sim-mark ONLINE UPS bexo on line power",
                                "sim-mark COMMBAD Communications with UPS bexo lost"},
                               0, true}),
    [](const testing::TestParamInfo<NotifyCase> &info) { return info.param.name; });

// The daemon runs with creation mask 0; what it starts gets the usual 022,
// so a command run as root leaves no world-writable file behind.
TEST(DaemonCommands, EverythingTheDaemonStartsRunsWithCreationMask022) {
    World w;
    w.set_config(config("sleep=1\ntimer=0\nmail=1\n",
                        "command1=\"touch /opt/bexod/note; mkdir /opt/bexod/notes; sim-mark one\"\n"));
    w.sigterm_on_poweroff(true, 0.5);
    const pid_t pid = start_daemon(w);
    ASSERT_GT(pid, 0);
    w.board().lose_supply();
    EXPECT_EQ(w.wait_exit(pid, 30), 0) << dump(w);

    EXPECT_EQ(shim_calls(w), (std::vector<std::string>{"python /opt/bexod/scripts/mail.py", "sim-mark one",
                                                       "sudo systemctl poweroff", "systemctl poweroff",
                                                       "sudo rm -r /var/run/bexod.pid"}));
    for (const Event &e : w.shim_calls()) EXPECT_EQ(e.umask, 022) << call_line(e);
    struct stat file {}, folder {};
    ASSERT_EQ(stat("/opt/bexod/note", &file), 0);
    ASSERT_EQ(stat("/opt/bexod/notes", &folder), 0);
    EXPECT_EQ(file.st_mode & 07777, 0644u);
    EXPECT_EQ(folder.st_mode & 07777, 0755u);
}

// -------------------------------------------------------- daily shutdown

struct DailyCase {
    const char *name;
    const char *clock;    // the time of day when the daemon starts
    const char *setting;
    int fires_at;         // second of the first power-off, -1 for none
    double sigterm_delay;
    int power_offs;
};

class DaemonDailyShutdown : public testing::TestWithParam<DailyCase> {};

TEST_P(DaemonDailyShutdown, FiresOnlyInsideItsTenSecondWindow) {
    const DailyCase &c = GetParam();
    World w;
    // The case's own lines come first: the first "sleep" wins.
    w.set_config(config(std::string(c.setting) + "timed_boot=1\ntime_boot=06:00:00\nsleep=1\n",
                        "command1=sim-mark one\n"));
    w.sigterm_on_poweroff(true, c.sigterm_delay);
    sim::RunOptions at;
    at.faketime = std::string("@2026-12-08 ") + c.clock;
    const pid_t pid = start_daemon(w, at);
    ASSERT_GT(pid, 0);
    const std::string line = "BEXOD:  Shutdown through timed shutdown - timer expired!";

    if (c.fires_at < 0) {
        const auto value_read = [](const Event &e) { return e.kind == Kind::GpioValueRead; };
        ASSERT_TRUE(w.wait_for([&] { return since(w, 0, value_read).size() >= 2; }, 10)) << dump(w);
        w.wait_for([] { return false; }, 0.3);
        EXPECT_EQ(messages(w), (std::vector<std::string>{"BEXOD:  Activating time controlled boot!",
                                                         "BEXOD:  Set GPIO to input",
                                                         "BEXOD: Entering Daemon BEXO."}));
        EXPECT_TRUE(shim_calls(w).empty());
        EXPECT_TRUE(alive(pid));
        return;
    }
    ASSERT_TRUE(w.wait_for_log("BEXOD: Received SIGTERM signal.", 15)) << dump(w);
    EXPECT_EQ(w.wait_exit(pid, 10), 0);
    const std::vector<std::string> log = messages(w);
    EXPECT_EQ(count(log, line), static_cast<size_t>(c.power_offs)) << w.log();
    EXPECT_EQ(stamp_of(w, line).substr(11, 8), "12:00:" + std::to_string(c.fires_at));
    std::vector<std::string> expected;
    for (int i = 0; i < c.power_offs; i++)
        expected = expected + std::vector<std::string>{"sim-mark one", "sudo systemctl poweroff",
                                                       "systemctl poweroff"};
    EXPECT_EQ(shim_calls(w), (expected + std::vector<std::string>{"sudo rm -r /var/run/bexod.pid"})) << dump(w);
    // The line was never high: no take-over, only records.
    const std::vector<Bytes> sent = w.requests();
    ASSERT_EQ(sent.size(), 3u + c.power_offs + 2u) << dump(w);
    EXPECT_EQ(text_of(sent[3]), text_of(time_record(6, 0, 0, 12, 0, c.fires_at)));
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, DaemonDailyShutdown,
    testing::Values(
        DailyCase{"FirstSecondOfWindow", "12:00:54", "timed_shutdown=1\ntime_shutdown=12:00:55\n", 55, 0.5, 1},
        // A cycle at 12:00:48, the next ten seconds later.
        DailyCase{"LastSecondOfWindow", "12:00:48", "sleep=10\ntimed_shutdown=1\ntime_shutdown=12:00:49\n", 58, 0.5,
                  1},
        // Once the system has accepted the power-off, later cycles inside
        // the window wait for its SIGTERM.
        DailyCase{"AcceptedPowerOffIsNotRepeated", "12:00:54", "timed_shutdown=1\ntime_shutdown=12:00:55\n", 55, 2.5, 1},
        DailyCase{"FieldsBeyondTheBufferIgnored", "12:00:54",
                  "timed_shutdown=1\ntime_shutdown=12:00:55:1:2:3:4:5:6:7:8:9:10:11\n", 55, 0.5, 1},
        // A Pi without a clock boots with the time it went down at: a daemon
        // whose first look is inside the window does not fire that day.
        DailyCase{"StartedInsideTheWindow", "12:00:55", "timed_shutdown=1\ntime_shutdown=12:00:55\n", -1, 0, 0},
        DailyCase{"AfterTheWindow", "12:00:59", "timed_shutdown=1\ntime_shutdown=12:00:49\n", -1, 0, 0},
        DailyCase{"BeforeTheWindow", "12:00:53", "timed_shutdown=1\ntime_shutdown=12:00:55\n", -1, 0, 0},
        DailyCase{"OtherHour", "12:00:55", "timed_shutdown=1\ntime_shutdown=13:00:55\n", -1, 0, 0},
        DailyCase{"NextMinute", "12:01:00", "timed_shutdown=1\ntime_shutdown=12:00:55\n", -1, 0, 0},
        DailyCase{"NotEnabled", "12:00:55", "timed_shutdown=2\ntime_shutdown=12:00:55\n", -1, 0, 0}),
    [](const testing::TestParamInfo<DailyCase> &info) { return info.param.name; });

// While the system refuses the power-off, the decision stands: one log line
// and the user command once, one error line, and the system asked again
// about every ten seconds, also once the window has closed.
TEST(DaemonDailyShutdown, ARefusedPowerOffIsAskedAgainNotDecidedAgain) {
    World w;
    w.set_config(config("timed_boot=1\ntime_boot=06:00:00\nsleep=1\ntimed_shutdown=1\ntime_shutdown=12:00:55\n",
                        "command1=sim-mark one\n"));
    w.set_shim_status("systemctl", 1);
    sim::RunOptions at;
    at.faketime = "@2026-12-08 12:00:54";
    const pid_t pid = start_daemon(w, at);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(w.wait_for([&] { return w.shim_calls("systemctl").size() >= 2; }, 25)) << dump(w);
    ASSERT_TRUE(w.signal_daemon(SIGTERM));
    EXPECT_EQ(w.wait_exit(pid, 10), 0) << dump(w);

    const Events asked = w.shim_calls("systemctl");
    EXPECT_GE(gap(asked[0], asked[1]), 9.5);
    EXPECT_EQ(messages(w), (START_LOG + std::vector<std::string>{
                                            "BEXOD:  Shutdown through timed shutdown - timer expired!",
                                            "BEXOD:  \"sudo systemctl poweroff\" failed with exit status 1",
                                            "BEXOD:  Set GPIO to output", "BEXOD: Received SIGTERM signal."}));
    EXPECT_EQ(shim_calls(w), (std::vector<std::string>{"sim-mark one", "sudo systemctl poweroff", "systemctl poweroff",
                                                       "sudo systemctl poweroff", "systemctl poweroff",
                                                       "sudo rm -r /var/run/bexod.pid"}))
        << dump(w);
    EXPECT_EQ(w.requests().size(), 3u + 1u + 2u) << dump(w);
}

// A line whose value cannot be read is no event: the cycle goes on to the
// daily check, which fires although the board has raised the line. The
// system's SIGTERM then finds a line it cannot drive high: status 1, and the
// PID file stays.
TEST(DaemonDailyShutdown, UnreadableLineGoesToTheDailyCheck) {
    World w;
    w.set_config(config("sleep=1\ntimed_shutdown=1\ntime_shutdown=12:00:55\n"));
    w.sigterm_on_poweroff(true, 0.5);
    w.board().lose_supply();
    w.hide_gpio_value(60);
    sim::RunOptions at;
    at.faketime = "@2026-12-08 12:00:54";
    const pid_t pid = start_daemon(w, at);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(w.wait_exit(pid, 15), 1) << dump(w);
    EXPECT_EQ(messages(w), (std::vector<std::string>{
                               "BEXOD:  Set GPIO to input", "BEXOD: Entering Daemon BEXO.",
                               "BEXOD:  Shutdown through timed shutdown - timer expired!",
                               "BEXOD:  Unable to set output high"}));
    EXPECT_EQ(shim_calls(w), (std::vector<std::string>{"sudo systemctl poweroff", "systemctl poweroff"}));
    EXPECT_EQ(text_of(w.commands()), "44");
    EXPECT_TRUE(reads(w).empty());
    EXPECT_EQ(World::read_file(PID_FILE), std::to_string(pid) + "\n");
}

// -------------------------------------------------------- failing board

TEST(DaemonBoardFaults, QueryWithoutEchoTimesOutAfter1001AttemptsAndTheCycleGoesOn) {
    World w;
    w.set_config(config("timer=-1\nsleep=1\n"));
    // The daemon's one-second waits pass a hundred times faster.
    sim::RunOptions fast;
    fast.faketime = "+0 x100";
    const pid_t pid = start_daemon(w, fast);
    ASSERT_GT(pid, 0);
    const size_t start = w.event_count();
    w.board().wrong_echo(1001);
    w.board().lose_supply();
    ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage loss!", 240)) << dump(w);

    EXPECT_EQ(messages(w), (std::vector<std::string>{
                               "BEXOD:  Set GPIO to input", "BEXOD: Entering Daemon BEXO.",
                               "BEXOD:  Set GPIO to output", "BEXOD:  i2c-Request timed out ",
                               "BEXOD:  Set GPIO to output", "BEXOD:  Voltage loss!"}));
    const Bytes sent = w.commands(start);
    const auto second_alert = std::find(sent.begin() + 1, sent.end(), 0x43);
    ASSERT_NE(second_alert, sent.end());
    EXPECT_EQ(sent[0], 0x43);
    EXPECT_EQ(std::count(sent.begin() + 1, second_alert, 0x33), 1001);
    EXPECT_EQ(second_alert - sent.begin(), 1002);
    // The next cycle takes the line over again and gets its answer.
    EXPECT_EQ(*(second_alert + 1), 0x33);
    EXPECT_TRUE(alive(pid));
}

struct FailedReadCase {
    const char *name;
    int failing_reads;  // -1: the board is gone (nothing answers at its address)
    bool ends;
};

class DaemonFailedRead : public testing::TestWithParam<FailedReadCase> {};

// A failed read now and then is retried at the query's own pace; five in a
// row end the daemon with status 1, and the PID file left behind counts as
// stopped.
TEST_P(DaemonFailedRead, FiveInARowEndTheDaemonAndFewerAreRetried) {
    const FailedReadCase &c = GetParam();
    World w;
    w.set_config(config("timer=-1\nsleep=1\n"));
    const pid_t pid = start_daemon(w);
    ASSERT_GT(pid, 0);
    if (c.failing_reads < 0)
        w.board().set_answering(false);
    else
        w.board().fail_reads(c.failing_reads);
    w.board().lose_supply();
    const std::vector<std::string> start_log{"BEXOD:  Set GPIO to input", "BEXOD: Entering Daemon BEXO.",
                                             "BEXOD:  Set GPIO to output"};
    if (!c.ends) {
        ASSERT_TRUE(w.wait_for_log("BEXOD:  Voltage loss!", 15)) << dump(w);
        EXPECT_EQ(messages(w), start_log + std::vector<std::string>{"BEXOD:  Voltage loss!"});
        const Events failed = since(w, 0, [](const Event &e) { return e.kind == Kind::Read && !e.ok(); });
        EXPECT_EQ(failed.size(), static_cast<size_t>(c.failing_reads));
        // Up to the take-over's answer: one request for each read.
        const size_t answered = index_of(w, [](const Event &e) { return e.kind == Kind::Read && e.ok(); });
        Bytes sent;
        const Events all = w.events();
        for (size_t i = 0; i < answered && i < all.size(); i++)
            if (sim::is_board_write(all[i]) && !all[i].bytes.empty()) sent.push_back(all[i].bytes[0]);
        EXPECT_EQ(std::count(sent.begin(), sent.end(), 0x33), c.failing_reads + 1) << text_of(sent);
        ASSERT_TRUE(w.signal_daemon(SIGTERM));
        EXPECT_EQ(w.wait_exit(pid, 10), 0);
        return;
    }
    EXPECT_EQ(w.wait_exit(pid, 15), 1) << dump(w);
    EXPECT_EQ(messages(w), start_log + std::vector<std::string>{"BEXOD:  Unable to select I2C device"});
    EXPECT_EQ(reads(w).size(), 5u);
    EXPECT_EQ(World::read_file(PID_FILE), std::to_string(pid) + "\n");
    // The fatal error reaches the system log too (the world takes it from
    // the socket on a thread of its own).
    w.wait_for([&] { return w.syslog().size() >= 4; }, 5);
    const std::vector<SyslogEntry> sent = syslog_entries(w);
    std::string entries;
    for (const SyslogEntry &e : sent) entries += e.text + "\n";
    ASSERT_EQ(sent.size(), 4u) << entries;
    EXPECT_EQ(sent.back().text, "BEXOD:  Unable to select I2C device");

    EXPECT_EQ(w.bexod({"-status"}).out, "B.EXO Daemon stopped...\n");
    w.board().set_answering(true);
    w.board().fail_reads(0);
    const pid_t next = start_daemon(w);
    EXPECT_GT(next, 0);
    EXPECT_NE(next, pid);
}

INSTANTIATE_TEST_SUITE_P(Faults, DaemonFailedRead,
                         testing::Values(FailedReadCase{"OneFailedRead", 1, false},
                                         FailedReadCase{"FourInARow", 4, false},
                                         FailedReadCase{"FiveInARow", 5, true},
                                         FailedReadCase{"BoardGone", -1, true}),
                         [](const testing::TestParamInfo<FailedReadCase> &info) { return info.param.name; });

}  // namespace
