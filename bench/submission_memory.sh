#!/usr/bin/env bash
# Measures how much the daemon's resident memory grows while it processes one large MM7
# submission (default 50 MB of binary content, plus the same as base64 lines), and what 500
# submissions left waiting for the kernel module hold together.  Runs the real
# daemon and the kernel module simulator in a network namespace of their own.
#
#   bench/submission_memory.sh [SIZE_MB]     (MM7_BENCH_WAITING: submissions left waiting, 500)
set -euo pipefail
cd "$(dirname "$0")/.."
size_mb="${1:-50}"
if [ -z "${MM7_BENCH_INNER:-}" ]; then
    scripts/build.sh
    exec unshare --net sh -c 'ip link set lo up && MM7_BENCH_INNER=1 exec "$0" "$@"' "$0" "$@"
fi

dir="$(mktemp -d /tmp/mm7-bench.XXXXXX)"
mkdir -p "$dir/work"
. bench/lib.sh

# The simulator reads commands from a pipe, so that it can stop confirming later on.
mkfifo "$dir/sim.in"
build/tools/kmodsim/kmodsim --stay --log "$dir/kmodsim.log" <"$dir/sim.in" >"$dir/kmodsim.out" &
pids+=($!)
exec 3>"$dir/sim.in"
build/mm7_server --workdir "$dir/work" --logfile "$dir/mm7.log" --clientip 127.0.0.1 \
    --clienturl http://127.0.0.1:8080/x &
daemon=$!
pids+=($daemon)
for _ in $(seq 100); do grep -q "QZM MM7 server starting" "$dir/mm7.log" 2>/dev/null && break; sleep 0.1; done

make_request() {  # ENCODING -> body file
    local enc="$1" body="$dir/body.$1"
    {
        printf -- '--outer\r\nContent-Type: text/xml\r\nContent-ID: <env>\r\n\r\n'
        printf '<env:Envelope xmlns:env="http://schemas.xmlsoap.org/soap/envelope/"><env:Header><TransactionID>b1</TransactionID></env:Header>'
        printf '<env:Body><SubmitReq><Recipients><To><Number>+4917012345</Number></To></Recipients><Content href="cid:c"/></SubmitReq></env:Body></env:Envelope>\r\n'
        printf -- '--outer\r\nContent-Type: multipart/related; boundary="inner-boundary-for-the-benchmark"; start="<s>"; type="application/smil"\r\nContent-ID: <c>\r\n\r\n'
        printf -- '--inner-boundary-for-the-benchmark\r\nContent-Type: application/smil\r\nContent-ID: <s>\r\n\r\n<smil/>\r\n'
        printf -- '--inner-boundary-for-the-benchmark\r\nContent-Type: application/octet-stream\r\nContent-ID: <big>\r\nContent-Transfer-Encoding: %s\r\n\r\n' "$enc"
        if [ "$enc" = binary ]; then
            head -c "$((size_mb * 1024 * 1024))" /dev/urandom
        else
            head -c "$((size_mb * 1024 * 1024))" /dev/urandom | base64 -w 76 | sed 's/$/\r/'
        fi
        printf '\r\n--inner-boundary-for-the-benchmark--\r\n\r\n--outer--\r\n'
    } >"$body"
    echo "$body"
}

rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$daemon/status"; }
hwm_kb() { awk '/^VmHWM/ {print $2}' "/proc/$daemon/status"; }

for enc in binary base64; do
    body="$(make_request "$enc")"
    before="$(rss_kb)"
    start=$(date +%s.%N)
    code=$(curl -sS -o "$dir/reply" -w '%{http_code}' -H 'Expect:' \
        -H 'Content-Type: multipart/related; boundary="outer"; type="text/xml"; start="<env>"' \
        --data-binary @"$body" http://127.0.0.1:8887/mm7)
    end=$(date +%s.%N)
    after="$(rss_kb)"
    peak="$(hwm_kb)"
    printf '%s: %s MB content (%s bytes of request), reply %s, %.2f s; RSS before %s kB, after %s kB, peak %s kB (growth to peak %s kB)\n' \
        "$enc" "$size_mb" "$(stat -c %s "$body")" "$code" "$(awk -v a="$start" -v b="$end" 'BEGIN {print b - a}')" \
        "$before" "$after" "$peak" "$((peak - before))"
    rm -f "$body"
done

# Many submissions waiting for the kernel module at once: the memory they hold together.
waiting="${MM7_BENCH_WAITING:-500}"
echo "set confirm none" >&3
body="$dir/body.small"
{
    printf -- '--outer\r\nContent-Type: text/xml\r\nContent-ID: <env>\r\n\r\n'
    printf '<env:Envelope xmlns:env="http://schemas.xmlsoap.org/soap/envelope/"><env:Header><TransactionID>w</TransactionID></env:Header>'
    printf '<env:Body><SubmitReq><Recipients><To><Number>+4917012345</Number></To></Recipients><Content href="cid:c"/></SubmitReq></env:Body></env:Envelope>\r\n'
    printf -- '--outer\r\nContent-Type: multipart/related; boundary="inner"; start="<s>"; type="application/smil"\r\nContent-ID: <c>\r\n\r\n'
    printf -- '--inner\r\nContent-Type: application/smil\r\nContent-ID: <s>\r\n\r\n<smil/>\r\n'
    printf -- '--inner\r\nContent-Type: image/png\r\nContent-ID: <i>\r\nContent-Transfer-Encoding: base64\r\n\r\n'
    head -c 4000 /dev/urandom | base64 -w 76 | sed 's/$/\r/'
    printf -- '--inner--\r\n\r\n--outer--\r\n'
} >"$body"
before="$(rss_kb)"
python3 - "$body" "$waiting" "$dir/kmodsim.out" "$daemon" <<'PY'
import socket, sys, time
body = open(sys.argv[1], "rb").read()
count, sim_out, daemon = int(sys.argv[2]), sys.argv[3], sys.argv[4]
head = (b'POST /mm7 HTTP/1.0\r\nContent-Type: multipart/related; boundary="outer"; '
        b'type="text/xml"; start="<env>"\r\nContent-Length: %d\r\n\r\n' % len(body))
socks = []
for _ in range(count):
    s = socket.create_connection(("127.0.0.1", 8887))
    s.sendall(head + body)
    socks.append(s)
deadline = time.time() + 60
while open(sim_out).read().count("not confirming") < count and time.time() < deadline:
    time.sleep(0.2)
rss = [l.split()[1] for l in open("/proc/%s/status" % daemon) if l.startswith("VmRSS")][0]
print("%d waiting: %d not confirmed, RSS %s kB" % (count, open(sim_out).read().count("not confirming"), rss))
PY
echo "RSS before the waiting submissions: $before kB"
