#!/usr/bin/env bash
# Checks the packages of a release made by scripts/release.sh OUTDIR:
# - the programs they hold are the ones the tests ran, build/native's and
#   build/arm64's stripped, and static;
# - they hold the desktop entry and the icons as committed, the tarballs
#   under share/, the Debian packages under /usr/share/;
# - lintian reports no error and no warning in either Debian package;
# - the amd64 package installs with dpkg into a scratch root, where its
#   program runs and man finds its page, and its removal leaves nothing;
# - release.sh refuses a working tree with changes that HEAD does not hold;
# - --help names the manual that the Windows zip holds.
# Usage: tests/package_test.sh OUTDIR
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
out=${1:?usage: tests/package_test.sh OUTDIR}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/native/CMakeCache.txt")
source tests/checks.sh

# The program of build $1, stripped with $2, is the one in tree $3 of $out,
# and the Debian package of architecture $4 holds it too.
same_program() {
    local stripped
    stripped=$(mktemp)
    "$2" -o "$stripped" "build/$1/dl2torrent"
    cmp "$stripped" "$out/$3/bin/dl2torrent" || fail "$3 does not hold build/$1's program"
    cmp "$stripped" "$out/dl2torrent_${version}_$4/usr/bin/dl2torrent" || fail "the $4 package does not hold build/$1's program"
    readelf -d "$stripped" | grep -q 'no dynamic section' || fail "build/$1's program is not static"
    rm -f "$stripped"
}

# The committed files of packaging/desktop/, each with its path under share/.
desktop_files=("dl2torrent.desktop applications/dl2torrent.desktop"
    "dl2torrent.svg icons/hicolor/scalable/apps/dl2torrent.svg")
for png in $(cd packaging/desktop && find hicolor -name '*.png' | sort); do
    desktop_files+=("$png icons/$png")
done

# Tree $1 of $out and the Debian package of architecture $2 hold them.
same_desktop_files() {
    local pair committed installed
    for pair in "${desktop_files[@]}"; do
        read -r committed installed <<< "$pair"
        cmp -s "packaging/desktop/$committed" "$out/$1/share/$installed" || fail "$1/share/$installed is not packaging/desktop/$committed"
        cmp -s "packaging/desktop/$committed" "$out/dl2torrent_${version}_$2/usr/share/$installed" ||
            fail "the $2 package's /usr/share/$installed is not packaging/desktop/$committed"
    done
}

# lintian on both packages: informational remarks are shown, nothing more.
lint() {
    local report
    if ! report=$(lintian --display-info --fail-on error,warning "$out"/dl2torrent_"${version}"_{amd64,arm64}.deb 2>&1) ||
        grep -q '^[EW]: ' <<< "$report"; then
        fail "lintian reports errors or warnings"
    fi
    grep -v '^running with root privileges' <<< "$report" | sed 's/^/lintian: /'
}

# dpkg with the database of scratch root $1 (a user's own, as root or not);
# the host's path filters (as in slim containers) do not apply there.
scratch_dpkg() {
    local root=$1
    shift
    dpkg --root="$root" --force-not-root --log=/dev/null --path-include='*' "$@"
}

# The amd64 package installed, used and removed in a scratch root.
install_and_remove() {
    local root found
    root=$(mktemp -d)
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
    scratch_dpkg "$root" -i "$out/dl2torrent_${version}_amd64.deb" > /dev/null || fail "dpkg -i"
    found=$(PATH=$root/usr/bin:$PATH && command -v dl2torrent && dl2torrent --version)
    [ "$found" = "$root/usr/bin/dl2torrent"$'\n'"dl2torrent $version" ] || fail "dl2torrent --version: $found"
    found=$(MANPATH=$root/usr/share/man man -w dl2torrent)
    [ "$found" = "$root/usr/share/man/man1/dl2torrent.1.gz" ] || fail "man -w dl2torrent: $found"
    for doc in copyright changelog.gz; do
        [ -s "$root/usr/share/doc/dl2torrent/$doc" ] || fail "no /usr/share/doc/dl2torrent/$doc"
    done
    scratch_dpkg "$root" -r dl2torrent > /dev/null || fail "dpkg -r"
    # All that may stay is dpkg's own database, without the package.
    found=$(cd "$root" && find . -mindepth 1 ! -path ./var ! -path ./var/lib ! -path './var/lib/dpkg*' -o \
        -path './var/lib/dpkg/info/dl2torrent*' | sort)
    [ -z "$found" ] || fail "left after dpkg -r: ${found//$'\n'/ }"
    scratch_dpkg "$root" -s dl2torrent > /dev/null 2>&1 && fail "dpkg -s still knows dl2torrent after dpkg -r"
    rm -rf "$root"
}

# release.sh refuses to build HEAD from a working tree that differs from it.
refuses_changes() {
    local clone found
    clone=$(mktemp -d)
    git clone -q . "$clone" && echo changed >> "$clone/README.md"
    found=$(bash "$clone/scripts/release.sh" "$clone/out" 2>&1) && fail "release.sh built from a changed working tree"
    grep -q 'holds changes that HEAD does not' <<< "$found" || fail "release.sh on a changed working tree: $found"
    [ ! -e "$clone/out/source" ] || fail "release.sh began a build from a changed working tree"
    rm -rf "$clone"
}

# --help names the manual that the Windows zip holds.
manual=$(build/native/dl2torrent --help | sed -n 's/.*(on Windows: \([^ ]*\) beside the .exe).*/\1/p')
[ -n "$manual" ] && [ -f "$out/dl2torrent-$version-win64/$manual" ] || fail "--help names '$manual', not in the Windows zip"

same_program native strip "dl2torrent-$version-Linux-x86_64" amd64
same_program arm64 aarch64-linux-gnu-strip "dl2torrent-$version-Linux-aarch64" arm64
same_desktop_files "dl2torrent-$version-Linux-x86_64" amd64
same_desktop_files "dl2torrent-$version-Linux-aarch64" arm64
lint
install_and_remove
refuses_changes
echo "package_test: $failures failed"
[ $failures -eq 0 ]
