#!/usr/bin/python3
"""Mail queue benchmarks 6 to 8 of scripts/bench.sh, all on loopback (needs root for the
ports 25 and 53 of 127.0.0.40/41, for smtp-sink and for a throwaway Postfix).

6: one large message (100 MiB, then 1 GiB) through the program: intake time from DATA
   to the reply after the data, against smtp-sink taking the same file from the same
   client; and the program's peak RSS above idle over the intake and the delivery that
   follows (to an smtp-sink exchanger on 127.0.0.41:25 found through dnsmasq on
   127.0.0.40). A fresh program per measurement, as VmHWM is a high-water mark.
7: durable intake (1 KiB and 100 KiB): the server component streaming every message into a queue folder
   (lumenpost_intake_server PORT 2 QUEUEDIR) against a Postfix of its own that queues
   each message (smtpd, cleanup, queue file) and then discards it, and smtp-sink (no
   disk) for scale; the same smtp-source run (2 sessions, 1 KiB, kept connections).
8: a queue of 10 000 deferred recipients: the time from starting the program until it
   accepts a connection, and its RSS above a start with an empty queue per recipient.

Every figure is the median of several runs; each peer is started afresh per run and
stopped by its process id (the Postfix of bench/throwaway_postfix.py by its master's).
"""
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from intake_bench import (SINK, WAIT, bench_arguments, free_port, program_env, read_reply,
                          source_rate, start, stop)
from relay_bench import intake_time, program_large_message, start_dnsmasq, status_kib
from throwaway_postfix import ThrowawayPostfix

DNS = "127.0.0.40"
EXCHANGER = "127.0.0.41"
DOMAIN = "queue.test"
SENDER = "from@bench.example"
LONG_WAIT = 900.0  # seconds a 1 GiB intake or delivery may take on a loaded machine
BIG_SETTINGS = "maxsize=2147483648\n"
RSS_TARGET_KIB = 32 * 1024


def write_message(path, size):
    """A message of about `size` octets: a header and lines of 78 octets, none starting
    with a dot, written in blocks so that nothing large is held in memory."""
    line = b"y" * 76 + b"\r\n"
    block = line * ((8 << 20) // len(line))
    with open(path, "wb") as out:
        out.write(b"Subject: large\r\n\r\n")
        left = size // len(line)
        while left > 0:
            lines = min(left, len(block) // len(line))
            out.write(block[: lines * len(line)])
            left -= lines


def timed_intake(port, path, recipient):
    """Seconds from sending DATA to the reply after the data; the file goes out with
    sendfile, so the client never holds it."""

    def send_file(conn):
        with open(path, "rb") as message:
            conn.sendfile(message)

    return intake_time(port, send_file, recipient, LONG_WAIT, from_data_command=True)


def program_large(program, path):
    """(intake seconds, peak RSS above idle in KiB) of one fresh program."""
    return program_large_message(program,
                                 lambda port: timed_intake(port, path, "to@" + DOMAIN),
                                 DNS, BIG_SETTINGS, LONG_WAIT)


def sink_large(path):
    port = free_port()
    sink = start([SINK, "-u", "nobody", "127.0.0.1:%d" % port, "16"], port)
    try:
        return timed_intake(port, path, "to@" + DOMAIN)
    finally:
        stop(sink)


def large_message(program, mib, runs, scratch):
    path = os.path.join(scratch, "message-%d" % mib)
    write_message(path, mib << 20)
    print("== Benchmark 6: one message of %d MiB, median of %d runs" % (mib, runs))
    times, peaks, reference = [], [], []
    try:
        for _ in range(runs):
            elapsed, peak = program_large(program, path)
            times.append(elapsed)
            peaks.append(peak)
            reference.append(sink_large(path))
    finally:
        os.remove(path)
    ratio = statistics.median(times) / statistics.median(reference)
    peak = statistics.median(peaks)
    time_ok = ratio <= 1.5
    rss_ok = peak <= RSS_TARGET_KIB
    print("intake lumenpost %.2f s  smtp-sink %.2f s  ratio %.2f (target <= 1.5: %s)  "
          "peak RSS above idle %.1f MiB (target <= 32 MiB: %s)  [runs: %s / %s / %s]"
          % (statistics.median(times), statistics.median(reference), ratio,
             "met" if time_ok else "MISSED", peak / 1024, "met" if rss_ok else "MISSED",
             ", ".join("%.2f" % t for t in times), ", ".join("%.2f" % t for t in reference),
             ", ".join("%.1f" % (p / 1024) for p in peaks)))
    return time_ok and rss_ok


def durable_intake(intake_server, runs, quick):
    ok = True
    for size, count in ((1024, 400 if quick else 2000), (100 * 1024, 100 if quick else 400)):
        ok &= durable_intake_of(intake_server, runs, size, count)
    return ok


def durable_intake_of(intake_server, runs, size, count):
    print("== Benchmark 7: durable intake, 2 smtp-source sessions, %d msgs of %d KiB on kept "
          "connections, msgs/s, median of %d runs" % (count, size // 1024, runs))
    rates = {"lumenpost": [], "postfix": [], "smtp-sink": []}
    for _ in range(runs):
        with tempfile.TemporaryDirectory(dir="/var/tmp") as home:
            os.chmod(home, 0o755)  # Postfix's daemons reach their queue below it
            port = free_port()
            server = start([intake_server, str(port), "2", os.path.join(home, "queue")], port)
            try:
                rates["lumenpost"].append(source_rate(port, size, count, True))
            finally:
                report = stop(server)
            if not report.startswith("received %d " % count):
                raise RuntimeError("the intake server queued otherwise: " + report)
            port = free_port()
            with ThrowawayPostfix(os.path.join(home, "postfix"), "127.0.0.1", port):
                rates["postfix"].append(source_rate(port, size, count, True))
            port = free_port()
            sink = start([SINK, "-u", "nobody", "127.0.0.1:%d" % port, "256"], port)
            try:
                rates["smtp-sink"].append(source_rate(port, size, count, True))
            finally:
                stop(sink)
    median, ratio, verdict = against_postfix(rates, 1.5)
    print("lumenpost (queue folder) %.0f  postfix (queue, discard) %.0f  smtp-sink (no disk) "
          "%.0f  ratio to postfix %s" % (median["lumenpost"], median["postfix"],
                                          median["smtp-sink"], verdict))
    return ratio >= 1.5


def against_postfix(rates, target):
    """Medians of each peer's runs, Lumenpost's ratio to Postfix, and that ratio with its
    target and the runs of both, as printed."""
    median = {name: statistics.median(values) for name, values in rates.items()}
    ratio = median["lumenpost"] / median["postfix"]
    verdict = "%.2f (target >= %s: %s)  [runs: %s / %s]" % (
        ratio, target, "met" if ratio >= target else "MISSED",
        ", ".join("%.0f" % r for r in rates["lumenpost"]),
        ", ".join("%.0f" % r for r in rates["postfix"]))
    return median, ratio, verdict


ENVELOPE = """lumenpost-envelope 1
id {id}
arrival {arrival}
sender {sender}
recipients 1
recipient to{number}@{domain}
state deferred
attempts 1
next-attempt {next}
reason 450 4.2.0 try again later
end
"""


def fill_queue(folder, count, domain=DOMAIN):
    """`count` messages of 1 KiB, each with one recipient at `domain` deferred for a
    day."""
    os.makedirs(os.path.join(folder, "failed"), mode=0o700)
    os.chmod(folder, 0o700)
    now = int(time.time())
    data = b"Subject: queued\r\n\r\n" + (b"z" * 76 + b"\r\n") * 13
    for number in range(count):
        queue_id = "bench%010d" % number
        with open(os.path.join(folder, queue_id + ".data"), "wb") as out:
            out.write(data)
        with open(os.path.join(folder, queue_id + ".env"), "w") as out:
            out.write(ENVELOPE.format(id=queue_id, arrival=now, sender=SENDER, number=number,
                                      domain=domain, next=now + 86400))


def timed_start(program, home):
    """(seconds until the greeting of a first connection, RSS in KiB a second later). The
    greeting, not the kernel's accept: the queue is read after the socket listens, and
    a client is served only once that is done."""
    port = free_port()
    begin = time.monotonic()
    process = subprocess.Popen([program, "--headless", "--listen", "127.0.0.1:%d" % port],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               env=program_env(home, DNS))
    try:
        while True:
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as conn:
                    read_reply(conn)
                    elapsed = time.monotonic() - begin
                    break
            except (OSError, RuntimeError):
                if process.poll() is not None or time.monotonic() - begin > WAIT:
                    raise RuntimeError("the program did not start listening")
                time.sleep(0.002)
        time.sleep(1)
        return elapsed, status_kib(process.pid, "VmRSS")
    finally:
        stop(process)


def deferred_queue(program, runs, count):
    print("== Benchmark 8: start with %d deferred recipients in the queue, median of %d "
          "starts" % (count, runs))
    with tempfile.TemporaryDirectory() as full, tempfile.TemporaryDirectory() as empty:
        fill_queue(os.path.join(full, "data", "lumenpost", "queue"), count)
        loaded = [timed_start(program, full) for _ in range(runs)]
        bare = [timed_start(program, empty) for _ in range(runs)]
    start_s = statistics.median(t for t, _ in loaded)
    empty_s = statistics.median(t for t, _ in bare)
    per_recipient = (statistics.median(r for _, r in loaded)
                     - statistics.median(r for _, r in bare)) * 1024 / count
    ok = start_s <= 2 and per_recipient < 1024
    print("start to first greeting %.3f s (empty queue %.3f s; target <= 2 s)  RSS per queued "
          "recipient %.0f octets (target < 1024): %s"
          % (start_s, empty_s, per_recipient, "met" if ok else "MISSED"))
    return ok


def main():
    parser = bench_arguments(__doc__, 3, "one run, 10 MiB and 100 MiB messages, fewer "
                             "messages", True)
    parser.add_argument("--big-runs", type=int, default=None,
                        help="runs of the 1 GiB message (default: --runs)")
    parser.add_argument("--only", default="6,7,8", help="which benchmarks, e.g. 7,8")
    args = parser.parse_args()
    runs = 1 if args.quick else args.runs
    only = args.only.split(",")
    ok = True
    if "6" in only:
        sizes = ((10, runs), (100, runs)) if args.quick else (
            (100, runs), (1024, args.big_runs or runs))
        with tempfile.TemporaryDirectory(dir="/var/tmp") as scratch:
            dnsmasq = start_dnsmasq(DNS, ((DOMAIN, EXCHANGER),))
            try:
                exchanger = subprocess.Popen([SINK, "-u", "nobody", EXCHANGER + ":25", "16"],
                                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
                try:
                    for mib, size_runs in sizes:
                        ok &= large_message(args.program, mib, size_runs, scratch)
                finally:
                    stop(exchanger)
            finally:
                stop(dnsmasq)
    if "7" in only:
        ok &= durable_intake(args.intake_server, runs, args.quick)
    if "8" in only:
        ok &= deferred_queue(args.program, runs, 10000)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
