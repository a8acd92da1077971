# Shared steps of the run and test scripts: install what is missing, then build.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

BUILD_PACKAGES=(build-essential cmake ninja-build qt6-base-dev libjpeg62-turbo-dev
                libasound2-dev libssl-dev libidn2-dev pkgconf netbase fonts-wqy-microhei
                qtkeychain-qt6-dev qt6-tools-dev qt6-l10n-tools)
TEST_PACKAGES=(libgtest-dev libgmock-dev dnsmasq-base swaks python3-aiosmtpd iproute2 openssl
               xvfb xauth locales)
# The documentation pictures: a virtual display with a window manager, a tray, clicks and
# captures, and the peers the mail goes through.
SHOT_PACKAGES=(xvfb openbox trayer xdotool imagemagick dnsmasq-base python3-aiosmtpd locales)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the named Debian packages that are not installed yet.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed'; then
            missing+=("$pkg")
        fi
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "Installing: ${missing[*]}" >&2
        as_root apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y --no-install-recommends "${missing[@]}"
    fi
}

# build_tree DIR [cmake options...]: configures DIR with the options, then builds it.
build_tree() {
    local dir="$1"
    shift
    cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja "$@" >/dev/null
    cmake --build "$ROOT/$dir" --parallel "$(nproc)"
}

# ensure_locale NAME: generates the UTF-8 locale NAME (such as de_DE) when it is missing.
ensure_locale() {
    if ! locale -a 2>/dev/null | grep -qi "^$1\.utf-\?8\$"; then
        as_root localedef -i "$1" -f UTF-8 "$1.UTF-8" || echo "$1.UTF-8 not available" >&2
    fi
}

# The mail date test checks that a German locale leaves the English names alone.
ensure_test_locale() {
    ensure_locale de_DE
}
