#!/usr/bin/env bash
# Builds the release twice, from two copies of this working tree in two
# scratch directories of different paths, the second started a few seconds
# after the first, and compares with cmp every file SHA256SUMS lists (the
# tarballs, Debian packages and zip, and the programs they hold) and the
# programs as linked (the macOS ones before llvm-lipo joins them). On a
# difference it names the file and where it lies: the byte offset, for a
# program the section or header field, for an archive the entries.
# Usage: scripts/check-reproducible.sh [SCRATCH]   (default build/repro)
set -euo pipefail
cd "$(dirname "$0")/.."
scratch=$(mkdir -p "${1:-build/repro}" && cd "${1:-build/repro}" && pwd)
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH

# Copies the tracked and untracked, not ignored, files to $1, as they are now.
copy_tree() {
    rm -rf "$1" && mkdir -p "$1"
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
        tar --null -T - -cf - | tar -xf - -C "$1"
}

first=$scratch/one/dl2torrent
second=$scratch/second-build/sources
copy_tree "$first"
bash "$first/scripts/release.sh" "$first/out" > "$scratch/one.log" 2>&1 &
pid=$!
sleep 3
copy_tree "$second"
status=0
bash "$second/scripts/release.sh" "$second/out" > "$scratch/second.log" 2>&1 || status=1
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
    case $3 in
    # A macOS program: the load commands of each part that differ (LC_UUID,
    # the signature's size and place), and a build path it holds.
    *-macOS/bin/dl2torrent | macos-*/dl2torrent)
        strings -a "$1" | grep -F -m 3 "$scratch" | sed 's/^/  holds its build path: /' >&2 || true
        diff <(llvm-objdump-14 --macho --private-headers --arch=all "$1" | tail -n +2) \
            <(llvm-objdump-14 --macho --private-headers --arch=all "$2" | tail -n +2) | grep '^[<>]' | head -n 10 >&2 || true
        ;;
    *.exe | dl2torrent | */dl2torrent)
        [ -n "$at" ] && echo "  byte offset $((at - 1)) is in $(section_at "$1" $((at - 1)))" >&2
        strings -a "$1" | grep -F -m 3 "$scratch" | sed 's/^/  holds its build path: /' >&2 || true
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
while read -r _ name; do files+=("$name"); done < "$first/out/SHA256SUMS"
files+=(native/dl2torrent arm64/dl2torrent windows/dl2torrent.exe macos-arm64/dl2torrent macos-x86_64/dl2torrent)
for name in "${files[@]}"; do
    if cmp -s "$first/out/$name" "$second/out/$name"; then
        echo "reproducible: $name $(sha256sum < "$first/out/$name" | cut -c1-64)"
    else
        explain "$first/out/$name" "$second/out/$name" "$name"
        status=1
    fi
done
exit $status
