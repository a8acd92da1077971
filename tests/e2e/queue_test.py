#!/usr/bin/env python3
"""End-to-end tests of the mail queue: the built program headless, dnsmasq on
127.0.0.30:53, an SMTP sink on 127.0.0.31:25 that refuses, defers or greylists chosen
recipients, and silent exchangers that never greet. Needs root (ports 25 and 53, a
mount namespace for the small queue disk).

Usage: queue_test.py [path of the lumenpost program]
"""
import glob
import os
import smtplib
import socket
import subprocess
import time
import unittest

import headless_test
import peers
from headless_test import WAIT
from peers import ProgramTestCase, Sink, silent_listener, stop_process, swaks
from peers import without_our_trace

DNS = "127.0.0.30"
SINK_HOST = "127.0.0.31"
KILLED_HOST = "127.0.0.32"  # silent until the program is killed, then a sink
SILENT_HOST = "127.0.0.33"  # accepts connections and never greets
LOOP_HOST = "127.0.0.34"  # where the program itself listens on port 25 in the loop test
MX_RECORDS = ["queue.test,%s,10" % SINK_HOST, "sender.test,%s,10" % SINK_HOST,
              "killed.test,%s,10" % KILLED_HOST, "silent.test,%s,10" % SILENT_HOST,
              "loop.test,%s,10" % LOOP_HOST]
SENDER = "alice@sender.test"
GREYLISTED = "grey@queue.test"
REFUSED = "no@queue.test"
BUSY = "busy@queue.test"
REFUSED_ONCE = "later@queue.test"
FAST_RETRY = "retry=1\n"


def message_file(directory, marker, size=0):
    path = os.path.join(directory, marker + ".eml")
    with open(path, "w", encoding="ascii", newline="") as f:
        f.write("Subject: %s\r\n\r\n%s\r\n.dot line\r\n" % (marker, marker))
        f.write(("y" * 78 + "\r\n") * (size // 80))
    return path


def count_of(pid, what):
    if what == "fds":
        return len(os.listdir("/proc/%d/fd" % pid))
    with open("/proc/%d/status" % pid, encoding="ascii") as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    raise AssertionError("no thread count for %d" % pid)


@unittest.skipUnless(os.geteuid() == 0, "needs root: ports 25 and 53 on 127.0.0.x")
class QueueTest(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_dns_and_sink(MX_RECORDS, DNS, SINK_HOST, refuse=[REFUSED], tempfail=[BUSY],
                               greylist=[GREYLISTED], refuse_once=[REFUSED_ONCE])

    def setUp(self):
        super().setUp()
        self.before = self.sink.count()

    def start(self, settings="", **kwargs):
        return super().start(dns=DNS, settings=settings, **kwargs)

    def send(self, program, recipient, data_file=None, expect_ok=True):
        result = swaks(program.port, SENDER, [recipient], data_file, host=program.host)
        output = result.stdout.decode(errors="replace")
        if expect_ok:
            self.assertEqual(result.returncode, 0, output)
        return output

    def queue_folder(self, pid=None):
        root = "/proc/%d/root" % pid if pid else ""
        return root + os.path.join(self.home.name, "data", "lumenpost", "queue")

    def queue_files(self, pid=None):
        return sorted(os.path.basename(p) for p in glob.glob(self.queue_folder(pid) + "/*.*"))

    def queue_command(self, *args):
        """A second invocation of the program with the same folders."""
        env = dict(os.environ)
        env["XDG_CONFIG_HOME"] = os.path.join(self.home.name, "config")
        env["XDG_RUNTIME_DIR"] = os.path.join(self.home.name, "run")
        env["XDG_DATA_HOME"] = os.path.join(self.home.name, "data")
        result = subprocess.run(headless_test.command(*args), env=env, capture_output=True,
                                timeout=WAIT)
        return result.returncode, result.stdout.decode(), result.stderr.decode()

    def messages_to(self, recipient):
        found = []
        for number in range(self.before + 1, self.sink.count() + 1):
            envelope, data = self.sink.message(number)
            if recipient in envelope["to"]:
                found.append(data)
        return found

    def test_a_greylisted_recipient_is_deferred_then_delivered_once_and_intact(self):
        program = self.start(FAST_RETRY)
        data_file = message_file(self.home.name, "greylisted")
        self.send(program, GREYLISTED, data_file)
        deferred = program.next_line("deferred:")
        self.assertRegex(deferred, r"^deferred: From:%s/To:%s/Retry:\d\d:\d\d:\d\d/Reason:450 "
                         % (SENDER, GREYLISTED))
        self.assertIn("greylisted by test sink", deferred)
        self.assertIn("To:%s/" % GREYLISTED, program.next_line("okrelay:"))
        self.sink.wait_count(self.before + 1)
        delivered = self.messages_to(GREYLISTED)
        self.assertEqual(len(delivered), 1)
        with open(data_file, "rb") as f:
            self.assertIn(f.read(), without_our_trace(delivered[0]))
        self.assertEqual(self.queue_files(), [])

    def test_a_refused_recipient_fails_with_the_exchangers_reason_and_a_notice(self):
        program = self.start()
        self.send(program, REFUSED)
        self.assertIn("To:%s/" % REFUSED, program.next_line("badrelay:"))
        self.assertEqual(program.next_line("reason:"),
                         "reason: 550 5.1.1 mailbox refused by test sink")
        self.sink.wait_count(self.before + 1)
        self.assertEqual(len(self.messages_to(SENDER)), 1)  # the notice
        code, listed, _ = self.queue_command("--queue")
        self.assertEqual(code, 0)
        self.assertIn("  failed  ", listed)

    def test_once_the_queue_life_has_passed_a_deferred_recipient_fails(self):
        # Two seconds, or long enough for a first attempt in a slow wrapper.
        queue_life = int(2 * headless_test.WAIT_FACTOR)
        program = self.start(FAST_RETRY + "queuelife=%d\n" % queue_life, autoback=0)
        self.send(program, BUSY)
        self.assertIn("Reason:450 4.2.0 mailbox busy", program.next_line("deferred:"))
        self.assertIn("To:%s/" % BUSY, program.next_line("badrelay:"))
        self.assertRegex(program.next_line("reason:"),
                         r"^reason: gave up after \d+ attempts: 450 4.2.0 mailbox busy")

    def kill_while_delivering(self, data_file):
        """Queues a message for r@killed.test and SIGKILLs the program during its attempt;
        returns the sink that takes the mail from then on."""
        with silent_listener(KILLED_HOST) as silent:
            program = self.start()
            self.send(program, "r@killed.test", data_file)
            connection, _ = silent.accept()  # the attempt is under way, nothing delivered
            program.process.kill()
            program.process.wait()
            connection.close()
        sink = Sink(KILLED_HOST, os.path.join(self.home.name, "killed-sink"))
        self.addCleanup(stop_process, sink.process)
        return sink

    def test_a_message_answered_250_survives_sigkill_and_is_delivered_at_the_next_start(self):
        data_file = message_file(self.home.name, "killed")
        sink = self.kill_while_delivering(data_file)
        program = self.start()
        self.assertIn("To:r@killed.test/", program.next_line("okrelay:"))
        self.assertEqual(sink.wait_count(1), 1)
        with open(data_file, "rb") as f:
            self.assertIn(f.read(), without_our_trace(sink.message(1)[1]))

    def test_damaged_queue_files_are_set_aside_and_the_rest_is_delivered(self):
        data_file = message_file(self.home.name, "intact")
        sink = self.kill_while_delivering(data_file)
        folder = self.queue_folder()
        [envelope_name] = [name for name in self.queue_files() if name.endswith(".env")]
        with open(os.path.join(folder, envelope_name), "rb") as f:
            envelope = f.read()
        damaged = {"truncated.env": envelope[:len(envelope) // 2], "truncated.data": b"text\r\n",
                   "garbage.env": bytes(range(256)), "garbage.data": b"text\r\n",
                   "lonely.data": b"text\r\n", "orphan.env": envelope.replace(
                       envelope_name[:-4].encode(), b"orphan")}
        for name, content in damaged.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(content)

        program = self.start()
        self.assertIn("To:r@killed.test/", program.next_line("okrelay:"))
        self.assertEqual(sink.wait_count(1), 1)
        status, _, err = program.stop()
        self.assertEqual(status, 0, err)
        self.assertEqual(sorted(os.listdir(os.path.join(folder, "corrupt"))), sorted(damaged))
        self.assertEqual(self.queue_files(), [])
        # One line per damaged message, saying where it went.
        set_aside = [line for line in err.splitlines()
                     if line.startswith("lumenpost: mail queue: moved ")]
        self.assertEqual(len(set_aside), 4, err)
        for line in set_aside:
            self.assertTrue(line.endswith(" to " + os.path.join(folder, "corrupt")), line)

    def test_a_full_queue_disk_refuses_with_451_and_keeps_nothing(self):
        mount_point = os.path.join(self.home.name, "data", "lumenpost")
        os.makedirs(mount_point)
        # The program gets its own mount namespace with a 512 KiB disk for the queue.
        wrapper = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                   'mount -t tmpfs -o size=512k,mode=700 tmpfs "$0" && exec "$@"', mount_point]
        program = self.start(prefix=wrapper)
        pid = program.process.pid
        output = self.send(program, "big@queue.test",
                           message_file(self.home.name, "big", 1 << 20), expect_ok=False)
        self.assertIn("451 Requested action aborted: local error in processing", output)
        self.assertEqual(self.queue_files(pid), [])
        self.send(program, "small@queue.test", message_file(self.home.name, "small"))
        self.assertIn("To:small@queue.test/", program.next_line("okrelay:"))

    def test_300_messages_to_a_silent_exchanger_keep_threads_and_descriptors_bounded(self):
        with silent_listener(SILENT_HOST):
            program = self.start()
            pid = program.process.pid
            threads, fds = count_of(pid, "threads"), count_of(pid, "fds")
            with smtplib.SMTP("127.0.0.1", program.port, timeout=WAIT) as client:
                for number in range(300):
                    client.sendmail(SENDER, ["r%d@silent.test" % number],
                                    b"Subject: %d\r\n\r\nbody\r\n" % number)
                    client.rset()  # the server counts recipients until RSET
            self.send(program, "ok@queue.test")
            self.assertIn("To:ok@queue.test/", program.next_line("okrelay:"))
            # Four deliveries at most, two of them to the silent domain.
            self.assertLessEqual(count_of(pid, "threads"), threads + 4 + 2)
            self.assertLessEqual(count_of(pid, "fds"), fds + 4 + 8)
            status, _, err = program.stop()
        self.assertEqual(status, 0, err)
        self.assertEqual(len([f for f in self.queue_files() if f.endswith(".env")]), 300)

    def test_the_size_limit_refuses_at_mail_and_at_the_end_and_queues_nothing(self):
        program = self.start("maxsize=10000\n")
        with smtplib.SMTP("127.0.0.1", program.port, timeout=WAIT) as client:
            client.ehlo("client.test")
            self.assertIn("size", client.esmtp_features)
            self.assertEqual(client.esmtp_features["size"], "10000")
            code, text = client.mail(SENDER, ["SIZE=20000"])
            self.assertEqual((code, text), (552, b"Message size exceeds fixed maximum message size"))
            client.rset()
            self.assertEqual(client.mail(SENDER)[0], 250)
            self.assertEqual(client.rcpt("r@queue.test")[0], 250)
            code, text = client.data(b"Subject: big\r\n\r\n" + b"z" * 20000 + b"\r\n")
            self.assertEqual(code, 552)
        self.assertEqual(self.queue_files(), [])

    def test_mail_that_would_come_back_fails_once_with_the_loop_reason(self):
        program = self.start(autoback=0, host=LOOP_HOST, port=25)
        for recipient, domain in (("x@localhost", "localhost"), ("x@loop.test", "loop.test")):
            self.send(program, recipient)
            self.assertIn("To:%s/" % recipient, program.next_line("badrelay:"))
            self.assertEqual(program.next_line("reason:"),
                             "reason: mail for %s loops back to myself" % domain)
        time.sleep(1)  # nothing more may follow: no second attempt, no message to itself
        self.assertEqual([line for line in program.printed()
                          if line.startswith(("okrelay:", "badrelay:", "deferred:"))], [])
        self.assertEqual(self.queue_files(), [])

    def test_queue_retry_and_resend_commands(self):
        program = self.start("retry=3600\n", autoback=0)
        self.send(program, BUSY)
        self.assertIn("To:%s/" % BUSY, program.next_line("deferred:"))
        code, listed, _ = self.queue_command("--queue")
        self.assertEqual(code, 0)
        self.assertRegex(listed, r"deferred  .*attempts 1  next .*<%s>  450 4.2.0 mailbox busy"
                         % BUSY)
        self.assertEqual(self.queue_command("--retry")[:2],
                         (0, "1 deferred recipient(s) to be tried now\n"))
        self.assertIn("To:%s/" % BUSY, program.next_line("deferred:"))  # tried again at once
        self.assertRegex(self.queue_command("--queue")[1], r"attempts 2")
        code, _, err = self.queue_command("--delete", "nosuchid")
        self.assertEqual(code, 1)
        self.assertIn("no message with id nosuchid", err)
        # A failed message is sent again once its exchanger takes it.
        self.send(program, REFUSED_ONCE)
        self.assertIn("To:%s/" % REFUSED_ONCE, program.next_line("badrelay:"))
        failed = [line for line in self.queue_command("--queue")[1].splitlines()
                  if REFUSED_ONCE in line]
        self.assertEqual(len(failed), 1)
        self.assertEqual(self.queue_command("--resend", failed[0].split()[0])[0], 0)
        self.assertIn("To:%s/" % REFUSED_ONCE, program.next_line("okrelay:"))
        self.assertEqual(len(self.messages_to(REFUSED_ONCE)), 1)
        # Without a running relay the command works on the folder.
        program.stop()
        code, listed, _ = self.queue_command("--queue")
        self.assertEqual(code, 0)
        self.assertIn(BUSY, listed)
        self.assertNotIn(REFUSED_ONCE, listed)


if __name__ == "__main__":
    peers.program_from_argv("queue_test.py")
    unittest.main(verbosity=2)
