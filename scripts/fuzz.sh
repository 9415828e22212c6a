#!/usr/bin/env bash
# Builds the libFuzzer target over the locator and the torrent check (preset
# fuzz) and runs it for a bounded time, seeded with real images, signed
# images, an installer, real torrents and trailer files.
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
cp "$fixtures"/hello32.exe "$fixtures"/hello64.exe "$fixtures"/signed64.exe "$fixtures"/signed64-payload.exe \
    "$fixtures"/nsis-installer.exe "$fixtures"/*.torrent "$corpus"/
head -c 60000 "$fixtures"/hello64-unstripped.exe > "$corpus"/unstripped-head.exe
cat "$fixtures"/signed64.exe "$fixtures"/libtorrent-hybrid.torrent > "$corpus"/signed-then-appended.exe
cat "$fixtures"/hello32.exe "$fixtures"/sample.torrent > "$corpus"/pe32-appended.exe
cat "$fixtures"/hello64.exe "$fixtures"/sample.torrent > "$corpus"/pe64-appended.exe
cp tests/fuzz/regressions/* "$corpus"/ 2> /dev/null || true

# Trailer files: "PSER" and the back offset $1, little-endian.
trailer() { printf "PSER$(printf '\\x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)))"; }
# The file $1 and the trailer that names it, right after it.
with_trailer() { cat "$1" && trailer "-$(wc -c < "$1")"; }
with_trailer "$fixtures"/sample.torrent > "$corpus"/trailer-only
{ head -c 100 "$fixtures"/hello64.exe; with_trailer "$fixtures"/sample.torrent; } > "$corpus"/trailer-after-header
{ cat "$fixtures"/hello64.exe; with_trailer "$fixtures"/sample.torrent; } > "$corpus"/trailer-in-appended-data
{ head -c 40 /dev/zero; trailer 0; } > "$corpus"/trailer-back-zero
trailer -1 > "$corpus"/trailer-whole-file
# Trailers straddling the edge between two of the target's small blocks
# (40 bytes, with 7 bytes of overlap), and a stray magic whose payload
# would start 2 GiB away, above a real trailer.
for tail in 3 4 30 37; do
    { head -c 90 /dev/zero | tr '\0' 'P'; trailer -50; head -c "$tail" /dev/zero; } \
        > "$corpus/trailer-block-edge-$tail"
done
{ printf x; with_trailer "$fixtures"/mktorrent.torrent; printf 'PSER\xf0\xff\xff\x7f'; } \
    > "$corpus"/trailer-under-stray-magic

echo "== fuzz: locator and torrent check against the plain model for ${seconds} s"
log=build/fuzz/fuzz.log
if ! build/fuzz/tests/fuzz/locator_fuzz -max_total_time="$seconds" -max_len=70000 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" > "$log" 2>&1; then
    cat "$log"
    echo "The fuzzer found a fault; the input is in $findings/" >&2
    exit 1
fi
grep -E '^(Done|stat::)' "$log"
