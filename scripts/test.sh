#!/usr/bin/env bash
# Set-up, a debug build with AddressSanitizer and UBSan, and every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset debug >/dev/null
cmake --build --preset debug
ctest --preset debug -j "$(nproc)"
