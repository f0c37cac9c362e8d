#!/usr/bin/env bash
# A static four-way split: four ranged curl requests at once, joined by cat. It knows the size
# in advance and asks no server anything else, so it is the fairest peer of a segmented
# download. Usage: split4.sh URL OUTPUT SIZE
set -euo pipefail
url=$1
out=$2
size=$3
share=$((size / 4))
for i in 0 1 2 3; do
  first=$((i * share))
  last=$((i == 3 ? size - 1 : first + share - 1))
  curl -s -r "$first-$last" -o "$out.part$i" "$url" &
done
wait
cat "$out.part0" "$out.part1" "$out.part2" "$out.part3" >"$out"
rm -f "$out.part0" "$out.part1" "$out.part2" "$out.part3"
