# What the CPU benches read from /proc; sourced after tests/e2e/lib.sh.

# The wineserver of this prefix works in a folder named server-DEV-INODE of the prefix (under
# /tmp/.wine-UID, or a private temporary folder on Debian).
server_pid() {
    local dir p
    dir=$(printf 'server-%x-%x' "$(stat -c %d "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")
    for p in $(pgrep -u "$(id -u)" -x 'wineserver(64)?'); do
        [[ "$(readlink "/proc/$p/cwd")" == */"$dir" ]] && echo "$p" && return 0
    done
    return 1
}

# CPU time of a process in microseconds, all its threads (/proc/PID/task/*/schedstat counts the
# nanoseconds each thread ran; clock ticks would only sample it), and its context switches,
# voluntary and not: each is a wake-up, which is what an idle program should have few of.
cpu_us() {
    [ -n "$1" ] && [ -d "/proc/$1/task" ] || {
        echo 0
        return
    }
    cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%d", s / 1000 }'
}
switches() {
    [ -n "$1" ] && [ -d "/proc/$1/task" ] || {
        echo 0
        return
    }
    cat /proc/"$1"/task/*/status 2>/dev/null | awk '/ctxt_switches/ { s += $2 } END { print s + 0 }'
}
