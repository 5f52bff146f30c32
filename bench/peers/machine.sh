# shellcheck shell=bash disable=SC2154
# CPU time of processes and of the whole machine, for the comparison scripts, which source
# this file and set ticks_per_second=$(getconf CLK_TCK) first.

# utime + stime of a process and its child processes (nginx's workers), in clock ticks:
# the fields after the name in parentheses.
cpu_ticks() {
    local process total=0
    for process in $1 $(cat /proc/"$1"/task/*/children 2>/dev/null); do
        total=$((total + $(sed -E 's/^.*\) //' "/proc/$process/stat" | awk '{print $12 + $13}')))
    done
    echo "$total"
}

# Busy time of the whole machine in clock ticks: user, nice, system, interrupts (loopback
# traffic is mostly handled there, yet charged to the processes that send it) and steal.
machine_ticks() {
    awk '/^cpu / {print $2 + $3 + $4 + $7 + $8 + $9}' /proc/stat
}

# Waits (at most $1 seconds, a minute by default) for half a second in which the machine is
# all but idle: another build or test on these few cores would skew the numbers.
wait_for_quiet() {
    local before
    for _ in $(seq $((${1:-60} * 2))); do
        before=$(machine_ticks)
        sleep 0.5
        [ $(($(machine_ticks) - before)) -le $((ticks_per_second / 20)) ] && return 0
    done
    echo "  (the machine stays busy: measuring anyway)"
}
