#!/usr/bin/env bash
# What the log costs at each --loglevel: lines and bytes per submission, for submissions the
# kernel module confirms and for requests refused with 400, and the lines one MMSC transaction
# leaves when the MMSC is hostile (it answers a turbo mode send with a chunked body that never
# ends, until --turbomodetimeout ends the transaction).  The daemon is started afresh for each
# level; the figures are the log's growth divided by the number of requests.  Runs in namespaces
# of its own with a private /tmp (the turbo mode settings file lives at a fixed path there).
#
#   bench/log_volume.sh [SUBMISSIONS] [HOSTILE_TRANSACTIONS]
set -euo pipefail
cd "$(dirname "$0")/.."
submissions="${1:-200}"
hostile="${2:-3}"
if [ -z "${MM7_BENCH_INNER:-}" ]; then
    scripts/build.sh
    MM7_BENCH_INNER=1 exec tests/netns-tmp-run "$0" "$@"
fi

dir="$(mktemp -d /tmp/mm7-logvol.XXXXXX)"
. bench/lib.sh

python3 tools/mmsc_stub/mmsc_stub.py --port 8790 --quiet >"$dir/mmsc.out" 2>&1 &
pids+=($!)
printf 'mmsc_url: http://127.0.0.1:8790/endless\nimsi: 001010000000007\nmsisdn: +15550107\n' \
    >/tmp/qzm/mm7_settings_7
build/tools/kmodsim/kmodsim --stay --log /dev/null </dev/null >/dev/null &
pids+=($!)
wait_for "$dir/mmsc.out" "mmsc_stub ready"

# The requests: a SubmitReq with a SMIL, a text and a small image part (about 1.5 kB), a request
# refused at its first header, and an MM1-mode send routed to port 7 (the hostile MMSC).
cat >"$dir/load.py" <<'PY'
import http.client, sys, threading
kind, count = sys.argv[1], int(sys.argv[2])
env = ('<env:Envelope xmlns:env="http://schemas.xmlsoap.org/soap/envelope/"><env:Header>'
       '<TransactionID>bench-%d</TransactionID></env:Header><env:Body><SubmitReq>'
       '<MM7Version>5.3.0</MM7Version><Recipients><To><Number>+4917012345</Number></To>'
       '</Recipients><Subject>Log volume</Subject><Content href="cid:c"/></SubmitReq></env:Body>'
       '</env:Envelope>')
inner = ('--inner\r\nContent-Type: application/smil\r\nContent-ID: <s>\r\n\r\n'
         '<smil><body><par><img src="i.gif"/><text src="t.txt"/></par></body></smil>\r\n'
         '--inner\r\nContent-Type: text/plain\r\nContent-ID: <t>\r\nContent-Location: t.txt\r\n'
         '\r\nHello from the benchmark\r\n--inner\r\nContent-Type: image/gif\r\n'
         'Content-ID: <i>\r\nContent-Transfer-Encoding: base64\r\n\r\n' + 'R0lGODlh' * 100 +
         '\r\n--inner--\r\n')
def submit(n):
    body = ('--outer\r\nContent-Type: text/xml\r\nContent-ID: <env>\r\n\r\n' + env % n +
            '\r\n--outer\r\nContent-Type: multipart/related; boundary="inner"; start="<s>"; '
            'type="application/smil"\r\nContent-ID: <c>\r\n\r\n' + inner + '\r\n--outer--\r\n')
    return body.encode(), {"Content-Type": 'multipart/related; boundary="outer"; '
                                          'type="text/xml"; start="<env>"'}
pdu = b"\x8c\x80\x98hostile\x00\x8d\x92\x97+15550199/TYPE=PLMN\x00\x84\x83" + b"x" * 200
def one(n, want):
    if kind == "refused":
        body, headers = b"", {"Content-Length": "x"}
    elif kind == "hostile":
        body, headers = pdu, {"Content-Type": "application/vnd.wap.mms-message",
                              "x-qzm-recipient-id": "+07555"}
    else:
        body, headers = submit(n)
    conn = http.client.HTTPConnection("127.0.0.1", 8887, timeout=60)
    conn.request("POST", "/mm7", body, headers)
    r = conn.getresponse()
    r.read()
    if r.status != want:
        sys.exit("bench: %s request answered %d" % (kind, r.status))
if kind == "hostile":  # all at once: each waits out the MMSC
    threads = [threading.Thread(target=one, args=(n, 500)) for n in range(count)]
    [t.start() for t in threads]
    [t.join() for t in threads]
else:
    for n in range(count):
        one(n, 400 if kind == "refused" else 200)
PY

listening() { for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/8887) 2>/dev/null && return 0; sleep 0.1; done; return 1; }
lines() { wc -l <"$dir/mm7.log"; }
bytes() { wc -c <"$dir/mm7.log"; }
printf '%-8s %12s %12s %12s %12s %16s\n' level "sent lines" "sent bytes" "refused lines" \
    "refused bytes" "hostile MMSC lines"
for level in debug info warning error; do
    rm -rf "$dir/work" && mkdir -p "$dir/work"
    build/mm7_server --workdir "$dir/work/" --logfile "$dir/mm7.log" --loglevel "$level" \
        --clientip 127.0.0.1 --clienturl http://127.0.0.1:8080/x --turbomodemask 128 \
        --turbomodetimeout 3 &
    daemon=$!
    pids+=($daemon)
    listening
    sleep 1  # the worker of port 7 connects
    row="$level"
    for kind in sent refused hostile; do
        count=$submissions
        [ "$kind" = hostile ] && count=$hostile
        l0=$(lines) b0=$(bytes)
        python3 "$dir/load.py" "$kind" "$count"
        sleep 0.5  # the worker's last lines
        l1=$(lines) b1=$(bytes)
        if [ "$kind" = hostile ]; then
            row+=$(printf ' %16.1f' "$(echo "($l1 - $l0) / $count" | bc -l)")
        else
            row+=$(printf ' %12.1f %12.0f' "$(echo "($l1 - $l0) / $count" | bc -l)" \
                "$(echo "($b1 - $b0) / $count" | bc -l)")
        fi
    done
    echo "$row"
    kill "$daemon"
    wait "$daemon" || true
done
echo "targets at info: a sent submission at most 1 line and 300 bytes, a hostile MMSC" \
    "transaction at most 5 lines"
