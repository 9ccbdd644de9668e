# Sourced by .ci/run: runs CI's steps, two or three at a time.
#
# A test suite keeps about one core and a fifth busy (much of it waits for
# the interpreters it starts), so two suites side by side on a 2-core machine
# take little longer than one.  Every test is written to pass on a loaded
# machine; what must be measured on an idle one is left to the benchmarks.
#
#   together NAME COMMANDS [NAME COMMANDS]...
#       runs each step's COMMANDS (shell text) at once, each in a fresh bash
#       with errexit, nounset and pipefail and its output in a log of its
#       own; once all have ended, prints each log in the order given, with
#       its time and verdict, and fails if any step failed.

together_logs="$(mktemp -d)"
trap 'rm -rf "$together_logs" || true' EXIT

together() {
    local names=() pids=() status=0 verdict index
    while [[ $# -ge 2 ]]; do
        names+=("$1")
        (
            SECONDS=0
            code=0
            bash -euo pipefail -c "$2" || code=$?
            echo "$SECONDS" > "$together_logs/$1.seconds"
            exit "$code"
        ) > "$together_logs/$1.log" 2>&1 &
        pids+=("$!")
        shift 2
    done
    for index in "${!names[@]}"; do
        if wait "${pids[$index]}"; then
            verdict=passed
        else
            verdict=FAILED
            status=1
        fi
        echo "=== ${names[$index]}: $verdict after $(cat "$together_logs/${names[$index]}.seconds" 2>/dev/null || echo '?') s"
        cat "$together_logs/${names[$index]}.log"
    done
    return "$status"
}
