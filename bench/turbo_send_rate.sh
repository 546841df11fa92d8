#!/usr/bin/env bash
# Sends per second of one turbo mode worker against an MMSC stand-in that answers at once.
#
# One load generator (CONCURRENCY clients, each posting one small m-send-req after the other)
# runs three ways per round: straight at the stand-in (what the stand-in can take), as MM1-mode
# submissions through the daemon's kernel path (the kernel module simulator answers at once:
# what the VASP side of the daemon and the load generator can carry), and through the daemon to
# port 1, whose worker posts each to the stand-in.  Prints the rates per round, their medians and
# ratios, and the worker's own CPU time per send; a turbo/kernel ratio near 1 means the worker
# is not what limits the rate.  Runs in namespaces of its own with a private /tmp (the settings
# file lives at a fixed path there).
#
#   bench/turbo_send_rate.sh [ROUNDS] [SENDS_PER_ROUND] [CONCURRENCY]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds="${1:-5}"
sends="${2:-1000}"
concurrency="${3:-8}"
if [ -z "${MM7_BENCH_INNER:-}" ]; then
    scripts/build.sh
    MM7_BENCH_INNER=1 exec tests/netns-tmp-run "$0" "$@"
fi

dir="$(mktemp -d /tmp/mm7-bench.XXXXXX)"
mkdir -p "$dir/work"
. bench/lib.sh

python3 tools/mmsc_stub/mmsc_stub.py --port 8080 --quiet >"$dir/mmsc.out" 2>&1 &
pids+=($!)
printf 'mmsc_url: http://127.0.0.1:8080/mms\nimsi: 001010000000001\nmsisdn: +15550100\n' \
    >/tmp/qzm/mm7_settings_1
build/tools/kmodsim/kmodsim --stay --log /dev/null </dev/null >/dev/null &
pids+=($!)
build/mm7_server --workdir "$dir/work" --logfile "$dir/mm7.log" --clientip 127.0.0.1 \
    --turbomodemask 2 &
pids+=($!)
wait_for "$dir/mmsc.out" "mmsc_stub ready"
wait_for "$dir/mm7.log" "worker connected"

# The load generator: prints sends per second.  TARGET is "mmsc" or "daemon".
cat >"$dir/load.py" <<'PY'
import http.client, sys, threading, time
target, total, workers = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
pdu = b"\x8c\x80\x98bench\x00\x8d\x92\x97+15550199/TYPE=PLMN\x00\x84\x83" + b"x" * 200
port, path, headers = {
    "mmsc": (8080, "/mms", {}),
    "kernel": (8887, "/mm7", {"x-qzm-recipient-id": "+49555"}),  # port 49: no worker
    "turbo": (8887, "/mm7", {"x-qzm-recipient-id": "+01555"}),
}[target]
headers["Content-Type"] = "application/vnd.wap.mms-message"
failures = []
def client(n):
    conn = None
    for _ in range(n):
        if conn is None or target != "mmsc":  # the daemon closes after every reply
            conn = http.client.HTTPConnection("127.0.0.1", port)
        conn.request("POST", path, pdu, headers)
        r = conn.getresponse()
        r.read()
        if r.status != 200:
            failures.append(r.status)
threads = [threading.Thread(target=client, args=(total // workers,)) for _ in range(workers)]
start = time.monotonic()
for t in threads: t.start()
for t in threads: t.join()
elapsed = time.monotonic() - start
if failures:
    sys.exit("%d sends failed (%s)" % (len(failures), failures[:3]))
print("%.0f" % (workers * (total // workers) / elapsed))
PY

worker=$(pgrep -P "${pids[2]}" | head -1)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$worker/stat"; }
ref=()
ker=()
got=()
ticks=0
for round in $(seq "$rounds"); do
    r=$(python3 "$dir/load.py" mmsc "$sends" "$concurrency")
    k=$(python3 "$dir/load.py" kernel "$sends" "$concurrency")
    before=$(cpu_ticks)
    g=$(python3 "$dir/load.py" turbo "$sends" "$concurrency")
    ticks=$((ticks + $(cpu_ticks) - before))
    ref+=("$r")
    ker+=("$k")
    got+=("$g")
    echo "round $round: stand-in alone $r/s, kernel path $k/s, through the worker $g/s"
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
mr=$(median "${ref[@]}")
mk=$(median "${ker[@]}")
mg=$(median "${got[@]}")
echo "median of $rounds rounds ($sends sends, $concurrency clients): stand-in alone $mr/s," \
    "kernel path $mk/s, through the worker $mg/s"
echo "ratios: worker/kernel path $(ratio "$mg" "$mk"), worker/stand-in alone $(ratio "$mg" "$mr")"
awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" -v n="$((rounds * sends))" \
    'BEGIN {printf "worker CPU time: %.3f ms per send (%d sends)\n", t * 1000 / hz / n, n}'
