#!/usr/bin/env bash
# Builds Tolvane and runs every test: the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the threaded suites under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/ccache}"
# Clones in other folders share the cache: paths are hashed relative to the checkout.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=1
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

build() { # build <dir> <sanitizers> [target]
    cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_SANITIZE="$2" \
        -DTOLVANE_BUILD_TESTS=ON >/dev/null
    cmake --build "$1" -j "$jobs" ${3:+--target "$3"}
}

echo "== ASan/UBSan build and full suite"
build build/asan "address,undefined"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

echo "== TSan build and threaded suites"
build build/tsan "thread" threaded_tests
# Newer kernels randomise mmap beyond what this TSan runtime maps; run without ASLR.
setarch "$(uname -m)" -R ctest --test-dir build/tsan --output-on-failure -j "$jobs" -L threaded
