# Shared by the benchmark scripts (sourced after "$dir" is made): the processes started go in
# "pids" and are stopped, and "$dir" removed, when the script ends.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"
pids=()
cleanup() {
    stop_pids
    rm -rf "$dir"
}
trap cleanup EXIT
