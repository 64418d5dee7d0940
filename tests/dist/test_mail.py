# SPDX-License-Identifier: GPL-2.0-or-later
"""Tests of dist/mail.py, the supply-loss notice, against a local receiver."""

import email
import email.policy
import importlib.util
import os
import socket
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest
from datetime import datetime
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from smtp_receiver import Receiver  # noqa: E402

SCRIPT = Path(__file__).resolve().parents[2] / "dist" / "mail.py"
PYTHON = os.environ.get("BEXO_TEST_PYTHON", sys.executable)


def load_script():
    found = importlib.util.spec_from_file_location("bexo_mail", SCRIPT)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class MailScriptTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def config(self, mail_lines, extra=""):
        path = Path(self.tmp.name) / "bexo.cfg"
        path.write_text("[General]\nmail=1\n\n" + extra + "[Mail]\n" + textwrap.dedent(mail_lines))
        return path

    def run_script(self, config, close_streams=False):
        def close_std():
            os.close(1)
            os.close(2)
        start = time.monotonic()
        done = subprocess.run([PYTHON, str(SCRIPT), str(config)], capture_output=not close_streams,
                              stdin=subprocess.DEVNULL, text=True, timeout=60,
                              preexec_fn=close_std if close_streams else None)
        done.seconds = time.monotonic() - start
        return done

    def test_SupplyLossNoticeReachesRecipientWithHostAndTime(self):
        with Receiver() as rx:
            cfg = self.config(f"""\
                recipient=admin@example.org
                sender=ups@example.org
                server=127.0.0.1
                port={rx.port}
                """)
            before = datetime.now().replace(microsecond=0)
            done = self.run_script(cfg)
            after = datetime.now()
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(len(rx.messages), 1)
        got = rx.messages[0]
        self.assertEqual(got["from"], "ups@example.org")
        self.assertEqual(got["to"], ["admin@example.org"])
        msg = email.message_from_bytes(got["data"], policy=email.policy.default)
        self.assertEqual(msg["To"], "admin@example.org")
        self.assertEqual(msg["From"], "ups@example.org")
        host = socket.gethostname()
        self.assertIn(host, msg["Subject"])
        body = msg.get_content()
        self.assertIn("supply of %s was lost at " % host, body)
        stamp = body.split(" was lost at ", 1)[1][:19]
        sent = datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S")
        self.assertTrue(before <= sent <= after, (before, sent, after))

    def test_SeveralRecipientsAndLoginAreUsed(self):
        secret = Path(self.tmp.name) / "secret"
        secret.write_text("s3cret\n")
        with Receiver() as rx:
            cfg = self.config(f"""\
                recipient = a@example.org, b@example.org ; two of them
                sender = "UPS <ups@example.org>"
                server = 127.0.0.1
                port = {rx.port}
                user = ups
                password_file = {secret}
                """)
            done = self.run_script(cfg)
        self.assertEqual(done.returncode, 0, done.stderr)
        got = rx.messages[0]
        self.assertEqual(got["to"], ["a@example.org", "b@example.org"])
        self.assertEqual(got["from"], "ups@example.org")
        self.assertEqual(got["auth"], [b"ups", b"s3cret"])

    def test_RunsQuietlyWithClosedStreamsAsUnderTheDaemon(self):
        with Receiver() as rx:
            cfg = self.config(f"recipient=a@example.org\nsender=u@example.org\n"
                              f"server=127.0.0.1\nport={rx.port}\n")
            sent = self.run_script(cfg, close_streams=True)
            bad = self.run_script(self.config("sender=u@example.org\n"), close_streams=True)
        self.assertEqual(sent.returncode, 0)
        self.assertEqual(len(rx.messages), 1)
        # 2 is the script's own answer; a crash on the closed stream would be 1
        self.assertEqual(bad.returncode, 2)

    def test_FailuresExitNonZeroWithAMessage(self):
        secret_missing = Path(self.tmp.name) / "missing-secret"
        cases = [
            # name, receiver mode, [Mail] lines ({port} filled in), status, text on stderr
            ("no recipient", "normal", "sender=u@x.org\nserver=127.0.0.1\nport={port}\n", 2, '"recipient"'),
            ("no sender", "normal", "recipient=a@x.org\nserver=127.0.0.1\nport={port}\n", 2, '"sender"'),
            ("port not a number", "normal", "recipient=a@x.org\nsender=u@x.org\nserver=127.0.0.1\nport=smtp\n",
             2, '"port"'),
            ("password file missing", "normal",
             "recipient=a@x.org\nsender=u@x.org\nserver=127.0.0.1\nport={port}\nuser=u\n"
             "password_file=" + str(secret_missing) + "\n", 2, "missing-secret"),
            ("recipient refused", "reject", "recipient=a@x.org\nsender=u@x.org\nserver=127.0.0.1\nport={port}\n",
             1, "a@x.org"),
            ("STARTTLS not offered", "normal",
             "recipient=a@x.org\nsender=u@x.org\nserver=127.0.0.1\nport={port}\nsecurity=starttls\n",
             1, "STARTTLS"),
            ("server never answers", "silent",
             "recipient=a@x.org\nsender=u@x.org\nserver=127.0.0.1\nport={port}\ntimeout=1\n", 1, "timed out"),
        ]
        for name, mode, lines, status, text in cases:
            with self.subTest(name), Receiver(mode) as rx:
                done = self.run_script(self.config(lines.format(port=rx.port)))
                self.assertEqual(done.returncode, status, done.stderr)
                self.assertIn(text, done.stderr)
                self.assertTrue(done.stderr.startswith("mail.py: "), done.stderr)
                self.assertEqual(rx.messages, [])
                self.assertLess(done.seconds, 15)

    def test_ConnectionRefusedAndMissingFileFail(self):
        refused = self.run_script(self.config(
            f"recipient=a@x.org\nsender=u@x.org\nserver=127.0.0.1\nport={closed_port()}\n"))
        self.assertEqual(refused.returncode, 1)
        self.assertIn("refused", refused.stderr.lower())
        missing = self.run_script(Path(self.tmp.name) / "nothing.cfg")
        self.assertEqual(missing.returncode, 2)
        self.assertIn("nothing.cfg", missing.stderr)


class ConfigReadingTest(unittest.TestCase):
    """The script reads [Mail] by the same rules as bexo and bexod."""

    @classmethod
    def setUpClass(cls):
        cls.mail = load_script()

    def read(self, text):
        with tempfile.NamedTemporaryFile("w", suffix=".cfg", delete=False) as f:
            f.write(text)
        self.addCleanup(os.unlink, f.name)
        return self.mail.read_section(f.name, "Mail")

    def test_ValuesAreCleanedLikeTheIniEngine(self):
        cases = [
            ("recipient=a@x.org ; note", "a@x.org"),
            ("recipient=a@x.org# note", "a@x.org"),
            ('recipient="a;b@x.org"', "a;b@x.org"),
            ('recipient=" padded "', " padded "),
            ('recipient="say \\"hi\\""', 'say "hi"'),
            ('recipient="a\\";b"', 'a";b'),
            ('recipient="a"";b"', 'a";b'),
            ('recipient=""', ""),
            ('recipient="open ; rest', '"open ; rest'),
            ("recipient:colon@x.org", "colon@x.org"),
            ("RECIPIENT = upper@x.org", "upper@x.org"),
            ("recipient=first@x.org\nrecipient=second@x.org", "first@x.org"),
            ("recipient=a@x.org\r", "a@x.org"),
        ]
        for line, want in cases:
            with self.subTest(line=line):
                self.assertEqual(self.read("[mail]\n" + line + "\n")["recipient"], want)

    def test_OnlyTheFirstMailSectionCounts(self):
        values = self.read("recipient=unnamed@x.org\n[General]\nrecipient=general@x.org\n"
                           "[Mail]\n;recipient=comment@x.org\nsender=s@x.org\n[User]\nrecipient=user@x.org\n"
                           "[Mail]\nrecipient=second@x.org\n")
        self.assertEqual(values, {"sender": "s@x.org"})

    def test_ShippedConfigurationIsCompleteButNeedsAddresses(self):
        shipped = self.mail.read_section(SCRIPT.parent / "bexo.cfg", "Mail")
        self.assertEqual(shipped.get("server"), "localhost")
        self.assertEqual(shipped.get("port"), "25")
        with self.assertRaises(self.mail.ConfigError):
            self.mail.settings_from(shipped)


if __name__ == "__main__":
    unittest.main()
