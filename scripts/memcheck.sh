#!/usr/bin/env bash
# Runs the end-to-end tests once with every start of the program under Valgrind's memcheck
# (one log per process in build-memcheck/memcheck-logs/), then says for each process
# whether memcheck found errors. Exits non-zero when a test fails or a process has errors.
# Extra arguments go to ctest, e.g. -R e2e.queue.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" valgrind

TREE="$ROOT/build-memcheck"
LOGS="$TREE/memcheck-logs"
ERROR_STATUS=99 # not a status of the program's own
# The tests' waits and time limits grow by this factor: the program runs many times slower.
FACTOR="${LUMENPOST_E2E_WAIT_FACTOR:-8}"

build_memcheck_tree() {
    local launcher=()
    if command -v ccache >/dev/null; then
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    fi
    cmake -S "$ROOT" -B "$TREE" -G Ninja -DLUMENPOST_TESTS=ON "${launcher[@]}" \
        -DLUMENPOST_E2E_TIMEOUT_FACTOR="$FACTOR" >/dev/null
    cmake --build "$TREE" --target lumenpost --parallel "$(nproc)"
}

run_tests() {
    local valgrind=(valgrind --tool=memcheck --error-exitcode="$ERROR_STATUS"
                    --errors-for-leak-kinds=definite --leak-check=full --track-fds=no
                    --num-callers=40 --gen-suppressions=all
                    --suppressions="$ROOT/tests/memcheck.supp" --log-file="$LOGS/%p.log")
    rm -rf "$LOGS"
    mkdir -p "$LOGS"
    # Qt's regular expressions run code that PCRE2 compiles at run time, in which memcheck
    # sees uninitialised reads it cannot tell from real ones: Qt then interprets them.
    LUMENPOST_E2E_WRAPPER="$(printf '%q ' "${valgrind[@]}")" \
        LUMENPOST_E2E_WAIT_FACTOR="$FACTOR" QT_QPA_PLATFORM=offscreen QT_ENABLE_REGEXP_JIT=0 \
        ctest --test-dir "$TREE" -L e2e --output-on-failure --parallel 2 "$@"
}

# report_log FILE: prints one line for the process of the log; fails if it had errors.
report_log() {
    local log="$1" pid command errors
    pid="$(basename "$log" .log)"
    command="$(sed -n 's/^==[0-9]*== Command: //p' "$log" | head -n 1)"
    errors="$(sed -n 's/^==[0-9]*== ERROR SUMMARY: \([0-9]*\) errors.*/\1/p' "$log" | tail -n 1)"
    if [ -z "$errors" ]; then
        # Killed (SIGKILL) before memcheck could sum up: errors show as stack traces.
        if grep -qE '^==[0-9]+== +at 0x' "$log"; then
            echo "ERRORS  $pid (killed)  $command"
            return 1
        fi
        echo "ok      $pid (killed, no leak check)  $command"
    elif [ "$errors" -ne 0 ]; then
        echo "ERRORS  $pid ($errors)  $command"
        return 1
    else
        echo "ok      $pid  $command"
    fi
}

report_logs() {
    local status=0 count=0 log
    for log in "$LOGS"/*.log; do
        [ -e "$log" ] || continue
        count=$((count + 1))
        report_log "$log" || status=1
    done
    echo "memcheck: $count process(es) checked, logs in $LOGS"
    if [ "$count" -eq 0 ]; then
        echo "memcheck: no process ran under valgrind" >&2
        return 1
    fi
    return "$status"
}

build_memcheck_tree
status=0
run_tests "$@" || status=1
report_logs || status=1
exit "$status"
