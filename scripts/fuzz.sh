#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang into build-fuzz/ and runs each for
# the given number of seconds (default 30): all of them, or only those named after the
# seconds, e.g. `scripts/fuzz.sh 600 envelope hop_counter`. Seeds come from
# fuzz/corpus/<target>/; what the fuzzer learns goes to build-fuzz/corpus/<target>/,
# crash inputs to build-fuzz/artifacts/<target>/. Exits non-zero when any target fails.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build-fuzz"
SECONDS_PER_TARGET="${1:-30}"
NAMES=("${@:2}")

if ! [[ "$SECONDS_PER_TARGET" =~ ^[0-9]+$ ]]; then
    echo "fuzz.sh: '$SECONDS_PER_TARGET' is not a number of seconds;" \
        "give the seconds first, e.g. scripts/fuzz.sh 600 envelope" >&2
    exit 2
fi
for name in "${NAMES[@]}"; do
    if [ ! -f "$ROOT/fuzz/${name}_fuzz.cpp" ]; then
        echo "fuzz.sh: no target '$name' (fuzz/${name}_fuzz.cpp is missing);" \
            "the targets are the <name>_fuzz.cpp files in fuzz/" >&2
        exit 2
    fi
done
if ! command -v clang++ >/dev/null; then
    echo "fuzz.sh: clang++ is missing; install clang and libclang-rt-dev" >&2
    exit 1
fi

cmake -S "$ROOT/fuzz" -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
if [ "${#NAMES[@]}" -eq 0 ]; then
    cmake --build "$BUILD" --parallel 2
    targets=("$BUILD"/fuzz_*)
else
    cmake --build "$BUILD" --parallel 2 --target "${NAMES[@]/#/fuzz_}"
    targets=("${NAMES[@]/#/$BUILD/fuzz_}")
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

status=0
for target in "${targets[@]}"; do
    [ -x "$target" ] && [ -f "$target" ] || continue
    name="${target##*/fuzz_}"
    seeds="$ROOT/fuzz/corpus/$name"
    work="$BUILD/corpus/$name"
    artifacts="$BUILD/artifacts/$name/"
    mkdir -p "$work" "$artifacts" "$seeds"
    options=()
    if [ -f "$ROOT/fuzz/$name.options" ]; then
        read -r -a options <"$ROOT/fuzz/$name.options"
    fi
    echo "== $name: ${SECONDS_PER_TARGET}s =="
    if ! "$target" -max_total_time="$SECONDS_PER_TARGET" -artifact_prefix="$artifacts" \
        -print_final_stats=1 "${options[@]}" "$work" "$seeds"; then
        echo "fuzz.sh: $name failed; the input is in $artifacts" >&2
        status=1
    fi
done
exit "$status"
