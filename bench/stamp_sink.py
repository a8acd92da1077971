#!/usr/bin/python3
"""An SMTP sink for the relay benchmarks: prints the monotonic clock (seconds, shared by
all processes of the machine) at the end of every message it receives, and keeps none.
Usage: stamp_sink.py ADDR:PORT
"""
import signal
import sys
import threading
import time

from aiosmtpd.controller import Controller


class StampHandler:
    async def handle_DATA(self, server, session, envelope):
        print("%.6f" % time.monotonic(), flush=True)
        return "250 OK"


def main():
    host, port = sys.argv[1].rsplit(":", 1)
    controller = Controller(StampHandler(), hostname=host, port=int(port))
    controller.start()
    print("ready", flush=True)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    stop.wait()
    controller.stop()


if __name__ == "__main__":
    main()
