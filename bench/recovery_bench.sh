#!/usr/bin/env bash
# Recovery benchmark on two 2 GB FAT32 card images: one with about 1,000 live
# pictures (steps 1-2 and Save all, beside cat), and the same card with a few
# movies added and then quick-formatted (the whole analysis and its peak
# memory, with the number of original files brought back byte for byte), and
# that card again with 5 % of its pictures and one movie cut in two pieces
# (bench/fragment_card.py; the files joined and the time of their search).
# Prints figures; asserts nothing. Needs a release build first:
#
#   cmake --preset release && cmake --build --preset release
#   bench/recovery_bench.sh [WORK_DIR]        (about 10 GB of free space)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build/release}
work=${1:-${TMPDIR:-/tmp}/lk-recovery-bench}
pictures=${PICTURES:-1000}
make_jpeg=$build/tools/lk-make-jpeg
bench=$build/bench/bench_recovery
export MTOOLS_SKIP_CHECK=1 TZ=UTC LC_ALL=C.UTF-8 PATH="$PATH:/usr/sbin:/sbin"
for tool in "$make_jpeg" "$bench" mkfs.fat mcopy ffmpeg md5sum; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done

mkdir -p "$work"
files=$work/files
mkfs_args=(-F 32 -s 8 -i 1A2B3C4D -n BENCH)  # 4 KB clusters, as a 2 GB card is formatted FAT32

# --- The files: camera pictures in DCIM folders of 100, a few movies. -------
. "$root/bench/common.sh"
make_files "$files" "$make_jpeg" "$pictures"

# --- The card images. -------------------------------------------------------
live=$work/live.img formatted=$work/formatted.img
if [[ ! -f $work/images.done ]]; then
  rm -f "$live" "$formatted"
  truncate -s 2G "$live"
  mkfs.fat "${mkfs_args[@]}" "$live" >/dev/null
  mcopy -i "$live" -s -m "$files/DCIM" ::/
  cp --sparse=always "$live" "$formatted"
  mkfs.fat "${mkfs_args[@]}" "$formatted" >/dev/null  # quick format: the data area stays
  touch "$work/images.done"
fi

# --- A card full of recordings: MP3 and Ogg Vorbis, quick-formatted. -------
# Measured first: every recording is measured frame by frame or page by page.
# Six four-minute recordings of each kind are encoded once; the other files
# are copies with their own title (remuxed, so every file differs).
sounds=${SOUNDS:-200}
sound_files=$work/sound_files
sound_img=$work/sound.img
if [[ ! -f $work/sound_files.done ]]; then
  rm -rf "$sound_files" "$work/sound_base"
  mkdir -p "$sound_files/MUSIC" "$work/sound_base"
  for i in 1 2 3 4 5 6; do
    for codec in "mp3 libmp3lame -b:a 128k" "ogg libvorbis -q:a 4"; do
      set -- $codec
      ffmpeg -v error -y -f lavfi -i "sine=f=$((150 + 70 * i)):d=240" \
        -f lavfi -i "anoisesrc=c=pink:a=0.1:d=240:seed=$i" -filter_complex amix=inputs=2 \
        -c:a "$2" "$3" "$4" "$work/sound_base/$i.$1"
    done
  done
  for ((n = 0; n < sounds; n++)); do
    ext=mp3; ((n % 2)) && ext=ogg
    ffmpeg -v error -y -i "$work/sound_base/$((n / 2 % 6 + 1)).$ext" -map_metadata -1 -c copy \
      -metadata title="Track $n" "$sound_files/MUSIC/TRACK$(printf %03d "$n").${ext^^}"
  done
  touch "$work/sound_files.done"
fi
if [[ ! -f $work/sound_img.done ]]; then
  rm -f "$sound_img"
  truncate -s 1G "$sound_img"
  mkfs.fat "${mkfs_args[@]}" "$sound_img" >/dev/null
  mcopy -i "$sound_img" -s -m "$sound_files/MUSIC" ::/
  mkfs.fat "${mkfs_args[@]}" "$sound_img" >/dev/null  # quick format
  touch "$work/sound_img.done"
fi

echo "== a 1 GB card with $sounds MP3 and Ogg recordings ($(du -sm "$sound_files" | cut -f1) MB), quick-formatted"
echo "cat                   $(cat_seconds "$sound_img") s"
rm -rf "$work/out_sound"
"$bench" "$sound_img" "$work/out_sound"
echo "byte-exact            $(byte_exact "$sound_files" "$work/out_sound") of $sounds"
echo

total=$(find "$files" -type f | wc -l)
echo "== live card: $(find "$files" -name '*.JPG' | wc -l) pictures and 3 movies on a 2 GB FAT32 image"
echo "cat                   $(cat_seconds "$live") s"
rm -rf "$work/out_live"
"$bench" "$live" "$work/out_live"
echo "byte-exact            $(byte_exact "$files" "$work/out_live") of $total"

echo
echo "== the same card quick-formatted"
echo "cat                   $(cat_seconds "$formatted") s"
rm -rf "$work/out_formatted"
"$bench" "$formatted" "$work/out_formatted"
echo "byte-exact            $(byte_exact "$files" "$work/out_formatted") of $total"


# --- The formatted card with 5 % of its pictures and a movie in two pieces. --
fragmented=$work/fragmented.img
if [[ ! -f $work/fragmented.done ]]; then
  cp --sparse=always "$formatted" "$fragmented"
  python3 "$root/bench/fragment_card.py" "$fragmented" 5
  touch "$work/fragmented.done"
fi
echo
echo "== the formatted card with 5 % of its pictures and a movie in two pieces"
echo "cat                   $(cat_seconds "$fragmented") s"
rm -rf "$work/out_fragmented"
"$bench" "$fragmented" "$work/out_fragmented"
echo "byte-exact            $(byte_exact "$files" "$work/out_fragmented") of $total"
