#!/usr/bin/python3
"""Relay benchmarks 3 and 4 of scripts/bench.sh, all on loopback (needs root for the
ports 25 and 53 of 127.0.0.x).

3: relay latency: the headless program with dnsmasq serving the MX and a stamping sink
   on 127.0.0.31:25; per message the time from the program's "250 OK " after the data to
   the sink's receipt. Reference in the same run, message by message in turn: one MX
   query to the same dnsmasq plus the same message sent straight to the same sink with
   smtplib.
4: one message of 100 MiB: the program's intake time against smtp-sink's for the same
   message from the same client, and the program's peak RSS above idle (the message is
   relayed to an smtp-sink exchanger found through dnsmasq).
"""
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

from intake_bench import (SINK, WAIT, ask, bench_arguments, free_port, program_env, read_reply,
                          start, stop)

DNSMASQ = "/usr/sbin/dnsmasq"
DNS = "127.0.0.30"
STAMP_SINK = "127.0.0.31"
BIG_SINK = "127.0.0.32"
STAMP_SINK_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "stamp_sink.py")
SENDER = "from@bench.example"
BODY = b"Subject: bench\r\n\r\n" + (b"x" * 76 + b"\r\n") * 13


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


def mx_query(name):
    """Asks dnsmasq for the MX records of `name` and waits for the answer."""
    query = struct.pack("!HHHHHH", 0x1234, 0x0100, 1, 0, 0, 0)
    query += b"".join(bytes([len(p)]) + p.encode() for p in name.split(".")) + b"\0"
    query += struct.pack("!HH", 15, 1)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.settimeout(WAIT)
        udp.sendto(query, (DNS, 53))
        udp.recv(512)


def send_to_program(conn, recipient, body):
    """One message on a kept connection; returns the moment its "250 OK " arrived."""
    ask(conn, b"RSET\r\n", b"250")
    ask(conn, b"MAIL FROM:<%s>\r\n" % SENDER.encode(), b"250")
    ask(conn, b"RCPT TO:<%s>\r\n" % recipient.encode(), b"250")
    ask(conn, b"DATA\r\n", b"354")
    conn.sendall(body + b".\r\n")
    reply = read_reply(conn)
    done = time.monotonic()
    if not reply.startswith(b"250 OK "):
        raise RuntimeError("the data was answered with %r" % reply)
    return done


def direct_delivery(sink_lines):
    """The floor: one MX query plus the message handed straight to the sink."""
    begin = time.monotonic()
    mx_query("latency.test")
    with smtplib.SMTP(STAMP_SINK, 25, timeout=WAIT) as smtp:
        smtp.sendmail(SENDER, ["to@latency.test"], BODY)
    return float(sink_lines.next_line()) - begin


def started_program(program, home, dns, settings=""):
    port = free_port()
    process = start([program, "--headless", "--listen", "127.0.0.1:%d" % port], port,
                    env=program_env(home, dns, settings))
    return process, port


def relay_latency(program, count):
    print("== Benchmark 3: relay latency, %d messages of 1 KiB, in turn with the floor" % count)
    sink = subprocess.Popen(["/usr/bin/python3", STAMP_SINK_SCRIPT, STAMP_SINK + ":25"],
                            stdout=subprocess.PIPE)
    relayed, floor = [], []
    sink_lines = LineReader(sink.stdout)
    try:
        if sink_lines.next_line().strip() != "ready":
            raise RuntimeError("the stamping sink did not start")
        with tempfile.TemporaryDirectory() as home:
            process, port = started_program(program, home, DNS)
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as conn:
                    read_reply(conn)
                    ask(conn, b"EHLO bench.example\r\n", b"250")
                    for _ in range(count):
                        done = send_to_program(conn, "to@latency.test", BODY)
                        relayed.append(float(sink_lines.next_line()) - done)
                        floor.append(direct_delivery(sink_lines))
            finally:
                stop(process)
    finally:
        stop(sink)
    ms = {name: (statistics.median(v) * 1000, statistics.quantiles(v, n=20)[18] * 1000)
          for name, v in (("lumenpost", relayed), ("floor", floor))}
    ratio = ms["lumenpost"][0] / ms["floor"][0]
    ok = ratio <= 1.1
    print("lumenpost median %.2f ms p95 %.2f ms  floor (MX query + smtplib) median %.2f ms "
          "p95 %.2f ms  ratio of medians %.2f  target <= 1.1: %s"
          % (*ms["lumenpost"], *ms["floor"], ratio, "met" if ok else "MISSED"))
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
    args = bench_arguments(__doc__, 3, "fewer and smaller messages").parse_args()
    dnsmasq = start_dnsmasq()
    try:
        ok = relay_latency(args.program, 20 if args.quick else 200)
        ok &= large_message(args.program, args.runs, args.quick)
    finally:
        stop(dnsmasq)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
