#!/usr/bin/env python3
"""End-to-end tests of relaying: the built program headless on loopback, a dnsmasq
serving MX records on 127.0.0.2:53, SMTP sinks on 127.0.0.x:25 and swaks as the
mail client. Needs root (ports 25 and 53, network namespaces).

Usage: relay_test.py [path of the lumenpost program]
"""
import email
import email.policy
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

import peers
from headless_test import WAIT, command
from peers import POSTMASTER, ProgramTestCase, Sink, start_dnsmasq, stop_process, swaks
from peers import without_our_trace, write_settings

# Exchangers: example.test prefers .3 over .5 (listed first to show that order does not
# count); sender.test (the senders' domain) is .4; other.test is .6; .7 takes mail for the
# address literal [127.0.0.7].
MX_RECORDS = ["example.test,127.0.0.5,20", "example.test,127.0.0.3,10",
              "sender.test,127.0.0.4,10", "other.test,127.0.0.6,10"]
SINK_HOSTS = ["127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6", "127.0.0.7"]
REFUSED = "bad@example.test"
TIME = r"\d\d:\d\d:\d\d"


@unittest.skipUnless(os.geteuid() == 0, "needs root: ports 25 and 53 on 127.0.0.x")
class RelayTest(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_peers(cls.start_dns_and_sinks)

    @classmethod
    def start_dns_and_sinks(cls):
        cls.processes.append(start_dnsmasq(MX_RECORDS))
        cls.sinks = {}
        for host in SINK_HOSTS:
            refuse = [REFUSED] if host == "127.0.0.3" else []
            sink = Sink(host, os.path.join(cls.tmp.name, "sink-" + host), refuse)
            cls.processes.append(sink.process)
            cls.sinks[host] = sink

    def setUp(self):
        super().setUp()
        self.before = {host: sink.count() for host, sink in self.sinks.items()}

    def new_messages(self, host, count):
        """Waits for `count` new messages at the sink on `host` and returns them."""
        sink = self.sinks[host]
        first = self.before[host]
        self.assertGreaterEqual(sink.wait_count(first + count), first + count, host)
        return [sink.message(n) for n in range(first + 1, first + count + 1)]

    def assert_nothing_new(self, *hosts):
        for host in hosts:
            self.assertEqual(self.sinks[host].count(), self.before[host], host)

    def send(self, program, sender, recipients, data_file=None):
        result = swaks(program.port, sender, recipients, data_file)
        self.assertEqual(result.returncode, 0, result.stdout.decode(errors="replace"))

    def test_delivery_to_the_preferred_exchanger_with_the_log_line(self):
        program = self.start()
        self.send(program, "alice@sender.test", ["bob@example.test"])
        # The status comes first, then the line.
        self.assertEqual(program.next_line("status: 电子邮件"), "status: 电子邮件转发成功！")
        self.assertRegex(program.next_line("okrelay:"),
                         "^okrelay: 1:邮件转发成功！From:alice@sender.test/"
                         "To:bob@example.test/Time:%s$" % TIME)
        (envelope, data), = self.new_messages("127.0.0.3", 1)
        self.assertEqual((envelope["from"], envelope["to"]), ("alice@sender.test", ["bob@example.test"]))
        self.assertIn(b"To: bob@example.test", data)
        self.assert_nothing_new("127.0.0.5")

    def test_an_address_literal_gets_the_mail_at_that_address_without_dns(self):
        program = self.start()
        self.send(program, "alice@sender.test", ["r@[127.0.0.7]"])
        self.assertIn("To:r@[127.0.0.7]/", program.next_line("okrelay:"))
        (envelope, _), = self.new_messages("127.0.0.7", 1)
        self.assertEqual(envelope["to"], ["r@[127.0.0.7]"])

    def test_two_recipients_in_two_domains_give_two_deliveries_and_two_lines(self):
        program = self.start()
        self.send(program, "alice@sender.test", ["bob@example.test", "carol@other.test"])
        lines = sorted([program.next_line("okrelay:"), program.next_line("okrelay:")])
        self.assertIn("To:bob@example.test/", " ".join(lines))
        self.assertIn("To:carol@other.test/", " ".join(lines))
        self.assertEqual([line.split(":")[1] for line in lines], [" 1", " 2"])
        self.assertEqual(self.new_messages("127.0.0.3", 1)[0][0]["to"], ["bob@example.test"])
        self.assertEqual(self.new_messages("127.0.0.6", 1)[0][0]["to"], ["carol@other.test"])

    def test_a_refused_recipient_is_logged_and_the_sender_gets_a_notice(self):
        program = self.start()
        self.send(program, "alice@sender.test", [REFUSED])
        self.assertEqual(program.next_line("status: 电子邮件"), "status: 电子邮件转发失败！")
        self.assertRegex(program.next_line("badrelay:"),
                         "^badrelay: 1:邮件转发失败！From:alice@sender.test/"
                         "To:%s/Time:%s$" % (REFUSED, TIME))
        (envelope, data), = self.new_messages("127.0.0.4", 1)
        self.assertIn(envelope["from"], ("", "<>"))  # the null sender
        self.assertEqual(envelope["to"], ["alice@sender.test"])
        notice = email.message_from_bytes(data, policy=email.policy.default)
        self.assertEqual((notice["From"], notice["To"], notice["Subject"]),
                         (POSTMASTER, "alice@sender.test", "Email Relay Fail Notice"))
        self.assertRegex(notice["Date"], r"^\w{3}, \d{1,2} \w{3} \d{4} %s [+-]\d{4}$" % TIME)
        human = notice.get_payload()[0].get_content().replace("\r\n", "\n").split("\n")
        self.assertEqual(human[:2], [
            "Your Email From: alice@sender.test /To: %s Relay Fail..." % REFUSED,
            "Reason: 550 5.1.1 mailbox refused by test sink"])

    def assert_no_notice_queued(self):
        queue = os.path.join(self.home.name, "data", "lumenpost", "queue")
        self.assertEqual([name for name in os.listdir(queue) if name.endswith(".env")], [])

    def test_no_notice_when_switched_off_or_for_an_implausible_sender(self):
        # A notice is queued before the log line is shown, so after the line it would be there.
        program = self.start(autoback=0)
        self.send(program, "alice@sender.test", [REFUSED])
        program.next_line("badrelay:")
        self.assert_no_notice_queued()
        for program in self.programs:
            stop_process(program.process)
        program = self.start(autoback=1)
        self.send(program, "a.b@sender.test", [REFUSED])
        self.assertIn("From:a.b@sender.test/", program.next_line("badrelay:"))
        self.assert_no_notice_queued()
        self.assert_nothing_new("127.0.0.4")

    def test_the_message_arrives_byte_identical_with_dot_lines_and_5_mb_attachment(self):
        data_file = os.path.join(self.home.name, "message.eml")
        write_large_message(data_file)
        program = self.start()
        self.send(program, "alice@sender.test", ["bob@example.test"], data_file)
        program.next_line("okrelay:")
        (_, relayed), = self.new_messages("127.0.0.3", 1)
        # The same swaks invocation straight to the sink is the reference.
        result = swaks(25, "alice@sender.test", ["bob@example.test"], data_file, host="127.0.0.3")
        self.assertEqual(result.returncode, 0, result.stdout.decode(errors="replace"))
        (_, direct), = self.new_messages("127.0.0.3", 2)[1:]
        self.assertGreater(len(direct), 5_000_000)
        self.assertIn(b"\r\n.\r\n..\r\n.leading dot\r\n...\r\n", relayed)
        self.assertEqual(without_our_trace(relayed), direct)

    def test_the_program_ends_promptly_while_an_exchanger_does_not_answer(self):
        # The exchanger at the address literal [127.0.0.8] accepts and never says a word,
        # so the pass would wait two minutes for the greeting.
        with socket.socket() as silent:
            silent.bind(("127.0.0.8", 25))
            silent.listen()
            silent.settimeout(WAIT)
            program = self.start()
            self.send(program, "alice@sender.test", ["r@[127.0.0.8]"])
            connection, _ = silent.accept()  # the pass is now stuck in its delivery
            with connection:
                status, _, err = program.stop()
        self.assertEqual(status, 0, err)


def write_large_message(path):
    """A MIME message with dot lines in the text and a 5 MB base64 attachment."""
    import base64
    import random
    blob = random.Random(6).randbytes(5 * 1024 * 1024)
    encoded = base64.encodebytes(blob).decode("ascii").replace("\n", "\r\n")
    text = ("From: alice@sender.test\r\nTo: bob@example.test\r\nSubject: big\r\n"
            "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
            "--b1\r\nContent-Type: text/plain\r\n\r\n"
            ".\r\n..\r\n.leading dot\r\n...\r\nend of text.\r\n"
            "--b1\r\nContent-Type: application/octet-stream\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\n" + encoded + "--b1--\r\n")
    with open(path, "w", encoding="ascii", newline="") as f:
        f.write(text)


class Namespaces:
    """Two network namespaces joined by a veth pair: 192.0.2.1 (server), 192.0.2.2."""

    def __init__(self):
        tag = uuid.uuid4().hex[:8]
        self.server = "lp-srv-" + tag
        self.client = "lp-cli-" + tag
        self.created = []
        try:
            for name in (self.server, self.client):
                self.ip("netns", "add", name)
                self.created.append(name)
                self.ip("-n", name, "link", "set", "lo", "up")
            self.ip("link", "add", "lpv" + tag, "netns", self.server, "type", "veth",
                    "peer", "name", "lpw" + tag, "netns", self.client)
            for name, device, address in ((self.server, "lpv" + tag, "192.0.2.1/24"),
                                          (self.client, "lpw" + tag, "192.0.2.2/24")):
                self.ip("-n", name, "addr", "add", address, "dev", device)
                self.ip("-n", name, "link", "set", device, "up")
        except Exception:
            self.remove()
            raise

    @staticmethod
    def ip(*args):
        subprocess.run(["ip", *args], check=True, timeout=WAIT, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)

    def remove(self):
        for name in self.created:
            subprocess.run(["ip", "netns", "del", name], timeout=WAIT)
        self.created = []


# Run in the client namespace: prints the greeting, or "closed" if there is none.
GREETING_PROBE = """
import socket, sys
deadline_s = float(sys.argv[2])
with socket.create_connection((sys.argv[1], 2525), timeout=deadline_s) as conn:
    data = b""
    while not data.endswith(b"\\r\\n"):
        chunk = conn.recv(1)
        if not chunk:
            break
        data += chunk
print(data.decode().strip() or "closed")
"""


@unittest.skipUnless(os.geteuid() == 0, "needs root: network namespaces")
class AccessTest(unittest.TestCase):
    def setUp(self):
        self.net = Namespaces()
        self.addCleanup(self.net.remove)
        self.home = tempfile.TemporaryDirectory()
        self.addCleanup(self.home.cleanup)

    def greeting_for_client(self, *extra):
        home = tempfile.mkdtemp(dir=self.home.name)
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(home, "config"),
                   XDG_RUNTIME_DIR=os.path.join(home, "run"))
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
        write_settings(env["XDG_CONFIG_HOME"], 0)
        program = subprocess.Popen(
            ["ip", "netns", "exec", self.net.server,
             *command("--headless", "--listen", "0.0.0.0:2525", *extra)],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + WAIT
            while True:  # until the program listens
                probe = subprocess.run(
                    ["ip", "netns", "exec", self.net.client, sys.executable, "-c",
                     GREETING_PROBE, "192.0.2.1", str(WAIT)],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=WAIT * 2)
                if probe.returncode == 0 or time.monotonic() > deadline:
                    break
                time.sleep(0.1)
            self.assertEqual(probe.returncode, 0, probe.stderr.decode())
            return probe.stdout.decode().strip()
        finally:
            stop_process(program)

    def test_a_client_from_another_network_needs_allow_from(self):
        self.assertEqual(self.greeting_for_client(), "closed")
        self.assertEqual(self.greeting_for_client("--allow-from", "192.0.2.0/24"),
                         "220 SMTP Server Ready.")


if __name__ == "__main__":
    peers.program_from_argv("relay_test.py")
    unittest.main(verbosity=2)
