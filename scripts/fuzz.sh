#!/usr/bin/env bash
# Builds the libFuzzer target over the locator (preset fuzz) and runs it for
# a bounded time, seeded with real images, signed images and trailer files.
# Fails on any finding: a crash, a sanitizer report or a difference from the
# plain model. Findings land in build/fuzz/findings/; each one becomes a
# regression input in tests/fuzz/regressions/.
# Usage: scripts/fuzz.sh [SECONDS]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/setup.sh fuzz

cmake --preset fuzz > /dev/null
cmake --build --preset fuzz -j 2

corpus=build/fuzz/corpus
findings=build/fuzz/findings
rm -rf "$corpus" && mkdir -p "$corpus" "$findings"
fixtures=tests/fixtures
cp "$fixtures"/hello32.exe "$fixtures"/hello64.exe "$fixtures"/signed64.exe "$fixtures"/signed64-payload.exe "$corpus"/
cat "$fixtures"/hello32.exe "$fixtures"/sample.torrent > "$corpus"/pe32-appended.exe
cat "$fixtures"/hello64.exe "$fixtures"/sample.torrent > "$corpus"/pe64-appended.exe
cp tests/fuzz/regressions/* "$corpus"/ 2> /dev/null || true

# Trailer files: "PSER" and a little-endian back offset after the payload.
trailer() { printf 'PSER'; printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))\\x$(printf %02x $(($1 >> 16 & 255)))\\x$(printf %02x $(($1 >> 24 & 255)))"; }
{ cat "$fixtures"/sample.torrent; trailer $((-308 & 0xFFFFFFFF)); } > "$corpus"/trailer-only
{ head -c 100 "$fixtures"/hello64.exe; cat "$fixtures"/sample.torrent; trailer $((-308 & 0xFFFFFFFF)); } > "$corpus"/trailer-after-header
{ cat "$fixtures"/hello64.exe "$fixtures"/sample.torrent; trailer $((-308 & 0xFFFFFFFF)); } > "$corpus"/trailer-in-overlay
{ head -c 40 /dev/zero; trailer 0; } > "$corpus"/trailer-back-zero
trailer $((-1 & 0xFFFFFFFF)) > "$corpus"/trailer-whole-file
# A trailer straddling the edge between the last two 64 KiB blocks.
{ head -c 65530 /dev/zero | tr '\0' 'P'; trailer $((-100 & 0xFFFFFFFF)); head -c 3 /dev/zero; } > "$corpus"/trailer-block-edge

echo "== fuzz: locator against the plain model for ${seconds} s"
log=build/fuzz/fuzz.log
if ! build/fuzz/tests/fuzz/locator_fuzz -max_total_time="$seconds" -max_len=70000 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" > "$log" 2>&1; then
    cat "$log"
    echo "The fuzzer found a fault; the input is in $findings/" >&2
    exit 1
fi
grep -E '^(Done|stat::)' "$log"
