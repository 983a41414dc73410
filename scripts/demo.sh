#!/usr/bin/env bash
# Set-up, a release build (which also generates the demo card image), and the
# main job on that card.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
cli=build/release/cli/lumenkeeper-cli
demo=build/release/demo
echo "== lumenkeeper-cli info $demo/demo_card.img"
"$cli" info "$demo/demo_card.img"
echo "== lumenkeeper-cli duplicate $demo/demo_card.img $demo/demo_card.cib"
"$cli" duplicate "$demo/demo_card.img" "$demo/demo_card.cib"
"$cli" info "$demo/demo_card.cib"
