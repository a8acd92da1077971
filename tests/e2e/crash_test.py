#!/usr/bin/env python3
"""Crash safety of the mail queue: two clients stream 300 messages while the program is
SIGKILLed five times at random moments and started again on the same queue folder.
Every message answered "250 OK " must reach the exchanger; a message may arrive twice only
when a kill cut off its delivery or the client's wait for the 250. The random seed is
printed; LUMENPOST_CRASH_SEED repeats a run. Needs root (ports 25 and 53 on 127.0.0.x).

Usage: crash_test.py [path of the lumenpost program]
"""
import collections
import glob
import json
import os
import random
import re
import socket
import threading
import time
import unittest

import peers
from headless_test import WAIT
from peers import ProgramTestCase

DNS = "127.0.0.110"
SINK_HOST = "127.0.0.111"
LISTEN_HOST = "127.0.0.112"  # the program, on port 25 after every start
# Four domains on one exchanger, so that all four delivery slots can be busy at a kill
# (a domain gets two at most).
DOMAINS = ["crash%d.test" % number for number in range(4)]
SENDER = "alice@sender.test"

MESSAGES = 300
CLIENTS = 2
KILLS = 5
DELIVERIES = 4  # the default of the `deliveries` setting: passes running at once
STREAM_WAIT = 150.0  # the longest the clients may take for all their messages
DELIVERY_WAIT = 60.0  # the longest the last program may take to deliver what is left

TOKEN = re.compile(rb"token-[0-9]+-[0-9]+")
QUEUE_ID = re.compile(rb" with SMTP id ([0-9a-z]+);")


class Journal:
    """What the clients saw, shared with the main thread: the tokens answered "250 OK ",
    the attempts cut off after their end of data was sent, and the other replies."""

    def __init__(self):
        self.lock = threading.Lock()
        self.accepted = set()
        self.cut_off = collections.Counter()
        self.refusals = []

    def count(self):
        with self.lock:
            return len(self.accepted)


class Client(threading.Thread):
    """Sends its messages one after the other over one connection, connecting again
    whenever the program went away, until each was answered "250 OK "."""

    def __init__(self, number, journal, deadline):
        super().__init__(daemon=True)
        self.number = number
        self.journal = journal
        self.deadline = deadline
        self.failure = None
        self.connection = None
        self.pending = b""

    def run(self):
        try:
            for index in range(self.number, MESSAGES, CLIENTS):
                self.deliver(index)
        except Exception as failure:  # reported by the main thread
            self.failure = failure
        finally:
            self.drop()

    def deliver(self, index):
        token = "token-%d-%d" % (self.number, index)
        while time.monotonic() < self.deadline:
            data_sent = False
            try:
                if self.connection is None:
                    self.open()
                data_sent = self.transaction(token, DOMAINS[index % len(DOMAINS)])
                reply = self.reply()
            except OSError:
                self.drop()
                if data_sent:
                    with self.journal.lock:
                        self.journal.cut_off[token] += 1
                time.sleep(0.02)  # the program is being started again
                continue
            with self.journal.lock:
                if reply.startswith("250 OK "):
                    self.journal.accepted.add(token)
                    return
                self.journal.refusals.append((token, reply))
            self.drop()
        raise AssertionError("%s not accepted within %s s" % (token, STREAM_WAIT))

    def open(self):
        self.connection = socket.create_connection((LISTEN_HOST, 25), timeout=WAIT)
        self.pending = b""
        self.expect("220 ")
        self.connection.sendall(b"HELO client%d.test\r\n" % self.number)
        self.expect("250 ")

    def transaction(self, token, domain):
        """Sends one message; True once its end of data is on its way."""
        for command, code in (("MAIL FROM:<%s>" % SENDER, "250 "),
                              ("RCPT TO:<r-%s@%s>" % (token, domain), "250 "),
                              ("DATA", "354 ")):
            self.connection.sendall(command.encode() + b"\r\n")
            self.expect(code)
        self.connection.sendall(b"Subject: %s\r\n\r\nThe %s.\r\n.\r\n"
                                % (token.encode(), token.encode()))
        return True

    def expect(self, code):
        reply = self.reply()
        if not reply.startswith(code):
            # A refusal before the data: the connection starts over; nothing is lost.
            raise ConnectionError("expected %s, got %r" % (code, reply))

    def reply(self):
        """The next reply line; a connection the program closed is an OSError."""
        while b"\r\n" not in self.pending:
            chunk = self.connection.recv(4096)
            if not chunk:
                raise ConnectionError("closed by the program")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\r\n", 1)
        return line.decode(errors="replace")

    def drop(self):
        if self.connection is not None:
            self.connection.close()
            self.connection = None


class Delivery:
    """One message as the sink stored it."""

    def __init__(self, sink_dir, number):
        base = os.path.join(sink_dir, str(number))
        with open(base + ".eml", "rb") as f:
            data = f.read()
        with open(base + ".json", encoding="utf-8") as f:
            self.recipients = json.load(f)["to"]
        token, queue_id = TOKEN.search(data), QUEUE_ID.search(data)
        if not token or not queue_id:
            raise AssertionError("no token or queue id in %s.eml: %r" % (base, data[:300]))
        self.token = token.group(0).decode()
        self.queue_id = queue_id.group(1).decode()


@unittest.skipUnless(os.geteuid() == 0, "needs root: ports 25 and 53 on 127.0.0.x")
class CrashTest(ProgramTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_dns_and_sink(["%s,%s,10" % (domain, SINK_HOST) for domain in DOMAINS], DNS,
                               SINK_HOST)

    def start_program(self):
        return self.start(autoback=0, dns=DNS, settings="retry=1\n", host=LISTEN_HOST, port=25)

    def queued_ids(self):
        folder = os.path.join(self.home.name, "data", "lumenpost", "queue")
        return {os.path.basename(path)[:-len(".env")]
                for path in glob.glob(os.path.join(folder, "*.env"))}

    def deliveries(self):
        count = self.sink.count()
        return [Delivery(self.sink.out_dir, number) for number in range(1, count + 1)]

    def settled_deliveries(self):
        """What the sink stored once it stored nothing more for a moment (bounded): with
        the program dead, only a delivery it had under way may still arrive."""
        deadline = time.monotonic() + WAIT
        count = -1
        while self.sink.count() != count and time.monotonic() < deadline:
            count = self.sink.count()
            time.sleep(0.3)
        return self.deliveries()

    def killed_and_restarted(self, program, journal, threshold, delay, cut_off):
        """Kills the program `delay` seconds after `journal` holds `threshold` accepted
        messages and starts it again on the same folders. Appends to `cut_off` the queue
        ids that the sink has and that are still queued: deliveries the kill cut off after
        the exchanger took them, which the next start must deliver again."""
        deadline = time.monotonic() + STREAM_WAIT
        while journal.count() < threshold and time.monotonic() < deadline:
            time.sleep(0.005)
        time.sleep(delay)
        program.process.kill()
        program.process.wait()
        delivered = {delivery.queue_id for delivery in self.settled_deliveries()}
        cut_off.append(delivered & self.queued_ids())
        return self.start_program()

    def test_messages_answered_250_survive_five_sigkills_and_arrive(self):
        seed = int(os.environ.get("LUMENPOST_CRASH_SEED") or time.time_ns() % 2**32)
        print("\ncrash test seed %d (LUMENPOST_CRASH_SEED=%d repeats it)" % (seed, seed),
              flush=True)
        rng = random.Random(seed)
        program = self.start_program()
        journal = Journal()
        deadline = time.monotonic() + STREAM_WAIT
        clients = [Client(number, journal, deadline) for number in range(CLIENTS)]
        for client in clients:
            client.start()
        cut_off = []
        for threshold in sorted(rng.sample(range(10, MESSAGES - 10), KILLS)):
            program = self.killed_and_restarted(program, journal, threshold,
                                                rng.uniform(0, 0.1), cut_off)
        for client in clients:
            client.join(max(0.0, deadline - time.monotonic()) + WAIT)
            self.assertFalse(client.is_alive(), "a client is still sending")
            self.assertIsNone(client.failure)
        self.assertEqual(len(journal.accepted), MESSAGES)

        deadline = time.monotonic() + DELIVERY_WAIT
        while time.monotonic() < deadline and (
                journal.accepted - {d.token for d in self.deliveries()} or self.queued_ids()):
            time.sleep(0.1)
        deliveries = self.deliveries()
        self.assertEqual(journal.accepted - {d.token for d in deliveries}, set(), "lost")
        self.assertEqual(self.queued_ids(), set(), "still queued")
        self.check_duplicates(deliveries, journal, cut_off)
        self.assertEqual(program.stop()[0], 0)

    def check_duplicates(self, deliveries, journal, cut_off):
        """A token may arrive more than once only (a) as a queued message delivered again
        because a kill cut off its delivery after the exchanger took it (`cut_off`: the
        ones of each kill), at most DELIVERIES per kill, or (b) as a message sent again by
        its client after a kill cut off the wait for its 250, at most once per cut-off
        attempt and so at most CLIENTS per kill."""
        by_token = collections.defaultdict(list)
        for delivery in deliveries:
            self.assertEqual(len(delivery.recipients), 1)
            self.assertIn(delivery.token, delivery.recipients[0])
            by_token[delivery.token].append(delivery)
        may_come_again = collections.Counter(i for ids in cut_off for i in ids)
        again, resent, printed = 0, 0, []
        for token, copies in sorted(by_token.items()):
            if len(copies) == 1:
                continue
            by_id = collections.Counter(copy.queue_id for copy in copies)
            for queue_id, count in by_id.items():
                self.assertLessEqual(count - 1, may_come_again[queue_id],
                                     "%s (%s) delivered again though no kill cut off its "
                                     "delivery" % (token, queue_id))
                again += count - 1
            resent += len(by_id) - 1
            self.assertLessEqual(len(by_id) - 1, journal.cut_off[token],
                                 "%s queued more often than its client sent it" % token)
            printed.append("%s: %d deliveries, queue ids %s" % (
                token, len(copies), ", ".join("%s x%d" % item for item in by_id.items())))
        attempts = sum(journal.cut_off.values())
        print("accepted %d, delivered %d, client attempts cut off %d, refusals %d" % (
            len(journal.accepted), len(deliveries), attempts, len(journal.refusals)))
        print("duplicates: %d delivered again after a kill (deliveries cut off per kill: %s, "
              "bound %d each), %d sent again by a client" % (
                  again, [len(ids) for ids in cut_off], DELIVERIES, resent))
        for line in printed + ["refused: %s %r" % refusal for refusal in journal.refusals]:
            print("  " + line)
        self.assertLessEqual(max(len(ids) for ids in cut_off), DELIVERIES)
        self.assertLessEqual(attempts, CLIENTS * KILLS)
        self.assertEqual(len(deliveries), MESSAGES + again + resent)


if __name__ == "__main__":
    peers.program_from_argv("crash_test.py")
    unittest.main(verbosity=2)
