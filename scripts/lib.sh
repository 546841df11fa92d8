# Shell helpers shared by the demo and the benchmarks (sourced).

# Stops the processes listed in "pids" and waits for them.
stop_pids() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}

# Waits up to 10 s for TEXT to appear in FILE.
wait_for() {  # FILE TEXT
    for _ in $(seq 100); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "$(basename "$0"): timed out waiting for '$2' in $1" >&2
    return 1
}
