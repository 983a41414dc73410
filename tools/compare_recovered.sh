#!/usr/bin/env bash
# Tells which of the demo card's original files came back byte for byte.
#
#   compare_recovered.sh ORIGINALS_DIR RECOVERED_DIR
#
# ORIGINALS_DIR holds MANIFEST.tsv (state, size, time, path) and the files;
# a file counts as recovered when a file with the same bytes is anywhere under
# RECOVERED_DIR, whatever its name.
set -euo pipefail
originals=$1
recovered=$2

declare -A have
while IFS= read -r -d '' f; do
  have[$(md5sum < "$f" | cut -d' ' -f1)]=$f
done < <(find "$recovered" -type f -print0)

total=0 back=0
while IFS=$'\t' read -r state size time path; do
  total=$((total + 1))
  sum=$(md5sum < "$originals/$path" | cut -d' ' -f1)
  if [[ -n "${have[$sum]:-}" ]]; then
    back=$((back + 1))
    printf '  %-8s %-45s -> %s\n' "$state" "$path" "${have[$sum]#"$recovered"/}"
  else
    printf '  %-8s %-45s -> not recovered\n' "$state" "$path"
  fi
done < "$originals/MANIFEST.tsv"
echo "$back of $total original files came back byte for byte."
