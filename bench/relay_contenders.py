"""The relays that benchmark 3 (bench/relay_bench.py) compares, each started under a
temporary folder and stopped by its process id when its `with` block ends: the program,
a throwaway Postfix (bench/throwaway_postfix.py) and the minimal Python relay
(bench/mini_relay.py). Each asks the DNS server it is given for the MX records.
"""
import contextlib
import os
import socket
import subprocess

from intake_bench import WAIT, ask, free_port, program_env, read_reply, start, stop
from throwaway_postfix import RELAY_CF, RELAY_SERVICES, ThrowawayPostfix

POSTFIX_LISTEN = "127.0.0.38"
MINI_RELAY_LISTEN = "127.0.0.39"
MINI_RELAY_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "mini_relay.py")
PYTHON = "/usr/bin/python3"  # the one that has Debian's aiosmtpd


def started_program(program, home, dns, settings="", stdout=subprocess.PIPE):
    port = free_port()
    process = start([program, "--headless", "--listen", "127.0.0.1:%d" % port], port,
                    env=program_env(home, dns, settings), stdout=stdout)
    return process, port


class Contender:
    """A relay under test: where it listens, how its reply after the data starts, and
    the file its log goes to."""

    def __init__(self, name, address, accepted, log_path):
        self.name, self.address, self.accepted, self.log_path = name, address, accepted, log_path
        self.conn = None

    def connect(self):
        self.conn = socket.create_connection(self.address, timeout=WAIT)
        read_reply(self.conn)
        ask(self.conn, b"EHLO bench.example\r\n", b"250")

    def log_tail(self, lines=15):
        try:
            with open(self.log_path, errors="replace") as log:
                return "".join(log.readlines()[-lines:])
        except OSError:
            return "(no log)"


@contextlib.contextmanager
def lumenpost_contender(program, home, dns):
    folder = os.path.join(home, "lumenpost")
    os.makedirs(folder)
    log_path = os.path.join(folder, "output")
    with open(log_path, "wb") as log:  # more lines than a pipe holds
        process, port = started_program(program, folder, dns, stdout=log)
        try:
            yield Contender("lumenpost", ("127.0.0.1", port), b"250 OK ", log_path)
        finally:
            stop(process)


@contextlib.contextmanager
def postfix_contender(home, dns):
    port = free_port(POSTFIX_LISTEN)
    postfix = ThrowawayPostfix(os.path.join(home, "postfix"), POSTFIX_LISTEN, port, RELAY_CF,
                               RELAY_SERVICES, nameserver=dns)
    with postfix:
        yield Contender("postfix", (POSTFIX_LISTEN, port), b"250 ",
                        os.path.join(postfix.home, "maillog"))


@contextlib.contextmanager
def mini_relay_contender(home, dns):
    folder = os.path.join(home, "mini_relay")
    os.makedirs(folder)
    log_path = os.path.join(folder, "output")
    port = free_port(MINI_RELAY_LISTEN)
    with open(log_path, "wb") as log:
        process = start([PYTHON, MINI_RELAY_SCRIPT, "%s:%d" % (MINI_RELAY_LISTEN, port), dns,
                         os.path.join(folder, "spool")], port, host=MINI_RELAY_LISTEN,
                        stdout=log)
        try:
            yield Contender("python", (MINI_RELAY_LISTEN, port), b"250 ", log_path)
        finally:
            stop(process)
