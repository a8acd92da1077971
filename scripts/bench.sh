#!/usr/bin/env bash
# Runs every benchmark of bench/ on loopback and prints each figure beside its
# reference peer and target. Never part of the test command.
#   scripts/bench.sh [--quick]     (--quick: fewer messages and runs, for a smoke check)
# Builds into build-bench/ with LUMENPOST_BENCH=ON. Installs Postfix for smtp-source
# and smtp-sink if missing, without letting its daemon start. Exits non-zero when a
# target is missed.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

BUILD="$ROOT/build-bench"
RUNS=5
QUICK=()
if [ "${1:-}" = "--quick" ]; then
    RUNS=1
    QUICK=(--quick)
fi

# policy-rc.d answering 101 keeps the package from starting its mail system; a policy
# file that was already there is left as it is.
install_postfix_quietly() {
    local policy=/usr/sbin/policy-rc.d
    local created=0
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | as_root tee "$policy" >/dev/null
        as_root chmod +x "$policy"
        created=1
    fi
    ensure_packages postfix
    if [ "$created" -eq 1 ]; then
        as_root rm -f "$policy"
    fi
    if ps -C master -o pid=,args= | grep -q postfix; then
        echo "bench.sh: a Postfix master process runs; stop it (postfix stop) first" >&2
        exit 1
    fi
}

if [ ! -x /usr/sbin/smtp-source ] || [ ! -x /usr/sbin/smtp-sink ] || [ ! -x /usr/sbin/postfix ]; then
    install_postfix_quietly
fi
ensure_packages libbenchmark-dev python3-aiosmtpd
build_tree build-bench -DCMAKE_BUILD_TYPE=Release -DLUMENPOST_BENCH=ON -DLUMENPOST_TESTS=OFF

status=0
# Benchmarks 1 and 2: intake of the server component and of the program (2: one
# session of a Python client, then two smtp-source sessions, kept and one connection
# per message).
/usr/bin/python3 "$ROOT/bench/intake_bench.py" --runs "$RUNS" "${QUICK[@]}" \
    --intake-server "$BUILD/bench/lumenpost_intake_server" --program "$BUILD/lumenpost" ||
    status=1
# Benchmarks 3 (relay latency against a throwaway Postfix on 127.0.0.38 and
# bench/mini_relay.py on 127.0.0.39) and 4 (one 100 MiB message): dnsmasq on 127.0.0.30
# and exchangers on 127.0.0.31/32 port 25, hence root.
/usr/bin/python3 "$ROOT/bench/relay_bench.py" --runs "$(( RUNS < 3 ? RUNS : 3 ))" "${QUICK[@]}" \
    --program "$BUILD/lumenpost" ||
    status=1
# Benchmarks 6 to 8 (mail queue; 7 at 1 KiB and 100 KiB): dnsmasq on 127.0.0.40 and an
# exchanger on 127.0.0.41 port 25, and a throwaway Postfix under /var/tmp that is stopped
# after each run.
/usr/bin/python3 "$ROOT/bench/queue_bench.py" --runs "$(( RUNS < 3 ? RUNS : 3 ))" "${QUICK[@]}" \
    --program "$BUILD/lumenpost" --intake-server "$BUILD/bench/lumenpost_intake_server" ||
    status=1
# Benchmark 9 (queue flush): dnsmasq on 127.0.0.130, the exchanger on 127.0.0.131 port 25
# and a throwaway Postfix on 127.0.0.132.
/usr/bin/python3 "$ROOT/bench/flush_bench.py" --runs "$(( RUNS < 3 ? RUNS : 3 ))" "${QUICK[@]}" \
    --program "$BUILD/lumenpost" ||
    status=1
echo "== Benchmark 5: micro benchmarks (median of $RUNS repetitions)"
"$BUILD/bench/lumenpost_micro_bench" --benchmark_repetitions="$RUNS" \
    --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 ||
    status=1
if [ -x "$BUILD/bench/lumenpost_queue_window_bench" ]; then
    echo "== The queue window over 10 000 deferred recipients (median of $RUNS repetitions)"
    "$BUILD/bench/lumenpost_queue_window_bench" --benchmark_repetitions="$RUNS" \
        --benchmark_report_aggregates_only=true ||
        status=1
fi
exit "$status"
