#!/usr/bin/env bash
# Scale and limits, through the real executable: a source nested a million
# tokens deep in each encoding, a text line of 100 million characters, a
# word of 100 million characters, a binary source of 2 GiB. Each must
# convert (or, the long word, fail with the conversion's message), and the
# peak memory that /usr/bin/time -v reports must stay within three times the
# sizes of source and target together.
#
#   scripts/scale.sh [MAPBAKE MAKE_SCALE_INPUTS]
#
# Without arguments it builds the release preset. Needs about 4 GiB of free
# disk in $SCALE_DIR (default: a new directory under /tmp), 8 GiB of memory
# and a few minutes. Not part of CI.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -ge 2 ]; then
  exe=$1
  gen=$2
else
  cmake --preset release >/dev/null
  cmake --build --preset release --target mapbake
  cmake --preset bench >/dev/null
  cmake --build --preset bench --target make_scale_inputs
  exe=build/release/app/mapbake
  gen=build/bench/bench/make_scale_inputs
fi

dir=${SCALE_DIR:-$(mktemp -d /tmp/mapbake-scale.XXXXXX)}
mkdir -p "$dir"
trap 'rm -f "$dir"/*.iom "$dir"/*.out "$dir"/time.txt "$dir"/stdout.txt' EXIT

failed=0
printf '%-12s %-6s %6s %14s %14s %12s %8s  %s\n' input option status source target peak_rss seconds verdict
# name, option, expected status
while read -r name option expected; do
  [ -f "$dir/$name.iom" ] || "$gen" "$dir" "$name"
  [ "$option" = "-" ] && option=""
  rm -f "$dir/$name.out"
  status=0
  /usr/bin/time -v -o "$dir/time.txt" "$exe" "$dir/$name.iom" "$dir/$name.out" $option \
    >"$dir/stdout.txt" 2>/dev/null || status=$?
  source_size=$(stat -c %s "$dir/$name.iom")
  target_size=$(stat -c %s "$dir/$name.out" 2>/dev/null || echo 0)
  peak_kb=$(grep 'Maximum resident set size' "$dir/time.txt" | grep -o '[0-9]*$')
  seconds=$(grep 'Elapsed (wall clock)' "$dir/time.txt" | grep -o '[0-9:.]*$')
  limit=$(( 3 * (source_size + target_size) ))
  verdict=ok
  if [ "$status" -ne "$expected" ]; then verdict="status $status, expected $expected"; fi
  if [ "$expected" -eq 1 ] && ! grep -q '^Error converting file (source file line [0-9]*)$' "$dir/stdout.txt"; then
    verdict="message: $(head -c 200 "$dir/stdout.txt")"
  fi
  if [ $(( peak_kb * 1024 )) -gt "$limit" ]; then verdict="peak memory above 3 x (source + target)"; fi
  [ "$verdict" = ok ] || failed=1
  printf '%-12s %-6s %6s %14s %14s %11sK %8s  %s\n' "$name" "${option:--}" "$status" "$source_size" \
    "$target_size" "$peak_kb" "$seconds" "$verdict"
  rm -f "$dir/$name.out"
done <<'EOF'
deep_text - 0
deep_text -text 0
deep_binary - 0
deep_binary -text 0
long_line - 0
long_word - 1
big_binary - 0
EOF
exit $failed
