#!/usr/bin/env bash
# Builds the demo card: a 48 MB camera card (MBR, one FAT16 partition) holding
# camera-style pictures, some of them deleted afterwards, plus a copy that has
# been quick-formatted, and the originals to compare recovered files with.
#
#   make_demo_card.sh LK_MAKE_JPEG OUTPUT_DIR
#
# Writes OUTPUT_DIR/demo_card.img, OUTPUT_DIR/demo_card_formatted.img and
# OUTPUT_DIR/originals/ (every file as it was put on the card, deleted ones
# included, and MANIFEST.tsv: state, size, UTC modification time, path).
set -euo pipefail

if [[ $# -ne 2 ]]; then
  echo "usage: $0 LK_MAKE_JPEG OUTPUT_DIR" >&2
  exit 2
fi
make_jpeg=$1
out=$2

# mkfs.fat lives in /usr/sbin, which an ordinary user's PATH may lack.
export PATH="$PATH:/usr/sbin:/sbin"
# Images made by other tools must not be refused; names are UTF-8; the DOS
# times on the card are the files' UTC times.
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 TZ=UTC
for tool in mkfs.fat mcopy mmd mdel mdeltree mattrib; do
  command -v "$tool" >/dev/null || { echo "$0: $tool not found (scripts/setup.sh installs it)" >&2; exit 1; }
done

# Geometry: 48 MiB card, partition from sector 32 (as small cards come from
# the camera maker), FAT16 with 4 KiB clusters, fixed volume id.
card_sectors=$((48 * 2048))
part_start=32
part_sectors=$((card_sectors - part_start))
mkfs_args=(-F 16 -s 8 -i 1A2B3C4D -n "DEMO CARD" -h "$part_start" --offset="$part_start" --mbr=n)
card="$out/demo_card.img"
formatted="$out/demo_card_formatted.img"
img="$card@@$((part_start * 512))"

work=$(mktemp -d "${TMPDIR:-/tmp}/lk-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
rm -rf "$out/originals"
mkdir -p "$out/originals"
rm -f "$card" "$formatted"

# --- The card: MBR, then the formatted partition. ---------------------------
truncate -s $((card_sectors * 512)) "$card"

le32() {  # four little-endian bytes as printf escapes
  local v=$1
  printf '\\%03o\\%03o\\%03o\\%03o' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24 & 255))
}
chs() {  # an LBA as the 3 CHS bytes of a partition entry (255 heads, 63 sectors)
  local lba=$1 c h s
  c=$((lba / (255 * 63))); h=$((lba / 63 % 255)); s=$((lba % 63 + 1))
  if ((c > 1023)); then c=1023; h=254; s=63; fi
  printf '\\%03o\\%03o\\%03o' "$h" $((s | (c >> 2 & 0xC0))) $((c & 255))
}
# Partition entry 1 at 446: active, CHS first, type 06 (FAT16), CHS last,
# first sector, sector count; the signature 55 AA at 510.
entry="\\200$(chs $part_start)\\006$(chs $((part_start + part_sectors - 1)))$(le32 $part_start)$(le32 $part_sectors)"
printf "$entry" | dd of="$card" bs=1 seek=446 conv=notrunc status=none
printf '\125\252' | dd of="$card" bs=1 seek=510 conv=notrunc status=none

mkfs.fat "${mkfs_args[@]}" "$card" >/dev/null

# --- Pictures. --------------------------------------------------------------
manifest="$work/manifest.tsv"
: >"$manifest"

# add_picture PATH SEED "YYYY:MM:DD HH:MM:SS" WIDTH HEIGHT [MAKE MODEL [--jfif]]
add_picture() {
  local path=$1 seed=$2 date=$3 width=$4 height=$5
  local make=${6:-Canon} model=${7:-Canon PowerShot S50} extra=${8:-}
  local staged="$work/staged.jpg"
  "$make_jpeg" -o "$staged" -s "$seed" -W "$width" -H "$height" --date "$date" \
    --make "$make" --model "$model" ${extra:+"$extra"}
  # The file's time is the picture's date, as a camera sets both.
  local d=${date%% *} t=${date#* }
  touch -d "${d//:/-} $t" "$staged"
  mcopy -m -D o -i "$img" "$staged" "::/$path"
  mkdir -p "$out/originals/$(dirname "$path")"
  cp -p "$staged" "$out/originals/$path"
  printf 'present\t%s\t%s\t%s\n' "$(stat -c %s "$staged")" "$(date -u -r "$staged" '+%Y-%m-%d %H:%M:%S')" "$path" >>"$manifest"
}

mark_deleted() {  # the manifest lines of PATH, or of everything under PATH/
  local path=$1
  awk -F'\t' -v OFS='\t' -v p="$path" '$4 == p || index($4, p "/") == 1 { $1 = "deleted" } { print }' \
    "$manifest" >"$manifest.new"
  mv "$manifest.new" "$manifest"
}

mmd -i "$img" ::/DCIM ::/DCIM/100CANON ::/DCIM/101CANON "::/Holiday 2021"

for i in $(seq 1 12); do
  n=$(printf '%04d' "$i")
  add_picture "DCIM/100CANON/IMG_$n.JPG" "$i" "2021:07:$(printf '%02d' $((i + 1))) 10:$(printf '%02d' $((i * 3))):0$((i % 5 * 2))" 640 480
done
for i in $(seq 101 106); do
  add_picture "DCIM/101CANON/IMG_0$i.JPG" "$i" "2021:08:14 16:$((i - 80)):10" 1024 768
done
add_picture "DCIM/100CANON/Birthday party - the cake.jpg" 201 "2021:09:03 19:45:12" 800 600
add_picture "Holiday 2021/Beach at sunset (2).jpg" 202 "2021:07:21 20:58:40" 1024 768 "NIKON CORPORATION" "NIKON D70"
add_picture "Holiday 2021/Le café près du port.jpg" 203 "2021:07:22 09:14:06" 800 600 "NIKON CORPORATION" "NIKON D70"
add_picture "Holiday 2021/Scanned postcard.jpg" 204 "2021:07:23 12:00:00" 640 480 "" "" --jfif
add_picture "README.JPG" 205 "2021:06:01 08:00:00" 320 240

# --- Some of them deleted. --------------------------------------------------
for path in "DCIM/100CANON/IMG_0003.JPG" "DCIM/100CANON/IMG_0007.JPG" "DCIM/100CANON/IMG_0008.JPG" \
  "Holiday 2021/Beach at sunset (2).jpg"; do
  mdel -i "$img" "::/$path"
  mark_deleted "$path"
done
mdeltree -i "$img" ::/DCIM/101CANON
mark_deleted "DCIM/101CANON"

# --- The quick-formatted copy: new boot sector, FATs and root; data kept. ---
cp --sparse=always "$card" "$formatted"
mkfs.fat "${mkfs_args[@]}" "$formatted" >/dev/null

mv "$manifest" "$out/originals/MANIFEST.tsv"
