#!/usr/bin/env bash
# The desktop entry on a real X display, used as a file manager uses it: in
# a new user's session on Xvfb, with the entry in the user's applications
# and transmission-gtk registered for torrents, `gtk-launch dl2torrent FILE`
# runs the program on a downloader in a terminal (xterm), and xdg-open hands
# the saved torrent to transmission-gtk.
# - A complete downloader: the torrent is saved byte for byte, the terminal
#   closes, and transmission-gtk runs with the torrent's full path.
# - A downloader whose torrent is cut: the terminal window stays open at the
#   key prompt, with the program waiting in it; one key closes it; nothing is
#   written and nothing is handed to the client.
# Before that: desktop-file-validate has nothing to say about the entry, and
# the committed icon images are those the drawing makes.
# Every process the test starts is ended on the way out, also after a failure.
# Usage: tests/desktop_test.sh PROGRAM   (such as build/native/dl2torrent)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
if [ $# -ne 1 ] || [ ! -x "$1" ]; then
    echo "usage: tests/desktop_test.sh PROGRAM" >&2
    exit 2
fi
program=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
scratch=$(mktemp -d)
source tests/checks.sh
# How long to wait for a window, a process or a file before failing.
patience=60

# Every process started here carries this variable (and, for a launch, the
# launch's name in DL2TORRENT_DESKTOP_LAUNCH), so that the test finds them,
# and only them, wherever the launch put them: xterm, the program, xdg-open,
# the torrent client, a bus that a library started on its own.
mark=DL2TORRENT_DESKTOP_TEST=$scratch

source scripts/marked.sh

# The processes started by launch $2 whose command is $1 and that have not
# ended: their IDs, one a line.
ours() {
    local pid argv0
    for pid in $(marked "$mark"); do
        grep -qzxF "DL2TORRENT_DESKTOP_LAUNCH=$2" "/proc/$pid/environ" 2> /dev/null || continue
        IFS= read -r -d '' argv0 2> /dev/null < "/proc/$pid/cmdline" || continue
        [ "${argv0##*/}" != "$1" ] || echo "$pid"
    done
}
trap 'end_marked "$mark"; wait 2> /dev/null; rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM HUP

# Waits until command $2... succeeds, for $patience seconds at most; else
# fails with the description $1.
wait_until() {
    local what=$1 deadline=$((SECONDS + patience))
    shift
    until "$@"; do
        if ((SECONDS >= deadline)); then
            fail "waited ${patience} s for $what"
            return 1
        fi
        sleep 0.2
    done
}

# The entry and the icon as committed.
found=$(desktop-file-validate packaging/desktop/dl2torrent.desktop 2>&1) || fail "desktop-file-validate failed"
[ -z "$found" ] || fail "desktop-file-validate: $found"
bash scripts/make-icons.sh --check || fail "the committed icon images are not what the drawing makes"

# A new user's home: the entry in the user's applications, and
# transmission-gtk the user's choice for torrents. The client stays off the
# network and leaves what it is given paused; a random port keeps it clear of
# a client that another run of this test has started.
home=$scratch/home
mkdir -p "$home/.local/share/applications" "$home/.config/transmission" "$scratch/runtime"
chmod 700 "$scratch/runtime"
cp packaging/desktop/dl2torrent.desktop "$home/.local/share/applications/"
printf '[Default Applications]\napplication/x-bittorrent=transmission-gtk.desktop\n' > "$home/.config/mimeapps.list"
cat > "$home/.config/transmission/settings.json" << 'EOF'
{
    "dht-enabled": false,
    "lpd-enabled": false,
    "pex-enabled": false,
    "utp-enabled": false,
    "port-forwarding-enabled": false,
    "peer-port-random-on-start": true,
    "rpc-enabled": false,
    "start-added-torrents": false,
    "user-has-given-informed-consent": true
}
EOF

# The session's PATH: links to the build machine's commands, and to the program
# under test as dl2torrent, as the entry names it. GLib runs a Terminal=true
# entry in the first terminal emulator it knows of that is on PATH; those it
# prefers to xterm are left out, so that the launch runs in xterm wherever
# the test runs.
bin=$scratch/bin
mkdir -p "$bin"
link_commands "$bin"
for name in xdg-terminal-exec kgx ptyxis gnome-terminal mate-terminal xfce4-terminal tilix konsole nxterm \
    color-xterm rxvt dtterm dl2torrent; do
    rm -f "${bin:?}/$name"
done
ln -s "$program" "$bin/dl2torrent"

# An X display of its own, on the first free number. An X server resets
# when its last client leaves, and refuses connections meanwhile: gtk-launch
# leaves just as the terminal it started connects, so no reset here.
env -i "$mark" PATH="$bin" Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 \
    3> "$scratch/display" > "$scratch/xvfb.log" 2>&1 &
wait_until "Xvfb to take a display" grep -q '^[0-9]' "$scratch/display" || exit 1
display=:$(head -n 1 "$scratch/display")

# Sets session to the start of a command line that runs in the session, as
# launch $1: nothing of this shell's environment but what a desktop session
# would set. xterm records what it shows in $scratch/LAUNCH.terminal, a file
# for each launch.
enter_session() {
    printf 'XTerm*logging: true\nXTerm*logFile: %s\n' "$scratch/$1.terminal" > "$scratch/$1.resources"
    session=(env -i "$mark" DL2TORRENT_DESKTOP_LAUNCH="$1" PATH="$bin" HOME="$home" LANG=C.UTF-8
        DISPLAY="$display" XDG_RUNTIME_DIR="$scratch/runtime" XENVIRONMENT="$scratch/$1.resources" NO_AT_BRIDGE=1)
}

# What terminal $1 has shown holds line $2.
shown() { tr -d '\r' 2> /dev/null < "$scratch/$1.terminal" | grep -qxF "$2"; }
# No process of command $1 from launch $2 runs.
none() { [ -z "$(ours "$1" "$2")" ]; }
# A process of command $1 from launch $2 runs.
some() { [ -n "$(ours "$1" "$2")" ]; }

# A complete downloader, in a folder whose name has a space, as many have.
cp tests/fixtures/hello64.exe "$scratch/complete.exe"
cat tests/fixtures/sample.torrent >> "$scratch/complete.exe"
dir="$home/My Downloads"
mkdir -p "$dir"
cp "$scratch/complete.exe" "$dir/Quv-1-downloader.exe"
torrent="$dir/Quv-1-downloader.torrent"
enter_session complete
"${session[@]}" gtk-launch dl2torrent "$dir/Quv-1-downloader.exe" >> "$scratch/complete.log" 2>&1 ||
    fail "gtk-launch on a complete downloader"
if wait_until "transmission-gtk" some transmission-gtk complete; then
    for pid in $(ours transmission-gtk complete); do
        mapfile -d '' -t argv < "/proc/$pid/cmdline"
        given=no
        for arg in "${argv[@]:1}"; do [ "$arg" = "$torrent" ] && given=yes; done
        [ $given = yes ] || fail "transmission-gtk runs as: ${argv[*]}"
    done
fi
cmp "$torrent" tests/fixtures/sample.torrent || fail "the torrent saved is not the one the downloader carries"
wait_until "the terminal to close after a success" none xterm complete
shown complete "Saving torrent to $torrent..." || fail "the terminal did not show the save"
shown complete "Press any key to exit.." && fail "the terminal asked for a key after a success"

# A downloader whose torrent is cut, as one still being downloaded.
cp tests/fixtures/hello64.exe "$scratch/cut.exe"
head -c -20 tests/fixtures/sample.torrent >> "$scratch/cut.exe"
dir="$home/Cut"
mkdir -p "$dir"
cp "$scratch/cut.exe" "$dir/Quv-2-downloader.exe"
enter_session cut
"${session[@]}" gtk-launch dl2torrent "$dir/Quv-2-downloader.exe" >> "$scratch/cut.log" 2>&1 ||
    fail "gtk-launch on a cut downloader"
if wait_until "the key prompt" shown cut "Press any key to exit.."; then
    shown cut "Torrent is incomplete!  The download may not have finished" || fail "the terminal did not say why"
    window=$("${session[@]}" xdotool search --onlyvisible --pid "$(ours xterm cut)" 2>> "$scratch/cut.log")
    [ -n "$window" ] || fail "no terminal window at the key prompt"
    some dl2torrent cut || fail "the program does not wait at the key prompt"
    # No window manager here: the window is given the focus, and the key
    # goes to it as typed.
    "${session[@]}" xdotool windowfocus --sync "$window" key space >> "$scratch/cut.log" 2>&1 ||
        fail "xdotool could not press a key"
    wait_until "the program to end after a key" none dl2torrent cut
    wait_until "the terminal to close after a key" none xterm cut
fi
found=$(cd "$dir" && ls -A)
[ "$found" = Quv-2-downloader.exe ] || fail "written beside a cut downloader: ${found//$'\n'/ }"
some transmission-gtk cut && fail "a cut torrent was handed to transmission-gtk"

if [ $failures -gt 0 ]; then
    for file in "$scratch"/*.log "$scratch"/*.terminal; do
        [ -e "$file" ] && { echo "== ${file##*/}:"; cat "$file"; }
    done
fi
echo "desktop_test: $failures failed"
[ $failures -eq 0 ]
