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

# The Windows leg: the .exe cross-built with mingw-w64, its unit tests and the
# end-to-end suite run under Wine. It needs the native leg's e2e_tests.
bash scripts/setup.sh windows || echo "== windows: could not set up mingw-w64 and Wine"
if command -v x86_64-w64-mingw32-g++-posix > /dev/null && command -v wine > /dev/null; then
    echo "== windows: dl2torrent.exe, unit and end-to-end tests under Wine"
    cmake --workflow --preset windows
    cpack --preset windows > /dev/null
    echo "== packages: $(ls build/windows/dl2torrent-*-win64.zip)"
elif [ "${CI:-}" = "true" ]; then
    echo "== windows: mingw-w64 or wine is missing, and CI must run this leg" >&2
    exit 1
else
    echo "== windows: SKIPPED, mingw-w64 or wine is missing (bash scripts/setup.sh windows)"
fi

# Hostile inputs and real faults: the tools those legs need.
bash scripts/setup.sh sanitize fuzz valgrind

echo "== setup: scripts/setup.sh beyond Debian"
bash tests/setup_test.sh

echo "== valgrind: the end-to-end suite with the program under memcheck"
bash scripts/valgrind-e2e.sh

echo "== sanitize: every unit, fault and end-to-end test under ASan and UBSan"
cmake --workflow --preset sanitize

echo "== fuzz: the locator against its plain model"
bash scripts/fuzz.sh 60

echo "== benchmark: build it and run it on small inputs (timings are not checked)"
bash scripts/bench.sh --size 2 --naive-size 0.0625 --repeat 1
