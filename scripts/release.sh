#!/usr/bin/env bash
# Builds the release packages that doc/releasing.md lists, bit for bit the
# same wherever and whenever the same commit is built, in OUTDIR (default
# build/release). Each package also lies unpacked in OUTDIR, in a folder of
# its own name, and SHA256SUMS lists the packages and the stripped programs
# they hold.
# Usage: scripts/release.sh [--commit REV] [OUTDIR]
#
# What is built is what a commit holds, as `git archive` gives it, unpacked
# in OUTDIR/source: REV, or HEAD when the working tree holds nothing else
# (scripts/commit-to-build.sh --no-snapshot). Every time stamp is
# SOURCE_DATE_EPOCH, by default that commit's time.
# The Debian packages' maintainer is DEBFULLNAME <DEBEMAIL> when both are
# set, as for Debian's own tools, else the commit's committer.
# The archives are made here, not by cpack (doc/releasing.md says why).
set -euo pipefail
cd "$(dirname "$0")/.."
commit=
if [ "${1:-}" = --commit ]; then
    commit=${2:?usage: scripts/release.sh [--commit REV] [OUTDIR]}
    shift 2
fi
out=$(mkdir -p "${1:-build/release}" && cd "${1:-build/release}" && pwd)
bash scripts/setup.sh base windows arm64 release macos web
if [ "$(uname -s)-$(uname -m)" != Linux-x86_64 ]; then
    echo "release.sh: release packages are built on x86-64 Linux" >&2
    exit 1
fi
commit=$(bash scripts/commit-to-build.sh --no-snapshot ${commit:+"$commit"}) || {
    echo "release.sh: a release is of a commit; see above" >&2
    exit 1
}
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$commit")
fi
export SOURCE_DATE_EPOCH
if [ -n "${DEBFULLNAME:-}" ] && [ -n "${DEBEMAIL:-}" ]; then
    maintainer="$DEBFULLNAME <$DEBEMAIL>"
else
    maintainer=$(git log -1 --format='%cn <%ce>' "$commit")
fi
rm -rf "$out/source" && mkdir -p "$out/source"
git archive "$commit" | tar -xf - -C "$out/source"
cd "$out/source"
# The zip format keeps local times; these are UTC wherever it is built.
export TZ=UTC0 LC_ALL=C
umask 022

# Configures preset $1 in $out/$1 without the tests; prints the version.
configure() {
    cmake --preset "$1" -B "$out/$1" -DBUILD_TESTING=OFF -DDL2TORRENT_BENCH=OFF > /dev/null
    sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/$1/CMakeCache.txt"
}

# Builds preset $1 and installs it stripped into $out/$2, the archive's top
# directory, with the times and modes the archive records.
build_and_stage() {
    cmake --build "$out/$1" -j 2 > /dev/null
    rm -rf "${out:?}/$2"
    cmake --install "$out/$1" --prefix "$out/$2" --strip > /dev/null
    find "$out/$2" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    find "$out/$2" -type d -exec chmod 755 {} +
}

# Packs $out/$1 into $out/$1.tar.gz: entries in name order, owner 0, one time.
pack_tar() {
    (cd "$out" && tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner \
        --mtime="@$SOURCE_DATE_EPOCH" --mode=u+rw,go=rX -cf - "$1") | gzip -9 -n > "$out/$1.tar.gz"
}

# The Linux release of preset $1 for the processor $2 (uname -m) and Debian
# architecture $3: the tarball and the Debian package, of one program.
release_linux() {
    local version tree
    echo "== release: Linux $2"
    version=$(configure "$1")
    tree=dl2torrent-$version-Linux-$2
    build_and_stage "$1" "$tree"
    pack_tar "$tree"
    bash scripts/make-deb.sh "$out/$tree" "$version" "$3" "$out" "$maintainer"
    sums+=("$tree.tar.gz" "dl2torrent_${version}_$3.deb")
    programs+=("$tree/bin/dl2torrent" "dl2torrent_${version}_$3/usr/bin/dl2torrent")
}

# The macOS release: the two processors' programs, each stripped as it is
# linked and the arm64 one signed, joined by llvm-lipo into one universal
# program, in the Linux tarballs' layout.
release_macos() {
    local version tree
    echo "== release: macOS"
    version=$(configure macos-arm64)
    configure macos-x86_64 > /dev/null
    cmake --build "$out/macos-x86_64" -j 2 > /dev/null
    tree=dl2torrent-$version-macOS
    build_and_stage macos-arm64 "$tree"
    llvm-lipo-14 -create "$out/macos-arm64/dl2torrent" "$out/macos-x86_64/dl2torrent" -output "$out/$tree/bin/dl2torrent"
    chmod 755 "$out/$tree/bin/dl2torrent"
    touch -d "@$SOURCE_DATE_EPOCH" "$out/$tree/bin/dl2torrent"
    pack_tar "$tree"
    sums+=("$tree.tar.gz")
    programs+=("$tree/bin/dl2torrent")
}

sums=() programs=()
release_linux native x86_64 amd64
release_linux arm64 aarch64 arm64

# Packs $out/$1 into $out/$1.zip: entries in name order, no owners, no
# extra time fields (-X), no directory entries (-D).
pack_zip() {
    rm -f "$out/$1.zip"
    (cd "$out" && find "$1" -type f | sort | zip -X -D -q -9 "$out/$1.zip" -@)
    sums+=("$1.zip")
}

echo "== release: Windows"
windows=dl2torrent-$(configure windows)-win64
build_and_stage windows "$windows"
pack_zip "$windows"
programs+=("$windows/dl2torrent.exe")

# The page: its folder as the web build makes it, for any web server.
echo "== release: the web page"
web=dl2torrent-$(configure web)-web
cmake --build "$out/web" -j 2 > /dev/null
rm -rf "${out:?}/$web" && cp -R "$out/web/page" "$out/$web"
find "$out/$web" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} + -exec chmod u=rwX,go=rX {} +
pack_zip "$web"
programs+=("$web/dl2torrent.wasm")

release_macos

(cd "$out" && sha256sum "${sums[@]}" "${programs[@]}" > SHA256SUMS)
echo "== release: $out, from commit $commit"
(cd "$out" && cat SHA256SUMS)
