#!/usr/bin/env bash
# Builds the exFAT demo card: a 96 MB card formatted by mkfs.exfat with
# 512-byte clusters, holding pictures in folders, some of them deleted
# afterwards, and one movie that alone spans more clusters (about 70,000)
# than a FAT16 card can have (65,524), plus the originals to compare
# recovered files with.
#
#   make_exfat_demo_card.sh LK_MAKE_JPEG LK_EXFAT OUTPUT_DIR
#
# Writes OUTPUT_DIR/demo_exfat.img and OUTPUT_DIR/originals_exfat/ (every
# file as it was put on the card, deleted ones included, and MANIFEST.tsv:
# state, size, UTC modification time, path).
set -euo pipefail

if [[ $# -ne 3 ]]; then
  echo "usage: $0 LK_MAKE_JPEG LK_EXFAT OUTPUT_DIR" >&2
  exit 2
fi
make_jpeg=$1
exfat=$2
out=$3

export PATH="$PATH:/usr/sbin:/sbin" TZ=UTC
for tool in mkfs.exfat ffmpeg; do
  command -v "$tool" >/dev/null || { echo "$0: $tool not found (scripts/setup.sh installs it)" >&2; exit 1; }
done

card="$out/demo_exfat.img"
originals="$out/originals_exfat"
work=$(mktemp -d "${TMPDIR:-/tmp}/lk-demo-exfat.XXXXXX")
trap 'rm -rf "$work"' EXIT
rm -rf "$originals" "$card"
mkdir -p "$originals"

truncate -s 96M "$card"
mkfs.exfat -c 512 -L "DEMO EXFAT" "$card" >/dev/null

manifest="$work/manifest.tsv"
: >"$manifest"

# put STAGED_FILE PATH: onto the card with its time, and into the originals.
put() {
  local staged=$1 path=$2
  "$exfat" "$card" copy "$staged" "$path"
  mkdir -p "$originals/$(dirname "$path")"
  cp -p "$staged" "$originals/$path"
  printf 'present\t%s\t%s\t%s\n' "$(stat -c %s "$staged")" "$(date -u -r "$staged" '+%Y-%m-%d %H:%M:%S')" "$path" >>"$manifest"
}

# add_picture PATH SEED "YYYY:MM:DD HH:MM:SS" WIDTH HEIGHT
add_picture() {
  local path=$1 seed=$2 date=$3 width=$4 height=$5
  local staged="$work/staged.jpg"
  "$make_jpeg" -o "$staged" -s "$seed" -W "$width" -H "$height" --date "$date" --make Canon --model "Canon EOS R6"
  local d=${date%% *} t=${date#* }
  touch -d "${d//:/-} $t" "$staged"
  put "$staged" "$path"
}

mark_deleted() {  # the manifest lines of PATH, or of everything under PATH/
  local path=$1
  awk -F'\t' -v OFS='\t' -v p="$path" '$4 == p || index($4, p "/") == 1 { $1 = "deleted" } { print }' \
    "$manifest" >"$manifest.new"
  mv "$manifest.new" "$manifest"
}

"$exfat" "$card" mkdir DCIM/100CANON DCIM/101CANON "Holiday 2023"
for i in $(seq 1 10); do
  add_picture "DCIM/100CANON/IMG_$(printf '%04d' "$i").JPG" "$((300 + i))" "2023:05:$(printf '%02d' $((i + 1))) 09:$(printf '%02d' $((i * 4))):12" 1024 768
done
for i in $(seq 101 105); do
  add_picture "DCIM/101CANON/IMG_0$i.JPG" "$i" "2023:06:14 16:$((i - 80)):10" 800 600
done
add_picture "Holiday 2023/Le café près du port, à l'aube.jpg" 401 "2023:07:22 06:14:06" 1024 768
add_picture "Holiday 2023/Beach at sunset (2).jpg" 402 "2023:07:21 20:58:40" 1024 768

# The movie: 36 MB in 512-byte clusters.
movie="$work/MVI_0011.MP4"
ffmpeg -v error -y -f lavfi -i "testsrc2=d=12:s=1280x720:r=30" -f lavfi -i "sine=d=12:f=440" \
  -vf "noise=alls=20:allf=t" -c:v mpeg4 -b:v 24M -maxrate 24M -bufsize 24M -c:a aac -brand mp42 "$movie"
touch -d "2023-05-12 10:30:00" "$movie"
put "$movie" DCIM/100CANON/MVI_0011.MP4

# --- Some of them deleted. --------------------------------------------------
for path in DCIM/100CANON/IMG_0003.JPG DCIM/100CANON/IMG_0007.JPG "Holiday 2023/Beach at sunset (2).jpg" \
  DCIM/101CANON; do
  "$exfat" "$card" delete "$path"
  mark_deleted "$path"
done

mv "$manifest" "$originals/MANIFEST.tsv"
