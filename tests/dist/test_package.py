# SPDX-License-Identifier: GPL-2.0-or-later
"""The Debian packages in BEXO_DEB_DIR (scripts/dist-test sets it to out/):
their content and fields, lintian, and install, upgrade, removal and purge
with dpkg in a throw-away root that has a shell but no systemd; with
BEXO_CHROOT_TGZ (a Debian chroot saved by piuparts) also piuparts and the
upgrades from BEXO_OLD_DEB (the package of the release before, where
bexo.cfg was a conffile) and from the package itself, run as an owner's
unattended upgrade runs."""

import hashlib
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest
from pathlib import Path

DEB_DIR = os.environ.get("BEXO_DEB_DIR")
CHROOT_TGZ = os.environ.get("BEXO_CHROOT_TGZ")
OLD_DEB = os.environ.get("BEXO_OLD_DEB")
BUSYBOX = Path("/bin/busybox")

FILES = {  # path in the package: mode
    "etc/logrotate.d/bexo": 0o644,
    "lib/systemd/system/bexod.service": 0o644,
    "usr/bin/bexo": 0o755,
    "usr/sbin/bexod": 0o755,
    "usr/share/bash-completion/completions/bexo": 0o644,
    "usr/share/bash-completion/completions/bexod": 0o644,
    "usr/share/bexo/bexo.cfg": 0o644,
    "usr/share/bexo/mail.py": 0o644,
    "usr/share/doc/bexo/README.md.gz": 0o644,
    "usr/share/doc/bexo/changelog.Debian.gz": 0o644,
    "usr/share/doc/bexo/copyright": 0o644,
    "usr/share/doc/bexo/examples/ups.conf": 0o644,
    "usr/share/doc/bexo/examples/notify.sh": 0o644,
    "usr/share/lintian/overrides/bexo": 0o644,
    "usr/share/man/man8/bexo.8.gz": 0o644,
    "usr/share/man/man8/bexod.8.gz": 0o644,
}
ELF = {"armhf": r"ELF 32-bit LSB .*, ARM, EABI5 .*, statically linked, .*stripped",
       "arm64": r"ELF 64-bit LSB .*, ARM aarch64, .*, dynamically linked, .*stripped",
       "amd64": r"ELF 64-bit LSB .*, x86-64, .*, dynamically linked, .*stripped"}
# The Pis the packages run on, in their description.
MODELS = ("32-bit Raspberry Pi OS", "Pi 1", "Zero W", "64-bit Raspberry Pi OS", "Pi 3, 4, 400, 5 and Zero 2 W")
UNIT = "etc/systemd/system/bexod.service"
SHIPPED = "opt/bexod/start/bexod.service"
PACKAGE_UNIT = "lib/systemd/system/bexod.service"
NUT_FILE = "run/bexod/bexo.dev"
DEFAULT_CFG = "usr/share/bexo/bexo.cfg"
MAIL_SCRIPT = "opt/bexod/scripts/mail.py"
ADM = 4  # group adm, as base-passwd makes it
TOP = Path(__file__).resolve().parents[2]
WANTS = "etc/systemd/system/multi-user.target.wants/bexod.service"


def packages():
    if not DEB_DIR:
        return []
    return sorted(Path(DEB_DIR).glob("bexo_*.deb"))


def native_package():
    """The package of this machine's architecture: the life cycle does not
    depend on the architecture, and its programs run here."""
    arch = run("dpkg", "--print-architecture").stdout.strip()
    found = [deb for deb in packages() if deb.name.endswith("_%s.deb" % arch)]
    return found[0] if found else None


def earliest_unit():
    """The first unit a package shipped, from the history; None without git."""
    done = subprocess.run(["git", "-C", str(TOP), "log", "--reverse", "--format=%H", "--",
                           "dist/bexod.service"], capture_output=True, text=True)
    commits = done.stdout.split() if done.returncode == 0 else []
    if not commits:
        return None
    return subprocess.run(["git", "-C", str(TOP), "show", commits[0] + ":dist/bexod.service"],
                          capture_output=True, check=True).stdout


def debug_file(deb, program, tmp):
    """The debug file (with the symbol table) of an unpacked program of
    `deb`, from the -dbgsym package beside it."""
    build_id = re.search(r"Build ID: ([0-9a-f]{2})([0-9a-f]+)", run("readelf", "-n", program).stdout)
    ddeb = next(deb.parent.glob(deb.name.replace("bexo_", "bexo-dbgsym_").replace(".deb", ".deb")))
    run("dpkg-deb", "-x", str(ddeb), tmp)
    return str(Path(tmp) / "usr/lib/debug/.build-id" / build_id.group(1) / (build_id.group(2) + ".debug"))


def run(*cmd, check=True):
    return subprocess.run(cmd, capture_output=True, text=True, check=check)


def contents(deb):
    """{path: (mode, owner)} of the package's data."""
    out = {}
    for line in run("dpkg-deb", "-c", str(deb)).stdout.splitlines():
        perms, owner, _size, _date, _time, name = line.split(None, 5)
        mode = sum(0o400 >> i for i, c in enumerate(perms[1:10]) if c != "-")
        out[name.removeprefix("./").split(" -> ")[0]] = (perms[0], mode, owner)
    return out


class FakeDaemon:
    """A process named bexod whose PID stands in the PID file."""

    def __init__(self, root, tmp):
        program = Path(tmp) / "bexod"
        shutil.copy("/bin/sleep", program)
        self.proc = subprocess.Popen([str(program), "300"])
        (root / "run" / "bexod.pid").write_text("%d\n" % self.proc.pid)
        # reaped at once, as init would, so that the scripts see it go
        self.reaper = threading.Thread(target=self.proc.wait, daemon=True)
        self.reaper.start()

    def ended_by_sigterm(self):
        self.reaper.join(timeout=5)
        return self.proc.returncode == -signal.SIGTERM

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class ThrowAwayRoot:
    """A root with busybox as its only programs (no systemctl, no
    /run/systemd/system) and a dpkg database of its own; dpkg runs the
    maintainer scripts inside it."""

    def __init__(self, path):
        self.path = Path(path)
        for d in ("bin", "sbin", "usr/bin", "usr/sbin", "etc", "tmp", "run", "proc", "dev", "opt",
                  "var/log", "var/lib/dpkg/info", "var/lib/dpkg/updates"):
            (self.path / d).mkdir(parents=True, exist_ok=True)
        (self.path / "var/run").symlink_to("../run")
        (self.path / "var/lib/dpkg/status").touch()
        (self.path / "etc/passwd").write_text("root:x:0:0:root:/root:/bin/sh\n")
        (self.path / "etc/group").write_text("root:x:0:\nadm:x:%d:\n" % ADM)
        shutil.copy(BUSYBOX, self.path / "bin/busybox")
        for applet in run(str(BUSYBOX), "--list").stdout.split():
            link = self.path / "bin" / applet
            if not link.exists():
                link.symlink_to("busybox")
        subprocess.run(["mknod", "-m", "666", str(self.path / "dev/null"), "c", "1", "3"], check=True)
        subprocess.run(["mount", "-t", "proc", "proc", str(self.path / "proc")], check=True)

    def close(self):
        subprocess.run(["umount", str(self.path / "proc")], check=False)

    def dpkg(self, *args):
        done = run("dpkg", "--root=" + str(self.path), "--force-architecture", "--force-depends",
                   "--force-confold", *args, check=False)
        if done.returncode != 0:
            raise AssertionError("dpkg %s failed:\n%s%s" % (" ".join(args), done.stdout, done.stderr))
        # a maintainer script that stumbles prints on its own stderr
        noise = [line for line in done.stderr.splitlines()
                 if not line.startswith(("dpkg: warning:", "dpkg: bexo", " bexo", "dpkg: dependency", "  Package "))
                 and "does not match system" not in line and line.strip()]
        if noise:
            raise AssertionError("dpkg %s printed:\n%s" % (" ".join(args), "\n".join(noise)))
        return done.stdout

    def stand_in(self, path, script):
        """Diverts the package's `path` (to path.real) and puts a shell
        script there; call before the first install."""
        run("dpkg-divert", "--root=" + str(self.path), "--divert", path + ".real", "--add", path)
        self.write_script(path, script)

    def write_script(self, path, script):
        target = self.path / path.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text("#!/bin/sh\n" + script)
        target.chmod(0o755)

    def status(self):
        text = (self.path / "var/lib/dpkg/status").read_text()
        entry = re.search(r"^Package: bexo\n(.*?)(?:\n\n|\Z)", text, re.S | re.M)
        return entry.group(1) if entry else ""

    def __truediv__(self, rel):
        return self.path / rel


@unittest.skipUnless(packages(), "no packages: set BEXO_DEB_DIR (scripts/dist-test does)")
class PackageTest(unittest.TestCase):
    def each_package(self):
        return [(deb, run("dpkg-deb", "-f", str(deb), "Architecture").stdout.strip())
                for deb in packages()]

    def test_EveryArchitectureIsPresent(self):
        arches = sorted(run("dpkg-deb", "-f", str(d), "Architecture").stdout.strip() for d in packages())
        self.assertEqual(arches, ["amd64", "arm64", "armhf"])

    def test_PackageHoldsTheInstalledLayoutWithItsModes(self):
        for deb, arch in self.each_package():
            with self.subTest(arch=arch):
                found = contents(deb)
                files = {p: m for p, (kind, m, _o) in found.items() if kind == "-"}
                self.assertEqual(files, FILES)
                self.assertFalse([p for p in found if p.startswith("opt/")], "dpkg would own /opt")
                self.assertEqual({o for _k, _m, o in found.values()}, {"root/root"})

    def test_ControlFieldsNameTargetPackagesAndOnlyTheLogrotateFileIsAConffile(self):
        for deb, arch in self.each_package():
            with self.subTest(arch=arch):
                depends = run("dpkg-deb", "-f", str(deb), "Depends").stdout.strip()
                if arch == "armhf":  # static programs
                    self.assertNotIn("libc6", depends)
                else:
                    self.assertRegex(depends, r"(^|, )libc6 \(>= [0-9.]+\)")
                self.assertIn("sudo", depends.split(", "))
                self.assertNotRegex(depends, r":|-cross")
                recommends = run("dpkg-deb", "-f", str(deb), "Recommends").stdout.strip().split(", ")
                self.assertTrue({"python3", "python-is-python3"} <= set(recommends))
                suggests = run("dpkg-deb", "-f", str(deb), "Suggests").stdout.strip().split(", ")
                self.assertIn("nut-server", suggests)
                # bexo's setters edit bexo.cfg: a conffile would make upgrades ask
                conffiles = run("dpkg-deb", "-I", str(deb), "conffiles").stdout.split()
                self.assertEqual(conffiles, ["/etc/logrotate.d/bexo"])

    def test_DescriptionNamesThePisItRunsOn(self):
        for deb, arch in self.each_package():
            with self.subTest(arch=arch):
                description = " ".join(run("dpkg-deb", "-f", str(deb), "Description").stdout.split())
                for model in MODELS:
                    self.assertIn(model, description)

    def test_ProgramsAreStrippedExecutablesOfThePackageArchitecture(self):
        for deb, arch in self.each_package():
            with self.subTest(arch=arch):
                with tempfile.TemporaryDirectory() as tmp:
                    run("dpkg-deb", "-x", str(deb), tmp)
                    for program in ("usr/sbin/bexod", "usr/bin/bexo"):
                        self.assertRegex(run("file", "-b", str(Path(tmp) / program)).stdout, ELF[arch])

    def test_LintianPedanticFindsNothingBeyondTheExplainedOverrides(self):
        for deb, arch in self.each_package():
            with self.subTest(arch=arch):
                done = run("lintian", "--pedantic", "--display-info", "--display-experimental",
                           "--fail-on", "error,warning,info,pedantic,experimental", str(deb), check=False)
                tags = [line for line in done.stdout.splitlines() if line[:2] in ("E:", "W:", "I:", "P:", "X:")]
                self.assertEqual(tags, [])
                self.assertEqual(done.returncode, 0, done.stdout + done.stderr)

    def test_ProgramsCarryDebiansHardening(self):
        for deb, arch in self.each_package():
            with self.subTest(arch=arch), tempfile.TemporaryDirectory() as tmp:
                run("dpkg-deb", "-x", str(deb), tmp)
                for program in ("usr/sbin/bexod", "usr/bin/bexo"):
                    path = str(Path(tmp) / program)
                    dynamic = run("readelf", "-dW", path).stdout
                    segments = run("readelf", "-lW", path).stdout
                    self.assertIn("GNU_RELRO", segments, program)
                    if arch != "armhf":
                        symbols = run("readelf", "--dyn-syms", "-W", path).stdout
                        self.assertRegex(symbols, r"__(s|v?f)?printf_chk", program)
                        self.assertIn("__stack_chk_fail", symbols, program)
                        self.assertRegex(dynamic, r"\(FLAGS_1\).*\bNOW\b.*\bPIE\b", program)
                    else:
                        # stripped and static: the checked functions show in the
                        # symbols kept with the debug information
                        symbols = run("readelf", "-sW", debug_file(deb, path, tmp)).stdout
                        self.assertRegex(symbols, r" __(s|v?f)?printf_chk\n", program)
                    sections = run("readelf", "-SW", path).stdout
                    self.assertNotIn(" .comment ", sections, program)

    def test_InstallKeepsAnEditedConfigurationAcrossUpgradeAndRemovesAllOnPurge(self):
        with tempfile.TemporaryDirectory() as tmp:
            root = ThrowAwayRoot(Path(tmp) / "root")
            try:
                self.install_upgrade_remove_purge(root, native_package(), tmp)
            finally:
                root.close()

    def upgrade_with_running_daemon(self, root, deb, tmp):
        daemon = FakeDaemon(root.path, tmp)
        try:
            out = root.dpkg("-i", str(deb))
            self.assertTrue(daemon.ended_by_sigterm(), "upgrade did not stop the daemon")
        finally:
            daemon.stop()
        self.assertIn("Status: install ok installed", root.status())
        return out

    def install_upgrade_remove_purge(self, root, deb, tmp):
        root.stand_in("/usr/sbin/bexod", "echo 'B.EXO Daemon started..'\n")
        out = root.dpkg("-i", str(deb))
        self.assertIn("bexod -start", out)  # the hint of a fresh install
        self.assertIn("Status: install ok installed", root.status())
        self.assertNotIn("bexo.cfg", root.status())
        cfg = root / "opt/bexod/bexo.cfg"
        self.assertEqual(cfg.read_bytes(), (root / DEFAULT_CFG).read_bytes())
        self.assertEqual(cfg.stat().st_mode & 0o7777, 0o644)
        # where the programs look for them, put there by the postinst
        self.assertEqual((root / MAIL_SCRIPT).read_bytes(), (root / "usr/share/bexo/mail.py").read_bytes())
        self.assertEqual((root / MAIL_SCRIPT).stat().st_mode & 0o7777, 0o755)
        self.assertTrue((root / "opt/bexod/tools").is_dir())
        self.assertFalse((root / UNIT).exists(), "the package must leave the unit to bexod")
        self.assertEqual((root / PACKAGE_UNIT).read_text(), (root / SHIPPED).read_text())
        self.assertFalse((root / "etc/systemd").exists(), "installing enables nothing")
        log = root / "var/log/bexod.log"
        self.assertEqual((log.stat().st_uid, log.stat().st_gid, log.stat().st_mode & 0o7777), (0, ADM, 0o640))
        os.chown(log, 0, 0)  # as bexod created it before the package did

        # bexod ran with autostart=1 and installed the unit of an earlier
        # version; the user edited the configuration
        cfg.write_text(cfg.read_text().replace("timer=-1", "timer=300"))
        (root / "etc/systemd/system/multi-user.target.wants").mkdir(parents=True)
        (root / UNIT).write_bytes(earliest_unit() or (root / SHIPPED).read_bytes())
        (root / WANTS).symlink_to("/" + UNIT)
        out = self.upgrade_with_running_daemon(root, deb, tmp)
        self.assertNotIn("bexod -start", out)  # the hint of a fresh install
        self.assertIn("B.EXO Daemon started..", out)  # started again, and says so
        self.assertNotIn("failed", out)
        self.assertIn("timer=300", cfg.read_text())
        self.assertEqual((root / UNIT).read_text(), (root / SHIPPED).read_text())
        self.assertFalse((root / "run/bexod.dpkg-restart").exists())
        self.assertEqual((log.stat().st_gid, log.stat().st_mode & 0o7777), (ADM, 0o640))

        (root / NUT_FILE).parent.mkdir()
        (root / NUT_FILE).write_text("ups.status: OL\n")
        (root / "var/log/bexod.log").write_text("Tue Dec  8 10:00:00 2026 - BEXOD: Entering Daemon BEXO.\n")
        daemon = FakeDaemon(root.path, tmp)
        try:
            root.dpkg("-r", "bexo")
            self.assertTrue(daemon.ended_by_sigterm(), "removal did not stop the daemon")
        finally:
            daemon.stop()
        self.assertFalse((root / UNIT).exists())
        self.assertFalse((root / WANTS).is_symlink())
        self.assertFalse((root / "usr/sbin/bexod.real").exists())  # the package's program
        self.assertFalse((root / PACKAGE_UNIT).exists())
        self.assertFalse((root / SHIPPED).exists())
        self.assertFalse((root / MAIL_SCRIPT).exists())
        self.assertFalse((root / NUT_FILE).parent.exists(), "the NUT file outlived the daemon")
        self.assertIn("timer=300", cfg.read_text())

        root.dpkg("--purge", "bexo")
        self.assertFalse(cfg.exists())
        self.assertFalse((root / "var/log/bexod.log").exists())
        self.assertFalse((root / "opt/bexod").exists())
        self.assertTrue((root / "opt").is_dir(), "purge took /opt, which the system had before")
        self.assertNotIn("Status: install", root.status())

    def test_UpgradeKeepsAnEditedUnitAndSaysSoOnce(self):
        deb = native_package()
        with tempfile.TemporaryDirectory() as tmp:
            root = ThrowAwayRoot(Path(tmp) / "root")
            try:
                root.dpkg("-i", str(deb))
                (root / "etc/systemd/system").mkdir(parents=True)
                edited = (root / SHIPPED).read_text().replace("TimeoutStopSec=30", "TimeoutStopSec=90")
                (root / UNIT).write_text(edited)
                out = root.dpkg("-i", str(deb))
                self.assertEqual((root / UNIT).read_text(), edited)
                self.assertEqual(out.count("/etc/systemd/system/bexod.service has local changes and is kept"),
                                 1, out)
            finally:
                root.close()

    def test_FailedRestartAfterAnUpgradeIsShownAndTheUpgradeStands(self):
        failing_bexod = "echo 'Unable to open I2C device: No such file or directory' >&2\nexit 1\n"
        # systemctl as systemd's: a failed start says nothing itself; status shows the journal
        failing_systemctl = (
            'case "$1" in\nstart) exit 1 ;;\n'
            'status) echo "x bexod.service - B.EXO UPS monitoring daemon"\n'
            '  echo "bexod[42]: Unable to open I2C device: No such file or directory"; exit 3 ;;\n'
            'esac\nexit 0\n')
        by_systemd = ["bexo: starting bexod.service again failed with status 1:",
                      "bexod[42]: Unable to open I2C device: No such file or directory"]
        cases = [  # how it was started, the unit in /etc, the lines the user must see
            ("by hand", None, False, ["bexo: 'bexod -start' failed with status 1:",
                                      "Unable to open I2C device: No such file or directory"]),
            ("by systemd", failing_systemctl, True, by_systemd),
            ("by systemd from the package's unit", failing_systemctl, False, by_systemd),
        ]
        deb = native_package()
        for name, systemctl, etc_copy, shown in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as tmp:
                root = ThrowAwayRoot(Path(tmp) / "root")
                try:
                    root.stand_in("/usr/sbin/bexod", failing_bexod)
                    root.dpkg("-i", str(deb))
                    if systemctl:
                        (root / "run/systemd/system").mkdir(parents=True)
                        root.write_script("/usr/bin/systemctl", systemctl)
                    if etc_copy:
                        (root / "etc/systemd/system").mkdir(parents=True)
                        shutil.copy(root / SHIPPED, root / UNIT)
                    out = self.upgrade_with_running_daemon(root, deb, tmp)
                    lines = out.splitlines()
                    self.assertIn(shown[0], lines, out)
                    self.assertIn(shown[1], lines[lines.index(shown[0]) + 1:], out)
                finally:
                    root.close()

    @unittest.skipUnless(shutil.which("systemctl"), "needs systemctl")
    def test_SystemctlEnableFindsThePackagesUnitAndTheRemovalDisablesIt(self):
        deb = native_package()
        with tempfile.TemporaryDirectory() as tmp:
            root = ThrowAwayRoot(Path(tmp) / "root")
            try:
                root.dpkg("-i", str(deb))
                systemctl = ("systemctl", "--root=" + str(root.path))
                run(*systemctl, "enable", "bexod.service")
                self.assertEqual(os.readlink(root / WANTS), "/" + PACKAGE_UNIT)
                self.assertEqual(run(*systemctl, "is-enabled", "bexod.service").stdout.strip(), "enabled")
                root.dpkg("-i", str(deb))
                self.assertTrue((root / WANTS).is_symlink(), "an upgrade keeps the owner's choice")
                root.dpkg("-r", "bexo")
                self.assertFalse((root / WANTS).is_symlink())
                self.assertFalse((root / PACKAGE_UNIT).exists())
                root.dpkg("--purge", "bexo")
                self.assertNotIn("Status: install", root.status())
            finally:
                root.close()

    def test_StalePidFileIsNotSignalled(self):
        deb = native_package()
        with tempfile.TemporaryDirectory() as tmp:
            root = ThrowAwayRoot(Path(tmp) / "root")
            other = subprocess.Popen(["sleep", "300"])  # not named bexod
            try:
                root.dpkg("-i", str(deb))
                (root / "run/bexod.pid").write_text("%d\n" % other.pid)
                started = time.monotonic()
                root.dpkg("-r", "bexo")
                self.assertIsNone(other.poll())
                self.assertLess(time.monotonic() - started, 5)
            finally:
                other.kill()
                other.wait()
                root.close()


def repack(deb, tmp, version, default):
    """`deb` as version `version`, its shipped default bexo.cfg (`default`,
    the path in the package) one comment line longer: an upgrade whose
    default changed."""
    tree = Path(tmp) / ("repack-" + version)
    run("dpkg-deb", "-R", str(deb), str(tree))
    control = tree / "DEBIAN/control"
    control.write_text(re.sub(r"^Version: .*$", "Version: " + version, control.read_text(), flags=re.M))
    cfg = tree / default
    cfg.write_text(cfg.read_text() + "; the default of %s\n" % version)
    sums = tree / "DEBIAN/md5sums"
    digest = hashlib.md5(cfg.read_bytes()).hexdigest()
    sums.write_text(re.sub(r"^[0-9a-f]{32}(  %s)$" % re.escape(default), digest + r"\1", sums.read_text(), flags=re.M))
    out = Path(tmp) / ("bexo_%s.deb" % version)
    run("dpkg-deb", "--root-owner-group", "-b", str(tree), str(out))
    return out


class DebianChroot:
    """The Debian system that piuparts tests in, unpacked from its saved
    tarball, with the package's dependencies installed: packages go in and
    out with apt-get as on an owner's system, without a terminal."""

    def __init__(self, path):
        self.path = Path(path)
        self.path.mkdir()
        run("tar", "-xzf", CHROOT_TGZ, "-C", str(self.path))
        shutil.copy("/etc/resolv.conf", self.path / "etc/resolv.conf")
        subprocess.run(["mount", "-t", "proc", "proc", str(self.path / "proc")], check=True)
        self.apt("update")
        self.apt("install", "--no-install-recommends", "sudo")

    def close(self):
        subprocess.run(["umount", str(self.path / "proc")], check=False)

    def apt(self, *args):
        """apt-get with standard input closed, as an unattended upgrade runs:
        a conffile question would end it with an error."""
        done = subprocess.run(["chroot", str(self.path), "apt-get", "-y", *args], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        if done.returncode != 0:
            raise AssertionError("apt-get %s failed:\n%s%s" % (" ".join(args), done.stdout, done.stderr))
        return done.stdout + done.stderr

    def install(self, deb):
        shutil.copy(deb, self.path / "tmp")
        return self.apt("install", "--no-install-recommends", "/tmp/" + Path(deb).name)

    def __truediv__(self, rel):
        return self.path / rel


@unittest.skipUnless(CHROOT_TGZ and native_package(), "needs BEXO_CHROOT_TGZ and a package (scripts/dist-test)")
class LifeCycleInDebianTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.root = DebianChroot(Path(cls.tmp.name) / "root")
        version = run("dpkg-deb", "-f", str(native_package()), "Version").stdout.strip() + "+1"
        cls.next_version = repack(native_package(), cls.tmp.name, version, DEFAULT_CFG)

    @classmethod
    def tearDownClass(cls):
        cls.root.close()
        cls.tmp.cleanup()

    @unittest.skipUnless(shutil.which("piuparts"), "needs piuparts")
    def test_PiupartsInstallsAndPurgesWithoutATrace(self):
        # sudo, which bexo depends on, refuses its own removal on a system
        # whose root has no password, as in piuparts' chroot, unless told
        done = subprocess.run(["piuparts", "--basetgz", CHROOT_TGZ, "--distribution", "bookworm",
                               "--mirror", os.environ.get("BEXO_MIRROR", "http://deb.debian.org/debian"),
                               str(native_package())], capture_output=True, text=True,
                              env=dict(os.environ, SUDO_FORCE_REMOVE="yes"))
        self.assertEqual(done.returncode, 0, done.stdout[-6000:] + done.stderr[-3000:])
        self.assertIn("PASS: All tests.", done.stdout + done.stderr)

    def check_upgrades(self, first):
        """Installs `first`, edits bexo.cfg as bexo's setters do (or not),
        upgrades to the next version, whose shipped default changed,
        without a terminal: the owner's file stays byte for byte and no
        copy of it appears. Purge then removes it and leaves /opt."""
        root = self.root
        cfg = root / "opt/bexod/bexo.cfg"
        for edit in ("timer=300", None):
            with self.subTest(edited=bool(edit)):
                root.install(first)
                if edit:
                    cfg.write_text(cfg.read_text().replace("timer=-1", edit))
                owners = cfg.read_bytes()
                out = root.install(self.next_version)
                self.assertNotIn("Configuration file", out)
                self.assertEqual(cfg.read_bytes(), owners)
                self.assertEqual(sorted(p.name for p in cfg.parent.glob("bexo.cf*")), ["bexo.cfg"])
                self.assertIn("; the default of", (root / DEFAULT_CFG).read_text())
                root.apt("purge", "bexo")
                self.assertFalse((root / "opt/bexod").exists())
                self.assertTrue((root / "opt").is_dir())

    @unittest.skipUnless(OLD_DEB, "needs BEXO_OLD_DEB, the package of the release before")
    def test_UpgradeFromTheReleaseWhereBexoCfgWasAConffileKeepsTheOwnersFile(self):
        self.check_upgrades(Path(OLD_DEB))

    def test_UpgradeOfThisPackageKeepsTheOwnersFile(self):
        self.check_upgrades(native_package())


if __name__ == "__main__":
    unittest.main()
