# shellcheck shell=bash
# Sourced by the scripts that must end every process they started, also
# those that left their process tree (a daemon, a program started by a
# server): each such process carries a mark, an entry NAME=VALUE of its
# environment, by which these find it.

# The processes that carry mark $1, but this shell: their IDs, one a line.
marked() {
    grep -lzxF "$1" /proc/[0-9]*/environ 2> /dev/null | cut -d/ -f3 | grep -vx "$$" || true
}

# Ends every process that carries mark $1: with SIGTERM, which lets each
# clean up after itself, then, what is left after 5 s, with SIGKILL.
end_marked() {
    local tries
    # shellcheck disable=SC2046 # one ID a word; none, a usage message
    kill $(marked "$1") 2> /dev/null || true
    for ((tries = 0; tries < 50; tries++)); do
        [ -n "$(marked "$1")" ] || return 0
        sleep 0.1
    done
    # shellcheck disable=SC2046
    kill -KILL $(marked "$1") 2> /dev/null || true
}
