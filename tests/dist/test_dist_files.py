# SPDX-License-Identifier: GPL-2.0-or-later
"""The shipped configuration, service unit and manual pages agree with the
programs: the keys they read, the values their own checks accept, the paths
they use and the options they offer."""

import configparser
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from test_mail import load_script

TOP = Path(__file__).resolve().parents[2]
CFG = TOP / "dist" / "bexo.cfg"
UNIT = TOP / "dist" / "bexod.service.in"  # ExecStart=@BEXOD_PROGRAM@ -start
POSTINST = TOP / "debian" / "postinst"  # EARLIER_UNITS: the sums of the units released before
DIST_BUILD = os.environ.get("BEXO_DIST_BUILD")  # a configured build (scripts/dist-test sets it)
SETTINGS_TABLE = TOP / "common" / "config" / "settings_table.cpp"
COMPLETION = TOP / "dist" / "completion"
GPL_2 = Path("/usr/share/common-licenses/GPL-2")

TOOL_OPTIONS = {  # long name: short form
    "chrgon": "1", "chrgoff": "2", "vin": "3", "pwrext": "4", "pwrbat": "5", "capbat": "6",
    "status": "7", "timer": "8", "auto": "9", "sleep": "0", "chrgpwr": "a", "chgadd": "b",
    "flash": "c", "help": "d", "mail": "e", "boot": "f", "shutdown": "g", "setboot": "h",
    "setshutdown": "i",
}
DAEMON_OPTIONS = {"status": "i", "start": "b", "stop": "e", "restart": None, "check": None}


def table_keys(section):
    """The keys the programs' settings table gives `section`."""
    return re.findall(r'\{"%s",\s*"([a-z_0-9]+)"' % section, SETTINGS_TABLE.read_text())


def ini_lines(section):
    """Raw key lines of one section of the shipped file, in order."""
    lines, inside = [], False
    for line in CFG.read_text().splitlines():
        s = line.strip()
        if s.startswith("["):
            inside = s.lower() == "[%s]" % section.lower()
        elif inside and s and s[0] not in ";#":
            lines.append(s)
    return lines


class ShippedConfigurationTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.general = load_script().read_section(CFG, "General")

    def test_GeneralHoldsEachKeyTheProgramsReadExactlyOnce(self):
        wanted = set(table_keys("General"))
        self.assertEqual(len(wanted), 9, "key names not found in " + str(SETTINGS_TABLE))
        written = [line.split("=", 1)[0].strip().lower() for line in ini_lines("General")]
        self.assertEqual(sorted(written), sorted(wanted))

    def test_ShippedValuesPassTheToolsOwnChecks(self):
        g = self.general
        # -chgadd: "0x" and two hex digits, at most 0x77
        self.assertRegex(g["address"], r"^0[xX][0-7][0-9A-Fa-f]$")
        self.assertEqual(int(g["address"], 16), 0x0F)
        for key in ("time_boot", "time_shutdown"):
            self.assertRegex(g[key], r"^([01][0-9]|2[0-4]):[0-5][0-9]:[0-5][0-9]$", key)
        for key in ("autostart", "mail", "timed_boot", "timed_shutdown"):
            self.assertIn(g[key], ("0", "1"), key)
        # the daily shutdown is seen only by a check inside its 10 s window
        self.assertIn(int(g["sleep"]), range(1, 10))
        self.assertEqual(int(g["timer"]), -1)
        self.assertEqual(g["autostart"], "1")

    def test_NutSectionShipsTheDaemonsKeysWithTheExportOff(self):
        self.assertEqual(sorted(table_keys("NUT")), ["export", "hostsync", "interval"])
        self.assertEqual(ini_lines("NUT"), [
            "export=0        ; 1: publish the board's state for NUT's dummy-ups driver (other values: 0)",
            "interval=10     ; seconds between two readings of the board, 2 or more (less counts as 2)",
            "hostsync=0      ; seconds between announcing LB or FSD and the power-off"])
        nut = load_script().read_section(CFG, "NUT")
        self.assertEqual((nut["export"], nut["interval"], nut["hostsync"]), ("0", "10", "0"))

    def test_NotifyCommandIsOffAsShippedAndItsUserTheTablesDefault(self):
        self.assertEqual(sorted(table_keys("Notify")), ["command", "user"])
        self.assertEqual(ini_lines("Notify"), ["command=", "user=nobody"])
        self.assertRegex(SETTINGS_TABLE.read_text(), r'\{"Notify",\s*"user",[^}]*"nobody"')

    def test_NoUserCommandIsActiveAsShipped(self):
        self.assertEqual(ini_lines("User"), [])

    def test_MailSectionIsInvisibleToGeneralAndUser(self):
        mail_keys = {line.split("=", 1)[0] for line in ini_lines("Mail")}
        self.assertTrue({"recipient", "sender", "server", "port"} <= mail_keys)
        self.assertFalse(mail_keys & set(self.general))


def read_unit(path):
    unit = configparser.ConfigParser(strict=True, interpolation=None)
    unit.optionxform = str
    unit.read(path)
    return unit


def render_unit(program):
    return UNIT.read_text().replace("@BEXOD_PROGRAM@", program)


class ServiceUnitTest(unittest.TestCase):
    @unittest.skipUnless(DIST_BUILD, "needs a configured build: set BEXO_DIST_BUILD")
    def test_InstalledUnitStartsTheBexodOfItsPrefix(self):
        # the prefix of the configure (/usr) or the one given to cmake --install
        for prefix, program in ((None, "/usr/sbin/bexod"), ("/usr/local", "/usr/local/sbin/bexod"),
                                ("/opt/pi", "/opt/pi/sbin/bexod")):
            with self.subTest(prefix=prefix), tempfile.TemporaryDirectory() as stage:
                cmd = ["cmake", "--install", DIST_BUILD] + (["--prefix", prefix] if prefix else [])
                subprocess.run(cmd, check=True, capture_output=True, env=dict(os.environ, DESTDIR=stage))
                unit = Path(stage) / "opt/bexod/start/bexod.service"
                self.assertEqual(read_unit(unit)["Service"]["ExecStart"], program + " -start")
                self.assertTrue((Path(stage) / program.lstrip("/")).is_file())
                self.assertEqual(unit.read_text(), render_unit(program))

    def test_EveryUnitReleasedBeforeIsKnownToThePostinst(self):
        # Every unit in the history other than today's, as a /usr install wrote it.
        known = set(re.findall(r"^[0-9a-f]{64}$", POSTINST.read_text(), re.M))
        log = subprocess.run(["git", "-C", str(TOP), "log", "--format=%H", "--", "dist/bexod.service",
                              "dist/bexod.service.in"], capture_output=True, text=True)
        if log.returncode != 0 or not log.stdout.split():
            self.skipTest("no git history")
        current = render_unit("/usr/sbin/bexod")
        for commit in log.stdout.split():
            for name in ("dist/bexod.service", "dist/bexod.service.in"):
                shown = subprocess.run(["git", "-C", str(TOP), "show", "%s:%s" % (commit, name)],
                                       capture_output=True)
                if shown.returncode != 0:
                    continue
                text = shown.stdout.replace(b"@BEXOD_PROGRAM@", b"/usr/sbin/bexod")
                if text != current.encode():
                    self.assertIn(hashlib.sha256(text).hexdigest(), known, "%s of %s" % (name, commit))

    def test_UnitRunsTheDaemonTheWayItDetachesAndStops(self):
        unit = read_unit(UNIT)
        service = unit["Service"]
        self.assertEqual(service["ExecStart"], "@BEXOD_PROGRAM@ -start")
        self.assertEqual(service["Type"], "forking")
        # bexod writes /var/run/bexod.pid; /var/run is a link to /run
        self.assertIn(service["PIDFile"], ("/run/bexod.pid", "/var/run/bexod.pid"))
        self.assertEqual(service["KillSignal"], "SIGTERM")
        self.assertEqual(service["KillMode"], "process")
        self.assertEqual(unit["Install"]["WantedBy"], "multi-user.target")

    def test_DaemonStopsAfterOrdinaryServicesAndBeforeFileSystemsGo(self):
        unit = configparser.ConfigParser(interpolation=None)
        unit.read(UNIT)
        u = unit["Unit"]
        after, before = u["After"].split(), u["Before"].split()
        self.assertIn("local-fs.target", after)
        self.assertIn("shutdown.target", before)
        self.assertIn("shutdown.target", u["Conflicts"].split())
        # ordinary services are ordered after basic.target, so they stop first
        self.assertIn("basic.target", before)
        self.assertEqual(u["DefaultDependencies"], "no")


def prestart_command():
    unit = configparser.ConfigParser(interpolation=None)
    unit.read(UNIT)
    command = unit["Service"]["ExecStartPre"]
    prefix = "/bin/sh -c '"
    assert command.startswith(prefix) and command.endswith("'"), command
    return command[len(prefix):-1].replace("$$", "$")


@unittest.skipUnless(shutil.which("unshare") and os.geteuid() == 0, "needs root for a private /run and /dev")
class PrestartTest(unittest.TestCase):
    """ExecStartPre in a private mount namespace with its own /run and /dev."""

    def run_prestart(self, pid_text, node_after):
        setup = (
            "mount -t tmpfs none /run && mount -t tmpfs none /dev && mknod -m 666 /dev/null c 1 3 && "
            "printf %s \"$PID_TEXT\" > /run/bexod.pid && "
            "{ [ \"$NODE_AFTER\" -lt 0 ] || { sleep \"$NODE_AFTER\"; : > /dev/i2c-1; } & } && ")
        script = setup + "{ " + prestart_command() + "; } && { cat /run/bexod.pid 2>/dev/null || true; }"
        started = time.monotonic()
        done = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", script],
                              capture_output=True, text=True, timeout=30,
                              env={"PATH": os.environ["PATH"], "PID_TEXT": pid_text,
                                   "NODE_AFTER": str(node_after)})
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stderr, "")
        return done.stdout, time.monotonic() - started

    def test_PidFileOfADeadOrForeignProcessIsRemovedALiveDaemonsIsKept(self):
        program = Path(tempfile.mkdtemp()) / "bexod"
        shutil.copy("/bin/sleep", program)
        daemon = subprocess.Popen([str(program), "60"])
        other = subprocess.Popen(["sleep", "60"])
        dead = subprocess.Popen(["true"])
        dead.wait()
        try:
            cases = [
                ("live bexod", "%d\n" % daemon.pid, "%d\n" % daemon.pid),
                ("other process", "%d\n" % other.pid, ""),
                ("dead process", "%d\n" % dead.pid, ""),
                ("no number", "garbage\n", ""),
                ("empty file", "", ""),
            ]
            for name, text, left in cases:
                with self.subTest(name):
                    out, _ = self.run_prestart(text, 0)
                    self.assertEqual(out, left)
        finally:
            for p in (daemon, other):
                p.kill()
                p.wait()
            shutil.rmtree(program.parent)

    def test_WaitsForTheBusNodeButNotLongerThanTenSeconds(self):
        _, seconds = self.run_prestart("", 1)
        self.assertTrue(0.9 < seconds < 3, seconds)
        _, seconds = self.run_prestart("", -1)
        self.assertTrue(9.5 < seconds < 13, seconds)


class LicenceTest(unittest.TestCase):
    @unittest.skipUnless(GPL_2.exists(), "needs Debian's common licences")
    def test_CopyingHoldsTheGplVersion2(self):
        self.assertEqual((TOP / "COPYING").read_text(), GPL_2.read_text())

    def test_CopyrightFileIsMachineReadableGpl2OrLater(self):
        text = (TOP / "debian/copyright").read_text()
        self.assertTrue(text.startswith(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"))
        self.assertIn("\n\nFiles: *\nCopyright: ", text)
        self.assertEqual(re.findall(r"^License: (.*)$", text, re.M), ["GPL-2+", "GPL-2+"])
        self.assertIn("either version 2 of the License, or\n (at your option) any later version.", text)
        self.assertIn('"/usr/share/common-licenses/GPL-2"', text)


def source_options(path):
    """The long option names of a program's option table."""
    return set(re.findall(r"^\s*\{(?:'.', )?\"([a-z]+)\", (?:no|required)_argument", path.read_text(), re.M))


def complete(program, *words):
    """What bash offers for the last of `words` after `program`."""
    script = ('source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); '
              '_%s; printf "%%s\\n" "${COMPREPLY[@]}"' % program)
    done = subprocess.run(["bash", "-c", script, "complete", str(COMPLETION / program), program, *words],
                          capture_output=True, text=True, check=True)
    return set(done.stdout.split())


@unittest.skipUnless(shutil.which("bash"), "needs bash")
class CompletionTest(unittest.TestCase):
    def test_EveryOptionOfTheProgramsIsOffered(self):
        for program, source in (("bexo", TOP / "tool/main.cpp"), ("bexod", TOP / "daemon/main.cpp")):
            with self.subTest(program):
                options = source_options(source)
                self.assertGreaterEqual(len(options), 4)
                self.assertEqual(complete(program, ""), {"-" + o for o in options})


class ManPageTest(unittest.TestCase):
    def render(self, name):
        done = subprocess.run(["groff", "-ww", "-man", "-Tutf8", str(TOP / "man" / name)],
                              capture_output=True, text=True, check=True)
        self.assertEqual(done.stderr, "")
        return re.sub(r".\x08", "", done.stdout).replace("\u2010", "-")

    def test_EveryOptionAndKeyIsDocumented(self):
        keys = set(load_script().read_section(CFG, "General"))
        for page, options in (("bexo.8", TOOL_OPTIONS), ("bexod.8", DAEMON_OPTIONS)):
            text = self.render(page)
            with self.subTest(page):
                for name, short in options.items():
                    self.assertRegex(text, r"(?<![\w-])-%s\b" % name)
                    if short:
                        self.assertRegex(text, r"-%s\b" % re.escape(short), name)
                for key in keys:
                    self.assertIn(key, text)
                for section in ("CONFIGURATION", "FILES", "EXIT STATUS"):
                    self.assertIn("\n" + section + "\n", text)


if __name__ == "__main__":
    unittest.main()
