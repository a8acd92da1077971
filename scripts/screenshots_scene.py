#!/usr/bin/python3
"""The scene of the documentation pictures: dnsmasq and three sinks on 127.0.0.80 to .83,
the program in window mode listening on 127.0.0.80:2525, and three messages sent through
it: one relayed, one deferred (450 to RCPT), one failed (550 to RCPT).

Prints "pid <program's process id>" and "ready" once the outcomes are in, then keeps
everything running until SIGTERM (or at most LINGER seconds) and stops it all by process
id. Needs root (ports 25 and 53) and a DISPLAY.

Usage: screenshots_scene.py WORKDIR PROGRAM LOCALE
"""
import os
import signal
import smtplib
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import headless_test  # noqa: E402
import peers  # noqa: E402
from headless_test import WAIT  # noqa: E402

DNS = "127.0.0.80"
LISTEN_PORT = 2525
SENDER = "alice@sender.test"
# (recipient, exchanger, what its sink does with that recipient)
RECIPIENTS = [("bob@example.test", "127.0.0.81", {}),
              ("carol@busy.test", "127.0.0.82", {"tempfail": ["carol@busy.test"]}),
              ("dave@closed.test", "127.0.0.83", {"refuse": ["dave@closed.test"]})]
LINGER = 120.0  # seconds the scene stays up when nobody stops it


def start_peers(workdir, processes):
    mx_records = ["%s,%s,10" % (address.split("@")[1], host) for address, host, _ in RECIPIENTS]
    processes.append(peers.start_dnsmasq(mx_records, address=DNS))
    for _, host, answers in RECIPIENTS:
        sink = peers.Sink(host, os.path.join(workdir, "sink-" + host), **answers)
        processes.append(sink.process)


def drain(stream):
    """Passes the program's output on, so that a full pipe never blocks it."""
    try:
        for raw in stream:
            sys.stderr.buffer.write(raw)
            sys.stderr.flush()
    except (OSError, ValueError):
        pass  # the stream was closed when the program was stopped


def start_program(home, locale):
    peers.write_settings(os.path.join(home, "config"), autoback=0, dns=DNS,
                         extra="retry=3600\n")  # the deferred one stays deferred
    environment = {"LANG": locale, "LC_ALL": None, "LC_MESSAGES": None, "LANGUAGE": None,
                   "DBUS_SESSION_BUS_ADDRESS": None}
    program = headless_test.Relay(home, LISTEN_PORT, headless_flag=False, env_changes=environment,
                                  host=DNS)
    for stream in (program.process.stdout, program.process.stderr):
        threading.Thread(target=drain, args=(stream,), daemon=True).start()
    program.connect().close()  # listening
    return program


def send_mail():
    for recipient, _, _ in RECIPIENTS:
        with smtplib.SMTP(DNS, LISTEN_PORT, timeout=WAIT) as client:
            client.sendmail(SENDER, [recipient],
                            "From: %s\r\nTo: %s\r\nSubject: Hello\r\n\r\nHello.\r\n"
                            % (SENDER, recipient))


def queue_states(home):
    """The state of each recipient still in the queue, as `lumenpost --queue` lists it."""
    env = dict(os.environ)
    env["XDG_CONFIG_HOME"] = os.path.join(home, "config")
    env["XDG_RUNTIME_DIR"] = os.path.join(home, "run")
    env["XDG_DATA_HOME"] = os.path.join(home, "data")
    result = subprocess.run([headless_test.PROGRAM, "--queue"], env=env, capture_output=True,
                            timeout=WAIT)
    # "<id>  <state>  <arrival>  attempts <n> ..."; an empty queue says so in words.
    return sorted(line.split()[1] for line in result.stdout.decode().splitlines()
                  if "  attempts " in line)


def wait_for_outcomes(home):
    """Waits until the relayed message has left the queue and the other two are decided;
    the window shows each outcome as the queue records it."""
    deadline = time.monotonic() + WAIT * 2
    while (states := queue_states(home)) != ["deferred", "failed"]:
        if time.monotonic() > deadline:
            raise RuntimeError("the outcomes did not come within %d s; the queue holds %s"
                               % (WAIT * 2, states))
        time.sleep(0.2)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.strip().splitlines()[-1])
    workdir, headless_test.PROGRAM, locale = sys.argv[1:]
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    processes = []
    try:
        start_peers(workdir, processes)
        program = start_program(os.path.join(workdir, "home"), locale)
        processes.append(program.process)
        send_mail()
        wait_for_outcomes(program.home)
        print("pid %d\nready" % program.process.pid, flush=True)
        stop.wait(LINGER)
    finally:
        for process in reversed(processes):
            peers.stop_process(process)


if __name__ == "__main__":
    main()
