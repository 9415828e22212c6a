#!/usr/bin/env bash
# Builds the release twice, from one commit, into build/release (as
# scripts/release.sh does) and, a few seconds later, into a scratch
# directory of another path, and
# compares with cmp every file SHA256SUMS lists (the tarballs, Debian
# packages and zip, and the programs they hold) and the programs as linked
# (the macOS ones before llvm-lipo joins them). On a difference it names the
# file and where it lies: the byte offset, for a program the section or
# header field, for an archive the entries. What is built is the working
# tree as it is (scripts/commit-to-build.sh).
# Usage: scripts/check-reproducible.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=$(mkdir -p build/repro && cd build/repro && pwd)

commit=$(bash scripts/commit-to-build.sh)
first=$PWD/build/release
second=$scratch/second-build/out
rm -rf "$first" "${scratch:?}"/*
bash scripts/release.sh --commit "$commit" "$first" > "$scratch/one.log" 2>&1 &
pid=$!
sleep 3
status=0
bash scripts/release.sh --commit "$commit" "$second" > "$scratch/second.log" 2>&1 || status=1
wait "$pid" || status=1
if [ $status -ne 0 ]; then
    cat "$scratch/one.log" "$scratch/second.log"
    echo "reproducible: a release build failed" >&2
    exit 1
fi

# The objdump that reads program $1.
objdump_for() {
    case $1 in
    *.exe) echo x86_64-w64-mingw32-objdump ;;
    *) if readelf -h "$1" | grep -q AArch64; then echo aarch64-linux-gnu-objdump; else echo objdump; fi ;;
    esac
}

# The section (or header) of program $1 that holds byte offset $2.
section_at() {
    local idx name size off rest first=
    while read -r idx name size _ _ off rest; do
        [[ $idx =~ ^[0-9]+$ ]] && ((16#$off != 0)) || continue  # .bss has no bytes in the file
        if (($2 >= 16#$off && $2 < 16#$off + 16#$size)); then
            echo "section $name"
            return
        fi
        [ -n "$first" ] && ((first <= 16#$off)) || first=$((16#$off))
    done < <($(objdump_for "$1") -h "$1")
    if [ -n "$first" ] && (($2 < first)); then
        echo "the headers, before the first section"
    else
        echo "no section: the symbol table or other data after the sections"
    fi
}

# Says where files $1 and $2, named $3, differ.
explain() {
    local how at
    how=$(cmp "$1" "$2" 2>&1 || true)
    echo "reproducible: $3 differs: $how" >&2
    at=$(sed -n 's/.*differ: byte \([0-9]*\).*/\1/p' <<< "$how")
    # A program: a build path it holds.
    [[ $3 != *.exe && $3 != *dl2torrent ]] ||
        strings -a "$1" | grep -F -m 3 -e "$first" -e "$scratch" | sed 's/^/  holds its build path: /' >&2 || true
    case $3 in
    # A macOS program: the load commands of each part that differ (LC_UUID,
    # the signature's size and place).
    *-macOS/bin/dl2torrent | macos-*/dl2torrent)
        diff <(llvm-objdump-14 --macho --private-headers --arch=all "$1" | tail -n +2) \
            <(llvm-objdump-14 --macho --private-headers --arch=all "$2" | tail -n +2) | grep '^[<>]' | head -n 10 >&2 || true
        ;;
    *.exe | dl2torrent | */dl2torrent)
        [ -n "$at" ] && echo "  byte offset $((at - 1)) is in $(section_at "$1" $((at - 1)))" >&2
        # The header fields that differ (objdump's first lines name the file).
        diff <($(objdump_for "$1") -p "$1" | tail -n +3) <($(objdump_for "$1") -p "$2" | tail -n +3) |
            grep '^[<>]' | head -n 10 >&2 || true
        ;;
    *.tar.gz) diff <(tar -tvzf "$1") <(tar -tvzf "$2") | grep '^[<>]' | head -n 10 >&2 || true ;;
    *.zip) diff <(unzip -Z -l "$1") <(unzip -Z -l "$2") | grep '^[<>]' | head -n 10 >&2 || true ;;
    # The ar members' times and modes, then the files' entries.
    *.deb) diff <(ar tv "$1" && dpkg-deb -c "$1") <(ar tv "$2" && dpkg-deb -c "$2") | grep '^[<>]' | head -n 10 >&2 || true ;;
    esac
}

# The packages and stripped programs, and the programs as linked.
files=()
while read -r _ name; do files+=("$name"); done < "$first/SHA256SUMS"
files+=(native/dl2torrent arm64/dl2torrent windows/dl2torrent.exe macos-arm64/dl2torrent macos-x86_64/dl2torrent)
for name in "${files[@]}"; do
    if cmp -s "$first/$name" "$second/$name"; then
        echo "reproducible: $name $(sha256sum < "$first/$name" | cut -c1-64)"
    else
        explain "$first/$name" "$second/$name" "$name"
        status=1
    fi
done
exit $status
