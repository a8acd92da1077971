#!/usr/bin/env python3
"""End-to-end tests of the front door: the built program headless, dnsmasq on
127.0.0.36:53 and an SMTP sink on 127.0.0.37:25. Addresses kept exactly, transactions,
pipelining, and closes that deliver their reply. Needs root (ports 25 and 53).

Usage: front_door_test.py [path of the lumenpost program]
"""
import os
import smtplib
import socket
import time
import unittest

import peers
from headless_test import WAIT
from peers import ProgramTestCase

DNS = "127.0.0.36"
SINK_HOST = "127.0.0.37"
MX_RECORDS = ["door.test,%s,10" % SINK_HOST, "sender.test,%s,10" % SINK_HOST]
SENDER = "alice+news@sender.test"
MESSAGE = b"Subject: front door\r\n\r\nhello\r\n"


def read_reply(conn, lines=1):
    """`lines` complete reply lines (multi-line replies count each line)."""
    data = b""
    while data.count(b"\r\n") < lines:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    return data.decode("utf-8", "replace")


@unittest.skipUnless(os.geteuid() == 0, "needs root: ports 25 and 53 on 127.0.0.x")
class FrontDoorTest(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_dns_and_sink(MX_RECORDS, DNS, SINK_HOST)

    def setUp(self):
        super().setUp()
        self.before = self.sink.count()
        self.program = self.start(autoback=0, dns=DNS)

    def client(self):
        smtp = smtplib.SMTP("127.0.0.1", self.program.port, timeout=WAIT)
        smtp.ehlo("client.example")
        return smtp

    def delivered_to(self):
        return [self.sink.message(n)[0] for n in range(self.before + 1, self.sink.count() + 1)]

    def test_paths_reach_the_exchanger_exactly_as_written_or_are_refused(self):
        accepted = ['"john smith"@door.test', "o'brien@door.test", "first+tag@door.test"]
        refused = {"jos\u00e9@door.test": 501, "a\x01b@door.test": 501,
                   "l" * 65 + "@door.test": 501}
        smtp = self.client()
        smtp.command_encoding = "utf-8"  # UTF-8 is sent as it is, and must be refused
        self.assertEqual(smtp.mail(SENDER)[0], 250)
        for recipient in accepted:
            self.assertEqual(smtp.rcpt(recipient)[0], 250, recipient)
        for recipient, code in refused.items():
            self.assertEqual(smtp.docmd("RCPT TO:<%s>" % recipient)[0], code, recipient)
        self.assertEqual(smtp.docmd("RCPT TO:<x@door.test> NOTIFY=NEVER")[0], 555)
        self.assertEqual(smtp.data(MESSAGE)[0], 250)
        self.assertEqual(smtp.mail("")[0], 250)  # the null sender
        smtp.quit()
        for _ in accepted:
            self.program.next_line("okrelay:")
        self.sink.wait_count(self.before + len(accepted))
        envelopes = self.delivered_to()
        self.assertEqual(sorted(r for e in envelopes for r in e["to"]), sorted(accepted))
        self.assertEqual({e["from"] for e in envelopes}, {SENDER})

    def test_150_messages_in_one_connection_are_each_delivered_and_logged(self):
        smtp = self.client()
        for number in range(150):
            smtp.sendmail(SENDER, ["n%d@door.test" % number], MESSAGE)
        # DATA after a refused RCPT belongs to no recipient: refused, nothing queued.
        self.assertEqual(smtp.mail(SENDER)[0], 250)
        self.assertEqual(smtp.docmd("RCPT TO:<bad address@door.test>")[0], 501)
        self.assertEqual(smtp.docmd("DATA")[0], 554)
        smtp.quit()
        for _ in range(150):
            self.program.next_line("okrelay:")
        self.sink.wait_count(self.before + 150)
        time.sleep(0.5)
        self.assertEqual(self.sink.count(), self.before + 150)

    def test_commands_behind_the_end_marker_are_answered_in_order(self):
        with socket.create_connection(("127.0.0.1", self.program.port), timeout=WAIT) as conn:
            read_reply(conn)
            conn.sendall(b"EHLO pipe.example\r\n")
            read_reply(conn, 6)  # EHLO: its first line, four extensions, AUTH
            conn.sendall(b"MAIL FROM:<%s>\r\nRCPT TO:<p1@door.test>\r\nRCPT TO:<p2@door.test>\r\n"
                         b"DATA\r\n" % SENDER.encode())
            self.assertEqual(read_reply(conn, 4).splitlines()[-1],
                             "354 Start mail input; end with <CRLF>.<CRLF>")
            conn.sendall(b"Subject: piped\r\n\r\nbody\r\n.\r\nQUIT\r\n")
            replies = read_reply(conn, 2)
            self.assertEqual(replies, "250 OK \r\n221 Thanks for using, have a nice day\r\n")
            self.assertEqual(conn.recv(100), b"")  # then the end, not a reset
        self.sink.wait_count(self.before + 2)

    def test_a_client_that_reconnects_right_after_221_is_served_every_time(self):
        for round_number in range(50):
            with socket.create_connection(("127.0.0.1", self.program.port),
                                          timeout=WAIT) as conn:
                self.assertTrue(read_reply(conn).startswith("220 "), round_number)
                conn.sendall(b"QUIT\r\n")
                self.assertTrue(read_reply(conn).startswith("221 "), round_number)


if __name__ == "__main__":
    peers.program_from_argv("front_door_test.py")
    unittest.main(verbosity=2)
