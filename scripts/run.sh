#!/usr/bin/env bash
# Installs what is missing, builds, and starts the relay with the given arguments.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}"
build_tree build -DLUMENPOST_TESTS=OFF
exec "$ROOT/build/lumenpost" "$@"
