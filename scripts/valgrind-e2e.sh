#!/usr/bin/env bash
# Runs the end-to-end suites (the usual, hostile and terminal ones) with the
# built program under valgrind memcheck: any invalid access or leak makes the
# program exit 99, which fails the test that ran it. The suites run side
# by side. Needs build/native (preset native). The program is its twin
# linked against the shared libraries (tests/dl2torrent_shared): memcheck
# cannot follow the heap of a static glibc.
# Valgrind writes its reports to files, not to the program's standard error:
# some runs close that, and valgrind cannot start without a log to write to.
set -euo pipefail
cd "$(dirname "$0")/.."
suites=(e2e_tests hostile_tests terminal_tests)
reports=$PWD/build/native/valgrind-reports
rm -rf "$reports" && mkdir -p "$reports"
program="valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect,possible --vgdb=no --log-file=$reports/%p.log $PWD/build/native/tests/dl2torrent_shared"

# Valgrind writes files of its own as it starts (its stand-ins for the
# program's /proc/self/cmdline and auxv), so under a file size limit with
# SIGXFSZ at its default, as the disk-full case sets them, it dies before
# the program runs: that case is left to the other legs. The table of PE
# headers at their extremes is left to the sanitizers, which check the
# locator on every row in-process and in the program end to end: under
# valgrind those rows would be a third of this leg.
filter='-HostileTest.DiskFull:Table/PeExtremesTest.*'

pids=()
for suite in "${suites[@]}"; do
    "build/native/tests/$suite" --program="$program" --gtest_brief=1 --gtest_filter="$filter" \
        > "build/native/valgrind-$suite.log" 2>&1 &
    pids+=($!)
done
status=0
for i in "${!suites[@]}"; do
    log="build/native/valgrind-${suites[$i]}.log"
    if ! wait "${pids[$i]}"; then
        status=1
        cat "$log"
    fi
    echo "${suites[$i]}: $(tail -n 1 "$log")"
done
for report in "$reports"/*.log; do
    [ -s "$report" ] || continue
    status=1
    echo "== valgrind report $report"
    cat "$report"
done
exit $status
