#!/usr/bin/env bash
# Recovery benchmark on two 2 GB FAT32 card images: one with about 1,000 live
# pictures (steps 1-2 and Save all, beside cat), and the same card with a few
# movies added and then quick-formatted (the whole analysis and its peak
# memory, with the number of original files brought back byte for byte).
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

