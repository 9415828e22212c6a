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

# Hostile inputs and real faults: the tools those legs need.
bash scripts/setup.sh clang libclang-rt-14-dev valgrind

echo "== valgrind: the end-to-end suite with the program under memcheck"
bash scripts/valgrind-e2e.sh

echo "== sanitize: every unit, fault and end-to-end test under ASan and UBSan"
cmake --workflow --preset sanitize

echo "== fuzz: the locator against its plain model"
bash scripts/fuzz.sh 60

echo "== benchmark: build it and run it on small inputs (timings are not checked)"
bash scripts/bench.sh --size 2 --naive-size 0.0625 --repeat 1
