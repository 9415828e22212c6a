#!/usr/bin/env bash
# CHANGELOG.md and the Debian packages' changelog say the same: the same
# versions in the same order, each of the same date, with the same items
# (compared word by word, without Markdown's backticks). Each file is
# turned into lines "VERSION DATE: ITEM".
# Usage: tests/changelog_test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

markdown() {
    awk '/^## / { version = $2; date = $4; next }
         /^- / { if (item) print item; item = version " " date ":" substr($0, 2); next }
         /^[^ #]/ && item { item = item " " $0 }
         END { if (item) print item }' CHANGELOG.md | tr -d '`' | tr -s ' '
}

debian() {
    awk '/^dl2torrent \(/ { version = substr($2, 2, length($2) - 2); n = 0; next }
         /^  \* / { items[++n] = substr($0, 4); next }
         /^    / && n { items[n] = items[n] " " substr($0, 5); next }
         /^ -- / { match($0, /  [A-Z][a-z][a-z], /); split(substr($0, RSTART + 2), d, /[ ,]+/)
                   date = sprintf("%s-%02d-%s", d[4], index("JanFebMarAprMayJunJulAugSepOctNovDec", d[3]) / 3 + 1, d[2])
                   for (i = 1; i <= n; i++) print version " " date ": " items[i] }' packaging/debian/changelog | tr -s ' '
}

diff <(markdown) <(debian) && echo "changelogs agree: $(markdown | cut -d: -f1 | sort -u | tr '\n' ' ')"
