#!/usr/bin/env python3
"""End-to-end tests of the built program in headless mode on a loopback port.

Each test gives the program its own XDG_CONFIG_HOME, XDG_DATA_HOME (the mail queue) and
XDG_RUNTIME_DIR, starts it, talks SMTP to it with plain sockets and stops it by its
process id.
Usage: headless_test.py [path of the lumenpost program]

LUMENPOST_E2E_WRAPPER, when set, is a command line (shell words) put before every start of
the program, e.g. valgrind with its options; every wait then lasts
LUMENPOST_E2E_WAIT_FACTOR times longer (8 unless set), as the wrapped program is slower.
"""
import configparser
import os
import select
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAM = os.environ.get("LUMENPOST_PROGRAM", "")
WRAPPER = shlex.split(os.environ.get("LUMENPOST_E2E_WRAPPER", ""))
WAIT_FACTOR = float(os.environ.get("LUMENPOST_E2E_WAIT_FACTOR", "8" if WRAPPER else "1"))
WAIT = 15.0 * WAIT_FACTOR  # seconds any single wait may take before the test fails


def net_timeout(milliseconds):
    """LUMENPOST_NET_TIMEOUT_MS for the program: MILLISECONDS, longer in the wrapper."""
    return str(int(milliseconds * WAIT_FACTOR))


def command(*args):
    """The command line that starts the program with ARGS, in the wrapper if there is one."""
    return [*WRAPPER, PROGRAM, *args]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def read_line(conn):
    data = b""
    while not data.endswith(b"\r\n"):
        chunk = conn.recv(1)
        if not chunk:
            break
        data += chunk
    return data


class Relay:
    """One running copy of the program with its own folders."""

    def __init__(self, home, port, extra=(), headless_flag=True, env_changes=None, prefix=(),
                 host="127.0.0.1"):
        self.home = home
        self.port = port
        self.host = host
        env = dict(os.environ)
        env["XDG_CONFIG_HOME"] = os.path.join(home, "config")
        env["XDG_RUNTIME_DIR"] = os.path.join(home, "run")
        env["XDG_DATA_HOME"] = os.path.join(home, "data")  # the mail queue
        env.update(env_changes or {})
        for key, value in list(env.items()):
            if value is None:
                del env[key]
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        flags = ["--headless"] if headless_flag else []
        args = command(*flags, "--listen", "%s:%d" % (host, port), *extra)
        args = [*prefix, *args]  # e.g. a wrapper that gives the program its own mounts
        self.process = subprocess.Popen(args, env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)

    @property
    def settings_path(self):
        return os.path.join(self.home, "config", "lumenpost.ini")

    def connect(self):
        """Connects once the program listens; fails the test after WAIT seconds."""
        deadline = time.monotonic() + WAIT
        while True:
            try:
                conn = socket.create_connection((self.host, self.port), timeout=WAIT)
                return conn
            except OSError:
                if time.monotonic() > deadline or self.process.poll() is not None:
                    raise
                time.sleep(0.05)

    def finish(self):
        """Waits for the program to end by itself; returns (status, stdout, stderr)."""
        try:
            out, err = self.process.communicate(timeout=WAIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            out, err = self.process.communicate()
        return self.process.returncode, out.decode(), err.decode()

    def error_line(self):
        """The next line the program writes on stderr (waits at most WAIT seconds)."""
        line = b""
        deadline = time.monotonic() + WAIT
        while not line.endswith(b"\n") and time.monotonic() < deadline:
            ready, _, _ = select.select([self.process.stderr], [], [], 0.1)
            if ready:
                byte = os.read(self.process.stderr.fileno(), 1)
                if not byte:
                    break
                line += byte
        return line.decode()

    def stop(self, signum=signal.SIGTERM):
        """Sends the signal and returns (exit status, stdout, stderr)."""
        if self.process.poll() is None:
            self.process.send_signal(signum)
        return self.finish()


class HeadlessRelayTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.home = self.tmp.name
        self.relays = []

    def tearDown(self):
        for relay in self.relays:
            if relay.process.poll() is None:
                relay.process.kill()
                relay.process.communicate()
        self.tmp.cleanup()

    def start(self, port=None, **kwargs):
        relay = Relay(self.home, port or free_port(), **kwargs)
        self.relays.append(relay)
        return relay

    def read_settings(self, relay):
        ini = configparser.ConfigParser(interpolation=None)
        ini.optionxform = str
        self.assertTrue(ini.read(relay.settings_path, encoding="utf-8"), relay.settings_path)
        return dict(ini["config"])

    def test_greets_refuses_a_third_client_and_saves_on_sigterm(self):
        relay = self.start()
        first = relay.connect()
        second = relay.connect()
        with first, second:
            self.assertEqual(read_line(first), b"220 SMTP Server Ready.\r\n")
            self.assertEqual(read_line(second), b"220 SMTP Server Ready.\r\n")
            with relay.connect() as third:
                self.assertEqual(read_line(third), b"220 SMTP Server Ready.\r\n")
                self.assertEqual(read_line(third), b"502 Server overload, too many users.\r\n")
                self.assertEqual(third.recv(1), b"")  # closed by the server
            first.sendall(b"QUIT\r\n")
            self.assertEqual(read_line(first), b"221 Thanks for using, have a nice day\r\n")
        status, _, err = relay.stop()
        self.assertEqual(status, 0, err)
        self.assertEqual(self.read_settings(relay), {
            "dns": "223.5.5.5", "postmaster": "postmaster@localhost", "autorun": "0",
            "automin": "0", "autobeep": "1", "autoback": "1", "maxsize": "52428800",
            "deliveries": "4", "retry": '"60,300,900,1800,3600"', "queuelife": "345600",
            "tls": "may", "relayhost": "", "relayuser": ""})

    def test_saved_settings_are_kept_and_autorun_writes_the_autostart_entry(self):
        os.makedirs(os.path.join(self.home, "config"))
        with open(os.path.join(self.home, "config", "lumenpost.ini"), "w", encoding="utf-8") as f:
            f.write('[config]\ndns="8.8.4.4 "\npostmaster=admin@example.org\nautorun=1\n'
                    "automin=1\nautobeep=0\nautoback=0\n")
        relay = self.start()
        relay.connect().close()
        status, _, err = relay.stop(signal.SIGINT)
        self.assertEqual(status, 0, err)
        settings = self.read_settings(relay)
        self.assertEqual(settings["dns"], '"8.8.4.4 "')
        self.assertEqual(settings["postmaster"], "admin@example.org")
        self.assertEqual([settings[k] for k in ("autorun", "automin", "autobeep", "autoback")],
                         ["1", "1", "0", "0"])
        with open(os.path.join(self.home, "config", "autostart", "lumenpost.desktop"),
                  encoding="utf-8") as f:
            self.assertIn("\nExec=%s\n" % os.path.realpath(PROGRAM), f.read())

    def test_a_second_copy_ends_at_once_and_the_first_goes_on(self):
        relay = self.start()
        relay.connect().close()
        status, _, err = self.start().finish()
        self.assertEqual(status, 1)
        self.assertEqual(len(err.splitlines()), 1, err)
        self.assertIn("another copy is already running", err)
        with relay.connect() as conn:
            self.assertEqual(read_line(conn), b"220 SMTP Server Ready.\r\n")
        self.assertEqual(relay.stop()[0], 0)

    def test_a_port_in_use_is_reported_and_the_settings_survive(self):
        os.makedirs(os.path.join(self.home, "config"))
        with open(os.path.join(self.home, "config", "lumenpost.ini"), "w", encoding="utf-8") as f:
            f.write("[config]\ndns=9.9.9.9\nautobeep=0\n")
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            relay = self.start(port=holder.getsockname()[1])
            self.assertTrue(relay.error_line().startswith("lumenpost: "))
            self.assertIsNone(relay.process.poll(), "the program must keep running")
            status, _, err = relay.stop()
        self.assertEqual(status, 0, err)
        self.assertEqual(err, "")
        settings = self.read_settings(relay)
        self.assertEqual(settings["dns"], "9.9.9.9")
        self.assertEqual(settings["autobeep"], "0")

    def test_an_open_relay_network_is_warned_of_and_host_bits_are_refused(self):
        relay = self.start(extra=("--allow-from", "0.0.0.0/0"))
        warning = relay.error_line()
        self.assertTrue(warning.startswith("lumenpost: warning: --allow-from 0.0.0.0/0 "), warning)
        self.assertIn("open relay", warning)
        relay.connect().close()  # it runs all the same
        refused = self.start(extra=("--allow-from", "10.0.0.1/8"))
        status, _, err = refused.finish()
        self.assertEqual(status, 2)  # a usage error
        self.assertIn("write the network as 10.0.0.0/8", err)

    def test_without_a_display_it_runs_headless_by_itself(self):
        relay = self.start(headless_flag=False,
                           env_changes={"DISPLAY": None, "WAYLAND_DISPLAY": None})
        with relay.connect() as conn:
            self.assertEqual(read_line(conn), b"220 SMTP Server Ready.\r\n")
        status, _, err = relay.stop()
        self.assertEqual(status, 0, err)
        self.assertIn("running headless", err)



if __name__ == "__main__":
    if len(sys.argv) > 1:
        PROGRAM = sys.argv.pop(1)
    if not PROGRAM or not os.access(PROGRAM, os.X_OK):
        sys.exit("headless_test.py: give the path of the built lumenpost program")
    unittest.main(verbosity=2)
