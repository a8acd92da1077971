"""Peers and helpers shared by the end-to-end tests that relay: the headless program
with its output lines, aiosmtpd sinks on 127.0.0.x:25, dnsmasq, swaks, and the settings
file. Needs root for ports 25 and 53.
"""
import glob
import json
import os
import queue
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import headless_test
from headless_test import WAIT, free_port

SINK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sink.py")
SINK_PYTHON = "/usr/bin/python3"  # the system Python, which has aiosmtpd
DNSMASQ = "/usr/sbin/dnsmasq"
DNS = "127.0.0.2"
POSTMASTER = "admin@relay.test"


def program_from_argv(script):
    """Takes the program's path from the command line (ends the script without one)."""
    if len(sys.argv) > 1:
        headless_test.PROGRAM = sys.argv.pop(1)
    if not headless_test.PROGRAM or not os.access(headless_test.PROGRAM, os.X_OK):
        sys.exit("%s: give the path of the built lumenpost program" % script)
    return headless_test.PROGRAM


def stop_process(process):
    """Ends a process we started, by its id, and waits (bounded) for it."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=WAIT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    for stream in (process.stdout, process.stderr):
        if stream:
            stream.close()


def start_dnsmasq(mx_records, address=DNS, host_records=(), prefix=(), extra=()):
    """dnsmasq on ADDRESS:53 answering only the given "domain,host,preference" MX records
    and "name,address[,address]" host records (A and AAAA); extra: more dnsmasq options."""
    args = [*prefix, DNSMASQ, "--keep-in-foreground", "--bind-interfaces",
            "--listen-address=" + address, "--port=53", "--no-resolv", "--no-hosts",
            "--pid-file=", "--conf-file=/dev/null"]
    args += ["--mx-host=" + record for record in mx_records]
    args += ["--host-record=" + record for record in host_records]
    args += list(extra)
    process = subprocess.Popen(args, stderr=subprocess.PIPE)
    try:
        # dnsmasq ends at once when it cannot listen; otherwise it runs until stopped.
        _, err = process.communicate(timeout=0.5)
    except subprocess.TimeoutExpired:
        return process
    raise RuntimeError("dnsmasq did not start on %s:53 (another DNS server there?): %s"
                       % (address, err.decode(errors="replace").strip()))


def silent_listener(host, backlog=512):
    """Takes connections on HOST:25 (into the kernel's backlog) and never greets."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((host, 25))
    listener.listen(backlog)
    listener.settimeout(WAIT)
    return listener


class Sink:
    """One aiosmtpd sink on HOST:PORT (25) storing what it receives in its own folder."""

    def __init__(self, host, out_dir, refuse=(), tempfail=(), greylist=(), refuse_once=(),
                 tls=None, prefix=(), port=25, extra=()):
        """tls: None, or (certificate, key, broken); extra: more arguments of sink.py."""
        self.out_dir = out_dir
        os.makedirs(out_dir)
        args = [*prefix, SINK_PYTHON, SINK, "--listen", "%s:%d" % (host, port), "--out", out_dir,
                *extra]
        if tls:
            args += ["--tls-cert", tls[0], "--tls-key", tls[1]] + (["--tls-broken"] if tls[2]
                                                                   else [])
        for option, addresses in (("--refuse-rcpt", refuse), ("--tempfail-rcpt", tempfail),
                                  ("--greylist-rcpt", greylist),
                                  ("--refuse-once-rcpt", refuse_once)):
            for address in addresses:
                args += [option, address]
        log_path = out_dir + ".log"
        with open(log_path, "wb") as log:
            self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=log)
        ready = self.process.stdout.readline()  # bounded: the sink ends if it cannot listen
        if b"ready" not in ready:
            stop_process(self.process)
            with open(log_path, encoding="utf-8", errors="replace") as log:
                raise RuntimeError("sink on %s did not start: %s" % (host, log.read()))

    def count(self):
        return len(glob.glob(os.path.join(self.out_dir, "*.json")))

    def message(self, number):
        """(envelope, data) of message `number` (from 1)."""
        base = os.path.join(self.out_dir, str(number))
        with open(base + ".json", encoding="utf-8") as f:
            envelope = json.load(f)
        with open(base + ".eml", "rb") as f:
            return envelope, f.read()

    def wait_count(self, count):
        deadline = time.monotonic() + WAIT
        while self.count() < count and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.count()


class Program(headless_test.Relay):
    """The program with its output lines collected as they come."""

    def __init__(self, home, port, extra=(), env_changes=None, prefix=(), host="127.0.0.1"):
        super().__init__(home, port, extra, env_changes=env_changes, prefix=prefix, host=host)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.process.stdout:
            self.lines.put(raw.decode("utf-8").rstrip("\n"))

    def next_line(self, prefix):
        """The next output line starting with `prefix`; fails after WAIT seconds."""
        deadline = time.monotonic() + WAIT
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError("no %r line within %s s" % (prefix, WAIT))
            if line.startswith(prefix):
                return line

    def printed(self):
        """Every output line so far, without waiting."""
        lines = []
        while not self.lines.empty():
            lines.append(self.lines.get_nowait())
        return lines


def without_our_trace(data):
    """The message as the client sent it: our Received field (first, folded) removed."""
    if not data.startswith(b"Received: from "):
        raise AssertionError("no Received field of ours first: %r" % data[:80])
    end = data.index(b"\r\n")
    while data[end + 2:end + 3] == b"\t":
        end = data.index(b"\r\n", end + 2)
    return data[end + 2:]


def write_settings(config_dir, autoback, dns=DNS, extra=""):
    os.makedirs(config_dir, exist_ok=True)
    with open(os.path.join(config_dir, "lumenpost.ini"), "w", encoding="utf-8") as f:
        f.write("[config]\ndns=%s\npostmaster=%s\nautobeep=0\nautoback=%d\n%s"
                % (dns, POSTMASTER, autoback, extra))


def swaks(port, sender, recipients, data_file=None, host="127.0.0.1", prefix=()):
    args = [*prefix, "swaks", "--server", "%s:%d" % (host, port), "--from", sender,
            "--to", ",".join(recipients), "--timeout", str(int(WAIT))]
    if data_file:
        args += ["--data", data_file]
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=WAIT * 4)


class ProgramTestCase(unittest.TestCase):
    """Each test gets its own home folder; the programs it starts are stopped after it.
    Peers shared by a class's tests (DNS server, sinks) are in cls.processes."""

    @classmethod
    def start_peers(cls, start):
        """Runs start(), which appends the peers it starts to cls.processes; if it fails,
        what did start is stopped again."""
        cls.tmp = tempfile.TemporaryDirectory()
        cls.processes = []
        try:
            start()
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def start_dns_and_sink(cls, mx_records, dns, sink_host, **sink_options):
        """dnsmasq with the MX records on `dns` and one sink (cls.sink) on `sink_host`."""
        def start():
            cls.processes.append(start_dnsmasq(mx_records, dns))
            cls.sink = Sink(sink_host, os.path.join(cls.tmp.name, "sink"), **sink_options)
            cls.processes.append(cls.sink.process)
        cls.start_peers(start)

    @classmethod
    def tearDownClass(cls):
        for process in getattr(cls, "processes", []):
            stop_process(process)
        if hasattr(cls, "tmp"):
            cls.tmp.cleanup()

    def setUp(self):
        self.home = tempfile.TemporaryDirectory()
        self.programs = []

    def tearDown(self):
        for program in self.programs:
            stop_process(program.process)
        self.home.cleanup()

    def start(self, autoback=1, dns=DNS, env_changes=None, settings="", prefix=(), port=None,
              host="127.0.0.1"):
        write_settings(os.path.join(self.home.name, "config"), autoback, dns, settings)
        program = Program(self.home.name, port or free_port(), env_changes=env_changes,
                          prefix=prefix, host=host)
        self.programs.append(program)
        program.connect().close()  # listening
        return program
