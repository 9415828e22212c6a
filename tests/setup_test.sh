#!/usr/bin/env bash
# scripts/setup.sh on systems other than this one: PATH is a folder of links
# to the build machine's commands with some hidden, and stand-ins for package
# tools that print how they were called. Each row: the legs asked for, the
# commands hidden (patterns), the stand-ins, the exit status expected and a
# text the output must hold ("" for no output at all).
# Needs every tool of the base and valgrind legs on the build machine; the rows
# of the arm64 and macos legs, which hide one of their tools, are skipped
# without the rest.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

rows=(
    # Everything present, no apt-get: nothing to do, nothing said.
    "base valgrind|dpkg* apt*||0|"
    # Everything present on Debian: apt-get is not called.
    "base|dpkg* apt*|apt-get|0|"
    # Debian without apt-get on PATH: the Debian package is named.
    "base|dpkg* apt* transmission-show||1|apt-get install transmission-cli"
    # Debian: the missing package is installed (here through the stand-in).
    "base|dpkg* apt* sudo transmission-show|apt-get sudo|0|apt-get install -y -qq --no-install-recommends transmission-cli"
    # Fedora: dnf's names, and dnf is not run.
    "base|dpkg* apt* c++ g++ clang++|dnf|1|dnf install gcc-c++"
    # macOS: Homebrew's names.
    "base valgrind|dpkg* apt* valgrind|brew|1|brew install valgrind"
    # Debian: the arm64 leg's emulator is installed.
    "arm64|dpkg* apt* sudo qemu-aarch64|apt-get sudo|0|apt-get install -y -qq --no-install-recommends qemu-user"
    # Fedora has no cross compiler with a C library: what to do instead.
    "arm64|dpkg* apt* aarch64-linux-gnu-g++|dnf|1|needs Debian's or Ubuntu's cross compiler"
    # Debian: the macos leg's llvm-14 is installed; Zig, from npm, is there.
    "macos|dpkg* apt* sudo llvm-lipo-14|apt-get sudo|0|apt-get install -y -qq --no-install-recommends llvm-14"
    # Debian: the desktop leg's X server is installed (the leg's first tool,
    # so named first whatever else of the leg is missing here).
    "desktop|dpkg* apt* sudo Xvfb|apt-get sudo|0|apt-get install -y -qq --no-install-recommends xvfb"
    # A leg this script does not know.
    "bse|||2|unknown leg 'bse'"
    # The list of every leg's tools, with each system's packages.
    "--list|||0|  Fedora: dnf install cmake make gcc-c++ gtest-devel"
)

source tests/checks.sh
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Fills folder $1 with links to every command on PATH (the first of a name
# wins, as on PATH) but those matching the patterns $2, and stand-ins
# named in $3.
make_path() {
    local dir=$1 hide=$2 fakes=$3 name
    rm -rf "$dir" && mkdir -p "$dir"
    link_commands "$dir"
    local pattern
    for pattern in $hide; do
        (cd "$dir" && for name in $pattern; do rm -f "./$name"; done)
    done
    for name in $fakes; do
        rm -f "$dir/$name"
        if [ "$name" = sudo ]; then
            printf '#!/bin/sh\nexec "$@"\n' > "$dir/$name"
        else
            printf '#!/bin/sh\necho "%s $*" >&2\n' "$name" > "$dir/$name"
        fi
        chmod +x "$dir/$name"
    done
}

arm64_here=no
command -v aarch64-linux-gnu-g++ qemu-aarch64 > /dev/null && [ -f /usr/src/googletest/CMakeLists.txt ] && arm64_here=yes
# The macos rows need Zig where setup.sh puts it, so that none installs it.
macos_here=no
command -v llvm-lipo-14 llvm-objdump-14 file npm > /dev/null && cmake/zig/zig version > /dev/null 2>&1 && macos_here=yes

skipped=0
for row in "${rows[@]}"; do
    IFS='|' read -r legs hide fakes status text <<< "$row"
    if [[ " $legs " == *" arm64 "* && $arm64_here = no ]] || [[ " $legs " == *" macos "* && $macos_here = no ]]; then
        skipped=$((skipped + 1))
        continue
    fi
    # A row that hides nothing and stands in for nothing runs on this PATH.
    path=$PATH
    [ -z "$hide$fakes" ] || { make_path "$scratch/bin" "$hide" "$fakes" && path=$scratch/bin; }
    # shellcheck disable=SC2086 # the legs are words
    out=$(env -u CXX PATH="$path" bash scripts/setup.sh $legs 2>&1)
    got=$?
    if [ "$got" != "$status" ] || { [ -z "$text" ] && [ -n "$out" ]; } || [[ $out != *"$text"* ]]; then
        fail "setup.sh $legs, hiding '$hide', stand-ins '$fakes': status $got (expected $status), output:"
        printf '%s\n' "$out" | sed 's/^/    /'
        echo "    expected: ${text:-no output}"
    fi
done
echo "setup_test: ${#rows[@]} cases, $failures failed, $skipped skipped without the arm64 or macos tools"
[ $failures -eq 0 ]
