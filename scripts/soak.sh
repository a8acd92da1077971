#!/usr/bin/env bash
# Soak test: the program runs headless for N minutes (30 by default) under a steady mix of
# messages against dnsmasq and exchangers on 127.0.0.140 to .145 (see bench/soak.py), and
# prints per minute its counts, RSS, descriptors, threads and queue files. Never part of
# the test command; needs root for the ports 25 and 53.
#   scripts/soak.sh [--minutes N] [--rate MSGS_PER_S] [--clients N]
# Builds the program in build-bench/ as scripts/bench.sh configures it. Exits non-zero when
# an accepted message has no outcome or RSS, descriptors or threads are not flat.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages dnsmasq-base python3-aiosmtpd
cmake -S "$ROOT" -B "$ROOT/build-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMENPOST_BENCH=ON \
    -DLUMENPOST_TESTS=OFF >/dev/null
cmake --build "$ROOT/build-bench" --target lumenpost --parallel "$(nproc)"
exec /usr/bin/python3 "$ROOT/bench/soak.py" --program "$ROOT/build-bench/lumenpost" "$@"
