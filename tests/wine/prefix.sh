#!/usr/bin/env bash
# The Wine prefix the Windows tests run in, made once per test run:
#   prefix.sh create PREFIX RECORDER.EXE   a fresh prefix in which .torrent
#                                          files open with the recorder, and
#                                          its server, running until removed
#   prefix.sh remove PREFIX                stops its server and deletes it
set -euo pipefail
export WINEPREFIX="$2" WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY

case "$1" in
create)
    # A server left by an earlier run that was ended early is stopped first:
    # once its prefix is made anew, nothing could reach it.
    [ ! -d "$WINEPREFIX" ] || wineserver -k > /dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # One server for the whole run, and the services Wine starts with the
    # first program, both with nothing of the test runner open: a server or
    # service started by a test's program would hold that test's pipes (its
    # output, and the end-to-end suite's watch on the opener) until it ends.
    wineserver -p < /dev/null > /dev/null 2>&1
    wineboot -i < /dev/null > /dev/null 2>&1
    recorder=$(winepath -w "$3")
    wine reg add 'HKCR\.torrent' /ve /d dl2torrent.test /f > /dev/null
    wine reg add 'HKCR\dl2torrent.test\shell\open\command' /ve /d "\"$recorder\" \"%1\"" /f > /dev/null
    wine reg query 'HKCR\dl2torrent.test\shell\open\command' /ve 2> /dev/null > "$WINEPREFIX/association"
    grep -qF "$recorder" "$WINEPREFIX/association"
    ;;
remove)
    wineserver -k > /dev/null 2>&1 || true
    wineserver -w > /dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
    ;;
*)
    echo "usage: $0 create PREFIX RECORDER.EXE | remove PREFIX" >&2
    exit 2
    ;;
esac
