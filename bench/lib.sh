# Shared by the benchmark scripts (sourced after "$dir" is made): the processes started go in
# "pids" and are stopped, and "$dir" removed, when the script ends.
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$dir"
}
trap cleanup EXIT
wait_for() {  # FILE TEXT
    for _ in $(seq 100); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "bench: timed out waiting for '$2' in $1" >&2
    return 1
}
