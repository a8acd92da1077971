#!/usr/bin/env python3
"""Network faults that must never lose an accepted message: an exchanger that drops the
connection after "354", in the middle of the data or after the final "." before its reply;
a DNS server that is silent, garbles its answer, cuts off or garbles the TCP answer after a
truncated one, or fails (SERVFAIL); a TLS handshake cut off after STARTTLS. Each fault
defers the recipient with a reason that names it (or, with tls=may, the mail goes on in
clear), and once the fault is gone the retry delivers the message whole.
Needs root (ports 25 and 53 on 127.0.0.120 to .122).

Usage: network_fault_test.py [path of the lumenpost program]
"""
import os
import re
import socket
import ssl
import struct
import threading
import unittest

import peers
import scripted_dns
from delivery_test import make_certificate
from headless_test import WAIT
from peers import ProgramTestCase, Sink, swaks, without_our_trace

DNS = "127.0.0.120"
SINK_HOST = "127.0.0.121"  # a working exchanger for the DNS faults
FAULTY_HOST = "127.0.0.122"  # the exchanger that misbehaves until it is healed
FAULTY = "r@[%s]" % FAULTY_HOST
SENDER = "alice@sender.test"
# A retry within a second, and seconds (not minutes) for a silent peer.
RETRY_SOON = "retry=1\n"
FAST = {"LUMENPOST_NET_TIMEOUT_MS": "1500"}


def message_file(folder, name, size):
    """A message of about `size` octets with a dot line in it; (path, the octets that
    reach the relay: swaks ends the data with one more line end)."""
    body = b"Subject: %s\r\n\r\n.a line that starts with a dot\r\n" % name.encode()
    body += b"".join(b"%06d %s\r\n" % (n, b"x" * 70) for n in range(size // 78 + 1))
    path = os.path.join(folder, name + ".eml")
    with open(path, "wb") as f:
        f.write(body)
    return path, body + b"\r\n"


class LineReader:
    """CR LF lines from a socket, which STARTTLS may replace."""

    def __init__(self, conn):
        self.conn = conn
        self.buffer = b""

    def line(self):
        while b"\r\n" not in self.buffer:
            chunk = self.conn.recv(65536)
            if not chunk:
                raise ConnectionError("client left")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line

    def data(self, stop_after=None):
        """The message data up to the end line, dot transparency undone; with `stop_after`,
        None as soon as that many octets have come instead."""
        raw, searched = bytearray(b"\r\n" + self.buffer), 0
        while raw.find(b"\r\n.\r\n", searched) < 0:
            if stop_after is not None and len(raw) >= stop_after:
                return None
            searched = max(0, len(raw) - 4)
            chunk = self.conn.recv(1 << 20)
            if not chunk:
                raise ConnectionError("client left in the data")
            raw += chunk
        end = raw.find(b"\r\n.\r\n", searched)
        self.buffer = bytes(raw[end + 5:])
        # The leading line end makes the first line one that starts after a line end.
        return re.sub(rb"\r\n\.", b"\r\n", bytes(raw[:end + 2]))[2:]


class FaultyExchanger:
    """An SMTP exchanger on HOST:25 that misbehaves as `fault` says until heal():
    "after 354" closes right after its 354 reply; "half data" after half of
    `message_size` octets of data; "after dot" takes the whole data and closes without
    a reply (keeping that copy in `unanswered`); "cut tls" answers 220 to STARTTLS, reads
    the client's first handshake octets, sends a few octets of its own and closes.
    Healed, it is a correct exchanger (with STARTTLS); each message it accepted is in
    `accepted` as (recipients, data, encrypted)."""

    def __init__(self, host, certificate):
        self.context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        self.context.load_cert_chain(*certificate)
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        # A small window, so that a drop in the data meets data not yet sent.
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 64 * 1024)
        self.listener.bind((host, 25))
        self.listener.listen(16)
        self.fault, self.message_size = None, 0
        self.lock = threading.Lock()
        self.accepted, self.unanswered, self.cut_handshakes = [], [], 0
        threading.Thread(target=self._accept, daemon=True).start()

    def misbehave(self, fault, message_size=0):
        with self.lock:
            self.fault, self.message_size = fault, message_size
            self.accepted, self.unanswered, self.cut_handshakes = [], [], 0

    def heal(self):
        with self.lock:
            self.fault = None

    def close(self):
        self.listener.close()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            conn.settimeout(WAIT)
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        with self.lock:
            fault = self.fault
        reader = LineReader(conn)
        try:
            conn.sendall(b"220 faulty.test ESMTP\r\n")
            self._dialogue(reader, fault)
        except (OSError, ConnectionError, ssl.SSLError):
            pass
        finally:
            reader.conn.close()

    def _dialogue(self, reader, fault):
        recipients = []
        while True:
            command = reader.line().upper()
            if command.startswith(b"EHLO"):
                tls = b"" if isinstance(reader.conn, ssl.SSLSocket) else b"250-STARTTLS\r\n"
                reader.conn.sendall(b"250-faulty.test\r\n" + tls + b"250 8BITMIME\r\n")
            elif command == b"STARTTLS":
                reader.conn.sendall(b"220 go ahead\r\n")
                if fault == "cut tls":
                    reader.conn.recv(100)  # the start of the client's hello
                    reader.conn.sendall(b"\x16\x03\x03\x00")  # a record header, cut short
                    with self.lock:
                        self.cut_handshakes += 1
                    return
                reader.conn = self.context.wrap_socket(reader.conn, server_side=True)
            elif command.startswith(b"RCPT TO:"):
                recipients.append(command[8:].strip(b"<>").decode().lower())
                reader.conn.sendall(b"250 OK\r\n")
            elif command == b"DATA":
                reader.conn.sendall(b"354 go on\r\n")
                if not self._take_data(reader, fault, recipients):
                    return
            elif command == b"QUIT":
                reader.conn.sendall(b"221 bye\r\n")
                return
            else:  # MAIL, RSET, NOOP, HELO
                reader.conn.sendall(b"250 OK\r\n")

    def _take_data(self, reader, fault, recipients):
        """Reads the data as `fault` says; False when the connection is to be dropped."""
        if fault == "after 354":
            return False
        data = reader.data(self.message_size // 2 if fault == "half data" else None)
        encrypted = isinstance(reader.conn, ssl.SSLSocket)
        with self.lock:
            if fault == "after dot":
                self.unanswered.append(data)
                return False
            if data is None:
                return False
            self.accepted.append((recipients, data, encrypted))
        reader.conn.sendall(b"250 OK accepted\r\n")
        return True


@unittest.skipUnless(os.geteuid() == 0, "needs root: ports 25 and 53 on 127.0.0.x")
class NetworkFaultTestCase(ProgramTestCase):
    def send(self, program, recipient, data_file):
        result = swaks(program.port, SENDER, [recipient], data_file)
        self.assertEqual(result.returncode, 0, result.stdout.decode(errors="replace"))

    def deferred_reason(self, program, recipient):
        """The reason of the recipient's first deferral; fails on any other outcome first."""
        line = program.next_line("")
        while not line.startswith(("deferred:", "okrelay:", "badrelay:")):
            line = program.next_line("")
        self.assertTrue(line.startswith("deferred: From:%s/To:%s/Retry:" % (SENDER, recipient)),
                        line)
        return line.split("/Reason:", 1)[1]

    def assert_delivered(self, program, recipient):
        """The recipient's okrelay line comes (after any more deferrals), then its via line;
        the queue keeps nothing of the message."""
        line = program.next_line("okrelay:")
        self.assertIn("/To:%s/" % recipient, line)
        via = program.next_line("via:")
        queue = os.path.join(self.home.name, "data", "lumenpost", "queue")
        self.assertEqual([f for f in os.listdir(queue) if f.endswith(".env")], [])
        return via


class ExchangerFaultTest(NetworkFaultTestCase):
    """The faulty exchanger on .122, reached by an address literal (no DNS)."""

    @classmethod
    def setUpClass(cls):
        def start():
            certificate = make_certificate(cls.tmp.name, "faulty.test")
            cls.exchanger = FaultyExchanger(FAULTY_HOST, certificate)
        cls.start_peers(start)

    @classmethod
    def tearDownClass(cls):
        if hasattr(cls, "exchanger"):
            cls.exchanger.close()
        super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.addCleanup(self.exchanger.heal)

    def start(self, settings=""):
        return super().start(autoback=0, dns=DNS, settings=RETRY_SOON + settings,
                             env_changes=FAST)

    def deferred_then_delivered(self, fault, size, settings=""):
        """Sends a message of `size` octets while the exchanger has `fault`, heals it after
        the deferral; (the deferral's reason, the via line, the message as sent)."""
        self.exchanger.misbehave(fault, size)
        path, body = message_file(self.home.name, fault.replace(" ", "-"), size)
        program = self.start(settings)
        self.send(program, FAULTY, path)
        reason = self.deferred_reason(program, FAULTY)
        self.assertEqual(self.exchanger.accepted, [], "accepted while faulty")
        self.exchanger.heal()
        via = self.assert_delivered(program, FAULTY)
        (recipients, data, _), = self.exchanger.accepted
        self.assertEqual(recipients, [FAULTY.lower()])
        self.assertEqual(without_our_trace(data), body)
        return reason, via, body

    def test_a_connection_dropped_right_after_354_defers_and_the_retry_delivers(self):
        reason, _, _ = self.deferred_then_delivered("after 354", 2000)
        # Noticed at the data's write or at the reply's read, as the kernel has it.
        self.assertRegex(reason, r"^(\[%s\]: )?connection to %s:25 lost$"
                         % ((re.escape(FAULTY_HOST),) * 2))

    def test_a_connection_dropped_in_the_middle_of_the_data_defers_and_the_retry_delivers(self):
        # Half of it is more than the sending socket's buffer takes: a write fails.
        reason, _, _ = self.deferred_then_delivered("half data", 10 << 20)
        self.assertEqual(reason, "[%s]: connection to %s:25 lost" % (FAULTY_HOST, FAULTY_HOST))

    def test_a_connection_dropped_after_the_end_of_data_is_retried_not_taken_for_done(self):
        # The exchanger may have kept the message: a second copy is better than none.
        reason, _, body = self.deferred_then_delivered("after dot", 2000)
        self.assertEqual(reason, "connection to %s:25 lost" % FAULTY_HOST)
        self.assertGreaterEqual(len(self.exchanger.unanswered), 1)
        self.assertEqual(without_our_trace(self.exchanger.unanswered[0]), body)

    def test_a_cut_tls_handshake_goes_on_in_clear_when_tls_may(self):
        self.exchanger.misbehave("cut tls")
        path, body = message_file(self.home.name, "tls-may", 2000)
        program = self.start("tls=may\n")
        self.send(program, FAULTY, path)
        via = self.assert_delivered(program, FAULTY)  # in the same attempt: no deferral
        self.assertEqual(via, "via: [%s] [%s]:25, in clear" % (FAULTY_HOST, FAULTY_HOST))
        self.assertEqual(self.exchanger.cut_handshakes, 1)
        (_, data, encrypted), = self.exchanger.accepted
        self.assertFalse(encrypted)
        self.assertEqual(without_our_trace(data), body)

    def test_a_cut_tls_handshake_defers_when_tls_encrypt_and_the_retry_encrypts(self):
        reason, via, _ = self.deferred_then_delivered("cut tls", 2000, "tls=encrypt\n")
        self.assertTrue(reason.startswith("[%s]: TLS handshake with %s:25 failed: "
                                          % (FAULTY_HOST, FAULTY_HOST)), reason)
        self.assertGreaterEqual(self.exchanger.cut_handshakes, 1)
        self.assertRegex(via, r"^via: \[%s\] \[%s\]:25, TLSv1\.[23] \S+$"
                         % (FAULTY_HOST, FAULTY_HOST))
        self.assertTrue(self.exchanger.accepted[0][2])


class DnsFaultTest(NetworkFaultTestCase):
    """A scripted DNS server on .120 that fails for a domain until it is healed; the
    domain's exchanger mx.<domain> is a sink on .121."""

    @classmethod
    def script(cls, query, over_tcp):
        _, name, qtype, _ = scripted_dns.read_question(query)
        domain = name.lower().removeprefix("mx.")
        fault = None if domain in cls.healed else domain.split(".")[0]
        answer = scripted_dns.answer
        good, empty = answer(query, cls.records(name, qtype)), answer(query)
        # The header says one answer record; it has only its first octets.
        garbled = empty[:6] + b"\x00\x01" + empty[8:] + b"\xc0\x0c\x00"
        if fault == "silent":
            return []
        if fault == "servfail":
            return [(0, answer(query, rcode=scripted_dns.SERVFAIL))]
        if fault == "garbled":
            return [(0, garbled)]
        if fault in ("tcpcut", "tcpgarbled") and not over_tcp:
            return [(0, answer(query, truncated=True))]
        if fault == "tcpcut":  # the length of the whole answer, then half of it
            frame = struct.pack("!H", len(good)) + good
            return [(0, scripted_dns.Raw(frame[:len(frame) // 2]))]
        if fault == "tcpgarbled":
            return [(0, garbled)]
        return [(0, good)]

    @staticmethod
    def records(name, qtype):
        if qtype == scripted_dns.TYPE_MX and not name.startswith("mx."):
            return [scripted_dns.mx(name, 10, "mx." + name)]
        if qtype == scripted_dns.TYPE_A and name.startswith("mx."):
            return [scripted_dns.a(name, SINK_HOST)]
        return []

    @classmethod
    def setUpClass(cls):
        cls.healed = set()

        def start():
            cls.dns = scripted_dns.ScriptedDns(DNS, cls.script)
            cls.sink = Sink(SINK_HOST, os.path.join(cls.tmp.name, "sink"))
            cls.processes.append(cls.sink.process)
        cls.start_peers(start)

    @classmethod
    def tearDownClass(cls):
        if hasattr(cls, "dns"):
            cls.dns.close()
        super().tearDownClass()

    def deferred_then_delivered(self, fault):
        """Mail to <fault>.dnsfault.test while the DNS server has the fault, delivered
        once it answers properly; the deferral's reason."""
        domain = fault + ".dnsfault.test"
        recipient = "r@" + domain
        before = self.sink.count()
        path, body = message_file(self.home.name, fault, 2000)
        program = super().start(autoback=0, dns=DNS, settings=RETRY_SOON, env_changes=FAST)
        self.send(program, recipient, path)
        reason = self.deferred_reason(program, recipient)
        self.assertEqual(self.sink.count(), before)  # never to a guessed address
        self.healed.add(domain)
        self.assert_delivered(program, recipient)
        self.assertEqual(self.sink.wait_count(before + 1), before + 1)
        envelope, data = self.sink.message(before + 1)
        self.assertEqual(envelope["to"], [recipient])
        self.assertEqual(without_our_trace(data), body)
        return reason, domain

    def test_a_silent_server_defers_until_it_answers(self):
        reason, _ = self.deferred_then_delivered("silent")
        self.assertTrue(reason.startswith("DNS server %s did not answer within 1500 ms" % DNS),
                        reason)

    def test_a_garbled_answer_defers_until_a_readable_one(self):
        reason, domain = self.deferred_then_delivered("garbled")
        self.assertEqual(reason, "DNS server %s sent an unreadable answer for %s" % (DNS, domain))

    def test_servfail_defers_until_the_server_answers(self):
        reason, domain = self.deferred_then_delivered("servfail")
        self.assertEqual(reason, "DNS server %s failed to answer for %s (SERVFAIL)" % (DNS, domain))

    def test_a_truncated_answer_whose_tcp_answer_is_cut_off_defers(self):
        reason, domain = self.deferred_then_delivered("tcpcut")
        self.assertIn((domain, scripted_dns.TYPE_MX, "tcp"), self.dns.queries)
        self.assertEqual(reason, "DNS server %s ended the TCP connection before its answer was "
                         "complete" % DNS)

    def test_a_truncated_answer_whose_tcp_answer_is_garbled_defers(self):
        reason, domain = self.deferred_then_delivered("tcpgarbled")
        self.assertIn((domain, scripted_dns.TYPE_MX, "tcp"), self.dns.queries)
        self.assertEqual(reason, "DNS server %s sent an unreadable answer over TCP for %s"
                         % (DNS, domain))


if __name__ == "__main__":
    peers.program_from_argv("network_fault_test.py")
    unittest.main(verbosity=2)
