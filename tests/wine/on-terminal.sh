#!/usr/bin/env bash
# Runs a command on a terminal of its own (which Wine turns into the
# program's console) and returns its exit status: on-terminal.sh COMMAND...
# The terminal's input stays open and empty: at the end of its input,
# `script` would type an end-of-file character, which a console reads as a key.
set -uo pipefail
exec 3< <(exec sleep 600 2> /dev/null)
idle=$!
script -qec "$(printf '%q ' "$@")" /dev/null <&3
status=$?
kill "$idle" 2> /dev/null
exit $status
