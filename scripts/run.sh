#!/usr/bin/env bash
# Builds and starts the Tolvane desktop program.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "The desktop program has not been built yet; see README.md for what exists." >&2
exit 1
