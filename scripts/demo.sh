#!/usr/bin/env bash
# Builds dl2torrent and runs it on a sample downloader: a real Windows image
# (tests/fixtures/hello64.exe) with a real torrent appended to it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake --preset native > /dev/null
cmake --build --preset native --target dl2torrent -j "$(getconf _NPROCESSORS_ONLN)"

demo=build/demo
rm -rf "$demo" && mkdir -p "$demo"
cat tests/fixtures/hello64.exe tests/fixtures/sample.torrent > "$demo/Quv-demo-downloader.exe"
echo
echo "\$ cd $demo && dl2torrent"
(cd "$demo" && ../native/dl2torrent)
echo
cmp "$demo/Quv-demo-downloader.torrent" tests/fixtures/sample.torrent
echo "$demo/Quv-demo-downloader.torrent is byte for byte the embedded torrent:"
transmission-show "$demo/Quv-demo-downloader.torrent" | sed -n '1,12p'
