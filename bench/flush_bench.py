#!/usr/bin/python3
"""Queue flush benchmark 9 of scripts/bench.sh, all on loopback (needs root for the
ports 25 and 53 of 127.0.0.130/131, for smtp-sink and for a throwaway Postfix with a
mount namespace of its own).

9: 5 000 deferred messages of 1 KiB, one recipient each at flush.test, whose MX record
   (dnsmasq on 127.0.0.130) names 127.0.0.131, where no exchanger listens yet. Then
   smtp-sink comes up on 127.0.0.131:25 and the queue is flushed; the figure is messages
   delivered per second from the flush command until the last one is delivered.
   - The program: the messages are written into its queue folder in its envelope format
     (state deferred, next attempt a day ahead, as benchmark 8 does), the program is
     started, and `lumenpost --retry` asks it to try them now; delivered = its
     `okrelay:` lines.
   - Peer: a throwaway Postfix (bench/throwaway_postfix.py) that relays to the MX of the
     same dnsmasq; the messages come in through its smtpd from smtp-source while the
     exchanger is down, so each is deferred after a refused connection. Once all sit in
     its deferred queue the sink comes up and `postqueue -c DIR -f` flushes them;
     delivered = queue files gone from its queue folder.

Every figure is the median of several runs; each peer is started afresh per run and
stopped by its process id.
"""
import os
import subprocess
import sys
import tempfile
import time

from intake_bench import SINK, SOURCE, bench_arguments, free_port, program_env, stop
from queue_bench import against_postfix, fill_queue
from relay_bench import start_dnsmasq
from relay_contenders import started_program
from throwaway_postfix import RELAY_CF, RELAY_SERVICES, ThrowawayPostfix

DNS = "127.0.0.130"
EXCHANGER = "127.0.0.131"
POSTFIX_LISTEN = "127.0.0.132"
DOMAIN = "flush.test"
FLUSH_WAIT = 600.0  # seconds the whole flush may take on a loaded machine
POLL = 0.01
# postqueue -f wakes the queue manager and the pickup service (for the maildrop folder).
FLUSH_SERVICES = "pickup unix n - n 60 1 pickup\n"


def start_sink():
    """The exchanger: smtp-sink on EXCHANGER:25, a backlog deep enough for any relay."""
    return subprocess.Popen([SINK, "-u", "nobody", EXCHANGER + ":25", "256"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)


def wait_for(condition, what, timeout=FLUSH_WAIT):
    """Polls `condition` until it holds; returns the monotonic time it was first seen."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return time.monotonic()
        time.sleep(POLL)
    raise RuntimeError("%s did not happen within %.0f s" % (what, timeout))


def count_lines(path, prefix):
    with open(path, "rb") as out:
        return sum(1 for line in out if line.startswith(prefix))


def program_flush(program, count):
    """Messages per second of the program's flush of `count` deferred messages."""
    with tempfile.TemporaryDirectory(dir="/var/tmp") as home:
        fill_queue(os.path.join(home, "data", "lumenpost", "queue"), count, DOMAIN)
        output = os.path.join(home, "output")
        with open(output, "wb") as log:  # more lines than a pipe holds
            process, _ = started_program(program, home, DNS, stdout=log)
            try:
                sink = start_sink()
                try:
                    time.sleep(0.3)  # the sink listens
                    begin = time.monotonic()
                    retry = subprocess.run([program, "--retry"], env=program_env(home, DNS),
                                           capture_output=True, timeout=60)
                    if retry.returncode != 0:
                        # A relay busy with the request may answer after the command has
                        # given up; the flush goes on, so count on and say so.
                        print("  lumenpost --retry exited with %d after %.1f s: %s"
                              % (retry.returncode, time.monotonic() - begin,
                                 retry.stderr.decode(errors="replace").strip()))
                    end = wait_for(lambda: count_lines(output, b"okrelay:") >= count,
                                   "the program's delivery of %d messages" % count)
                finally:
                    stop(sink)
            finally:
                stop(process)
        failed = count_lines(output, b"badrelay:")
        if failed:
            raise RuntimeError("the program failed %d messages" % failed)
    return count / (end - begin)


def postfix_queue_files(spool, folders=("incoming", "active", "deferred", "maildrop", "hold")):
    total = 0
    for folder in folders:
        for _, _, files in os.walk(os.path.join(spool, folder)):
            total += len(files)
    return total


def postfix_flush(count):
    """Messages per second of the throwaway Postfix's flush of `count` deferred
    messages."""
    with tempfile.TemporaryDirectory(dir="/var/tmp") as home:
        os.chmod(home, 0o755)  # Postfix's daemons reach their queue below it
        port = free_port(POSTFIX_LISTEN)
        postfix = ThrowawayPostfix(os.path.join(home, "postfix"), POSTFIX_LISTEN, port,
                                   RELAY_CF, RELAY_SERVICES + FLUSH_SERVICES, nameserver=DNS)
        spool = os.path.join(postfix.home, "spool")
        with postfix:
            feed_postfix(POSTFIX_LISTEN, port, count)
            # Every message deferred: all in deferred/, none left in incoming or active.
            wait_for(lambda: postfix_queue_files(spool, ("deferred",)) >= count
                     and postfix_queue_files(spool, ("incoming", "active")) == 0,
                     "the deferral of %d messages by Postfix" % count)
            sink = start_sink()
            try:
                time.sleep(0.3)
                begin = time.monotonic()
                flush = subprocess.run(["postqueue", "-c", postfix.config, "-f"],
                                       capture_output=True, timeout=60)
                if flush.returncode != 0:
                    raise RuntimeError("postqueue -f failed: %s"
                                       % flush.stderr.decode(errors="replace"))
                end = wait_for(lambda: postfix_queue_files(spool) == 0,
                               "Postfix's delivery of %d messages" % count)
            finally:
                stop(sink)
    return count / (end - begin)


def feed_postfix(host, port, count):
    """`count` messages of 1 KiB to to@flush.test through smtp-source, 2 sessions."""
    subprocess.run([SOURCE, "-s", "2", "-m", str(count), "-l", "1024", "-M", "bench.example",
                    "-f", "from@bench.example", "-t", "to@" + DOMAIN, "%s:%d" % (host, port)],
                   check=True, capture_output=True, timeout=FLUSH_WAIT)


def queue_flush(program, runs, count):
    print("== Benchmark 9: flush of %d deferred messages of 1 KiB to smtp-sink, "
          "delivered msgs/s, median of %d runs" % (count, runs))
    rates = {"lumenpost": [], "postfix": []}
    dnsmasq = start_dnsmasq(DNS, ((DOMAIN, EXCHANGER),))
    try:
        for _ in range(runs):
            rates["lumenpost"].append(program_flush(program, count))
            rates["postfix"].append(postfix_flush(count))
    finally:
        stop(dnsmasq)
    median, ratio, verdict = against_postfix(rates, 1.0)
    print("lumenpost --retry %.0f  postfix (postqueue -f) %.0f  ratio %s"
          % (median["lumenpost"], median["postfix"], verdict))
    return ratio >= 1.0


def main():
    args = bench_arguments(__doc__, 3, "one run of 1000 messages").parse_args()
    runs = 1 if args.quick else args.runs
    return 0 if queue_flush(args.program, runs, 1000 if args.quick else 5000) else 1


if __name__ == "__main__":
    sys.exit(main())
