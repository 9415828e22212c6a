#!/usr/bin/env bash
# Builds the release program and its benchmark, then runs the benchmark.
# Arguments go to the benchmark, e.g. --dir /dev/shm or --size 4 (MiB);
# by default its files go to build/bench/ (on the disk).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake --preset bench > /dev/null
cmake --build --preset bench -j 2 > /dev/null
build/bench/bench/dl2torrent_bench --dir build/bench "$@"
