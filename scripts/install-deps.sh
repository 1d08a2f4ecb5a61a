#!/usr/bin/env bash
# Installs the Debian packages Tolvane needs to build and test, when any is missing.
# Usage: scripts/install-deps.sh [--gui] [--fuzz]
set -euo pipefail

packages=(
    build-essential cmake ninja-build ccache pkg-config git
    libsqlite3-dev libcurl4-openssl-dev libexpat1-dev libssl-dev libasio-dev
    libcli11-dev nlohmann-json3-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    python3 python3-pyftpdlib vsftpd tinyproxy openssl curl
)
for arg in "$@"; do
    case "$arg" in
        --gui) packages+=(qt6-base-dev qt6-base-dev-tools libgl-dev) ;;
        # The libFuzzer targets (fuzz/) build with clang and its runtime libraries.
        --fuzz) packages+=(clang libclang-rt-14-dev) ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    SUDO=""
    [[ $(id -u) -ne 0 ]] && SUDO="sudo"
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The FTP and proxy servers are started by the tests themselves, on loopback, with their own
# configuration; the system-wide services the packages start are not needed.
for svc in vsftpd tinyproxy; do
    if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet "$svc" 2>/dev/null; then
        ${SUDO:-} systemctl stop "$svc" || true
    fi
done
