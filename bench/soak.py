#!/usr/bin/python3
"""Soak test of scripts/soak.sh: the program runs headless for a number of minutes under a
steady mixed load, on loopback (needs root for the ports 25 and 53 of 127.0.0.140 to .145).

Peers: dnsmasq on 127.0.0.140 serves the MX of four domains, whose exchangers
(bench/soak_peers.py) are a sink (normal.soak, 127.0.0.141), a greylisting sink
(grey.soak, .142: 451 to a recipient's first RCPT), a refusing one (refuse.soak, .143: 550)
and a silent one (silent.soak, .144: takes the connection, never greets). The program
listens on 127.0.0.145:25 with its own XDG folders and a short retry schedule and queue
life, so that every recipient has its outcome within the run plus a bounded drain.

Clients: two sessions (the most the program serves at once) on kept connections (1 to
20 messages each, then a new connection) share one steady schedule of messages; each
message has one recipient, at normal (89 %), grey (5 %), refuse (5 %) or silent (1 %).
Sizes: 80 % 1-8 KiB, 15 % 8-128 KiB, 4 % 128 KiB-1 MiB, 1 % 1-10 MiB. 1 % of the messages
are cut off in the middle of the data (the client closes, half of them with a reset): they
must leave no trace.

Each minute prints the counts so far, the program's RSS, descriptors, threads, the
queue folder's files (top level and failed/) and the machine's 1-minute load average. At the end: every message answered "250 OK " must be delivered
(okrelay: line, seen by its exchanger) or failed (badrelay: and reason: lines), as its
exchanger implies; the queue folder must hold only the failed messages; RSS, descriptors
and threads must be flat after the first minute. Exits 1 when any check fails.
"""
import argparse
import os
import random
import re
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

from intake_bench import ask, read_reply, program_env, start, stop
from relay_bench import start_dnsmasq, status_kib

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = "/usr/bin/python3"  # the one that has Debian's aiosmtpd
DNS = "127.0.0.140"
EXCHANGERS = {"normal": "127.0.0.141", "grey": "127.0.0.142", "refuse": "127.0.0.143",
              "silent": "127.0.0.144"}
LISTEN = "127.0.0.145"
SENDER = "soak@client.example"
DELIVERIES = 6
RETRY = "15,30,60"
QUEUELIFE = 150
NET_TIMEOUT_MS = 10000  # a silent exchanger holds a delivery slot this long per attempt
SETTINGS = "deliveries=%d\nretry=%s\nqueuelife=%d\n" % (DELIVERIES, RETRY, QUEUELIFE)
# Beyond the queue life: the last retry step, an attempt timing out, and room for a loaded
# machine.
DRAIN_LIMIT = QUEUELIFE + 60 + 2 * NET_TIMEOUT_MS // 1000 + 180
BUSY_TRIES = 40
CLIENT_WAIT = 120.0  # seconds any reply to a client may take (a 10 MiB intake when loaded)
PEER_WAIT = 20.0
DOMAIN_SHARES = (("grey", 0.05), ("refuse", 0.05), ("silent", 0.01))  # the rest: normal
SIZE_SHARES = ((0.80, 1 << 10, 8 << 10), (0.95, 8 << 10, 128 << 10),
               (0.99, 128 << 10, 1 << 20), (1.00, 1 << 20, 10 << 20))
CUT_SHARE = 0.01
LINE = b"s" * 76 + b"\r\n"
FILLER = LINE * ((10 << 20) // len(LINE) + 1)
TO = re.compile(r"/To:([^/]*)/")


class Plan:
    """What message number n is: its recipient, size and whether it is cut off."""

    def __init__(self, n):
        rng = random.Random("message %d" % n)
        draw, self.domain = rng.random(), "normal"
        for domain, share in DOMAIN_SHARES:
            if draw < share:
                self.domain = domain
                break
            draw -= share
        self.recipient = "m%d@%s.soak" % (n, self.domain)
        draw = rng.random()
        low, high = next((low, high) for bound, low, high in SIZE_SHARES if draw < bound)
        self.size = rng.randint(low, high)
        self.cut = rng.random() < CUT_SHARE
        self.reset = rng.random() < 0.5
        header = ("From: <%s>\r\nTo: <%s>\r\nSubject: soak %d\r\nMessage-ID: <%d@client.example>"
                  "\r\n\r\n" % (SENDER, self.recipient, n, n)).encode()
        lines = max(1, (self.size - len(header)) // len(LINE))
        self.body = header + FILLER[:lines * len(LINE)]


class Traffic:
    """The shared schedule of the client sessions and what became of each message."""

    def __init__(self, rate, seconds):
        self.lock = threading.Lock()
        self.rate = rate
        self.begin = time.monotonic()
        self.end = self.begin + seconds
        self.next = 0
        self.accepted = {}  # recipient -> Plan
        self.cut = set()
        self.refused = []  # (recipient, reply) of messages not answered "250 OK "
        self.errors = []
        self.octets = 0
        self.busy = []  # (previous end, greeting, reply) of connections refused as busy

    def take(self):
        """The next message number once it is due, or None when the run is over."""
        with self.lock:
            n = self.next
            self.next += 1
        due = self.begin + n / self.rate
        if due >= self.end:
            return None
        time.sleep(max(0.0, due - time.monotonic()))
        return n

    def note(self, what, *items):
        with self.lock:
            what(*items)


def send_cut(conn, plan):
    """Half the data, then the connection goes (with a reset for half of them)."""
    conn.sendall(plan.body[: len(plan.body) // 2])
    if plan.reset:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    conn.close()


def send_one(conn, plan, traffic):
    """One message on the connection; False when the connection was cut on purpose."""
    ask(conn, b"RSET\r\n", b"250")
    ask(conn, b"MAIL FROM:<%s> SIZE=%d\r\n" % (SENDER.encode(), len(plan.body)), b"250")
    ask(conn, b"RCPT TO:<%s>\r\n" % plan.recipient.encode(), b"250")
    ask(conn, b"DATA\r\n", b"354")
    if plan.cut:
        traffic.note(traffic.cut.add, plan.recipient)
        send_cut(conn, plan)
        return False
    conn.sendall(plan.body + b".\r\n")
    reply = read_reply(conn)
    if reply.startswith(b"250 OK "):
        traffic.note(traffic.accepted.__setitem__, plan.recipient, plan)
        traffic.note(lambda size: setattr(traffic, "octets", traffic.octets + size),
                     len(plan.body))
    else:
        traffic.note(traffic.refused.append, (plan.recipient, reply))
    return True


def greeted_connection(traffic, after):
    """A connection whose EHLO was answered 250. The program serves two sessions at once;
    a connection beyond them is greeted 220 and then told 502 and closed, which a client
    that reconnects can meet while its old session is not yet gone: it tries again
    shortly, a bounded number of times, and each such refusal is counted by how the
    client's previous connection ended (`after`)."""
    for _ in range(BUSY_TRIES):
        conn = socket.create_connection((LISTEN, 25), timeout=CLIENT_WAIT)
        greeting = b""
        try:
            greeting = read_reply(conn)
            conn.sendall(b"EHLO client.example\r\n")
            reply = read_reply(conn)
        except (OSError, RuntimeError) as error:
            reply = str(error).encode()
        if reply.startswith(b"250"):
            return conn
        conn.close()
        traffic.note(traffic.busy.append, (after, greeting, reply))
        time.sleep(0.05)
    raise RuntimeError("no session after %d tries, last replies %r %r"
                       % (BUSY_TRIES, greeting, reply))


def one_connection(traffic, n, count, after):
    """Sends up to `count` messages, starting with number n, on one connection; returns
    the number of the next message (None when the run is over) and how the connection
    ended."""
    with greeted_connection(traffic, after) as conn:
        for _ in range(count):
            kept = send_one(conn, Plan(n), traffic)
            n = traffic.take()
            if not kept:
                return n, "cut"
            if n is None:
                break
        ask(conn, b"QUIT\r\n", b"221")
    return n, "quit"


def client_session(traffic, seed):
    rng = random.Random(seed)
    n, after = traffic.take(), "start"
    while n is not None:
        try:
            n, after = one_connection(traffic, n, rng.randint(1, 20), after)
        except (OSError, RuntimeError) as error:
            traffic.note(traffic.errors.append, "message %d: %s" % (n, error))
            n, after = traffic.take(), "error"


class Output:
    """The lines of a growing file, read as they come."""

    def __init__(self, path):
        self.path, self.offset, self.partial = path, 0, b""

    def new_lines(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            chunk = f.read()
        self.offset += len(chunk)
        lines = (self.partial + chunk).split(b"\n")
        self.partial = lines.pop()
        return [line.decode(errors="replace") for line in lines]


class Outcomes:
    """What the program's output and the exchangers' reports say so far."""

    def __init__(self, program_out, peers_out):
        self.program, self.peers = Output(program_out), Output(peers_out)
        self.delivered, self.failed, self.deferred = {}, {}, {}
        self.seen = {}
        self.waiting_reason = None
        self.broken = []

    def update(self):
        for line in self.program.new_lines():
            self.take_program_line(line)
        for line in self.peers.new_lines():
            if line.startswith("seen "):
                _, exchanger, recipient = line.split(" ", 2)
                self.seen.setdefault(recipient, []).append(exchanger)

    def take_program_line(self, line):
        kind, _, text = line.partition(": ")
        if self.waiting_reason is not None:
            if kind == "reason":
                self.failed.setdefault(self.waiting_reason, []).append(text)
            else:
                self.broken.append("badrelay for %s without a reason line" % self.waiting_reason)
            self.waiting_reason = None
            if kind == "reason":
                return
        match = TO.search(text)
        if kind == "okrelay" and match:
            self.delivered[match.group(1)] = self.delivered.get(match.group(1), 0) + 1
        elif kind == "badrelay" and match:
            self.waiting_reason = match.group(1)
        elif kind == "deferred" and match:
            self.deferred[match.group(1)] = self.deferred.get(match.group(1), 0) + 1

    def finished(self, recipient):
        return recipient in self.delivered or recipient in self.failed


def queue_files(queue):
    def count(folder):
        try:
            return sum(1 for entry in os.scandir(folder) if entry.is_file())
        except FileNotFoundError:
            return 0

    return count(queue), count(os.path.join(queue, "failed"))


def sample(pid, queue):
    """(RSS KiB, descriptors, threads, queue files, failed/ files) of the program now."""
    return (status_kib(pid, "VmRSS"), len(os.listdir("/proc/%d/fd" % pid)),
            status_kib(pid, "Threads")) + queue_files(queue)


HEAD = ("%-6s %8s %9s %6s %8s %8s %4s %7s %6s %7s %5s"
        % ("minute", "accepted", "delivered", "failed", "deferred", "RSS MiB", "fds", "threads",
           "queue", "failed/", "load"))


def row(label, traffic, outcomes, figures):
    rss, fds, threads, queued, failed_files = figures
    return ("%-6s %8d %9d %6d %8d %8.1f %4d %7d %6d %7d %5.1f"
            % (label, len(traffic.accepted), len(outcomes.delivered), len(outcomes.failed),
               sum(outcomes.deferred.values()), rss / 1024, fds, threads, queued, failed_files,
               os.getloadavg()[0]))


def expected_outcome(plan, outcomes):
    """What is wrong with the outcome of one accepted message, or None."""
    recipient = plan.recipient
    delivered, failed = recipient in outcomes.delivered, recipient in outcomes.failed
    if not delivered and not failed:
        return "no outcome"
    if delivered and failed:
        return "both delivered and failed"
    if delivered:
        if plan.domain in ("refuse", "silent"):
            return "delivered by an exchanger that never takes mail"
        if plan.domain not in outcomes.seen.get(recipient, []):
            return "okrelay line but its exchanger never saw it"
        if outcomes.delivered[recipient] > 1 or len(outcomes.seen[recipient]) > 1:
            return "delivered more than once"
        return None
    reason = outcomes.failed[recipient][-1]
    if plan.domain == "refuse" and not reason.startswith("550"):
        return "failed with reason %r, not the exchanger's 550" % reason
    if plan.domain == "silent" and "gave up after" not in reason:
        return "failed with reason %r, not after giving up" % reason
    if plan.domain in ("normal", "grey"):
        return "failed at an exchanger that takes it: %r" % reason
    return None


def check_messages(traffic, outcomes):
    problems = list(outcomes.broken)
    for recipient, plan in sorted(traffic.accepted.items()):
        wrong = expected_outcome(plan, outcomes)
        if wrong:
            problems.append("%s (%d octets): %s" % (recipient, len(plan.body), wrong))
    for recipient in sorted(traffic.cut):
        if (recipient in outcomes.delivered or recipient in outcomes.failed
                or recipient in outcomes.deferred or recipient in outcomes.seen):
            problems.append("%s was cut off in the data but has an outcome" % recipient)
    known = set(traffic.accepted) | traffic.cut
    for recipient in set(outcomes.delivered) | set(outcomes.failed) | set(outcomes.seen):
        if recipient not in known:
            problems.append("%s has an outcome but was never accepted" % recipient)
    for recipient, reply in traffic.refused:
        problems.append("%s was answered %r instead of 250 OK" % (recipient, reply))
    problems += ["client error: " + error for error in traffic.errors]
    return problems


def check_queue(queue, traffic, outcomes):
    queued, failed_files = queue_files(queue)
    problems = []
    if queued:
        problems.append("%d files left in the queue folder: %s"
                        % (queued, ", ".join(sorted(os.listdir(queue))[:10])))
    failed_messages = sum(1 for r in traffic.accepted if r in outcomes.failed)
    if failed_files != 2 * failed_messages:
        problems.append("queue/failed holds %d files for %d failed messages (2 each expected)"
                        % (failed_files, failed_messages))
    return problems


def check_flat(table, idle, clients):
    """RSS: the last 10 minutes' largest figure within minute 2's plus max(20 %, 16 MiB).
    Descriptors and threads of the last 10 minutes within what the settings allow above
    the idle program: descriptors + 2 per client session + 4 per delivery slot, threads
    + one per delivery slot + 2 intake committers + 2."""
    if len(table) < 2:
        return ["the run was too short to judge"]
    base = table[1]
    last = table[max(1, len(table) - 10):]
    rss_limit = base[0] + max(base[0] // 5, 16 * 1024)
    fd_limit = idle[1] + 2 * clients + 4 * DELIVERIES
    thread_limit = idle[2] + DELIVERIES + 2 + 2
    peak = [max(figures[i] for figures in last) for i in range(3)]
    print("flatness: RSS peak %.1f MiB (limit %.1f = minute 2 %.1f + max(20 %%, 16 MiB)); "
          "descriptors peak %d (limit %d = idle %d + 2 x %d clients + 4 x %d deliveries); "
          "threads peak %d (limit %d = idle %d + %d deliveries + 4)"
          % (peak[0] / 1024, rss_limit / 1024, base[0] / 1024, peak[1], fd_limit, idle[1],
             clients, DELIVERIES, peak[2], thread_limit, idle[2], DELIVERIES))
    problems = []
    if peak[0] > rss_limit:
        problems.append("RSS grew: %.1f MiB after %.1f MiB at minute 2"
                        % (peak[0] / 1024, base[0] / 1024))
    if peak[1] > fd_limit:
        problems.append("descriptors grew to %d (limit %d)" % (peak[1], fd_limit))
    if peak[2] > thread_limit:
        problems.append("threads grew to %d (limit %d)" % (peak[2], thread_limit))
    return problems


def run_clients(traffic, clients):
    threads = [threading.Thread(target=client_session, args=(traffic, seed), daemon=True)
               for seed in range(clients)]
    for thread in threads:
        thread.start()
    return threads


def wait_ready(path, process):
    deadline = time.monotonic() + PEER_WAIT
    while time.monotonic() < deadline and process.poll() is None:
        with open(path, "rb") as f:
            if b"ready" in f.read():
                return
        time.sleep(0.1)
    raise RuntimeError("the exchangers did not start")


def measure(args, home, program, peers_out, program_out):
    queue = os.path.join(home, "data", "lumenpost", "queue")
    outcomes = Outcomes(program_out, peers_out)
    time.sleep(2)
    idle = sample(program.pid, queue)
    print("idle: RSS %.1f MiB, %d descriptors, %d threads" % (idle[0] / 1024, idle[1], idle[2]))
    traffic = Traffic(args.rate, args.minutes * 60)
    threads = run_clients(traffic, args.clients)
    print(HEAD, flush=True)
    table = []
    for minute in range(1, args.minutes + 1):
        time.sleep(max(0.0, traffic.begin + minute * 60 - time.monotonic()))
        outcomes.update()
        table.append(sample(program.pid, queue))
        print(row(str(minute), traffic, outcomes, table[-1]), flush=True)
    for thread in threads:
        thread.join(timeout=2 * CLIENT_WAIT)
    drain_end = time.monotonic() + DRAIN_LIMIT
    next_row = time.monotonic() + 60
    while time.monotonic() < drain_end:
        outcomes.update()
        if all(outcomes.finished(r) for r in traffic.accepted) and not queue_files(queue)[0]:
            break
        if time.monotonic() >= next_row:
            print(row("drain", traffic, outcomes, sample(program.pid, queue)), flush=True)
            next_row += 60
        time.sleep(2)
    drained = time.monotonic() - (traffic.end)
    outcomes.update()
    print(row("end", traffic, outcomes, sample(program.pid, queue)), flush=True)
    octets = traffic.octets
    print("sent %d messages in %d min (%.2f/s, %.1f MiB accepted), %d cut off in the data; "
          "drain %.0f s (limit %d s)"
          % (len(traffic.accepted), args.minutes, len(traffic.accepted) / (args.minutes * 60),
             octets / 1048576, len(traffic.cut), drained, DRAIN_LIMIT))
    report_busy(traffic.busy)
    problems = check_messages(traffic, outcomes) + check_queue(queue, traffic, outcomes)
    flat = check_flat(table, idle, args.clients)
    return problems, flat


def report_busy(busy):
    """Connections refused for want of a session, by how the client's previous one
    ended, with the replies of the first."""
    counts = {}
    for after, _, _ in busy:
        counts[after] = counts.get(after, 0) + 1
    print("connections refused as busy (then tried again): %d%s"
          % (len(busy), "".join("; %d after a %s" % (count, after)
                                for after, count in sorted(counts.items()))))
    if busy:
        print("  first one: greeting %r, EHLO answered %r" % busy[0][1:])


def report(problems, flat, program):
    if program.poll() is not None:
        problems.append("the program ended by itself with status %d" % program.returncode)
    for problem in problems[:50]:
        print("FAULT: " + problem)
    if len(problems) > 50:
        print("... and %d more" % (len(problems) - 50))
    for problem in flat:
        print("NOT FLAT: " + problem)
    print("verdict: every accepted message has its outcome: %s; resources flat: %s"
          % ("yes" if not problems else "NO (%d faults)" % len(problems),
             "yes" if not flat else "NO"))
    return 0 if not problems and not flat else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--program", required=True)
    parser.add_argument("--minutes", type=int, default=30)
    parser.add_argument("--rate", type=float, default=3.0, help="messages per second")
    parser.add_argument("--clients", type=int, default=2,
                        help="concurrent sessions (the program serves two at once)")
    args = parser.parse_args()
    print("soak: %d min, %.1f msgs/s, %d sessions; settings %s; LUMENPOST_NET_TIMEOUT_MS=%d"
          % (args.minutes, args.rate, args.clients, SETTINGS.strip().replace("\n", " "),
             NET_TIMEOUT_MS), flush=True)
    with tempfile.TemporaryDirectory(dir="/var/tmp") as home:
        dnsmasq = start_dnsmasq(DNS, tuple(("%s.soak" % name, address)
                                           for name, address in EXCHANGERS.items()))
        peers_out = os.path.join(home, "peers.out")
        program_out = os.path.join(home, "program.out")
        try:
            with open(peers_out, "wb") as out:
                peers = subprocess.Popen([PYTHON, os.path.join(HERE, "soak_peers.py")]
                                         + ["%s=%s" % pair for pair in EXCHANGERS.items()],
                                         stdout=out, stderr=subprocess.DEVNULL)
            try:
                wait_ready(peers_out, peers)
                env = program_env(home, DNS, SETTINGS)
                env["LUMENPOST_NET_TIMEOUT_MS"] = str(NET_TIMEOUT_MS)
                with open(program_out, "wb") as out:
                    program = start([args.program, "--headless", "--listen", LISTEN + ":25"],
                                    25, env=env, host=LISTEN, stdout=out)
                try:
                    problems, flat = measure(args, home, program, peers_out, program_out)
                    return report(problems, flat, program)
                finally:
                    stop(program)
            finally:
                stop(peers)
        finally:
            stop(dnsmasq)


if __name__ == "__main__":
    sys.exit(main())
