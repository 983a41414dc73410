# Shared by the recovery benchmarks (sourced, not run): the camera files put on
# the cards and the figures taken of them.

# make_files FILES_DIR MAKE_JPEG COUNT: COUNT camera pictures in DCIM folders
# of 100 and three 20-second movies, unless FILES_DIR.done says they are there.
make_files() {
  local files=$1 make_jpeg=$2 count=$3
  [[ -f $files.done ]] && return
  rm -rf "$files"
  for ((i = 0; i < count; i++)); do
    local dir=$files/DCIM/$((100 + i / 100))CANON
    mkdir -p "$dir"
    printf '%s %s\n' "$dir/IMG_$(printf %04d $((i + 1))).JPG" $((i + 1))
  done | xargs -P "$(nproc)" -n 2 sh -c '"$0" -o "$1" -W 2592 -H 1944 -q 92 -s "$2"' "$make_jpeg"
  mkdir -p "$files/DCIM/200MOVIE"
  for i in 1 2 3; do
    ffmpeg -v error -y -f lavfi -i "testsrc2=d=20:s=1280x720:r=30" -f lavfi -i "sine=d=20:f=$((300 * i))" \
      -c:v mpeg4 -b:v 6M -c:a aac -brand mp42 "$files/DCIM/200MOVIE/MVI_000$i.MP4"
  done
  touch "$files.done"
}

cat_seconds() {  # the second of two runs, so both read from the page cache
  cat "$1" >/dev/null
  local t0
  t0=$(date +%s.%N)
  cat "$1" >/dev/null
  echo "$(date +%s.%N) - $t0" | bc
}

byte_exact() {  # FILES_DIR OUT_DIR: how many original files have an identical copy under OUT_DIR
  local files=$1 out=$2 sums
  sums=$(mktemp)
  find "$out" -type f -exec md5sum {} + | cut -d' ' -f1 | sort -u > "$sums"
  find "$files" -type f -exec md5sum {} + | cut -d' ' -f1 | sort | comm -12 - "$sums" | wc -l
  rm -f "$sums"
}
