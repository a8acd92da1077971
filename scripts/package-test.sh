#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh), installs it with apt-get into a throwaway
# Debian 12 root made by mmdebstrap from this machine's apt sources, and checks what it
# put in place: the version, the manual page, the menu entry, the port 25 capability (a
# relay run as nobody answers on port 25 in a network namespace of its own), the user
# unit (present, not enabled); then removes the package and checks that none of its files
# is left. Needs root (mmdebstrap, chroot, setcap); skips otherwise. CI does not run it.
#   scripts/package-test.sh [--no-build]   (--no-build: take the package already built)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "package-test.sh: skipped: needs root (mmdebstrap, chroot and setcap)"
    exit 0
fi

OUT="$ROOT/build-deb"
VERSION="$(sed -n 's/^project(lumenpost VERSION \([0-9][0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")"
DEB_NAME="lumenpost_${VERSION}_$(dpkg --print-architecture).deb"
FAILURES=0
CHECKS=0

ensure_packages mmdebstrap util-linux iproute2 file

if [ "${1:-}" != "--no-build" ]; then
    timeout 3600 "$ROOT/scripts/package.sh"
fi
if [ ! -f "$OUT/$DEB_NAME" ]; then
    echo "package-test.sh: $OUT/$DEB_NAME is missing; run scripts/package.sh" >&2
    exit 1
fi

CHROOT="$(mktemp -d /var/tmp/lumenpost-package-test.XXXXXX)"
remove_chroot() {
    # mmdebstrap unmounts what it mounted; --one-file-system keeps rm away from anything
    # a failed run may have left mounted.
    rm -rf --one-file-system "$CHROOT"
}
trap remove_chroot EXIT

# check NAME COMMAND...: runs one check and counts it.
check() {
    local name="$1"
    shift
    CHECKS=$((CHECKS + 1))
    if "$@"; then
        echo "ok: $name"
    else
        echo "FAILED: $name"
        FAILURES=$((FAILURES + 1))
    fi
}

in_root() {
    timeout 60 chroot "$CHROOT" "$@"
}

# The enabled apt sources of this machine, as mmdebstrap takes them (a file per mirror).
apt_sources() {
    local file
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        /etc/apt/sources.list.d/*.sources; do
        if [ -s "$file" ] && grep -q '^[^#]' "$file"; then
            printf '%s\n' "$file"
        fi
    done
}

make_root() {
    local sources=()
    mapfile -t sources < <(apt_sources)
    echo "== Making a Debian 12 root in $CHROOT from: ${sources[*]}"
    timeout 1800 mmdebstrap --quiet --mode=root --variant=apt \
        --include=man-db,desktop-file-utils \
        --customize-hook="copy-in $OUT/$DEB_NAME /root" \
        --customize-hook="chroot \"\$1\" sh -c 'cd /root && apt-get install -y ./$DEB_NAME'" \
        bookworm "$CHROOT" "${sources[@]}"
}

version_matches() {
    local shown
    shown="$(in_root lumenpost --version)"
    echo "   lumenpost --version: $shown"
    [ "$shown" = "lumenpost $VERSION" ]
}

has_port_capability() {
    local caps
    caps="$(in_root getcap /usr/bin/lumenpost)"
    echo "   getcap: $caps"
    [[ "$caps" == *cap_net_bind_service* ]]
}

unit_installed_not_enabled() {
    grep -qx 'ExecStart=/usr/bin/lumenpost --headless' \
        "$CHROOT/usr/lib/systemd/user/lumenpost.service" &&
        [ -z "$(find "$CHROOT/etc/systemd/user" -name 'lumenpost*' 2>/dev/null)" ]
}

icons_installed() {
    local size
    for size in 16 32 48 64 128 256; do
        file "$CHROOT/usr/share/icons/hicolor/${size}x${size}/apps/lumenpost.png" |
            grep -q "PNG image data, $size x $size" || return 1
    done
    [ -f "$CHROOT/usr/share/icons/hicolor/scalable/apps/lumenpost.svg" ]
}

# The relay, started as nobody, greets on port 25 of its own network namespace's loopback
# (no port of this machine is taken); it is stopped by its PID with SIGTERM.
nobody_listens_on_port_25() {
    timeout 60 unshare --net --mount --pid --fork --mount-proc="$CHROOT/proc" \
        bash -s "$CHROOT" <<'PROBE'
ip link set lo up
home=/tmp/nobody
mkdir -p "$1$home/run"
chown -R nobody:nogroup "$1$home"
chmod 700 "$1$home/run"
chroot "$1" setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env -i HOME=$home XDG_RUNTIME_DIR=$home/run PATH=/usr/bin:/bin \
    lumenpost --headless --listen 127.0.0.1:25 </dev/null >"$1$home/out" 2>&1 &
relay=$!
greeting=""
for _ in $(seq 1 50); do
    greeting="$(timeout 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/25 && IFS= read -r line <&3 &&
        printf "%s" "$line"' 2>/dev/null)" && break
    sleep 0.2
done
kill -TERM "$relay" 2>/dev/null
wait "$relay" 2>/dev/null
echo "   greeting on port 25 as nobody: ${greeting%$'\r'}"
sed 's/^/   relay: /' "$1$home/out"
[[ "$greeting" == 220* ]]
PROBE
}

# Every file of the package is gone after dpkg -r, and so is every folder it alone had.
nothing_left_after_removal() {
    local listed path left=0
    listed="$(in_root dpkg -L lumenpost)"
    in_root dpkg -r lumenpost >/dev/null
    while IFS= read -r path; do
        [ -n "$path" ] && [ "$path" != "/." ] || continue
        if [ -d "$CHROOT$path" ] && [ ! -L "$CHROOT$path" ]; then
            if ! in_root dpkg-query -S "$path" >/dev/null 2>&1 &&
                [ -z "$(ls -A "$CHROOT$path")" ]; then
                echo "   left behind: empty folder $path"
                left=1
            fi
        elif [ -e "$CHROOT$path" ] || [ -L "$CHROOT$path" ]; then
            echo "   left behind: $path"
            left=1
        fi
    done <<<"$listed"
    echo "   $(wc -l <<<"$listed") paths of dpkg -L checked"
    [ "$left" -eq 0 ]
}

make_root
echo "== Checks"
check "lumenpost --version prints $VERSION" version_matches
check "man -w finds lumenpost(1)" in_root man -w lumenpost
check "man -w finds lumenpost-sendmail(1)" in_root man -w lumenpost-sendmail
check "lumenpost-sendmail links to lumenpost" \
    test "$(readlink -f "$CHROOT/usr/bin/lumenpost-sendmail")" = "$CHROOT/usr/bin/lumenpost"
check "desktop-file-validate passes" \
    in_root desktop-file-validate /usr/share/applications/lumenpost.desktop
check "AppStream data installed" test -f "$CHROOT/usr/share/metainfo/org.example.lumenpost.metainfo.xml"
check "icons installed (SVG and six PNG sizes)" icons_installed
check "getcap shows cap_net_bind_service" has_port_capability
check "a relay run as nobody greets on port 25" nobody_listens_on_port_25
check "user unit installed and not enabled" unit_installed_not_enabled
check "dpkg -r leaves nothing of the package" nothing_left_after_removal

echo "$((CHECKS - FAILURES)) passed, $FAILURES failed"
[ "$FAILURES" -eq 0 ]
