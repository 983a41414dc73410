#!/usr/bin/env bash
# Set-up, a release build (which also generates the demo card images), and the
# main job on the demo cards: the FAT card's information, a card image of it,
# and the recovery of that image (some pictures were deleted) and of a copy of
# the card that was quick-formatted over its pictures; then the recovery of
# the exFAT card (pictures in folders, some deleted, and a movie of more
# clusters than a FAT16 card can have).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
cli=build/release/cli/lumenkeeper-cli
demo=build/release/demo

echo "== lumenkeeper-cli info $demo/demo_card.img"
"$cli" info "$demo/demo_card.img"
echo
echo "== lumenkeeper-cli duplicate $demo/demo_card.img $demo/demo_card.cib"
rm -f "$demo/demo_card.cib"
"$cli" duplicate "$demo/demo_card.img" "$demo/demo_card.cib"
"$cli" info "$demo/demo_card.cib"

for card in demo_card.cib demo_card_formatted.img; do
  out="$demo/recovered/${card%.*}"
  rm -rf "$out"
  echo
  echo "== lumenkeeper-cli recover $demo/$card --output $out --list"
  "$cli" recover "$demo/$card" --output "$out" --list
  echo "== compared with the files that were put on the card:"
  tools/compare_recovered.sh "$demo/originals" "$out"
done

if [[ -f "$demo/demo_exfat.img" ]]; then
  out="$demo/recovered/demo_exfat"
  rm -rf "$out"
  echo
  echo "== lumenkeeper-cli recover $demo/demo_exfat.img --output $out --list"
  "$cli" recover "$demo/demo_exfat.img" --output "$out" --list
  echo "== compared with the files that were put on the card:"
  tools/compare_recovered.sh "$demo/originals_exfat" "$out"
fi
