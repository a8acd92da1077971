#!/usr/bin/python3
"""The exchangers of the soak test (bench/soak.py), each on port 25 of its own address:

  normal ADDR   takes every message
  grey ADDR     answers a recipient's first RCPT with 451, takes it from then on
  refuse ADDR   answers every RCPT with 550
  silent ADDR   takes the TCP connection and never greets

Usage: soak_peers.py normal=ADDR grey=ADDR refuse=ADDR silent=ADDR
For every message it takes it prints "seen <exchanger> <recipient>" per recipient, and
"ready" once all listen. SIGTERM ends it.
"""
import signal
import socket
import sys
import threading

from aiosmtpd.controller import Controller


# Each exchanger runs in a thread of its own; one line at a time, or two could mix.
REPORT_LOCK = threading.Lock()


def report(line):
    with REPORT_LOCK:
        sys.stdout.write(line + "\n")
        sys.stdout.flush()


class Sink:
    def __init__(self, name):
        self.name = name

    async def handle_DATA(self, server, session, envelope):
        for recipient in envelope.rcpt_tos:
            report("seen %s %s" % (self.name, recipient))
        return "250 2.0.0 OK"


class Greylist(Sink):
    def __init__(self):
        super().__init__("grey")
        self.known = set()

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address not in self.known:
            self.known.add(address)
            return "451 4.7.1 <%s>: greylisted, try again later" % address
        envelope.rcpt_tos.append(address)
        return "250 2.1.5 OK"


class Refuser(Sink):
    def __init__(self):
        super().__init__("refuse")

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        return "550 5.1.1 <%s>: no such mailbox here" % address


def serve_silently(listener):
    """Accepts connections and holds each, unanswered, until the client closes it."""

    def hold(conn):
        with conn:
            while conn.recv(4096):
                pass

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=hold, args=(conn,), daemon=True).start()


def main():
    where = dict(arg.split("=", 1) for arg in sys.argv[1:])
    controllers = []
    for name, handler in (("normal", Sink("normal")), ("grey", Greylist()),
                          ("refuse", Refuser())):
        # A fixed greeting name: no system resolver look-up on every connection.
        controller = Controller(handler, hostname=where[name], port=25,
                                server_hostname="%s.soak.example" % name,
                                data_size_limit=64 << 20)
        controller.start()
        controllers.append(controller)
    listener = socket.create_server((where["silent"], 25))
    threading.Thread(target=serve_silently, args=(listener,), daemon=True).start()
    report("ready")
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    stop.wait()
    for controller in controllers:
        controller.stop()
    listener.close()


if __name__ == "__main__":
    main()
