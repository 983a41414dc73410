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
if [[ ! -f $work/files.done ]]; then
  rm -rf "$files"
  for ((i = 0; i < pictures; i++)); do
    dir=$files/DCIM/$((100 + i / 100))CANON
    mkdir -p "$dir"
    printf '%s %s\n' "$dir/IMG_$(printf %04d $((i + 1))).JPG" $((i + 1))
  done | xargs -P "$(nproc)" -n 2 sh -c '"$0" -o "$1" -W 2592 -H 1944 -q 92 -s "$2"' "$make_jpeg"
  mkdir -p "$files/DCIM/200MOVIE"
  for i in 1 2 3; do
    ffmpeg -v error -y -f lavfi -i "testsrc2=d=20:s=1280x720:r=30" -f lavfi -i "sine=d=20:f=$((300 * i))" \
      -c:v mpeg4 -b:v 6M -c:a aac -brand mp42 "$files/DCIM/200MOVIE/MVI_000$i.MP4"
  done
  touch "$work/files.done"
fi

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
if [[ ! -f $work/images.done ]]; then
  rm -f "$card" "$big"
  truncate -s 2G "$card"
  mkfs.exfat -L BENCH "$card" >/dev/null
  fill "$card" movies
  # Every fifth picture deleted, as a camera deletes.
  (cd "$files" && find DCIM -name '*.JPG' | sort | awk 'NR % 5 == 0') | while read -r f; do
    "$exfat" "$card" delete "$f"
  done
  truncate -s 256G "$big"
  mkfs.exfat -L BIG "$big" >/dev/null
  fill "$big"
  touch "$work/images.done"
fi

cat_seconds() {  # the second of two runs, so both read from the page cache
  cat "$1" >/dev/null
  local t0
  t0=$(date +%s.%N)
  cat "$1" >/dev/null
  echo "$(date +%s.%N) - $t0" | bc
}

byte_exact() {  # how many original files have an identical copy under $1
  local sums=$work/recovered.md5
  find "$1" -type f -exec md5sum {} + | cut -d' ' -f1 | sort -u > "$sums"
  find "$files" -type f -exec md5sum {} + | cut -d' ' -f1 | sort | comm -12 - "$sums" | wc -l
}

total=$(find "$files" -type f | wc -l)
echo "== 2 GB exFAT card: $pictures pictures and 3 movies, every fifth picture deleted"
echo "cat                   $(cat_seconds "$card") s"
rm -rf "$work/out"
"$bench" "$card" "$work/out"
echo "byte-exact            $(byte_exact "$work/out") of $total"

echo
mb=$(find "$files" -name '*.JPG' -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s / 1e6 }')
echo "== sparse 256 GB exFAT card holding $mb MB of pictures: steps 1-4"
"$bench" --until-carving "$big"
