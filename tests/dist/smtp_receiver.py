# SPDX-License-Identifier: GPL-2.0-or-later
"""A small SMTP receiver on the loopback interface for the mail script's
tests. It keeps what it receives; `mode` makes it misbehave on purpose."""

import base64
import socketserver
import threading


class Handler(socketserver.StreamRequestHandler):
    def reply(self, text):
        self.wfile.write((text + "\r\n").encode())

    def handle(self):
        server = self.server
        if server.mode == "silent":
            server.stop_event.wait(30)
            return
        self.reply("220 receiver ready")
        envelope = {"from": None, "to": [], "data": None, "auth": None}
        while True:
            line = self.rfile.readline()
            if not line:
                return
            verb, _, arg = line.decode().rstrip("\r\n").partition(" ")
            verb = verb.upper()
            if verb == "EHLO":
                self.reply("250-receiver")
                self.reply("250-AUTH PLAIN")
                self.reply("250 8BITMIME")
            elif verb == "HELO":
                self.reply("250 receiver")
            elif verb == "AUTH":
                _, _, token = arg.partition(" ")
                envelope["auth"] = base64.b64decode(token).split(b"\0")[1:]
                self.reply("235 accepted")
            elif verb == "MAIL":
                envelope["from"] = arg.split(":", 1)[1].split()[0].strip("<>")
                self.reply("250 ok")
            elif verb == "RCPT":
                if server.mode == "reject":
                    self.reply("550 no such user")
                    continue
                envelope["to"].append(arg.split(":", 1)[1].strip().strip("<>"))
                self.reply("250 ok")
            elif verb == "DATA":
                self.reply("354 go ahead")
                data = []
                while True:
                    chunk = self.rfile.readline()
                    if chunk in (b".\r\n", b".\n", b""):
                        break
                    data.append(chunk[1:] if chunk.startswith(b"..") else chunk)
                envelope["data"] = b"".join(data)
                with server.lock:
                    server.messages.append(dict(envelope))
                self.reply("250 queued")
            elif verb in ("RSET", "NOOP"):
                self.reply("250 ok")
            elif verb == "QUIT":
                self.reply("221 bye")
                return
            else:
                self.reply("502 not implemented")


class Receiver(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, mode="normal"):
        super().__init__(("127.0.0.1", 0), Handler)
        self.mode = mode
        self.messages = []
        self.lock = threading.Lock()
        self.stop_event = threading.Event()
        self.thread = threading.Thread(target=self.serve_forever, daemon=True)

    @property
    def port(self):
        return self.server_address[1]

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop_event.set()
        self.shutdown()
        self.server_close()
