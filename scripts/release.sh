#!/usr/bin/env bash
# Builds the release packages, bit for bit the same wherever and whenever the
# same commit is built: dl2torrent-VERSION-Linux.tar.gz and
# dl2torrent-VERSION-win64.zip, the stripped programs they hold, and
# SHA256SUMS over all four, in OUTDIR (default build/release).
# Usage: scripts/release.sh [OUTDIR]
#
# Every time stamp is SOURCE_DATE_EPOCH, by default the last commit's time.
# The archives are made here rather than by cpack, whose archives (CMake
# 3.25) take the times, owners and order of the files as they lie on disk.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(mkdir -p "${1:-build/release}" && cd "${1:-build/release}" && pwd)
bash scripts/setup.sh base windows release

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
fi
export SOURCE_DATE_EPOCH
# The zip format keeps local times; these are UTC wherever it is built.
export TZ=UTC0 LC_ALL=C
umask 022

# Configures preset $1 in $out/$1 without the tests; prints the version.
configure() {
    cmake --preset "$1" -B "$out/$1" -DBUILD_TESTING=OFF -DDL2TORRENT_BENCH=OFF > /dev/null
    sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$out/$1/CMakeCache.txt"
}

# Builds preset $1 and installs it stripped into $out/stage/$2, the
# archive's top directory, with the times and modes the archive records.
build_and_stage() {
    cmake --build "$out/$1" -j 2 > /dev/null
    rm -rf "${out:?}/stage/$2"
    cmake --install "$out/$1" --prefix "$out/stage/$2" --strip > /dev/null
    find "$out/stage/$2" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    find "$out/stage/$2" -type d -exec chmod 755 {} +
}

echo "== release: Linux"
linux=dl2torrent-$(configure native)-Linux
build_and_stage native "$linux"
(cd "$out/stage" && tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner \
     --mtime="@$SOURCE_DATE_EPOCH" --mode=u+rw,go=rX -cf - "$linux") | gzip -9 -n > "$out/$linux.tar.gz"
cp "$out/stage/$linux/bin/dl2torrent" "$out/dl2torrent"

echo "== release: Windows"
windows=dl2torrent-$(configure windows)-win64
build_and_stage windows "$windows"
rm -f "$out/$windows.zip"
# -X: no owners or extra time fields; -D: no directory entries.
(cd "$out/stage" && find "$windows" -type f | sort | zip -X -D -q -9 "$out/$windows.zip" -@)
cp "$out/stage/$windows/dl2torrent.exe" "$out/dl2torrent.exe"

(cd "$out" && sha256sum "$linux.tar.gz" "$windows.zip" dl2torrent dl2torrent.exe > SHA256SUMS)
echo "== release: $out"
(cd "$out" && cat SHA256SUMS)
