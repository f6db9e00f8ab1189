#!/usr/bin/env bash
# run_thumb_cost.sh: what the live thumbnail costs a channel. Runs the real
# launcher on the lines the engine composes for a re-encoding channel and for
# a copying one, each with and without the thumbnail output, and prints the
# CPU time (user + system) of each run and the medians.
#
# Usage: bench/run_thumb_cost.sh [launcher] [runs] [seconds]
#   launcher  the built orval.so (default build/orval.so)
#   runs      runs of each variant, interleaved (default 3)
#   seconds   length of the test clip (default 20)
# A re-encoding channel costs far more than its thumbnail, so the difference
# of two encodes drowns in the noise of a shared machine. The thumbnail's own
# cost is therefore also taken where little else runs: a line that only
# decodes (as every re-encoding channel does) with and without it.
# Figures only: nothing here passes or fails.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
launcher=${1:-$repo/build/orval.so}
runs=${2:-3}
seconds=${3:-20}
tmp=$(mktemp -d /tmp/orva-thumb-cost-XXXXXX)
trap 'rm -rf "$tmp"' EXIT

[ -x "$launcher" ] || { echo "no launcher at $launcher" >&2; exit 1; }

# A 1280x720 25 fps H.264 clip with AAC sound, key frames every 2 s, like a
# typical contribution feed.
clip="$tmp/clip.mp4"
ffmpeg -v error -nostdin -y -f lavfi -i "testsrc2=size=1280x720:rate=25" \
  -f lavfi -i "sine=frequency=440:sample_rate=48000" -t "$seconds" \
  -c:v libx264 -preset veryfast -b:v 4000k -g 50 -pix_fmt yuv420p -c:a aac -ac 2 "$clip"

# The engine's lines, without "-re" so a run takes its CPU in one go.
encode_line="-v 32 -i \"$clip\" -c:a aac -b:a 128k -c:v libx264 -b:v 2000k -minrate:v 2000k -maxrate:v 2000k -bufsize:v 2000k -nal-hrd cbr -pix_fmt yuv420p -y \"$tmp/out.ts\""
copy_line="-v 32 -i \"$clip\" -c:a copy -c:v copy -y \"$tmp/out.ts\""
decode_line="-v 32 -i \"$clip\" -f null -"

# CPU seconds (user + system) of one launcher run; the launcher becomes ffmpeg,
# so this is ffmpeg's own time.
cpu_of() {  # cpu_of LINE THUMB
  printf 'qzWek_3184 %s\n' "$1" > "$tmp/line.txt"
  rm -f "$tmp/thumb/orva_001.jpg"
  if [ -n "$2" ]; then
    env ORVAL_THUMB="$2" /usr/bin/time -f "%U %S" -o "$tmp/time.txt" "$launcher" < "$tmp/line.txt" > /dev/null 2>&1
    [ -s "$2" ] || { echo "no thumbnail was written" >&2; exit 1; }
  else
    env -u ORVAL_THUMB /usr/bin/time -f "%U %S" -o "$tmp/time.txt" "$launcher" < "$tmp/line.txt" > /dev/null 2>&1
  fi
  awk '{ printf "%.2f\n", $1 + $2 }' "$tmp/time.txt"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Medians of CPU seconds without and with the thumbnail, runs interleaved.
measure() {  # measure NAME LINE RUNS -> "WITHOUT WITH"
  local without="" with="" i a b
  for ((i = 1; i <= $3; i++)); do
    a=$(cpu_of "$2" "")
    b=$(cpu_of "$2" "$tmp/thumb/orva_001.jpg")
    without+="$a"$'\n'
    with+="$b"$'\n'
    echo "  $1 run $i: without ${a} s, with ${b} s" >&2
  done
  echo "$(printf '%s' "$without" | median) $(printf '%s' "$with" | median)"
}

row() {  # row NAME WITHOUT WITH OWN
  awk -v n="$1" -v a="$2" -v b="$3" -v own="$4" -v s="$seconds" 'BEGIN {
    printf "| %s | %.2f s | %.2f s | %+.2f s | %+.1f %% | %+.2f %% |\n", n, a, b, b - a, 100 * (b - a) / own, 100 * (b - a) / s }'
}

mkdir -p "$tmp/thumb"
echo "clip: ${seconds} s of 1280x720 at 25 fps, H.264 4 Mbit/s + AAC; medians of interleaved runs"
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) at the start"
read -r enc0 enc1 < <(measure "re-encode" "$encode_line" "$runs")
read -r dec0 dec1 < <(measure "decode only" "$decode_line" $((runs * 2 + 1)))
read -r copy0 copy1 < <(measure "copy" "$copy_line" $((runs * 2 + 1)))
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| line | CPU without | CPU with thumbnail | difference | of the channel's own CPU | of one core |"
echo "|---|---|---|---|---|---|"
row "re-encode to H.264 2 Mbit/s + AAC (${runs} runs)" "$enc0" "$enc1" "$enc0"
row "decode only, the thumbnail's own cost, against the re-encoding channel ($((runs * 2 + 1)) runs)" "$dec0" "$dec1" "$enc0"
row "copy video and sound ($((runs * 2 + 1)) runs)" "$copy0" "$copy1" "$copy0"
