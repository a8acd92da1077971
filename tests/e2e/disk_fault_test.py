#!/usr/bin/env python3
"""Disk faults under the mail queue: the queue lives on a 1 MiB tmpfs in the program's own
mount namespace, which fills up, turns read-only or loses the queue folder while the
program runs. Each time the client is told to try again later, one line says what went
wrong, nothing half-written stays, and once the disk is back the next message is
queued and delivered. Needs root (ports 25 and 53 on 127.0.0.x, mounts).

Usage: disk_fault_test.py [path of the lumenpost program]
"""
import os
import select
import shutil
import smtplib
import stat
import subprocess
import time
import unittest

import peers
from headless_test import WAIT
from peers import ProgramTestCase

DNS = "127.0.0.113"
SINK_HOST = "127.0.0.114"
LISTEN_HOST = "127.0.0.115"
SENDER = "alice@sender.test"
LOCAL_ERROR = (451, b"Requested action aborted: local error in processing")
ATTEMPTS = 3  # a client trying the same message again while the fault lasts
BODY_LINES = 3000  # about 200 KiB: several blocks reach the queue file


def message(token):
    lines = [b"Subject: %s" % token.encode(), b""]
    lines += [b"%s line %d %s" % (token.encode(), number, b"x" * 50)
              for number in range(BODY_LINES)]
    return b"\r\n".join(lines) + b"\r\n"


@unittest.skipUnless(os.geteuid() == 0, "needs root: ports 25 and 53 on 127.0.0.x, mounts")
class DiskFaultTest(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_dns_and_sink(["disk.test,%s,10" % SINK_HOST], DNS, SINK_HOST)

    def setUp(self):
        super().setUp()
        self.delivered = self.sink.count()
        # The program gets a mount namespace of its own with a 1 MiB disk for the queue:
        # the machine's mounts stay untouched, and the disk goes with the program.
        self.disk = os.path.join(self.home.name, "data", "lumenpost")
        os.makedirs(self.disk)
        wrapper = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                   'mount -t tmpfs -o size=1m,mode=700 tmpfs "$0" && exec "$@"', self.disk]
        self.program = self.start(autoback=0, dns=DNS, prefix=wrapper, host=LISTEN_HOST, port=25)
        self.pid = self.program.process.pid
        # The listener opens before the queue folder is made: no fault before it is there.
        deadline = time.monotonic() + WAIT
        while not os.path.isdir(os.path.join(self.queue_folder(), "failed")):
            if time.monotonic() > deadline:
                self.fail("the program made no queue folder within %s s" % WAIT)
            time.sleep(0.05)

    def seen(self, path):
        """A path of the program's mount namespace, as this process reaches it."""
        return "/proc/%d/root%s" % (self.pid, path)

    def queue_folder(self):
        return self.seen(os.path.join(self.disk, "queue"))

    def in_namespace(self, *command):
        subprocess.run(["nsenter", "--target", str(self.pid), "--mount", *command], check=True,
                       timeout=WAIT)

    def error_lines(self):
        """The lines the program wrote on stderr so far (it writes each before it answers)."""
        data = b""
        stream = self.program.process.stderr
        while select.select([stream], [], [], 0.2)[0]:
            chunk = os.read(stream.fileno(), 65536)
            if not chunk:
                break
            data += chunk
        return data.decode(errors="replace").splitlines()

    def client(self):
        client = smtplib.SMTP(LISTEN_HOST, 25, timeout=WAIT)
        self.addCleanup(client.close)
        client.ehlo("client.test")
        return client

    def send(self, client, token):
        """One transaction; the reply to the end of data."""
        self.assertEqual(client.mail(SENDER)[0], 250)
        self.assertEqual(client.rcpt("%s@disk.test" % token)[0], 250)
        reply = client.data(message(token))
        client.rset()
        return reply

    def assert_refused_once_and_nothing_kept(self, client, cause):
        """The fault lasts: every attempt gets 451, one line names the cause, the queue
        keeps nothing and the program runs on."""
        for _ in range(ATTEMPTS):
            self.assertEqual(self.send(client, "refused"), LOCAL_ERROR)
        lines = self.error_lines()
        self.assertEqual(len(lines), 1, lines)
        self.assertRegex(lines[0], r"^lumenpost: mail queue: a message could not be queued "
                                   r"\(.*: %s\)" % cause)
        folder = self.queue_folder()
        if os.path.exists(folder):
            self.assertEqual(sorted(os.listdir(folder)), ["failed"])
            self.assertEqual(os.listdir(os.path.join(folder, "failed")), [])
        self.assertIsNone(self.program.process.poll(), "the program must keep running")

    def assert_accepted_and_delivered(self, client, token):
        self.assertEqual(self.send(client, token), (250, b"OK"))
        self.assertIn("/To:%s@disk.test/" % token, self.program.next_line("okrelay:"))
        self.assertEqual(self.sink.wait_count(self.delivered + 1), self.delivered + 1)
        _, data = self.sink.message(self.delivered + 1)
        self.assertIn(message(token), data)
        self.assertEqual(self.error_lines(), [])
        self.assertEqual(sorted(os.listdir(self.queue_folder())), ["failed"])

    def test_a_full_disk_refuses_until_there_is_room_again(self):
        filler = self.seen(os.path.join(self.disk, "filler"))
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o600)
        try:
            with self.assertRaises(OSError):  # 1 MiB is the most it takes
                for _ in range(1024 // 4 + 1):
                    os.write(fd, b"f" * 4096)
        finally:
            os.close(fd)
        client = self.client()
        self.assert_refused_once_and_nothing_kept(client, "No space left on device")
        os.unlink(filler)
        self.assert_accepted_and_delivered(client, "room")

    def test_a_read_only_disk_refuses_until_it_is_writable_again(self):
        self.in_namespace("mount", "-o", "remount,ro", self.disk)
        client = self.client()
        self.assert_refused_once_and_nothing_kept(client, "Read-only file system")
        self.in_namespace("mount", "-o", "remount,rw", self.disk)
        self.assert_accepted_and_delivered(client, "writable")

    def test_a_queue_folder_removed_during_a_message_is_made_again_for_the_next(self):
        client = self.client()
        self.assertEqual(client.mail(SENDER)[0], 250)
        self.assertEqual(client.rcpt("cut@disk.test")[0], 250)
        client.putcmd("data")
        self.assertEqual(client.getreply()[0], 354)
        text = message("cut")
        client.send(text[:len(text) // 2])
        deadline = time.monotonic() + WAIT  # the message's file is being written
        while not [name for name in os.listdir(self.queue_folder()) if name.endswith(".tmp")]:
            self.assertLess(time.monotonic(), deadline, "no queue file for the message")
            time.sleep(0.02)
        shutil.rmtree(self.queue_folder())
        client.send(text[len(text) // 2:] + b".\r\n")
        self.assertEqual(client.getreply(), LOCAL_ERROR)
        client.rset()
        lines = self.error_lines()
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("No such file or directory", lines[0])
        self.assertFalse(os.path.exists(self.queue_folder()))
        self.assertIsNone(self.program.process.poll(), "the program must keep running")
        self.assert_accepted_and_delivered(client, "again")
        for folder in (self.queue_folder(), os.path.join(self.queue_folder(), "failed")):
            self.assertEqual(stat.S_IMODE(os.stat(folder).st_mode), 0o700, folder)


if __name__ == "__main__":
    peers.program_from_argv("disk_fault_test.py")
    unittest.main(verbosity=2)
