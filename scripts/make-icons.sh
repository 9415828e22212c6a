#!/usr/bin/env bash
# Makes the icon's images from its one drawing, packaging/desktop/dl2torrent.svg:
# the PNG sizes of the hicolor theme (packaging/desktop/hicolor/NxN/apps/) and
# the Windows icon, packaging/desktop/dl2torrent.ico, which the .exe carries.
# They are committed, so that builds need no image tool; run this after a
# change to the drawing, and commit what it makes.
# With --check it makes them in a scratch folder and fails unless the
# committed ones are the same, byte for byte.
# Needs rsvg-convert (Debian: librsvg2-bin) and icotool (icoutils).
# Usage: scripts/make-icons.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=packaging/desktop
sizes=(16 24 32 48 64 128 256)
# The .ico's sizes: the console window and Explorer's small and large views.
# Windows takes the 256-pixel image as PNG, the others as bitmaps.
ico_sizes=(16 24 32 48)

missing=()
command -v rsvg-convert > /dev/null || missing+=(librsvg2-bin)
command -v icotool > /dev/null || missing+=(icoutils)
if [ ${#missing[@]} -gt 0 ]; then
    echo "make-icons.sh: needs ${missing[*]} (apt-get install ${missing[*]})" >&2
    exit 1
fi

out=$dir
scratch=""
if [ "${1:-}" = --check ]; then
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    out=$scratch
fi

for size in "${sizes[@]}"; do
    mkdir -p "$out/hicolor/${size}x$size/apps"
    rsvg-convert -w "$size" -h "$size" "$dir/dl2torrent.svg" -o "$out/hicolor/${size}x$size/apps/dl2torrent.png"
done
images=()
for size in "${ico_sizes[@]}"; do images+=("$out/hicolor/${size}x$size/apps/dl2torrent.png"); done
icotool -c -o "$out/dl2torrent.ico" "${images[@]}" --raw="$out/hicolor/256x256/apps/dl2torrent.png"

if [ -n "$scratch" ]; then
    status=0
    for made in $(cd "$scratch" && find . -type f | sort); do
        cmp -s "$scratch/$made" "$dir/$made" || { echo "make-icons.sh: $dir/${made#./} is not what $dir/dl2torrent.svg makes" >&2; status=1; }
    done
    exit $status
fi
