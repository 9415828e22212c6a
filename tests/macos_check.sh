#!/usr/bin/env bash
# Inspects a universal macOS program, as far as a Linux machine can without
# running it:
# - file(1) calls it a universal binary of x86_64 and arm64, and it holds
#   just these two parts;
# - each part loads only libraries under /usr/lib (libSystem among them) and
#   asks for macOS 11 or later (LC_BUILD_VERSION's minos);
# - the arm64 part carries an ad hoc code signature whose page hashes match
#   the part's bytes up to the signature, as Apple silicon checks at launch.
# Usage: tests/macos_check.sh PROGRAM
set -uo pipefail
program=${1:?usage: tests/macos_check.sh PROGRAM}
# shellcheck source=tests/checks.sh
source "$(dirname "$0")/checks.sh"

# The load commands of part $1.
headers() { llvm-objdump-14 --macho --private-headers --arch="$1" "$program"; }

# The unsigned big-endian 32-bit number at byte $2 of file $1.
u32() { echo $((16#$(od -An -tx1 -j "$2" -N4 "$1" | tr -d ' \n'))); }
# The unsigned byte at offset $2 of file $1.
u8() { od -An -tu1 -j "$2" -N1 "$1" | tr -d ' '; }

# The arm64 part's code directory hashes each page of the part before the
# signature, and the code ends where the signature begins.
check_signature() {
    local part data dir limit slots page hash_at i hash
    part=$(mktemp)
    llvm-lipo-14 "$program" -thin arm64 -output "$part"
    data=$(headers arm64 | sed -n '/cmd LC_CODE_SIGNATURE/,/datasize/s/^ *dataoff //p')
    [ -n "$data" ] || { fail "the arm64 part has no code signature (LC_CODE_SIGNATURE)"; rm -f "$part"; return; }
    # The signature is a SuperBlob (0xfade0cc0); slot 0 of its index is the
    # CodeDirectory (0xfade0c02).
    [ "$(u32 "$part" "$data")" = $((0xfade0cc0)) ] || fail "the signature is no SuperBlob"
    [ "$(u32 "$part" $((data + 12)))" = 0 ] || fail "the signature's first blob is not its CodeDirectory"
    dir=$((data + $(u32 "$part" $((data + 16)))))
    [ "$(u32 "$part" "$dir")" = $((0xfade0c02)) ] || fail "no CodeDirectory where the signature says"
    limit=$(u32 "$part" $((dir + 32)))
    slots=$(u32 "$part" $((dir + 28)))
    page=$((1 << $(u8 "$part" $((dir + 39)))))
    hash_at=$((dir + $(u32 "$part" $((dir + 16)))))
    [ "$limit" = "$data" ] || fail "the signature covers $limit bytes, the code ends at $data"
    [ "$(u8 "$part" $((dir + 37)))" = 2 ] || fail "the page hashes are not SHA-256"
    [ "$slots" = $(((limit + page - 1) / page)) ] || fail "$slots page hashes for $limit bytes"
    for ((i = 0; i < slots; i++)); do
        hash=$(tail -c +$((i * page + 1)) "$part" | head -c $((limit - i * page < page ? limit - i * page : page)) |
            sha256sum | cut -c1-64)
        if [ "$hash" != "$(od -An -tx1 -j $((hash_at + 32 * i)) -N32 "$part" | tr -d ' \n')" ]; then
            fail "page $i of the arm64 part does not match its signature"
            break
        fi
    done
    rm -f "$part"
}

described=$(file -b "$program")
[[ $described == "Mach-O universal binary with 2 architectures: "*"x86_64 executable"*"arm64 executable"* ]] ||
    fail "file(1) says: $described"
parts=$(llvm-lipo-14 -archs "$program" | xargs)
if [ "$parts" != "x86_64 arm64" ]; then
    fail "its parts: ${parts:-none}"
    exit 1
fi
for arch in x86_64 arm64; do
    libraries=$(headers $arch | sed -n 's/^ *name \(.*\) (offset [0-9]*)$/\1/p' | grep -v '^/usr/lib/dyld$')
    [ -n "$libraries" ] && ! grep -v '^/usr/lib/' <<< "$libraries" > /dev/null ||
        fail "$arch loads: ${libraries//$'\n'/ }"
    grep -qx /usr/lib/libSystem.B.dylib <<< "$libraries" || fail "$arch does not load libSystem"
    minos=$(headers $arch | sed -n '/cmd LC_BUILD_VERSION/,/minos/s/^ *minos //p')
    [ "$minos" = 11.0 ] || fail "$arch asks for macOS ${minos:-(no LC_BUILD_VERSION)}"
done
check_signature
echo "macos_check: $program, $failures failed"
[ $failures -eq 0 ]
