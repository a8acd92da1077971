#!/usr/bin/env python3
"""Load and fault tests of the built program headless on loopback: a storm of
connections against its limit of two clients, and peers that fail (an exchanger that
closes or stalls in the middle of the data, a DNS server that answers garbage or stays
silent, a client that leaves in the middle of the data or sends 1 MiB without a line
end). Needs root (ports 25 and 53 on 127.0.0.x).

Usage: load_fault_test.py [path of the lumenpost program]
"""
import os
import random
import selectors
import socket
import struct
import tempfile
import threading
import time
import unittest

import peers
from headless_test import WAIT, WRAPPER, net_timeout, read_line
from peers import ProgramTestCase, Sink, start_dnsmasq, stop_process, swaks

DNS = "127.0.0.20"
SINK_HOST = "127.0.0.21"  # a working exchanger, reached by an address literal
CLOSING_HOST = "127.0.0.22"  # closes the connection in the middle of the data
STALLING_HOST = "127.0.0.23"  # takes the data and never answers
GARBAGE_DNS = "127.0.0.24"
SILENT_DNS = "127.0.0.25"
MX_RECORDS = ["close.test,%s,10" % CLOSING_HOST, "stall.test,%s,10" % STALLING_HOST]
SENDER = "alice@sender.test"
DELIVERED = "r@[%s]" % SINK_HOST
LOOKED_UP = "r@lookup.test"  # needs the DNS server

GREETING = b"220 SMTP Server Ready.\r\n"
BUSY = b"502 Server overload, too many users.\r\n"
MAX_USER = 2


class FakeExchanger:
    """An SMTP peer on HOST:25 that accepts everything up to the data, then, depending
    on `fault`, closes the connection after the first octets of the data ("close") or
    reads the data to its end and never answers ("stall")."""

    def __init__(self, host, fault):
        self.fault = fault
        self.listener = socket.create_server((host, 25))
        self.listener.settimeout(WAIT)
        self.data_seen = threading.Event()
        self.connections = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        self.connections.append(conn)
        conn.settimeout(WAIT)
        try:
            conn.sendall(b"220 fake exchanger\r\n")
            for reply in (b"250 fake\r\n", b"250 OK\r\n", b"250 OK\r\n", b"354 go on\r\n"):
                read_line(conn)  # EHLO, MAIL, RCPT, DATA
                conn.sendall(reply)
            received = conn.recv(4096)
            self.data_seen.set()
            if self.fault == "close":
                conn.close()
                return
            while not received.endswith(b"\r\n.\r\n"):
                chunk = conn.recv(65536)
                if not chunk:
                    return
                received = received[-4:] + chunk
        except OSError:
            pass

    def close(self):
        self.listener.close()
        for conn in self.connections:
            conn.close()
        self.thread.join(WAIT)


class FakeDns:
    """A DNS server on HOST:53 that answers every query with garbage ("garbage") or not
    at all ("silent")."""

    def __init__(self, host, behaviour):
        self.behaviour = behaviour
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind((host, 53))
        self.socket.settimeout(0.2)
        self.queries = 0
        self.running = True
        self.rng = random.Random(8)
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            try:
                query, peer = self.socket.recvfrom(512)
            except socket.timeout:
                continue
            except OSError:
                return
            self.queries += 1
            if self.behaviour == "garbage" and len(query) >= 2:
                for answer in self.garbage(query[:2]):
                    self.socket.sendto(answer, peer)

    def garbage(self, query_id):
        """A datagram with another identifier, then one with the query's identifier and a
        broken body: cut short, counts beyond the data, or a name pointing at itself."""
        wrong_id = bytes([query_id[0] ^ 0xFF, query_id[1]])
        noise = self.rng.randbytes(40)
        broken = [query_id + b"\x81\x80\x00",
                  query_id + b"\x81\x80\x00\x01\xff\xff\x00\x00\x00\x00" + noise,
                  query_id + b"\x81\x80\x00\x00\x00\x01\x00\x00\x00\x00\xc0\x0c"
                  + struct.pack("!HHIH", 15, 1, 60, 4) + b"\x00\x0a\xc0\x0c"]
        return [wrong_id + noise, broken[(self.queries - 1) % len(broken)]]

    def close(self):
        self.running = False
        self.thread.join(WAIT)
        self.socket.close()


def without_quarantine():
    """ASAN_OPTIONS for a sanitizer build whose RSS is to show live memory: its allocator
    otherwise keeps freed memory in quarantine (up to 256 MB). Other builds ignore it."""
    options = [o for o in os.environ.get("ASAN_OPTIONS", "").split(":") if o]
    return ":".join(options + ["quarantine_size_mb=0"])


def open_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def rss_kib(pid):
    with open("/proc/%d/status" % pid, encoding="ascii") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for process %d" % pid)


def settled_usage(pid):
    """(open descriptors, RSS in KiB) once the descriptor count has stopped changing."""
    deadline = time.monotonic() + WAIT
    last, unchanged = None, 0
    while unchanged < 10 and time.monotonic() < deadline:
        count = open_fds(pid)
        unchanged = unchanged + 1 if count == last else 0
        last = count
        time.sleep(0.05)
    return last, rss_kib(pid)


class Burst:
    """`size` connection attempts at once, each read with a non-blocking socket until the
    program closes it or until only as many are left open as it admits at a time."""

    def __init__(self, port, size):
        self.selector = selectors.DefaultSelector()
        self.received = {}
        for _ in range(size):
            conn = socket.socket()
            conn.setblocking(False)
            conn.connect_ex(("127.0.0.1", port))
            self.received[conn] = b""
            self.selector.register(conn, selectors.EVENT_READ)

    def run(self):
        """The octets each attempt received; fails if more sessions stay open than the
        program admits, or if an attempt never gets its greeting."""
        open_conns = set(self.received)
        deadline = time.monotonic() + WAIT
        try:
            while not self._done(open_conns):
                if time.monotonic() > deadline:
                    raise AssertionError(
                        "%d attempts still open, %d without a greeting" % (
                            len(open_conns),
                            sum(len(d) < len(GREETING) for d in self.received.values())))
                for key, _ in self.selector.select(timeout=0.5):
                    self._read(key.fileobj, open_conns)
            return list(self.received.values())
        finally:
            for conn in self.received:
                conn.close()
            self.selector.close()

    def _done(self, open_conns):
        greeted = all(len(data) >= len(GREETING) for data in self.received.values())
        return greeted and len(open_conns) <= MAX_USER

    def _read(self, conn, open_conns):
        try:
            chunk = conn.recv(4096)
        except ConnectionResetError:
            chunk = b""
        self.received[conn] += chunk
        if not chunk:
            self.selector.unregister(conn)
            open_conns.discard(conn)


@unittest.skipUnless(os.geteuid() == 0, "needs root: ports 25 and 53 on 127.0.0.x")
class ConnectionStormTest(ProgramTestCase):
    ATTEMPTS = 10_000
    WARM_UP = 300
    BURST = 50

    def storm(self, port, attempts):
        outcomes = {}
        for _ in range(attempts // self.BURST):
            for data in Burst(port, self.BURST).run():
                outcomes[data] = outcomes.get(data, 0) + 1
        return outcomes

    def test_every_attempt_is_greeted_or_refused_and_nothing_is_kept(self):
        program = self.start(dns=DNS, env_changes={"ASAN_OPTIONS": without_quarantine()})
        pid = program.process.pid
        self.storm(program.port, self.WARM_UP)
        fds_before, rss_before = settled_usage(pid)
        outcomes = self.storm(program.port, self.ATTEMPTS - self.WARM_UP)
        fds_after, rss_after = settled_usage(pid)
        self.assertLessEqual(set(outcomes), {GREETING, GREETING + BUSY}, outcomes)
        self.assertGreater(outcomes.get(GREETING + BUSY, 0), 0, outcomes)
        self.assertLessEqual(fds_after, fds_before * 1.05)
        if not WRAPPER:  # memcheck's own queue of freed blocks grows the RSS; it finds leaks
            self.assertLessEqual(rss_after, rss_before * 1.05)
        with program.connect() as conn:  # still serving
            self.assertEqual(read_line(conn), GREETING)
        self.assertEqual(program.stop()[0], 0)


@unittest.skipUnless(os.geteuid() == 0, "needs root: ports 25 and 53 on 127.0.0.x")
class FaultTest(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dnsmasq = start_dnsmasq(MX_RECORDS, DNS)
        try:
            cls.sink = Sink(SINK_HOST, os.path.join(cls.tmp.name, "sink"))
        except Exception:
            stop_process(cls.dnsmasq)
            raise

    @classmethod
    def tearDownClass(cls):
        stop_process(cls.sink.process)
        stop_process(cls.dnsmasq)
        cls.tmp.cleanup()

    def setUp(self):
        super().setUp()
        self.delivered_before = self.sink.count()

    def start(self, dns=DNS):
        return super().start(autoback=0, dns=dns)

    def send(self, program, recipient, data_file=None):
        result = swaks(program.port, SENDER, [recipient], data_file)
        self.assertEqual(result.returncode, 0, result.stdout.decode(errors="replace"))

    def assert_delivered_to_sink(self, program, count=1):
        for _ in range(count):
            self.assertIn("To:%s/" % DELIVERED, program.next_line("okrelay:"))
        wanted = self.delivered_before + count
        self.assertEqual(self.sink.wait_count(wanted), wanted)

    def assert_ends_at_once(self, program):
        status, out, err = program.stop()
        self.assertEqual(status, 0, err)
        self.assertNotIn("relay:", out)

    def large_message(self):
        path = os.path.join(self.home.name, "large.eml")
        with open(path, "w", encoding="ascii", newline="") as f:
            f.write("Subject: large\r\n\r\n" + ("x" * 76 + "\r\n") * 4000)
        return path

    def test_an_exchanger_closing_in_the_data_defers_the_recipient_with_the_reason(self):
        exchanger = FakeExchanger(CLOSING_HOST, "close")
        self.addCleanup(exchanger.close)
        program = self.start()
        self.send(program, "r@close.test", self.large_message())
        deferred = program.next_line("deferred:")
        self.assertIn("To:r@close.test/Retry:", deferred)
        self.assertIn("/Reason:", deferred)
        self.assertTrue(exchanger.data_seen.is_set())

    def test_a_stalling_exchanger_holds_neither_the_client_nor_other_mail_nor_the_end(self):
        exchanger = FakeExchanger(STALLING_HOST, "stall")
        self.addCleanup(exchanger.close)
        program = self.start()
        self.send(program, "r@stall.test")  # the client had its 250 and its QUIT
        self.assertTrue(exchanger.data_seen.wait(WAIT))
        self.send(program, DELIVERED)
        self.assert_delivered_to_sink(program)
        self.assert_ends_at_once(program)

    def test_a_dns_server_answering_garbage_defers_the_mail_and_never_guesses(self):
        # A broken answer says nothing about the domain: the mail waits for a real one
        # instead of going to the domain's own address.
        dns = FakeDns(GARBAGE_DNS, "garbage")
        self.addCleanup(dns.close)
        program = super().start(autoback=0, dns=GARBAGE_DNS,
                                env_changes={"LUMENPOST_NET_TIMEOUT_MS": net_timeout(1500)})
        for _ in range(3):
            self.send(program, LOOKED_UP)
        for _ in range(3):
            self.assertIn("/Reason:DNS server %s " % GARBAGE_DNS, program.next_line("deferred:"))
        self.assertEqual(self.sink.count(), self.delivered_before)
        self.assertGreaterEqual(dns.queries, 1)  # overlapping lookups share one query

    def test_a_silent_dns_server_holds_neither_the_client_nor_a_second_one_nor_the_end(self):
        dns = FakeDns(SILENT_DNS, "silent")
        self.addCleanup(dns.close)
        program = self.start(dns=SILENT_DNS)
        self.send(program, LOOKED_UP)
        self.send(program, LOOKED_UP)
        self.assert_ends_at_once(program)
        self.assertEqual(self.sink.count(), self.delivered_before)

    def test_a_client_leaving_in_the_data_leaves_no_line_and_no_mail(self):
        program = self.start()
        with program.connect() as conn:
            read_line(conn)
            for command in (b"EHLO client\r\n", b"MAIL FROM:<%s>\r\n" % SENDER.encode(),
                            b"RCPT TO:<%s>\r\n" % DELIVERED.encode(), b"DATA\r\n"):
                conn.sendall(command)
                read_line(conn)
            conn.sendall(b"Subject: cut\r\n\r\nhalf a message\r\n" + b"y" * 10000)
        self.send(program, DELIVERED)
        self.assert_delivered_to_sink(program)
        self.assertEqual(self.sink.message(self.sink.count())[1].count(b"half a message"), 0)
        self.assert_ends_at_once(program)

    def test_a_mebibyte_without_a_line_end_is_dropped_and_the_session_goes_on(self):
        program = self.start()
        with program.connect() as conn:
            self.assertEqual(read_line(conn), GREETING)
            conn.sendall(b"x" * (1 << 20))
            conn.sendall(b"\r\nQUIT\r\n")
            replies = b""
            while b"221 " not in replies:
                chunk = conn.recv(4096)
                if not chunk:
                    break
                replies += chunk
        self.assertIn(b"221 ", replies)
        self.send(program, DELIVERED)
        self.assert_delivered_to_sink(program)


if __name__ == "__main__":
    peers.program_from_argv("load_fault_test.py")
    unittest.main(verbosity=2)
