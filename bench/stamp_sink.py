#!/usr/bin/python3
"""An SMTP sink for the relay benchmarks: at the end of every message it receives it prints
the monotonic clock (seconds, shared by all processes of the machine) and the value of the
message's X-Bench-Token header ("-" without one), and keeps nothing.
Usage: stamp_sink.py ADDR:PORT
"""
import re
import signal
import sys
import threading
import time

from aiosmtpd.controller import Controller

TOKEN = re.compile(rb"^X-Bench-Token: *(\S+)", re.MULTILINE)


class StampHandler:
    async def handle_DATA(self, server, session, envelope):
        stamp = time.monotonic()
        header = envelope.original_content.split(b"\r\n\r\n", 1)[0]
        token = TOKEN.search(header)
        print("%.6f %s" % (stamp, token.group(1).decode() if token else "-"), flush=True)
        return "250 OK"


def main():
    host, port = sys.argv[1].rsplit(":", 1)
    # A fixed greeting name: no system resolver look-up for it on every connection.
    controller = Controller(StampHandler(), hostname=host, port=int(port),
                            server_hostname="sink.bench.example")
    controller.start()
    print("ready", flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    stop.wait()
    controller.stop()


if __name__ == "__main__":
    main()
