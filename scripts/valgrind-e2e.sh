#!/usr/bin/env bash
# Runs the end-to-end suite with the built program under valgrind memcheck:
# any invalid access or leak makes the program exit 99, which fails the test
# that ran it. Two shards run side by side. Needs build/native (preset native).
set -euo pipefail
cd "$(dirname "$0")/.."
suite=build/native/tests/e2e_tests
program="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect,possible --vgdb=no $PWD/build/native/dl2torrent"

pids=()
for shard in 0 1; do
    GTEST_TOTAL_SHARDS=2 GTEST_SHARD_INDEX=$shard "$suite" --program="$program" --gtest_brief=1 \
        > "build/native/valgrind-e2e-$shard.log" 2>&1 &
    pids+=($!)
done
status=0
for shard in 0 1; do
    if ! wait "${pids[$shard]}"; then
        status=1
        cat "build/native/valgrind-e2e-$shard.log"
    fi
    tail -n 2 "build/native/valgrind-e2e-$shard.log"
done
exit $status
