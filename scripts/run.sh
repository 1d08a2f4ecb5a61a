#!/usr/bin/env bash
# Builds Tolvane (Release) and starts it. The desktop window is not part of the build yet, so
# this starts the command-line program over the same engine and database:
#   scripts/run.sh                 lists the sites
#   scripts/run.sh ARGS...         runs tolvane-cli ARGS... (e.g. "run" for the scheduler)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
# Clones in other folders share the cache: paths are hashed relative to the checkout.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BUILD_TESTS=OFF \
    >/dev/null
cmake --build build/release -j "$(nproc)" --target tolvane-cli

if (($# == 0)); then
    set -- sites
fi
exec build/release/src/cli/tolvane-cli "$@"
