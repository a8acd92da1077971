#!/usr/bin/env python3
"""End-to-end tests of `lumenpost --sendmail`: a message on stdin, queued through the
running relay or, with none running, into the queue folder for the next start. dnsmasq
on 127.0.0.100:53, an SMTP sink on 127.0.0.101:25 and the relay on 127.0.0.102. Needs root
(ports 25 and 53).

Usage: sendmail_test.py [path of the lumenpost program]
"""
import glob
import os
import re
import subprocess
import unittest

import headless_test
import peers
from headless_test import WAIT
from peers import ProgramTestCase

DNS = "127.0.0.100"
SINK_HOST = "127.0.0.101"
RELAY_HOST = "127.0.0.102"  # where the relay listens, on an ephemeral port
MX_RECORDS = ["mail.test,%s,10" % SINK_HOST, "other.test,%s,10" % SINK_HOST]
SENDER = "alice@sender.test"

# To, Cc (a group) and a folded Bcc, with display names and a quoted comma.
BCC_MESSAGE = (b"From: Alice <alice@sender.test>\n"
               b"To: Ann <ann@mail.test>, \"Doe, Bob\" <bob@mail.test>\n"
               b"Cc: team: carl@other.test;\n"
               b"Bcc: dave@mail.test,\n"
               b"  Erin (hidden) <erin@other.test>\n"
               b"Subject: hello\n"
               b"\n"
               b"body line\n"
               b".\n"
               b"not part of the message\n")
BCC_RECIPIENTS = {"ann@mail.test", "bob@mail.test", "carl@other.test", "dave@mail.test",
                  "erin@other.test"}


def header_of(data):
    return data.split(b"\r\n\r\n", 1)[0]


@unittest.skipUnless(os.geteuid() == 0, "needs root: ports 25 and 53 on 127.0.0.x")
class SendmailTest(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_dns_and_sink(MX_RECORDS, DNS, SINK_HOST)

    def setUp(self):
        super().setUp()
        self.before = self.sink.count()
        os.makedirs(os.path.join(self.home.name, "run"), mode=0o700)
        peers.write_settings(os.path.join(self.home.name, "config"), 0, DNS)

    def start(self, settings=""):
        return super().start(autoback=0, dns=DNS, settings=settings, host=RELAY_HOST)

    def sendmail(self, args, message):
        """Runs the command with this test's folders; (status, stdout, stderr)."""
        env = dict(os.environ)
        for variable, folder in (("XDG_CONFIG_HOME", "config"), ("XDG_RUNTIME_DIR", "run"),
                                 ("XDG_DATA_HOME", "data")):
            env[variable] = os.path.join(self.home.name, folder)
        result = subprocess.run(headless_test.command("--sendmail", *args), input=message,
                                env=env, capture_output=True, timeout=WAIT)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def queue_folder(self):
        return os.path.join(self.home.name, "data", "lumenpost", "queue")

    def queued(self):
        return sorted(os.path.basename(p) for p in glob.glob(self.queue_folder() + "/*.*"))

    def received(self, count):
        """The (envelope, data) of the next `count` messages at the sink."""
        self.assertEqual(self.sink.wait_count(self.before + count), self.before + count)
        return [self.sink.message(number)
                for number in range(self.before + 1, self.before + count + 1)]

    def assert_bcc_message_delivered(self):
        # One transaction per recipient domain.
        messages = self.received(2)
        self.assertEqual({r for envelope, _ in messages for r in envelope["to"]}, BCC_RECIPIENTS)
        for envelope, data in messages:
            self.assertEqual(envelope["from"], SENDER)
            header = header_of(data)
            self.assertNotRegex(header, rb"(?im)^bcc:")
            self.assertNotIn(b"dave@", header)
            self.assertNotIn(b"erin@", header)
            self.assertIn(b"\r\nTo: Ann <ann@mail.test>, \"Doe, Bob\" <bob@mail.test>\r\n"
                          b"Cc: team: carl@other.test;\r\nSubject: hello\r\n", header)
            self.assertRegex(header, rb"^Received: from local user \S+ \(uid \d+\)\r\n")
            self.assertTrue(data.endswith(b"\r\n\r\nbody line\r\n"), data)

    def test_t_sends_to_to_cc_and_bcc_without_the_bcc_field_through_the_running_relay(self):
        program = self.start()
        self.assertEqual(self.sendmail(["-t", "-f", SENDER], BCC_MESSAGE), (0, "", ""))
        for _ in BCC_RECIPIENTS:
            program.next_line("okrelay:")
        self.assert_bcc_message_delivered()

    def test_with_no_relay_running_the_message_is_delivered_after_the_next_start(self):
        self.assertEqual(self.sendmail(["-t", "-f", SENDER], BCC_MESSAGE), (0, "", ""))
        files = self.queued()
        self.assertEqual(len(files), 2, files)  # one data file, one envelope
        self.assertEqual(self.sink.count(), self.before)
        program = self.start()
        for _ in BCC_RECIPIENTS:
            program.next_line("okrelay:")
        self.assert_bcc_message_delivered()
        self.assertEqual(self.queued(), [])

    def test_date_and_message_id_are_added_and_with_i_a_dot_line_is_text(self):
        self.start()
        self.assertEqual(self.sendmail(["-i", "r@mail.test"],
                                       b"Subject: bare\n\nbefore\n.\nafter the dot\n"),
                         (0, "", ""))
        envelope, data = self.received(1)[0]
        self.assertEqual(envelope["to"], ["r@mail.test"])
        self.assertRegex(envelope["from"], r"^[^@\s]+@\S+$")  # the login name @ this machine
        header = header_of(data)
        self.assertRegex(header, rb"\r\nSubject: bare\r\nDate: [A-Z][a-z]{2}, \d{1,2} [A-Z][a-z]{2} "
                                 rb"\d{4} \d\d:\d\d:\d\d [+-]\d{4}\r\nMessage-ID: <[0-9a-z]+@[^>\s]+>$")
        self.assertTrue(data.endswith(b"\r\n\r\nbefore\r\n.\r\nafter the dot\r\n"), data)

    def test_exit_statuses_say_what_was_wrong(self):
        message = b"Subject: s\n\nbody\n"
        usage = [(["-x", "r@mail.test"], message, "unknown option '-x'"),
                 ([], message, "no recipient given"),
                 (["-t"], message, "-t found no recipient"),
                 (["not an address"], message, "holds no address"),
                 (["r@mail.test", "a b@mail.test"], message, "holds no address"),
                 (["-f", "bad sender@", "r@mail.test"], message, "sender address"),
                 (["-t"], b"To: root\n\nbody\n", "is no address")]
        for args, text, reason in usage:
            code, out, err = self.sendmail(args, text)
            self.assertEqual((code, out), (64, ""), err)
            self.assertRegex(err, r"^lumenpost: --sendmail: .*%s.*\n$" % re.escape(reason))
        self.assertEqual(self.queued(), [])

        peers.write_settings(os.path.join(self.home.name, "config"), 0, DNS, "maxsize=100\n")
        code, _, err = self.sendmail(["r@mail.test"], message + b"x" * 200 + b"\n")
        self.assertEqual(code, 65, err)
        self.assertIn("size limit of 100 octets", err)
        code, _, err = self.sendmail(["r@mail.test"], b"Subject: s\n\nnul \0 here\n")
        self.assertEqual(code, 65, err)

        # The queue folder cannot be made: a file stands where it should be.
        os.makedirs(os.path.dirname(self.queue_folder()))
        with open(self.queue_folder(), "w", encoding="ascii") as f:
            f.write("not a folder")
        code, out, err = self.sendmail(["r@mail.test"], message)
        self.assertEqual((code, out), (75, ""), err)
        self.assertIn("cannot queue the message", err)
        self.assertIn("send again", err)


if __name__ == "__main__":
    peers.program_from_argv("sendmail_test.py")
    unittest.main(verbosity=2)
