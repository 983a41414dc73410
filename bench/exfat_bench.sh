#!/usr/bin/env bash
# exFAT benchmark: a 2 GB camera card (500 pictures in DCIM folders, 3 movies,
# 100 pictures deleted), whose whole analysis is timed beside cat of it; and a
# sparse 256 GB card holding 1 GB of pictures, whose steps 1 to 4 (everything
# before carving) are timed, to show that they cost what the files and the
# bitmap cost, not what the card's size would. Peak memory for both. Prints
# figures; asserts nothing. Needs a release build first:
#
#   cmake --preset release && cmake --build --preset release
#   bench/exfat_bench.sh [WORK_DIR]          (about 5 GB of free space)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build/release}
work=${1:-${TMPDIR:-/tmp}/lk-exfat-bench}
pictures=${PICTURES:-500}
make_jpeg=$build/tools/lk-make-jpeg
exfat=$build/tools/lk-exfat
bench=$build/bench/bench_recovery
export PATH="$PATH:/usr/sbin:/sbin"
for tool in "$make_jpeg" "$exfat" "$bench" mkfs.exfat ffmpeg md5sum bc; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

mkdir -p "$work"
files=$work/files

# --- The files: camera pictures in DCIM folders of 100, three movies. ------
. "$root/bench/common.sh"
make_files "$files" "$make_jpeg" "$pictures"

# fill IMAGE [MOVIES]: every picture (and the movies) copied onto the card.
fill() {
  local image=$1 with_movies=${2:-}
  (cd "$files" && find DCIM -type d | sort) | while read -r d; do "$exfat" "$image" mkdir "$d"; done
  (cd "$files" && find DCIM -name '*.JPG' | sort) | while read -r f; do "$exfat" "$image" copy "$files/$f" "$f"; done
  if [[ -n $with_movies ]]; then
    (cd "$files" && find DCIM -name '*.MP4' | sort) | while read -r f; do "$exfat" "$image" copy "$files/$f" "$f"; done
  fi
}

# --- The card images. -------------------------------------------------------
card=$work/card.img big=$work/big.img
if [[ ! -f $work/card.done ]]; then
  rm -f "$card"
  truncate -s 2G "$card"
  mkfs.exfat -L BENCH "$card" >/dev/null
  fill "$card" movies
  # Every fifth picture deleted, as a camera deletes.
  (cd "$files" && find DCIM -name '*.JPG' | sort | awk 'NR % 5 == 0') | while read -r f; do
    "$exfat" "$card" delete "$f"
  done
  touch "$work/card.done"
fi
# The big card: the pictures and movies, then pictures again in a second
# folder until it holds 1 GB.
if [[ ! -f $work/big.done ]]; then
  rm -f "$big"
  truncate -s 256G "$big"
  mkfs.exfat -L BIG "$big" >/dev/null
  fill "$big" movies
  held=$(find "$files" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
  "$exfat" "$big" mkdir BACKUP
  while read -r f; do
    ((held < 1000000000)) || break
    "$exfat" "$big" copy "$files/$f" "BACKUP/$(basename "$f")"
    held=$((held + $(stat -c %s "$files/$f")))
  done < <(cd "$files" && find DCIM -name '*.JPG' | sort)
  echo "$held" > "$work/big.done"
fi

total=$(find "$files" -type f | wc -l)
echo "== 2 GB exFAT card: $pictures pictures and 3 movies, every fifth picture deleted"
echo "cat                   $(cat_seconds "$card") s"
rm -rf "$work/out"
"$bench" "$card" "$work/out"
echo "byte-exact            $(byte_exact "$files" "$work/out") of $total"

echo
echo "== sparse 256 GB exFAT card holding $(($(cat "$work/big.done") / 1000000)) MB of files: steps 1-4"
"$bench" --until-carving "$big"
