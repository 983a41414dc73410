#!/usr/bin/env bash
# Screenshots of every window of the desktop application on the demo card,
# under Xvfb, at a device pixel ratio of 1 and of 2. Run by hand (not by CI):
#
#   scripts/screenshots.sh              # English
#   scripts/screenshots.sh de ja ru     # in these languages (two-letter codes)
#
# Writes build/release/screenshots/1x/*.png and build/release/screenshots/2x/*.png,
# or build/release/screenshots/<code>/1x/*.png and .../2x/*.png for each language.
# The language reaches the program as a user's locale does (LC_ALL).
# Needs Xvfb and xauth (installed here with apt-get when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

missing=()
command -v Xvfb >/dev/null || missing+=(xvfb)
command -v xauth >/dev/null || missing+=(xauth)
if [[ ${#missing[@]} -gt 0 ]]; then
  sudo_cmd=()
  [[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
  echo "Installing: ${missing[*]}" >&2
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

cmake --preset release >/dev/null
cmake --build --preset release --target lumenkeeper lk-screenshots lk_demo_card
out=build/release/screenshots
languages=("$@")
[[ ${#languages[@]} -gt 0 ]] || languages=(en)
for code in "${languages[@]}"; do
  # Chinese as written in China and in Taiwan; every other code is its language.
  case "$code" in
    zh) locale=zh_CN.UTF-8 ;;
    tw) locale=zh_TW.UTF-8 ;;
    *) locale=$code.UTF-8 ;;
  esac
  dir=$out
  [[ $# -eq 0 ]] || dir=$out/$code
  rm -rf "$dir/1x" "$dir/2x"
  for scale in 1 2; do
    echo "== $code, QT_SCALE_FACTOR=$scale"
    LC_ALL=$locale QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=$scale \
      xvfb-run -a -s "-screen 0 2560x1600x24" \
      build/release/ui/lk-screenshots build/release/demo/demo_card.img "$dir/${scale}x" \
      | grep -v '^add_recovered_file\|^read_\|^recover\|^FAT\|^---\|^validate\|^forget'
  done
done
