#!/usr/bin/env bash
# Builds the Debian package OUTDIR/dl2torrent_VERSION_ARCH.deb from a tree
# that cmake --install made, and leaves its files unpacked beside it in
# OUTDIR/dl2torrent_VERSION_ARCH/; doc/releasing.md says what it holds. The
# package is the same bit for bit on every build: every time is
# SOURCE_DATE_EPOCH, every owner root, the members in name order.
# MAINTAINER, "Name <address>", is the package's maintainer, also in its
# changelog.
# Usage: scripts/make-deb.sh TREE VERSION ARCH OUTDIR MAINTAINER
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -eq 5 ] || { echo "usage: $0 TREE VERSION ARCH OUTDIR MAINTAINER" >&2; exit 2; }
tree=$1 version=$2 arch=$3 out=$4 maintainer=$5
: "${SOURCE_DATE_EPOCH:?SOURCE_DATE_EPOCH must be set}"
name=dl2torrent_${version}_$arch
pkg=$out/$name
doc=$pkg/usr/share/doc/dl2torrent
umask 022

# The package's changelog, in Debian's form, from CHANGELOG.md (whose
# newest entry is of the project's version: CMakeLists.txt sees to it): an
# entry for each "## VERSION - YYYY-MM-DD", its items without Markdown's
# backticks, wrapped within 76 columns, signed by the maintainer.
debian_changelog() {
    MAINTAINER=$maintainer LC_ALL=C awk '
        function flush(    n, words, i, line) {
            n = split(item, words, " ")
            for (i = 1; i <= n; i++) {
                if (i == 1 || length(line) + length(words[i]) >= 76) { if (i > 1) print line; line = i == 1 ? "  *" : "   " }
                line = line " " words[i]
            }
            if (n) print line
            item = ""
        }
        function sign(    command, stamp) {
            flush()
            command = "date -u -d " date " \"+%a, %d %b %Y %H:%M:%S +0000\""
            command | getline stamp
            close(command)
            print "\n -- " ENVIRON["MAINTAINER"] "  " stamp
        }
        /^## / { if (version) { sign(); print "" } version = $2; date = $4; print "dl2torrent (" version ") unstable; urgency=medium\n"; next }
        /^- / && version { flush(); item = substr($0, 3); next }
        /^[^ #]/ && item { item = item " " $0 }
        END { if (version) sign() }' CHANGELOG.md | tr -d '`'
}

# The machine-readable copyright file, from LICENSE: its notice and its text.
copyright() {
    printf 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n'
    printf 'Upstream-Name: dl2torrent\n\nFiles: *\n'
    sed -n 's/^Copyright (c) /Copyright: /p' LICENSE
    printf 'License: Expat\n'
    sed -n '/^Permission/,$p' LICENSE | sed 's/^$/./; s/^/ /'
}

rm -rf "$pkg"
mkdir -p "$pkg/DEBIAN" "$pkg/usr/bin" "$pkg/usr/share/man/man1" "$doc" "$pkg/usr/share/lintian/overrides"
cp "$tree/bin/dl2torrent" "$pkg/usr/bin/dl2torrent"
gzip -9 -n < "$tree/share/man/man1/dl2torrent.1" > "$pkg/usr/share/man/man1/dl2torrent.1.gz"
copyright > "$doc/copyright"
# sed's replacement: the maintainer with its own & and / and \ kept as they are.
maintainer_text=$(printf '%s' "$maintainer" | sed 's/[&/\]/\\&/g')
debian_changelog | gzip -9 -n > "$doc/changelog.gz"
cp packaging/debian/lintian-overrides "$pkg/usr/share/lintian/overrides/dl2torrent"
# The desktop's caches of entries and icons are brought up to date by the
# triggers of desktop-file-utils and the icon themes, so no maintainer script.
cp -R "$tree/share/applications" "$tree/share/icons" "$pkg/usr/share/"

# Installed-Size counts each file in KiB rounded up, and a KiB per directory,
# as dpkg-gencontrol does: from sizes, not from the file system's blocks.
size=$(cd "$pkg" && find usr -printf '%y %s\n' |
    awk '$1 == "d" { kib += 1 } $1 == "f" { kib += int(($2 + 1023) / 1024) } END { print kib }')
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@SIZE@/$size/" -e "s/@MAINTAINER@/$maintainer_text/" \
    packaging/debian/control.in \
    > "$pkg/DEBIAN/control"
(cd "$pkg" && find usr -type f | sort | xargs md5sum > DEBIAN/md5sums)

find "$pkg" -type d -exec chmod 755 {} +
find "$pkg" -type f -exec chmod 644 {} +
chmod 755 "$pkg/usr/bin/dl2torrent"
find "$pkg" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
# dpkg-deb takes the member times from SOURCE_DATE_EPOCH and sorts the
# entries; one compressor thread keeps the xz stream the same on any machine.
dpkg-deb --root-owner-group --threads-max=1 -Zxz --build "$pkg" "$out/$name.deb" > /dev/null
