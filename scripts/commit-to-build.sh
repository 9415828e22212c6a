#!/usr/bin/env bash
# Prints the commit that a script which builds from git is to build, by the
# rule of doc/testing.md, "Which tree a script builds". The snapshot of the
# working tree has HEAD's author, committer and dates. --no-snapshot
# refuses it instead, with status 1.
# Usage: scripts/commit-to-build.sh [--no-snapshot] [REV]
set -euo pipefail
cd "$(dirname "$0")/.."
snapshot=yes
if [ "${1:-}" = --no-snapshot ]; then
    snapshot=
    shift
fi
if [ $# -gt 0 ]; then
    git rev-parse --verify "$1^{commit}"
    exit
fi
if [ -z "$(git status --porcelain)" ]; then
    git rev-parse HEAD
    exit
fi
if [ -z "$snapshot" ]; then
    echo "the working tree holds changes that HEAD does not (git status lists them): commit or stash them first" >&2
    exit 1
fi
index=$(mktemp)
trap 'rm -f "$index"' EXIT
GIT_INDEX_FILE=$index git read-tree HEAD
GIT_INDEX_FILE=$index git add -A
tree=$(GIT_INDEX_FILE=$index git write-tree)
GIT_AUTHOR_NAME=$(git log -1 --format=%an) GIT_AUTHOR_EMAIL=$(git log -1 --format=%ae) \
    GIT_AUTHOR_DATE=$(git log -1 --format=%aI) GIT_COMMITTER_NAME=$(git log -1 --format=%cn) \
    GIT_COMMITTER_EMAIL=$(git log -1 --format=%ce) GIT_COMMITTER_DATE=$(git log -1 --format=%cI) \
    git commit-tree "$tree" -p HEAD -m "the working tree as it was, for scripts/commit-to-build.sh"
