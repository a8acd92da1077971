#!/usr/bin/env bash
# Builds the Debian package build-deb/lumenpost_<version>_<arch>.deb from this tree and
# prints lintian's verdict on it (non-zero exit when lintian finds an error). The
# version is the one of project() in CMakeLists.txt, as `lumenpost --version` shows it.
# The packaging files live in packaging/debian/; the build works on a copy of the tree
# in build-deb/src/, so the tree itself stays as it is.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

PACKAGE_PACKAGES=(debhelper dpkg-dev lintian desktop-file-utils appstream librsvg2-bin)
OUT="$ROOT/build-deb"
SRC="$OUT/src"

cmake_version() {
    sed -n 's/^project(lumenpost VERSION \([0-9][0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt"
}

# The tree without build folders and version-control data.
copy_tree() {
    rm -rf "$OUT"
    mkdir -p "$SRC"
    tar -C "$ROOT" --anchored --exclude='./build*' --exclude=./.git --exclude=./.cache \
        --exclude=./fuzz/out --exclude='*/__pycache__' --exclude=./compile_commands.json \
        -cf - . | tar -C "$SRC" -xf -
    cp -r "$ROOT/packaging/debian" "$SRC/debian"
}

# debian/changelog carries the version; it is written here so that CMakeLists.txt stays
# the one place to change it. Dated by the last commit, so a rebuild gives the same package.
write_changelog() {
    local version="$1"
    local maintainer date
    maintainer="$(sed -n 's/^Maintainer: //p' "$SRC/debian/control")"
    date="$(git -C "$ROOT" log -1 --format=%aD 2>/dev/null || date -R)"
    cat >"$SRC/debian/changelog" <<CHANGELOG
lumenpost ($version) unstable; urgency=medium

  * Lumenpost $version, packaged by scripts/package.sh.

 -- $maintainer  $date
CHANGELOG
}

# The menu entry and the AppStream data are checked before a long build, not after.
validate_desktop_data() {
    desktop-file-validate "$ROOT/packaging/lumenpost.desktop"
    appstreamcli validate --no-net --pedantic "$ROOT/packaging/lumenpost.metainfo.xml"
}

ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
VERSION="$(cmake_version)"
if [ -z "$VERSION" ]; then
    echo "package.sh: no 'project(lumenpost VERSION x.y.z ...)' line in CMakeLists.txt" >&2
    exit 1
fi
validate_desktop_data
copy_tree
write_changelog "$VERSION"

echo "== Building lumenpost $VERSION (log: $OUT/build.log)"
if ! (cd "$SRC" && DEB_BUILD_OPTIONS="parallel=2 nocheck" \
        nice -n 19 dpkg-buildpackage -us -uc -b >"$OUT/build.log" 2>&1); then
    tail -n 40 "$OUT/build.log" >&2
    echo "package.sh: the package build failed; the whole log is $OUT/build.log" >&2
    exit 1
fi

DEB="$OUT/lumenpost_${VERSION}_$(dpkg --print-architecture).deb"
echo "== Package: $DEB"
echo "== lintian"
lintian --display-info "$DEB"
echo "== lintian found no error"
