#!/usr/bin/python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Mail notice of a supply loss, started by bexod in the background.

Reads section [Mail] of /opt/bexod/bexo.cfg (another file may be given as
the only argument) and sends one short message through SMTP.

Keys: recipient (one address or several separated by commas), sender,
server, port (default 25), security (none, starttls or tls; default by
port: 465 tls, 587 starttls, otherwise none), user and password_file
(optional login; the file holds the password and should be readable by
root only), timeout (seconds per network step, default 20).

Exit status: 0 sent, 1 sending failed, 2 configuration missing or wrong.
Python 3 standard library only.
"""

import email.message
import email.utils
import signal
import smtplib
import socket
import ssl
import sys
import syslog
import time

CONFIG_PATH = "/opt/bexod/bexo.cfg"
SECTION = "Mail"
# The whole run is cut off after this many seconds, whatever the server does.
RUN_LIMIT = 120


class ConfigError(Exception):
    pass


def clean_value(text):
    """A value as bexo reads it: an unquoted ";" or "#" ends it, outer
    double quotes are dropped, and \\" or "" inside them is one quote."""
    quoted = False
    i = 0
    while i < len(text):
        c = text[i]
        pair = text[i:i + 2]
        if pair in ('""', '\\"'):
            i += 2
            continue
        if c == '"':
            quoted = not quoted
        elif c in ";#" and not quoted:
            break
        i += 1
    value = text[:i].strip()
    if len(value) >= 2 and value[0] == '"' and value[-1] == '"':
        return value[1:-1].replace('\\"', '"').replace('""', '"')
    if value == '"':
        return ""
    return value


def split_key_line(line):
    sep = line.find("=")
    if sep < 0:
        sep = line.find(":")
    if sep < 0:
        return None
    return line[:sep].strip(), line[sep + 1:]


def read_section(path, section):
    """Keys of the first section named `section` (case-insensitive); the
    first line of a key wins, as in bexo and bexod."""
    try:
        with open(path, "rb") as f:
            lines = f.read().decode("utf-8", "replace").splitlines()
    except OSError as e:
        raise ConfigError("cannot read %s: %s" % (path, e.strerror))
    values = {}
    inside = False
    for raw in lines:
        line = raw.strip()
        if line.startswith("["):
            if inside:
                break
            end = line.find("]")
            inside = end > 0 and line[1:end].lower() == section.lower()
            continue
        if not inside or not line or line[0] in ";#":
            continue
        parts = split_key_line(line)
        if parts is not None:
            values.setdefault(parts[0].lower(), clean_value(parts[1]))
    return values


def settings_from(values):
    def required(key):
        if not values.get(key):
            raise ConfigError('no "%s" in section [%s]' % (key, SECTION))
        return values[key]

    def number(key, default):
        text = values.get(key) or str(default)
        try:
            return int(text)
        except ValueError:
            raise ConfigError('"%s" is not a number: %s' % (key, text))

    s = {
        "recipients": [a.strip() for a in required("recipient").split(",") if a.strip()],
        "sender": required("sender"),
        "server": required("server"),
        "port": number("port", 25),
        "timeout": number("timeout", 20),
        "user": values.get("user", ""),
        "password": "",
    }
    default_security = {465: "tls", 587: "starttls"}.get(s["port"], "none")
    s["security"] = (values.get("security") or default_security).lower()
    if s["security"] not in ("none", "starttls", "tls"):
        raise ConfigError('"security" must be none, starttls or tls')
    if s["timeout"] <= 0:
        raise ConfigError('"timeout" must be positive')
    if s["user"]:
        s["password"] = read_password(values.get("password_file", ""))
    return s


def read_password(path):
    if not path:
        raise ConfigError('"user" is set but "password_file" is not')
    try:
        with open(path, encoding="utf-8") as f:
            return f.readline().rstrip("\r\n")
    except OSError as e:
        raise ConfigError("cannot read %s: %s" % (path, e.strerror))


def compose(settings, host, when):
    msg = email.message.EmailMessage()
    msg["From"] = settings["sender"]
    msg["To"] = ", ".join(settings["recipients"])
    msg["Subject"] = "B.EXO UPS: supply lost on %s" % host
    msg["Date"] = email.utils.formatdate(time.mktime(when), localtime=True)
    msg["Message-ID"] = email.utils.make_msgid(domain=host or None)
    stamp = time.strftime("%Y-%m-%d %H:%M:%S %Z", when)
    msg.set_content(
        "The primary supply of %s was lost at %s.\n"
        "The computer now runs on the B.EXO battery. bexod powers it off when\n"
        "the battery runs low or its shutdown timer runs out, unless the supply\n"
        "returns first.\n" % (host, stamp))
    return msg


def send(settings, msg):
    server, port, timeout = settings["server"], settings["port"], settings["timeout"]
    if settings["security"] == "tls":
        smtp = smtplib.SMTP_SSL(server, port, timeout=timeout,
                                context=ssl.create_default_context())
    else:
        smtp = smtplib.SMTP(server, port, timeout=timeout)
    with smtp:
        if settings["security"] == "starttls":
            smtp.starttls(context=ssl.create_default_context())
        if settings["user"]:
            smtp.login(settings["user"], settings["password"])
        smtp.send_message(msg, from_addr=settings["sender"], to_addrs=settings["recipients"])


def report(level, text):
    # Under bexod the standard streams are closed; syslog still gets it.
    if sys.stderr is not None and level == syslog.LOG_ERR:
        try:
            print("mail.py: " + text, file=sys.stderr)
        except OSError:
            pass
    try:
        syslog.openlog("bexo-mail")
        syslog.syslog(level, text)
    except OSError:
        pass


def give_up(signum, frame):
    raise TimeoutError("no answer within %d seconds" % RUN_LIMIT)


def main(argv):
    path = argv[1] if len(argv) > 1 else CONFIG_PATH
    when = time.localtime()
    host = socket.gethostname()
    signal.signal(signal.SIGALRM, give_up)
    signal.alarm(RUN_LIMIT)
    try:
        settings = settings_from(read_section(path, SECTION))
    except ConfigError as e:
        report(syslog.LOG_ERR, "%s: %s" % (path, e))
        return 2
    try:
        send(settings, compose(settings, host, when))
    except (OSError, smtplib.SMTPException) as e:
        report(syslog.LOG_ERR, "sending to %s:%d failed: %s" % (settings["server"], settings["port"], e))
        return 1
    report(syslog.LOG_INFO, "supply loss notice sent to %s" % ", ".join(settings["recipients"]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
