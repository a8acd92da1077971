#!/usr/bin/env python3
"""End-to-end tests of delivery as a mail server does it: every MX and address through the
DNS server the user chose (dnsmasq, or a scripted server that answers wrongly), IPv6 in
a network namespace of the test's own, STARTTLS against aiosmtpd sinks, one connection
for the recipients of one exchanger, and failure notices as delivery status reports.
Needs root (ports 25 and 53 on 127.0.0.50 to .64, a network namespace).

Usage: delivery_test.py [path of the lumenpost program]
"""
import ctypes
import email
import email.policy
import os
import socket
import subprocess
import threading
import unittest

import peers
import scripted_dns
from headless_test import WAIT, net_timeout
from peers import POSTMASTER, ProgramTestCase, Sink, silent_listener, start_dnsmasq, swaks

SENDER = "alice@sender.test"
# Short network time-outs, so that a silent peer costs seconds, not minutes.
FAST = {"LUMENPOST_NET_TIMEOUT_MS": net_timeout(1500)}


def refusing_greeter(host, greeting=b"421 4.3.2 too busy, try later\r\n"):
    """Greets every connection on HOST:25 with `greeting` and closes it."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((host, 25))
    listener.listen(16)

    def serve():
        while True:
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            with connection:
                connection.sendall(greeting)
    threading.Thread(target=serve, daemon=True).start()
    return listener


class DeliveryTestCase(ProgramTestCase):
    DNS = None

    @classmethod
    def tearDownClass(cls):
        for peer in getattr(cls, "sockets", []):
            peer.close()
        super().tearDownClass()

    @classmethod
    def add_sink(cls, name, host, **options):
        sink = Sink(host, os.path.join(cls.tmp.name, name), **options)
        cls.processes.append(sink.process)
        return sink

    @classmethod
    def add_socket(cls, sock):
        cls.sockets = getattr(cls, "sockets", []) + [sock]

    def setUp(self):
        super().setUp()
        self.before = {name: sink.count() for name, sink in self.all_sinks().items()}

    def all_sinks(self):
        return {name: value for name, value in vars(type(self)).items()
                if isinstance(value, Sink)}

    def new_messages(self, name, count):
        sink = getattr(self, name)
        first = self.before[name]
        self.assertGreaterEqual(sink.wait_count(first + count), first + count, name)
        return [sink.message(n) for n in range(first + 1, first + count + 1)]

    def new_count(self, name):
        return getattr(self, name).count() - self.before[name]

    def start(self, settings="", env_changes=FAST, **kwargs):
        return super().start(dns=self.DNS, settings=settings, env_changes=env_changes, **kwargs)

    def send(self, program, recipients, sender=SENDER, data_file=None):
        result = swaks(program.port, sender, recipients, data_file)
        self.assertEqual(result.returncode, 0, result.stdout.decode(errors="replace"))


@unittest.skipUnless(os.geteuid() == 0, "needs root: ports 25 and 53 on 127.0.0.x")
class ExchangerChoiceTest(DeliveryTestCase):
    """dnsmasq on .50; a sink on .52 and one on .56; nothing on .51; a silent listener on
    .53; exchangers that greet with 421 on .54 and .55."""
    DNS = "127.0.0.50"
    MX = ["twomx.test,127.0.0.51,10", "twomx.test,127.0.0.52,20",
          "silentmx.test,127.0.0.53,10", "silentmx.test,127.0.0.52,20",
          "busy.test,127.0.0.54,10", "busy.test,127.0.0.55,20",
          "equal.test,127.0.0.52,10", "equal.test,127.0.0.56,10",
          "named.test,mx.named.test,10", "three.test,127.0.0.52,10", "sender.test,127.0.0.52,10"]
    HOSTS = ["mx.named.test,127.0.0.56"]
    REFUSED = ["no1@three.test", "no2@three.test", "no3@three.test"]

    @classmethod
    def setUpClass(cls):
        def start():
            cls.processes.append(start_dnsmasq(cls.MX, cls.DNS, cls.HOSTS))
            cls.first = cls.add_sink("first", "127.0.0.52", refuse=cls.REFUSED)
            cls.second = cls.add_sink("second", "127.0.0.56")
            cls.add_socket(silent_listener("127.0.0.53"))
            cls.add_socket(refusing_greeter("127.0.0.54"))
            cls.add_socket(refusing_greeter("127.0.0.55"))
        cls.start_peers(start)

    def test_a_refusing_first_exchanger_passes_the_mail_to_the_second(self):
        program = self.start()
        self.send(program, ["bob@twomx.test"])
        self.assertIn("To:bob@twomx.test/", program.next_line("okrelay:"))
        self.assertEqual(program.next_line("via:"), "via: 127.0.0.52 [127.0.0.52]:25, in clear")
        (envelope, _), = self.new_messages("first", 1)
        self.assertEqual(envelope["to"], ["bob@twomx.test"])

    def test_a_silent_first_exchanger_is_left_after_the_greeting_time_out(self):
        program = self.start()
        self.send(program, ["bob@silentmx.test"])
        self.assertIn("To:bob@silentmx.test/", program.next_line("okrelay:"))
        self.assertEqual(self.new_messages("first", 1)[0][0]["to"], ["bob@silentmx.test"])

    def test_exchangers_that_all_greet_with_421_defer_the_mail_naming_both(self):
        program = self.start()
        self.send(program, ["bob@busy.test"])
        deferred = program.next_line("deferred:")
        self.assertIn("To:bob@busy.test/", deferred)
        self.assertIn("421 4.3.2 too busy", deferred)
        self.assertIn("127.0.0.54", deferred)
        self.assertIn("127.0.0.55", deferred)

    def test_equal_preferences_spread_the_mail_over_both_exchangers(self):
        program = self.start()
        for number in range(16):  # all on one side: chance 2 in 65536
            self.send(program, ["r%d@equal.test" % number])
        for _ in range(16):
            program.next_line("okrelay:")
        self.assertGreater(self.new_count("first"), 0)
        self.assertGreater(self.new_count("second"), 0)
        self.assertEqual(self.new_count("first") + self.new_count("second"), 16)

    def test_an_exchanger_known_only_to_the_chosen_dns_server(self):
        with self.assertRaises(socket.gaierror):  # the system resolver knows nothing of it
            socket.getaddrinfo("mx.named.test", 25)
        program = self.start()
        self.send(program, ["bob@named.test"])
        program.next_line("okrelay:")
        self.assertEqual(program.next_line("via:"), "via: mx.named.test [127.0.0.56]:25, in clear")
        self.assertEqual(self.new_messages("second", 1)[0][0]["to"], ["bob@named.test"])

    def test_three_recipients_at_one_exchanger_share_one_transaction_and_log_three_lines(self):
        program = self.start()
        self.send(program, ["ok1@three.test", "ok2@three.test", "ok3@three.test"])
        lines = sorted(program.next_line("okrelay:") for _ in range(3))
        for number, line in enumerate(lines, 1):
            self.assertIn("To:ok%d@three.test/" % number, "".join(lines))
        (envelope, _), = self.new_messages("first", 1)
        self.assertEqual(sorted(envelope["to"]),
                         ["ok1@three.test", "ok2@three.test", "ok3@three.test"])
        self.assertNotEqual(envelope["helo"], "vm")
        self.assertTrue("." in envelope["helo"] or envelope["helo"].startswith("["),
                        envelope["helo"])

    def test_three_failures_of_one_message_give_one_report_from_the_null_sender(self):
        program = self.start()
        self.send(program, self.REFUSED)
        reasons = [program.next_line("reason:") for _ in range(3)]
        self.assertEqual(set(reasons), {"reason: 550 5.1.1 mailbox refused by test sink"})
        (envelope, data), = self.new_messages("first", 1)
        self.assertIn(envelope["from"], ("", "<>"))
        self.assertEqual(envelope["to"], [SENDER])
        report = email.message_from_bytes(data, policy=email.policy.default)
        self.assertEqual(report.get_content_type(), "multipart/report")
        self.assertEqual(report.get_param("report-type"), "delivery-status")
        self.assertEqual(report["From"], POSTMASTER)
        self.assertEqual(report["Subject"], "Email Relay Fail Notice")
        self.assertEqual(report["Auto-Submitted"], "auto-replied")
        human, status, headers = report.get_payload()
        text = human.get_content().replace("\r\n", "\n")
        for address in self.REFUSED:
            self.assertIn("Your Email From: %s /To: %s Relay Fail...\n"
                          "Reason: 550 5.1.1 mailbox refused by test sink" % (SENDER, address),
                          text)
        self.assertEqual(status.get_content_type(), "message/delivery-status")
        fields = status.get_payload()  # the per-message block, then one per recipient
        self.assertEqual(len(fields), 4)
        self.assertEqual(sorted(f["Final-Recipient"] for f in fields[1:]),
                         ["rfc822; " + a for a in self.REFUSED])
        self.assertEqual({f["Status"] for f in fields[1:]}, {"5.1.1"})
        self.assertIn("To: " + self.REFUSED[0], headers.as_string())

    def test_no_notice_for_a_message_from_the_null_sender(self):
        program = self.start()
        self.send(program, ["no1@three.test"], sender="<>")
        self.assertEqual(program.next_line("reason:"),
                         "reason: 550 5.1.1 mailbox refused by test sink")
        queue = os.path.join(self.home.name, "data", "lumenpost", "queue")
        self.assertEqual([f for f in os.listdir(queue) if f.endswith(".env")], [])


@unittest.skipUnless(os.geteuid() == 0, "needs root: ports 25 and 53 on 127.0.0.x")
class DnsAnswerTest(DeliveryTestCase):
    """A scripted DNS server on .59 with an answer (or none) per domain; a sink on .60."""
    DNS = "127.0.0.59"
    SINK = "127.0.0.60"

    @classmethod
    def script(cls, query, over_tcp):
        _, name, qtype, _ = scripted_dns.read_question(query)
        good = [scripted_dns.mx(name, 10, cls.SINK)] if qtype == scripted_dns.TYPE_MX else []
        answer = scripted_dns.answer
        if name == "nomx.test":  # exists, with an address and no MX record
            own = [scripted_dns.a(name, cls.SINK)] if qtype == scripted_dns.TYPE_A else []
            return [(0, answer(query, own))]
        if name == "nxdomain.test":
            return [(0, answer(query, rcode=scripted_dns.NXDOMAIN))]
        if name == "servfail.test":
            return [(0, answer(query, rcode=scripted_dns.SERVFAIL))]
        if name == "silent.test":
            return []
        if name == "nullmx.test":
            return [(0, answer(query, [scripted_dns.mx(name, 0, ".")]))]
        if name == "truncated.test" and not over_tcp:
            return [(0, answer(query, truncated=True))]
        if name == "otherquestion.test":
            return [(0, answer(query, [scripted_dns.mx("otherquestion.test", 10, "127.0.0.99")],
                               question_name="elsewhere.test")),
                    (0.2, answer(query, good))]
        return [(0, answer(query, good))]

    @classmethod
    def setUpClass(cls):
        def start():
            dns = scripted_dns.ScriptedDns(cls.DNS, cls.script)
            cls.dns = dns
            cls.add_socket(dns)
            cls.sink = cls.add_sink("sink", cls.SINK)
        cls.start_peers(start)

    def outcome(self, program, recipient):
        """("badrelay" or "deferred", reason) of the one recipient."""
        self.send(program, [recipient])
        while True:
            line = program.next_line("")
            if line.startswith("reason:"):
                return "failed", line[len("reason: "):]
            if line.startswith("deferred:"):
                return "deferred", line.split("/Reason:", 1)[1]

    def test_each_dns_failure_has_its_outcome_class_and_reason(self):
        program = self.start(autoback=0)
        self.assertEqual(self.outcome(program, "r@nxdomain.test"),
                         ("failed", "domain nxdomain.test does not exist"))
        kind, reason = self.outcome(program, "r@nullmx.test")
        self.assertEqual(kind, "failed")
        self.assertTrue(reason.startswith("domain nullmx.test does not accept mail"), reason)
        kind, reason = self.outcome(program, "r@servfail.test")
        self.assertEqual(kind, "deferred")
        self.assertIn("DNS server 127.0.0.59", reason)
        self.assertIn("SERVFAIL", reason)
        kind, reason = self.outcome(program, "r@silent.test")
        self.assertEqual(kind, "deferred")
        self.assertIn("DNS server 127.0.0.59 did not answer", reason)
        self.assertEqual(self.new_count("sink"), 0)  # never to the domain's own address

    def test_a_domain_without_mx_gets_its_mail_at_its_own_address(self):
        program = self.start()
        self.send(program, ["r@nomx.test"])
        self.assertIn("To:r@nomx.test/", program.next_line("okrelay:"))
        self.assertEqual(program.next_line("via:"), "via: nomx.test [127.0.0.60]:25, in clear")

    def test_a_truncated_answer_is_asked_again_over_tcp(self):
        program = self.start()
        self.send(program, ["r@truncated.test"])
        self.assertIn("To:r@truncated.test/", program.next_line("okrelay:"))
        self.assertIn(("truncated.test", scripted_dns.TYPE_MX, "tcp"), self.dns.queries)

    def test_an_answer_to_another_question_is_ignored(self):
        program = self.start()
        self.send(program, ["r@otherquestion.test"])
        self.assertIn("To:r@otherquestion.test/", program.next_line("okrelay:"))
        self.assertEqual(self.new_messages("sink", 1)[0][0]["to"], ["r@otherquestion.test"])


def make_certificate(folder, name):
    cert, key = os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                    "-out", cert, "-days", "2", "-subj", "/CN=" + name],
                   check=True, capture_output=True, timeout=WAIT * 4)
    return cert, key


@unittest.skipUnless(os.geteuid() == 0, "needs root: ports 25 and 53 on 127.0.0.x")
class StartTlsTest(DeliveryTestCase):
    """dnsmasq on .61; a sink with STARTTLS and a self-signed certificate on .62, one whose
    every handshake fails on .63, one without STARTTLS on .64."""
    DNS = "127.0.0.61"
    MX = ["tls.test,127.0.0.62,10", "badtls.test,127.0.0.63,10", "plain.test,127.0.0.64,10"]

    @classmethod
    def setUpClass(cls):
        def start():
            cls.processes.append(start_dnsmasq(cls.MX, cls.DNS))
            cert, key = make_certificate(cls.tmp.name, "mx.tls.test")
            cls.tls = cls.add_sink("tls", "127.0.0.62", tls=(cert, key, False))
            cls.badtls = cls.add_sink("badtls", "127.0.0.63", tls=(cert, key, True))
            cls.plain = cls.add_sink("plain", "127.0.0.64")
        cls.start_peers(start)

    def test_mail_goes_encrypted_where_starttls_is_offered(self):
        for policy in ("may", "encrypt"):
            with self.subTest(policy=policy):
                self.before["tls"] = self.tls.count()
                program = self.start("tls=%s\n" % policy)
                self.send(program, ["r@tls.test"])
                program.next_line("okrelay:")
                self.assertRegex(program.next_line("via:"),
                                 r"^via: 127\.0\.0\.62 \[127\.0\.0\.62\]:25, TLSv1\.[23] \S+$")
                (envelope, _), = self.new_messages("tls", 1)
                self.assertTrue(envelope["tls"])
                peers.stop_process(program.process)

    def test_a_failing_handshake_falls_back_to_clear_only_when_allowed(self):
        program = self.start("tls=may\n")
        self.send(program, ["r@badtls.test"])
        program.next_line("okrelay:")
        self.assertEqual(program.next_line("via:"), "via: 127.0.0.63 [127.0.0.63]:25, in clear")
        self.assertFalse(self.new_messages("badtls", 1)[0][0]["tls"])
        peers.stop_process(program.process)
        program = self.start("tls=encrypt\n")
        for recipient in ("r@badtls.test", "r@plain.test"):
            self.send(program, [recipient])
            deferred = program.next_line("deferred:")
            self.assertIn("To:%s/" % recipient, deferred)
            self.assertRegex(deferred, "TLS|STARTTLS")
        self.assertEqual(self.new_count("plain"), 0)

    def test_no_starttls_with_tls_none(self):
        program = self.start("tls=none\n")
        self.send(program, ["r@tls.test"])
        program.next_line("okrelay:")
        self.assertFalse(self.new_messages("tls", 1)[0][0]["tls"])


CLONE_NEWNET = 0x40000000
NAMESPACE = "lumenpost-e2e-v6"


def enter_namespace(path):
    """Moves this thread (and what it starts later) into the network namespace at PATH."""
    libc = ctypes.CDLL(None, use_errno=True)
    with open(path) as f:
        if libc.setns(f.fileno(), CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns " + path)


@unittest.skipUnless(os.geteuid() == 0, "needs root: a network namespace")
class Ipv6Test(DeliveryTestCase):
    """In a network namespace of its own: dnsmasq on .50 with an exchanger that has only
    an IPv6 address (fd00::25) and one with only an IPv4 address (.51)."""
    DNS = "127.0.0.50"
    MX = ["six.test,mx6.six.test,10", "four.test,mx4.four.test,10"]
    HOSTS = ["mx6.six.test,fd00::25", "mx4.four.test,127.0.0.51"]

    @classmethod
    def setUpClass(cls):
        subprocess.run(["ip", "netns", "del", NAMESPACE], capture_output=True)
        subprocess.run(["ip", "netns", "add", NAMESPACE], check=True, timeout=WAIT)
        cls.home_namespace = open("/proc/self/ns/net")
        try:
            enter_namespace("/run/netns/" + NAMESPACE)
            for command in (["ip", "link", "set", "lo", "up"],
                            ["ip", "addr", "add", "fd00::25/128", "dev", "lo", "nodad"]):
                subprocess.run(command, check=True, timeout=WAIT)
        except Exception:
            cls.leave()
            raise

        def start():
            cls.processes.append(start_dnsmasq(cls.MX, cls.DNS, cls.HOSTS))
            cls.six = cls.add_sink("six", "fd00::25")
            cls.four = cls.add_sink("four", "127.0.0.51")
        try:
            cls.start_peers(start)
        except Exception:
            cls.leave()
            raise

    @classmethod
    def leave(cls):
        enter_namespace("/proc/self/fd/%d" % cls.home_namespace.fileno())
        cls.home_namespace.close()
        subprocess.run(["ip", "netns", "del", NAMESPACE], capture_output=True, timeout=WAIT)

    @classmethod
    def tearDownClass(cls):
        super().tearDownClass()
        cls.leave()

    def test_exchangers_with_only_an_ipv6_or_only_an_ipv4_address(self):
        program = self.start()
        self.send(program, ["r@six.test", "r@four.test"])
        program.next_line("okrelay:")
        program.next_line("okrelay:")
        self.assertEqual(self.new_messages("six", 1)[0][0]["to"], ["r@six.test"])
        self.assertEqual(self.new_messages("four", 1)[0][0]["to"], ["r@four.test"])


if __name__ == "__main__":
    peers.program_from_argv("delivery_test.py")
    unittest.main()
