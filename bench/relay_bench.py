#!/usr/bin/python3
"""Relay benchmarks 3 and 4 of scripts/bench.sh, all on loopback (needs root for the
ports 25 and 53 of 127.0.0.x, for the throwaway Postfix and its mount namespace).

3: relay latency of three relays in the same run, against the same dnsmasq (127.0.0.30,
   serving the MX) and the same stamping sink (127.0.0.31:25): the program, a throwaway
   Postfix (bench/throwaway_postfix.py, on 127.0.0.38) and a minimal Python relay
   (bench/mini_relay.py, on 127.0.0.39). Each takes messages of 1 KiB and of 100 KiB on
   one kept connection; per message the time from the relay's 250 after the data to the
   sink's receipt. The relays take their messages in turn, one message in flight at a
   time, with the floor beside them: one MX query to the same dnsmasq plus the same
   message sent straight to the same sink with smtplib.
4: one message of 100 MiB: the program's intake time against smtp-sink's for the same
   message from the same client, and the program's peak RSS above idle (the message is
   relayed to an smtp-sink exchanger found through dnsmasq).
"""
import contextlib
import os
import select
import smtplib
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

from intake_bench import SINK, WAIT, ask, bench_arguments, free_port, read_reply, start, stop
from relay_contenders import (PYTHON, lumenpost_contender, mini_relay_contender, postfix_contender,
                              started_program)

DNSMASQ = "/usr/sbin/dnsmasq"
DNS = "127.0.0.30"
STAMP_SINK = "127.0.0.31"
BIG_SINK = "127.0.0.32"
STAMP_SINK_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stamp_sink.py")
SENDER = "from@bench.example"
RECIPIENT = "to@latency.test"
SIZES = ((1024, "1 KiB"), (100 * 1024, "100 KiB"))
# Pause before each message, so that what a relay does after a delivery (its queue's
# clean-up) is over before the next relay's message is timed.
SETTLE = 0.03


def start_dnsmasq(address=DNS, mx_hosts=(("latency.test", STAMP_SINK), ("big.test", BIG_SINK))):
    """dnsmasq on address:53 answering only MX 10 queries for the (domain, exchanger)
    pairs."""
    args = [DNSMASQ, "--keep-in-foreground", "--bind-interfaces", "--listen-address=" + address,
            "--port=53", "--no-resolv", "--no-hosts", "--pid-file=", "--conf-file=/dev/null"]
    args += ["--mx-host=%s,%s,10" % pair for pair in mx_hosts]
    process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        process.wait(timeout=0.5)
    except subprocess.TimeoutExpired:
        return process
    raise RuntimeError("dnsmasq did not start on %s:53: %s"
                       % (address, process.stderr.read().decode(errors="replace")))


class LineReader:
    """Lines of a child's output, each waited for at most WAIT seconds. Reads the pipe
    itself: a buffered reader would hide lines it has taken in from select."""

    def __init__(self, stream):
        self.fd = stream.fileno()
        self.pending = b""

    def next_line(self, timeout=WAIT):
        while b"\n" not in self.pending:
            ready, _, _ = select.select([self.fd], [], [], timeout)
            chunk = os.read(self.fd, 4096) if ready else b""
            if not chunk:
                raise RuntimeError("no output line within %s s" % timeout)
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return line.decode()

    def stamp_of(self, token, timeout=WAIT):
        """The stamp_sink.py stamp of the message carrying `token`; stamps of others (a
        late or repeated delivery) are skipped."""
        deadline = time.monotonic() + timeout
        while True:
            stamp, got = self.next_line(max(0.0, deadline - time.monotonic())).split()
            if got == token:
                return float(stamp)


def mx_query(name):
    """Asks dnsmasq for the MX records of `name` and waits for the answer."""
    query = struct.pack("!HHHHHH", 0x1234, 0x0100, 1, 0, 0, 0)
    query += b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0"
    query += struct.pack("!HH", 15, 1)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.settimeout(WAIT)
        udp.sendto(query, (DNS, 53))
        udp.recv(512)


def bench_message(size, token):
    """About `size` octets: a header with the token, then lines of 78 octets."""
    header = b"Subject: bench\r\nX-Bench-Token: %s\r\n\r\n" % token.encode()
    line = b"x" * 76 + b"\r\n"
    return header + line * max(1, (size - len(header)) // len(line))


def send_message(conn, recipient, body, accepted=b"250 OK "):
    """One message on a kept connection; returns the moment its reply after the data
    arrived, which must start with `accepted`."""
    ask(conn, b"RSET\r\n", b"250")
    ask(conn, b"MAIL FROM:<%s>\r\n" % SENDER.encode(), b"250")
    ask(conn, b"RCPT TO:<%s>\r\n" % recipient.encode(), b"250")
    ask(conn, b"DATA\r\n", b"354")
    conn.sendall(body + b".\r\n")
    reply = read_reply(conn)
    done = time.monotonic()
    if not reply.startswith(accepted):
        raise RuntimeError("the data was answered with %r" % reply)
    return done


def direct_delivery(sink_lines, body, token):
    """The floor: one MX query plus the message handed straight to the sink."""
    begin = time.monotonic()
    mx_query("latency.test")
    with smtplib.SMTP(STAMP_SINK, 25, timeout=WAIT) as smtp:
        smtp.sendmail(SENDER, [RECIPIENT], body)
    return sink_lines.stamp_of(token) - begin


def relayed_latency(contender, sink_lines, body, token):
    accepted = send_message(contender.conn, RECIPIENT, body, contender.accepted)
    try:
        return sink_lines.stamp_of(token) - accepted
    except RuntimeError as error:
        raise RuntimeError("%s: message %s did not arrive (%s); its log ends:\n%s"
                           % (contender.name, token, error, contender.log_tail())) from error


def latencies(contenders, sink_lines, size, count):
    """Seconds per message of each contender and of the floor; message -1 of each warms
    the relay up (starts its processes and threads) and is not counted."""
    measured = {name: [] for name in [c.name for c in contenders] + ["floor"]}
    for number in range(-1, count):
        turn = number % len(contenders)  # each relay goes first as often as the others
        for contender in contenders[turn:] + contenders[:turn]:
            token = "%s-%d-%d" % (contender.name, size, number)
            time.sleep(SETTLE)
            latency = relayed_latency(contender, sink_lines, bench_message(size, token), token)
            if number >= 0:
                measured[contender.name].append(latency)
        token = "floor-%d-%d" % (size, number)
        time.sleep(SETTLE)
        floor = direct_delivery(sink_lines, bench_message(size, token), token)
        if number >= 0:
            measured["floor"].append(floor)
    return measured


def median_p95_ms(values):
    return statistics.median(values) * 1000, statistics.quantiles(values, n=20)[18] * 1000


TABLE_HEAD = ("| run | size | Lumenpost median / p95 | Postfix median / p95 | Python median / p95 "
              "| floor median / p95 | Lumenpost / Postfix | Lumenpost / Python | target |\n"
              "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | --- |")


def table_row(when, label, measured):
    """The Markdown row of one size and whether the targets (median at most Postfix's
    and at most 1.1 x Python's) are met."""
    ms = {name: median_p95_ms(values) for name, values in measured.items()}
    to_postfix = ms["lumenpost"][0] / ms["postfix"][0]
    to_python = ms["lumenpost"][0] / ms["python"][0]
    ok = to_postfix <= 1.0 and to_python <= 1.1
    cells = ["%.2f / %.2f ms" % ms[name] for name in ("lumenpost", "postfix", "python", "floor")]
    row = "| %s | %s | %s | **%.2f** | **%.2f** | ≤ 1 and ≤ 1.1: %s |" % (
        when, label, " | ".join(cells), to_postfix, to_python, "met" if ok else "**missed**")
    return row, ok


def relay_latency(program, count):
    print("== Benchmark 3: relay latency, %d messages each of %s per relay on one kept "
          "connection, relays in turn with the floor"
          % (count, " and ".join(label for _, label in SIZES)))
    when = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    sink = subprocess.Popen([PYTHON, STAMP_SINK_SCRIPT, STAMP_SINK + ":25"],
                            stdout=subprocess.PIPE)
    rows, ok = [], True
    try:
        sink_lines = LineReader(sink.stdout)
        if sink_lines.next_line().strip() != "ready":
            raise RuntimeError("the stamping sink did not start")
        # /var/tmp, mode 755: Postfix's daemons reach their queue below it; all three
        # queues on the same file system.
        with tempfile.TemporaryDirectory(dir="/var/tmp") as home, contextlib.ExitStack() as stack:
            os.chmod(home, 0o755)
            contenders = [stack.enter_context(lumenpost_contender(program, home, DNS)),
                          stack.enter_context(postfix_contender(home, DNS)),
                          stack.enter_context(mini_relay_contender(home, DNS))]
            for contender in contenders:
                contender.connect()
                stack.callback(contender.conn.close)
            for size, label in SIZES:
                row, size_ok = table_row(when, label,
                                         latencies(contenders, sink_lines, size, count))
                rows.append(row)
                ok &= size_ok
    finally:
        stop(sink)
    print(TABLE_HEAD)
    print("\n".join(rows))
    return ok


def status_kib(pid, field):
    with open("/proc/%d/status" % pid, encoding="ascii") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError("no %s for process %d" % (field, pid))


def intake_time(port, body, recipient, timeout=WAIT * 6, from_data_command=False):
    """Seconds from the end of the 354 reply (or from sending DATA) to the reply after
    the data. `body` is the data as octets, or a callable that writes it to the socket
    (the end line is added here)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        read_reply(conn)
        ask(conn, b"EHLO bench.example\r\n", b"250")
        ask(conn, b"MAIL FROM:<%s>\r\n" % SENDER.encode(), b"250")
        ask(conn, b"RCPT TO:<%s>\r\n" % recipient.encode(), b"250")
        begin = time.monotonic()
        ask(conn, b"DATA\r\n", b"354")
        if not from_data_command:
            begin = time.monotonic()
        if callable(body):
            body(conn)
            conn.sendall(b".\r\n")
        else:
            conn.sendall(body + b".\r\n")
        reply = read_reply(conn)
        elapsed = time.monotonic() - begin
        conn.sendall(b"QUIT\r\n")
    if not reply.startswith(b"250"):
        raise RuntimeError("the data was answered with %r" % reply)
    return elapsed


def program_large_message(program, send, dns=DNS, settings="", timeout=WAIT):
    """(intake seconds, peak RSS above idle in KiB) of one fresh program: `send(port)`
    hands it the message and returns the intake seconds; the peak is read once the pass
    has relayed it."""
    with tempfile.TemporaryDirectory() as home:
        process, port = started_program(program, home, dns, settings)
        try:
            time.sleep(0.5)
            idle = status_kib(process.pid, "VmRSS")
            elapsed = send(port)
            output = LineReader(process.stdout)
            line = output.next_line(timeout)
            while line.startswith("status:"):
                line = output.next_line(timeout)
            if not line.startswith("okrelay:"):
                raise RuntimeError("the relay pass failed: " + line)
            return elapsed, status_kib(process.pid, "VmHWM") - idle
        finally:
            stop(process)


def large_message(program, runs, quick):
    size = (10 if quick else 100) << 20
    body = b"Subject: large\r\n\r\n" + (b"y" * 76 + b"\r\n") * (size // 78)
    print("== Benchmark 4: one message of %d MiB, median of %d runs" % (size >> 20, runs))
    exchanger = subprocess.Popen([SINK, "-u", "nobody", BIG_SINK + ":25", "16"],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    times, peaks, reference = [], [], []
    try:
        for _ in range(runs):
            elapsed, peak = program_large_message(
                program, lambda port: intake_time(port, body, "to@big.test"))
            times.append(elapsed)
            peaks.append(peak)
            port = free_port()
            sink = start([SINK, "-u", "nobody", "127.0.0.1:%d" % port, "16"], port)
            try:
                reference.append(intake_time(port, body, "to@big.test"))
            finally:
                stop(sink)
    finally:
        stop(exchanger)
    ratio = statistics.median(times) / statistics.median(reference)
    peak_ratio = statistics.median(peaks) * 1024 / len(body)
    ok = ratio <= 1.5 and peak_ratio <= 2
    print("intake lumenpost %.2f s  smtp-sink %.2f s  ratio %.2f (target <= 1.5)  "
          "peak RSS above idle %.0f MiB = %.2f x the message (target <= 2): %s"
          % (statistics.median(times), statistics.median(reference), ratio,
             statistics.median(peaks) / 1024, peak_ratio, "met" if ok else "MISSED"))
    return ok


def main():
    parser = bench_arguments(__doc__, 3, "fewer and smaller messages")
    parser.add_argument("--only", default="3,4", help="which benchmarks, e.g. 3")
    args = parser.parse_args()
    only = args.only.split(",")
    dnsmasq = start_dnsmasq()
    ok = True
    try:
        if "3" in only:
            ok &= relay_latency(args.program, 20 if args.quick else 200)
        if "4" in only:
            ok &= large_message(args.program, args.runs, args.quick)
    finally:
        stop(dnsmasq)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
