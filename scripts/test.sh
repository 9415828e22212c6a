#!/usr/bin/env bash
# Builds and runs the tests, leg by leg: scripts/test.sh [LEG...]. Without a
# leg it runs every one. The legs run side by side, each into its own log in
# build/logs/; at the end a table says how long each leg took. A failed leg
# ends the command: every process it started is ended, and the failed leg's
# log is shown. So does Ctrl+C. Under CI=true warnings are errors and every
# leg is mandatory: the Windows, arm64, macOS, web, release and desktop legs
# too, which elsewhere are skipped, when none is named, if their tools are
# missing.
#
# How the legs share the machine: builds are bound by the processor, so they
# go through one queue, one after another, each with every core (and one
# compiler more, for its serial steps and waits on the disk). The tests
# are mostly bound by the program's one-second pause, so each leg's tests
# start as soon as its build is done, beside the builds still queued, and
# CTest runs several per core.
set -euo pipefail
cd "$(dirname "$0")/.."

all_legs=(native windows arm64 macos web valgrind sanitize fuzz bench reproducible package desktop workflow setup)
usage() {
    echo "usage: scripts/test.sh [LEG...]   legs: ${all_legs[*]}" >&2
    exit 2
}
named=("$@")
for leg in "${named[@]}"; do
    [[ " ${all_legs[*]} " == *" $leg "* ]] || usage
done
[ ${#named[@]} -gt 0 ] || named=("${all_legs[@]}")
# Whether leg $1 is to run.
wanted() { [[ " ${named[*]} " == *" $1 "* ]]; }

# Every process this command starts carries this mark in its environment, by
# which the end of the command finds them all: also those that left its
# process tree, such as the Wine server, Xvfb or a program under valgrind.
# The command starts itself again with it, so that its own subshells, which
# share the environment it was started with, carry it too.
if [ -z "${DL2TORRENT_TEST_RUN:-}" ]; then
    DL2TORRENT_TEST_RUN="$$.$(date +%s%N)" exec bash "$0" "$@"
fi
source scripts/marked.sh
# Ends every marked process but this shell.
end_everything() { end_marked "DL2TORRENT_TEST_RUN=$DL2TORRENT_TEST_RUN"; }
trap end_everything EXIT
trap 'echo "== interrupted" >&2; exit 130' INT
trap 'exit 143' TERM HUP

bash scripts/setup.sh base
if [ "${CI:-}" = "true" ]; then
    export DL2TORRENT_WERROR=ON
fi
if wanted sanitize || wanted fuzz || wanted valgrind; then
    bash scripts/setup.sh sanitize fuzz valgrind
fi

# Succeeds when the tools of setup legs $2... are here; else says that leg $1
# is skipped for want of them, or fails the command under CI or when legs
# were named.
tools() {
    local leg=$1
    shift
    bash scripts/setup.sh "$@" && return 0
    if [ "${CI:-}" = "true" ] || [ -n "$explicit" ]; then
        echo "== $leg: the tools of 'scripts/setup.sh $*' are missing, and this leg must run" >&2
        exit 1
    fi
    echo "== $leg: SKIPPED: the tools of 'scripts/setup.sh $*' are missing"
    return 1
}
explicit=
[ $# -eq 0 ] || explicit=yes

# The setup legs that leg $1 needs.
needs_of() {
    case $1 in
    windows | arm64 | macos | desktop | web) echo "$1" ;;
    reproducible | package) echo windows arm64 macos web release ;;
    workflow) echo workflow windows arm64 macos web release ;;
    esac
}
# The legs that run, in the table's order. Each check of a setup leg
# compiles, so all are checked at once first, and one by one only when
# some tool is missing.
needed_tools=" "
for leg in "${named[@]}"; do needed_tools+="$(needs_of "$leg") "; done
all_tools=
# shellcheck disable=SC2086 # one leg a word
[ -z "${needed_tools// /}" ] || bash scripts/setup.sh $needed_tools 2> /dev/null && all_tools=yes
legs=()
for leg in "${named[@]}"; do
    read -r -a needs <<< "$(needs_of "$leg")"
    [ ${#needs[@]} -eq 0 ] || [ -n "$all_tools" ] || tools "$leg" "${needs[@]}" || continue
    legs+=("$leg")
done
# The builds each leg waits for.
builds_of() {
    case $1 in
    native | valgrind | bench | desktop) echo native ;;
    workflow) echo native windows reproducible ;;
    windows) echo windows native ;;
    arm64) echo arm64 native ;;
    web) echo web native ;;
    package) echo reproducible native arm64 ;;
    macos) echo macos reproducible ;;
    sanitize | fuzz | reproducible) echo "$1" ;;
    esac
}
needed=" "
for leg in "${legs[@]}"; do needed+="$(builds_of "$leg") "; done
# Whether build $1 is needed by a leg that runs.
built() { [[ "$needed" == *" $1 "* ]]; }

cores=$(getconf _NPROCESSORS_ONLN)
build_jobs=$((cores + 1))
test_jobs=$((4 * cores))
logs=build/logs
rm -rf "$logs" && mkdir -p "$logs"
began=$(date +%s)

now() { echo $(($(date +%s) - began)); }

# Writes to $1 the processor seconds (user and system) that this shell's
# ended children have used so far. `times` must run in this very shell.
child_cpu() {
    times > "$1.times"
    awk 'END { for (i = 1; i <= 2; i++) { split($i, t, /[ms]/); sum += t[1] * 60 + t[2] } printf "%.0f\n", sum }' \
        "$1.times" > "$1"
}

# Runs the rest of the command line in the queue as build $1, into its
# log, and leaves a mark for the legs that wait for it.
queued() {
    local leg=$1 start
    shift
    start=$(date +%s)
    child_cpu "$logs/$leg.cpu-before"
    if "$@" >> "$logs/$leg.log" 2>&1; then
        touch "$logs/$leg.built"
    else
        touch "$logs/$leg.unbuilt"
    fi
    child_cpu "$logs/$leg.cpu-after"
    echo $(($(cat "$logs/$leg.cpu-after") - $(cat "$logs/$leg.cpu-before"))) > "$logs/$leg.build-cpu"
    echo $(($(date +%s) - start)) > "$logs/$leg.build-seconds"
}

# Configures and builds preset $1.
build() { cmake --preset "$1" && cmake --build --preset "$1" -j "$build_jobs"; }

# The macOS programs, both processors', and the arm64 test programs; not the
# benchmark, nor the x86-64 test programs, which would only compile the same
# code again with Zig, twice as slow a compiler as the host's. Zig builds
# libc++ for each target on first use, which the release's builds, started
# beside this one, then find in its cache: the x86-64 program comes first,
# so that both are made before the release's builds reach their own.
build_macos() {
    cmake --preset macos-x86_64 -DBUILD_TESTING=OFF -DDL2TORRENT_BENCH=OFF && cmake --build --preset macos-x86_64 -j "$build_jobs" &&
        cmake --preset macos-arm64 -DDL2TORRENT_BENCH=OFF && cmake --build --preset macos-arm64 -j "$build_jobs"
}

# Returns once build $1 is done, noting when for the leg's times; fails
# when it failed or the queue ended without it.
await() {
    until [ -e "$logs/$1.built" ]; do
        if [ -e "$logs/$1.unbuilt" ] || ! kill -0 "$queue_pid" 2> /dev/null; then
            sleep 1  # the queue's last mark may be on its way
            [ -e "$logs/$1.built" ] && break
            echo "the $1 build failed: see its log"
            return 1
        fi
        sleep 0.5
    done
    date +%s > "$logs/$LEG.ready"
}

# Runs the rest of the command line as leg $1, in the background, into its log.
start_leg() {
    local leg=$1
    shift
    (
        set +e
        date +%s > "$logs/$leg.ready"
        LEG=$leg "$@" >> "$logs/$leg.log" 2>&1
        status=$?
        child_cpu "$logs/$leg.cpu"
        echo $(($(date +%s) - $(cat "$logs/$leg.ready"))) > "$logs/$leg.seconds"
        now > "$logs/$leg.done"
        echo "$status" > "$logs/$leg.status"
        if [ "$status" -eq 0 ]; then
            echo "== $leg: passed ($(now) s)"
        else
            echo "== $leg: FAILED ($(now) s)"
        fi
    ) &
    echo "== $leg: started"
}

# The build queue, in the order the legs need their builds: native first,
# since the Windows and valgrind legs run its end-to-end suites; the fuzzer
# early, as it runs for a fixed time; the release check last, beside the
# macOS build, as nothing waits for them but short checks.
queue() {
    ! built native || queued native build native
    ! built fuzz || queued fuzz build fuzz
    ! built windows || queued windows build windows
    ! built web || queued web build web
    ! built arm64 || queued arm64 build arm64
    ! built sanitize || queued sanitize build sanitize
    # The last two side by side: nothing waits for the macOS build but its
    # few checks, and alone it keeps both cores busy only part of the time
    # (Zig links one program at a time); the release check runs its two
    # builds side by side too. Zig builds libc++ for a target once, on
    # first use, and the others wait for it in its cache. Each in a shell
    # of its own, so that neither's processor time is counted in the other's.
    ! built macos || queued macos build_macos &
    ! built reproducible || queued reproducible bash scripts/check-reproducible.sh &
    wait
}

leg_native() { await native && ctest --preset native -j "$test_jobs" && cpack --preset native > /dev/null; }

# Each end-to-end suite runs its cases one after another, the program under
# valgrind: that is slow and takes a core, so more at once would only
# stretch every run, and with it the cases that time the program's pause.
# The three suites run side by side.
leg_valgrind() { await native && bash scripts/valgrind-e2e.sh; }

# The Windows tests run the native build's end-to-end suite on the .exe.
leg_windows() {
    await windows && await native && ctest --preset windows -j "$test_jobs" && cpack --preset windows > /dev/null
}

# The arm64 tests run the native build's end-to-end suite on the arm64 program.
leg_arm64() { await arm64 && await native && ctest --preset arm64 -j "$test_jobs"; }

leg_sanitize() { await sanitize && ctest --preset sanitize -j "$test_jobs"; }

# The web build's unit and fault tests under Node, and the page in Chromium
# and Firefox against the native program's lines.
leg_web() { await web && await native && ctest --preset web -j "$test_jobs"; }

# The two macOS programs joined into one universal program, as the release
# joins them, must be the release's, and it is inspected: nothing of it can
# run on Linux.
leg_macos() {
    await macos && await reproducible && mkdir -p build/macos &&
        llvm-lipo-14 -create build/macos-arm64/dl2torrent build/macos-x86_64/dl2torrent -output build/macos/dl2torrent &&
        cmp build/macos/dl2torrent build/release/dl2torrent-*-macOS/bin/dl2torrent &&
        bash tests/macos_check.sh build/macos/dl2torrent
}

# One fuzzer process for a fixed time: it stays serial, and at the lowest
# priority it takes what the builds and the other tests leave of a core,
# rather than holding up the builds that the other legs wait for.
leg_fuzz() { await fuzz && nice -n 19 bash scripts/fuzz.sh 60; }

# The native build holds the benchmark too (scripts/bench.sh builds it alone).
leg_bench() {
    await native && mkdir -p build/bench &&
        build/native/bench/dl2torrent_bench --dir build/bench --size 2 --naive-size 0.0625 --repeat 1
}

leg_reproducible() { await reproducible; }

# The first release build's packages: lintian, an install and a removal, and
# the programs they hold are the tested ones.
leg_package() {
    await reproducible && await native && await arm64 && bash tests/package_test.sh build/release
}

# The native program launched through the desktop entry, as a file manager does.
leg_desktop() { await native && bash tests/desktop_test.sh build/native/dl2torrent; }

# The hosted CI workflow: valid for GitHub Actions, and every name it uses there.
# Its uploads must find the files the builds made.
leg_workflow() { await native && await windows && await reproducible && python3 scripts/check-workflow.py; }

leg_setup() { bash tests/setup_test.sh; }

queue > /dev/null 2>&1 &
queue_pid=$!
for leg in "${legs[@]}"; do
    start_leg "$leg" "leg_$leg"
done
# Each leg as it ends; the first that fails ends the rest.
failed=()
for _ in "${legs[@]}"; do
    wait -n -p ended || true
    [ "$ended" != "$queue_pid" ] || { wait -n || true; }
    for leg in "${legs[@]}"; do
        [ -e "$logs/$leg.status" ] && [ "$(cat "$logs/$leg.status")" != 0 ] && failed=("$leg")
    done
    [ ${#failed[@]} -eq 0 ] || break
done
stopping=
if [ ${#failed[@]} -gt 0 ]; then
    echo "== ${failed[0]} failed: ending the other legs"
    stopping=${failed[0]}
    end_everything
    wait 2> /dev/null || true
fi

# Build: its time in the queue; tests: from the end of the build to the end
# of the leg; done: when the leg ended, counted from the start of the legs;
# cpu: processor seconds of both (not of daemons such as wineserver).
printf '\n== times in seconds\n%-13s %6s %6s %6s %6s  %s\n' leg build tests "done" cpu result
failed=()
cpu_total=0
for leg in "${legs[@]}"; do
    result=passed
    if [ ! -e "$logs/$leg.status" ] || { [ -n "$stopping" ] && [ "$leg" != "$stopping" ] &&
        [ "$(cat "$logs/$leg.status")" != 0 ]; }; then
        result=stopped
    elif [ "$(cat "$logs/$leg.status")" != 0 ]; then
        result=FAILED
        failed+=("$leg")
    fi
    cpu=$(($(cat "$logs/$leg.cpu" 2> /dev/null || echo 0) + $(cat "$logs/$leg.build-cpu" 2> /dev/null || echo 0)))
    cpu_total=$((cpu_total + cpu))
    printf '%-13s %6s %6s %6s %6s  %s\n' "$leg" "$(cat "$logs/$leg.build-seconds" 2> /dev/null || echo -)" \
        "$(cat "$logs/$leg.seconds" 2> /dev/null || echo -)" "$(cat "$logs/$leg.done" 2> /dev/null || echo -)" \
        "$cpu" "$result"
done
echo "all legs: $(now) s, $cpu_total processor seconds on $cores cores"

for leg in "${failed[@]}"; do
    printf '\n== %s FAILED; its log, %s:\n' "$leg" "$logs/$leg.log"
    cat "$logs/$leg.log"
done
[ ${#failed[@]} -eq 0 ] && [ ${#legs[@]} -gt 0 ]
