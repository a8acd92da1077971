#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite twice: a normal build
# and one with AddressSanitizer and UndefinedBehaviorSanitizer. A third, headless-only
# build (no QtWidgets) runs every test that does not need the window. Exits non-zero on
# any failure.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
ensure_test_locale

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$ROOT/tests/lsan.supp:print_suppressions=0"
export QT_QPA_PLATFORM=offscreen

status=0
# run_suite TREE [CMAKE_OPTIONS...]
run_suite() {
    local tree="$1"
    shift
    echo "== $tree =="
    build_tree "$tree" -DLUMENPOST_TESTS=ON "$@"
    if ! ctest --test-dir "$ROOT/$tree" --output-on-failure --timeout 600; then
        status=1
    fi
}

run_suite build
run_suite build-asan -DLUMENPOST_SANITIZE=ON
run_suite build-nogui -DLUMENPOST_GUI=OFF
exit "$status"
