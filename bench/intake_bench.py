#!/usr/bin/python3
"""Intake benchmarks 1 and 2 of scripts/bench.sh, all on loopback.

1: the server component (lumenpost_intake_server) against Postfix's smtp-sink and an
   aiosmtpd sink, each driven by the same smtp-source run (2 sessions; 1 KiB and
   100 KiB; one connection per session and one per message).
2: the built program with its 3 ms pause before each command, on one kept connection,
   against the floor the pause sets (three paused commands per message); then (2a, 2b)
   the same program driven by smtp-source -s 2 with 1 KiB messages, on kept connections
   (floor 2 x 1000 / 9 msgs/s) and with one connection per message (EHLO, MAIL, RCPT,
   DATA and QUIT paused: floor 2 x 1000 / 15 msgs/s).

Every figure is the median of several runs; each peer is started afresh for each run
and stopped by its process id.
"""
import argparse
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

WAIT = 20.0  # seconds any single wait may take
SOURCE = "/usr/sbin/smtp-source"
SINK = "/usr/sbin/smtp-sink"


def free_port(host="127.0.0.1"):
    with socket.socket() as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def wait_listening(port, process, host="127.0.0.1"):
    deadline = time.monotonic() + WAIT
    while time.monotonic() < deadline and process.poll() is None:
        try:
            with socket.create_connection((host, port), timeout=1):
                return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError("%s did not start listening on %s:%d" % (process.args[0], host, port))


def stop(process):
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
    try:
        out, _ = process.communicate(timeout=WAIT)
    except subprocess.TimeoutExpired:
        process.kill()
        out, _ = process.communicate()
    return out.decode(errors="replace") if out else ""


def start(args, port, env=None, host="127.0.0.1", stdout=subprocess.PIPE):
    """Starts a peer and waits until it listens on host:port. Its output goes to a pipe
    that `stop` reads, or to the file object `stdout` for a peer that prints more than a
    pipe holds."""
    process = subprocess.Popen(args, stdout=stdout, stderr=subprocess.DEVNULL, env=env)
    wait_listening(port, process, host)
    # Time for the peer to release the probe's session, which would otherwise count
    # against a limit of two sessions.
    time.sleep(0.2)
    return process


# With one connection per message, smtp-source reconnects as soon as it has read the
# reply to QUIT, before the server has seen the old connection close; at MaxUser 2 the
# new connection is then refused with 502. Those runs give the server room for the two
# sessions that are still closing.
PER_MESSAGE_MAX_USER = 4


def peers(intake_server, max_user):
    return {
        "lumenpost": lambda port: [intake_server, str(port), str(max_user)],
        # As root, smtp-sink insists on dropping to another user.
        "smtp-sink": lambda port: [SINK, "-u", "nobody", "127.0.0.1:%d" % port, "256"],
        "aiosmtpd": lambda port: ["/usr/bin/python3", "-m", "aiosmtpd", "-n",
                                  "-c", "aiosmtpd.handlers.Sink", "-l", "127.0.0.1:%d" % port],
    }


# smtp-source sends no RSET between the messages of a kept connection, and the server
# holds at most 100 recipients until one: a kept connection carries at most 100 messages,
# so kept-connection runs are back-to-back batches of 100 messages, which no session
# can exceed however the two share them.
KEPT_BATCH = 100


def source_rate(port, size, count, kept):
    batch = KEPT_BATCH if kept else count
    args = [SOURCE, "-s", "2", "-m", str(batch), "-l", str(size), "-M", "bench.example",
            "-f", "from@bench.example", "-t", "to@bench.example"]
    if kept:
        args.append("-d")
    args.append("127.0.0.1:%d" % port)
    begin = time.monotonic()
    for _ in range(count // batch):
        result = subprocess.run(args, capture_output=True, timeout=300)
        if result.returncode != 0:
            raise RuntimeError("smtp-source failed: %s" % result.stderr.decode(errors="replace"))
    return count / (time.monotonic() - begin)


def intake_component(intake_server, runs, quick):
    print("== Benchmark 1: intake of the server component (msgs/s, median of %d runs)" % runs)
    cases = [(1024, 400 if quick else 2000), (100 * 1024, 200 if quick else 400)]
    ok = True
    for size, count in cases:
        for kept in (True, False):
            max_user = 2 if kept else PER_MESSAGE_MAX_USER
            rates = {name: [] for name in peers(intake_server, max_user)}
            for _ in range(runs):
                for name, command in peers(intake_server, max_user).items():
                    port = free_port()
                    process = start(command(port), port)
                    try:
                        rates[name].append(source_rate(port, size, count, kept))
                    finally:
                        report = stop(process)
                    if name == "lumenpost" and not report.startswith("received %d " % count):
                        raise RuntimeError("the intake server counted otherwise: " + report)
            median = {name: statistics.median(values) for name, values in rates.items()}
            mode = "one connection per session" if kept else "one connection per message"
            mode += ", MaxUser %d" % max_user
            print("%4d KiB, %s, %d msgs: lumenpost %.0f  smtp-sink %.0f  aiosmtpd %.0f  "
                  "ratio to smtp-sink %.2f  ratio to aiosmtpd %.2f"
                  % (size // 1024, mode, count, median["lumenpost"], median["smtp-sink"],
                     median["aiosmtpd"], median["lumenpost"] / median["smtp-sink"],
                     median["lumenpost"] / median["aiosmtpd"]))
            if size == 1024:
                ok &= median["lumenpost"] >= 0.9 * median["smtp-sink"]
                ok &= median["lumenpost"] >= 3 * median["aiosmtpd"]
    print("target at 1 KiB (>= 0.9 x smtp-sink and >= 3 x aiosmtpd): %s"
          % ("met" if ok else "MISSED"))
    return ok


def read_reply(conn):
    data = b""
    while True:
        chunk = conn.recv(4096)
        if not chunk:
            raise RuntimeError("the program closed the connection")
        data += chunk
        lines = data.split(b"\r\n")
        # A reply ends with a complete line whose fourth octet is a space.
        if len(lines) > 1 and len(lines[-2]) >= 4 and lines[-2][3:4] == b" ":
            return data


def ask(conn, line, code):
    conn.sendall(line)
    reply = read_reply(conn)
    if not reply.startswith(code):
        raise RuntimeError("%r answered %r" % (line, reply))


def kept_connection_rate(port, count):
    body = b"Subject: bench\r\n\r\n" + b"x" * 1000 + b"\r\n.\r\n"
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as conn:
        read_reply(conn)
        ask(conn, b"EHLO bench.example\r\n", b"250")
        begin = time.monotonic()
        for _ in range(count):
            ask(conn, b"MAIL FROM:<from@bench.example>\r\n", b"250")
            ask(conn, b"RCPT TO:<to@bench.example>\r\n", b"250")
            ask(conn, b"DATA\r\n", b"354")
            ask(conn, body, b"250")
        elapsed = time.monotonic() - begin
        conn.sendall(b"QUIT\r\n")
    return count / elapsed


def program_env(home, dns="127.0.0.9", settings=""):
    """The program's environment under `home`: settings, runtime folder and queue (in
    home/data/lumenpost/queue) of its own. `settings` adds lines to [config]."""
    env = dict(os.environ)
    env["XDG_CONFIG_HOME"] = os.path.join(home, "config")
    env["XDG_RUNTIME_DIR"] = os.path.join(home, "run")
    env["XDG_DATA_HOME"] = os.path.join(home, "data")
    os.makedirs(env["XDG_CONFIG_HOME"], exist_ok=True)
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
    # By default relay passes ask a loopback address where nothing answers, so they fail
    # quietly.
    with open(os.path.join(env["XDG_CONFIG_HOME"], "lumenpost.ini"), "w") as ini:
        ini.write("[config]\ndns=%s\nautobeep=0\nautoback=0\n%s" % (dns, settings))
    return env


def program_intake(program, runs, quick):
    count = 60 if quick else 99  # at most 100 recipients per connection without RSET
    floor = 1000.0 / 9
    print("== Benchmark 2: intake of the program, kept connection, %d msgs of 1 KiB, "
          "median of %d runs" % (count, runs))
    rates = []
    for _ in range(runs):
        with tempfile.TemporaryDirectory() as home:
            port = free_port()
            process = start([program, "--headless", "--listen", "127.0.0.1:%d" % port], port,
                            env=program_env(home))
            try:
                rates.append(kept_connection_rate(port, count))
            finally:
                stop(process)
    median = statistics.median(rates)
    ok = median >= 0.97 * floor
    print("lumenpost %.1f msgs/s  floor %.1f msgs/s  ratio %.3f  target >= 0.97: %s"
          % (median, floor, median / floor, "met" if ok else "MISSED"))
    return ok


# Paused commands per message of one smtp-source session: MAIL, RCPT and DATA on a kept
# connection; EHLO and QUIT as well with a connection per message.
PAUSED_COMMANDS = {True: 3, False: 5}
PAUSE_MS = 3


def one_connection_message(port, body):
    """One message on a connection of its own; returns once the server has closed it, as
    a client that waits for the end of its session before opening the next one."""
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as conn:
        if not read_reply(conn).startswith(b"220"):
            raise RuntimeError("the program refused the connection")
        ask(conn, b"EHLO bench.example\r\n", b"250")
        ask(conn, b"MAIL FROM:<from@bench.example>\r\n", b"250")
        ask(conn, b"RCPT TO:<to@bench.example>\r\n", b"250")
        ask(conn, b"DATA\r\n", b"354")
        ask(conn, body, b"250")
        ask(conn, b"QUIT\r\n", b"221")
        while conn.recv(4096):
            pass


def closing_sessions_rate(port, count, sessions=2):
    """Messages per second of `sessions` threads, each sending its share of `count`
    messages with one connection per message, reconnecting only after the server has
    closed the previous connection."""
    body = b"Subject: bench\r\n\r\n" + b"x" * 1000 + b"\r\n.\r\n"
    failures = []

    def session():
        try:
            for _ in range(count // sessions):
                one_connection_message(port, body)
        except (OSError, RuntimeError) as error:
            failures.append(error)

    threads = [threading.Thread(target=session) for _ in range(sessions)]
    begin = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    elapsed = time.monotonic() - begin
    if failures:
        raise RuntimeError("a session failed: %s" % failures[0])
    return count / elapsed


def source_or_refusal(port, count, kept):
    """smtp-source's rate, or None when the program refused one of its connections."""
    try:
        return source_rate(port, 1024, count, kept)
    except RuntimeError as error:
        if "502" not in str(error):
            raise
        print("  smtp-source was refused: %s" % str(error).strip().splitlines()[-1])
        return None


def program_source_intake(program, runs, quick):
    """The program as configured (two sessions at most, the pause before each command)
    driven by smtp-source -s 2 with 1 KiB messages, against the floor that the pauses of
    two sessions running side by side set."""
    ok = True
    for kept in (True, False):
        count = (200 if quick else 600) if kept else (100 if quick else 200)
        floor = 2 * 1000.0 / (PAUSE_MS * PAUSED_COMMANDS[kept])
        mode = "kept connection" if kept else "one connection per message"
        print("== Benchmark 2%s: intake of the program, smtp-source -s 2, %s, %d msgs of "
              "1 KiB, median of %d runs" % ("a" if kept else "b", mode, count, runs))
        rates, closing = [], []
        for _ in range(runs):
            with tempfile.TemporaryDirectory(dir="/var/tmp") as home:
                port = free_port()
                process = start([program, "--headless", "--listen", "127.0.0.1:%d" % port],
                                port, env=program_env(home))
                try:
                    rate = source_or_refusal(port, count, kept)
                    if rate is not None:
                        rates.append(rate)
                    if not kept:
                        closing.append(closing_sessions_rate(port, count))
                finally:
                    stop(process)
        met = len(rates) == runs and statistics.median(rates) >= 0.97 * floor
        ok &= met
        if rates:
            median = statistics.median(rates)
            print("lumenpost %.1f msgs/s  floor %.1f msgs/s  ratio %.3f  target >= 0.97: %s  "
                  "[runs: %s; refused: %d]"
                  % (median, floor, median / floor, "met" if met else "MISSED",
                     ", ".join("%.1f" % r for r in rates), runs - len(rates)))
        else:
            print("smtp-source refused in every run: target MISSED")
        if closing:
            median = statistics.median(closing)
            print("  two Python sessions that reconnect after the server's close: %.1f msgs/s  "
                  "ratio to the floor %.3f  [runs: %s]"
                  % (median, median / floor, ", ".join("%.1f" % r for r in closing)))
        if kept:
            # Each batch of 100 also pauses before one EHLO and one QUIT per session.
            per_session = KEPT_BATCH // 2 * PAUSED_COMMANDS[True] + 2
            print("  (with the EHLO and QUIT of each batch of %d, the pauses alone allow "
                  "%.1f msgs/s)" % (KEPT_BATCH, KEPT_BATCH * 1000.0 / (per_session * PAUSE_MS)))
    return ok


def bench_arguments(doc, runs, quick_help, intake_server=False):
    """The options every benchmark script takes: the program (and the intake server),
    runs per figure and the quick mode."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    if intake_server:
        parser.add_argument("--intake-server", required=True)
    parser.add_argument("--program", required=True)
    parser.add_argument("--runs", type=int, default=runs)
    parser.add_argument("--quick", action="store_true", help=quick_help)
    return parser


def main():
    parser = bench_arguments(__doc__, 5, "fewer messages per run", True)
    parser.add_argument("--only", default="1,2", help="which benchmarks, e.g. 2")
    args = parser.parse_args()
    only = args.only.split(",")
    ok = True
    if "1" in only:
        ok &= intake_component(args.intake_server, args.runs, args.quick)
    if "2" in only:
        ok &= program_intake(args.program, args.runs, args.quick)
        ok &= program_source_intake(args.program, args.runs, args.quick)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
