#!/usr/bin/env bash
# Builds and runs every test. Under CI=true warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

if [ "${CI:-}" = "true" ]; then
    export DL2TORRENT_WERROR=ON
fi

echo "== native: unit and end-to-end tests"
cmake --workflow --preset native

echo "== benchmark: build it and run it on small inputs (timings are not checked)"
bash scripts/bench.sh --size 2 --naive-size 0.0625 --repeat 1
