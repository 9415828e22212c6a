# shellcheck shell=bash
# Sourced by the shell tests: their count of failures, and what they share.
failures=0

# Says that check $* failed, and counts it.
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# Fills folder $1 with links to every command on PATH (the first of a name
# wins, as on PATH).
link_commands() {
    local entries entry
    IFS=: read -ra entries <<< "$PATH"
    for entry in "${entries[@]}"; do [ -d "$entry" ] && ln -s "$entry"/* "$1"/ 2> /dev/null; done
}
