#!/usr/bin/env bash
# Quick start: builds mm7_server and the kernel-module simulator, runs both on loopback, submits
# a real MM7 SubmitReq (a generated SMIL part, a text part and a small image) with mm7-submit and
# shows what the VASP sees: the 103 Early Hints interim responses it asked for, then the SubmitRsp.  A second
# submission, routed to modem port 7, goes through that port's turbo mode worker to an MMSC
# stand-in over HTTP instead.  The daemon serves two VASP accounts (an account file): "demo",
# which submits, and "second", which owns the number +4917012345678.  The simulator injects a
# received multipart MMS for that number and a delivery report for demo's submission, and each
# VASP's endpoint (an mm7-sink of its own, serving HTTPS) shows what it received over TLS: the
# DeliverReq (and the parts it saved) at second's, the DeliveryReportReq at demo's.  It ends with one scrape of the
# daemon's metrics.  One submission also goes over HTTPS with a client certificate (mutual TLS).
# A throw-away CA and certificates are made by scripts/make_pki.sh at run time.  Everything is
# stopped and removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh
scripts/build.sh

demo="$(mktemp -d /tmp/mm7-demo.XXXXXX)"
mkdir -p "$demo/work" "$demo/kept"
pids=()
# Port 7's settings file, as the gateway writes it; the demo writes one only where none exists.
settings=/tmp/qzm/mm7_settings_7
own_settings=""
own_dir=""
cleanup() {
    exec 3>&- 2>/dev/null || true
    stop_pids
    [ -n "$own_settings" ] && rm -f "$settings"
    [ -n "$own_dir" ] && rmdir /tmp/qzm 2>/dev/null
    rm -rf "$demo"
}
trap cleanup EXIT


# The kernel module's stand-in: it answers after 300 ms with an interim "send takes 20 s"
# indication, then the network's m-send-conf.
mkfifo "$demo/ctl"
build/tools/kmodsim/kmodsim --keep "$demo/kept" --log "$demo/kmodsim.log" \
    --set delay=300 --set timeout_ind=on --set timeout=20 <"$demo/ctl" >"$demo/kmodsim.out" &
pids+=($!)
exec 3>"$demo/ctl"
wait_for "$demo/kmodsim.out" "kmodsim ready"

# The operator's MMSC stand-in for port 7's turbo mode worker, and the port's settings.
python3 tools/mmsc_stub/mmsc_stub.py --port 8790 --record "$demo" >"$demo/mmsc.out" 2>&1 &
pids+=($!)
wait_for "$demo/mmsc.out" "mmsc_stub ready"
turbo_mask=0
if [ ! -e "$settings" ]; then
    [ -d /tmp/qzm ] || own_dir=1
    # Writable by its owner alone: the daemon reads no settings that others could have planted.
    (umask 022
     mkdir -p /tmp/qzm
     printf 'mmsc_url: http://127.0.0.1:8790/mms\nmms_proxy:\nimsi: 311480123456789\nmsisdn: +12125550100\n' >"$settings")
    own_settings=1
    turbo_mask=128
else
    echo "demo: $settings exists already; leaving it alone and turbo mode off" >&2
fi

# A throw-away CA and certificates, removed with the demo's directory.
scripts/make_pki.sh "$demo/pki"

# Each VASP's own MM7 endpoint, where its received messages and reports go, over HTTPS (a
# certificate for localhost and 127.0.0.1): demo's on 8443, second's on 8444.
for sink in vasp:8443 second:8444; do
    tools/mm7-sink/mm7_sink.py --host 127.0.0.1 --port "${sink#*:}" --save "$demo/${sink%:*}" \
        --tlscert "$demo/pki/server.pem" --tlskey "$demo/pki/server.key" >"$demo/${sink%:*}.out" 2>&1 &
    pids+=($!)
    wait_for "$demo/${sink%:*}.out" "mm7-sink listening"
done
# The two accounts: demo submits from 127.0.0.1 and gets the reports of its messages; second
# gets what is sent to its number.
cat >"$demo/vasps.toml" <<END
[[vasp]]
name = "demo"
addresses = ["127.0.0.1"]
delivery_url = "https://127.0.0.1:8443/mm7-client"
receive = { default = true }

[[vasp]]
name = "second"
addresses = ["127.0.0.2"]
delivery_url = "https://127.0.0.1:8444/mm7-second"
receive = { recipients = ["+4917012345678"] }
END

# HTTPS beside the clear port, for VASPs with a certificate of the throw-away CA.
build/mm7_server --port 8887 --workdir "$demo/work" --logfile "$demo/mm7_server.log" \
    --tlsport 8843 --tlscert "$demo/pki/server.pem" --tlskey "$demo/pki/server.key" \
    --tlsclientca "$demo/pki/ca.pem" --vaspfile "$demo/vasps.toml" --gwserial DEMO-GW-1 \
    --clientcafile "$demo/pki/ca.pem" \
    --turbomodemask "$turbo_mask" --metricsport 9187 --pdudir "$demo" \
    --kerneluid "$(id -u)" &
pids+=($!)
wait_for "$demo/mm7_server.log" "QZM MM7 server starting"
echo "== mm7_server is up (pid $(cat "$demo/work/mm7-server.pid")), kernel module simulator attached =="


# The VASP's message: a text and a small image; mm7-submit builds the SubmitReq around them.
mkdir -p "$demo/media"
printf 'Hello from mm7_server!' >"$demo/media/hello.txt"
printf '%s' 'iVBORw0KGgoAAAANSUhEUgAAAAgAAAAICAIAAABLbSncAAAAbElEQVR42g3JQQEAMAgDMaRUClIq' \
    'pVKQwvNkIGXLN1WFii5cpJhiiyuqhEQLi4gRK04/GjXduEkzzTbXP4xMG5uYMWvOP4JCB4eECRsu' \
    'PwYNPXjIMMMONz8WLb14yTLLLrc/Dh19+Mgxxx53PLzkagGPUuSAAAAAAElFTkSuQmCC' | base64 -d >"$demo/media/logo.png"
submit=(build/tools/mm7-submit/mm7-submit --url http://127.0.0.1:8887/mm7 --vaspid demo-vasp
        --subject "Hello from the demo" --class Personal --priority Normal --delivery-report)

echo
echo "== the SubmitReq mm7-submit builds (--dry-run, first lines): =="
"${submit[@]}" --to +4917012345678 --transaction-id demo-0001 --dry-run \
    "$demo/media/hello.txt" "$demo/media/logo.png" | head -n 12
echo "   ..."
echo "== posted with x-expect: 103-early-hints; what the VASP receives: =="
"${submit[@]}" --to +4917012345678 --transaction-id demo-0001 --early-hints \
    "$demo/media/hello.txt" "$demo/media/logo.png"
echo
echo
echo "== the kernel module simulator saw: =="
grep -E '^(received|sent|kept)' "$demo/kmodsim.out"
kept=$(ls "$demo/kept")
echo "== the MMS PDU handed to the kernel module: $kept, $(stat -c %s "$demo/kept/$kept") bytes; left in the work directory: $(ls "$demo/work" | grep -c '\.mm1$' || true) PDU files =="
echo "== its first bytes (m-send-req headers: type, transaction id, version, From, To, ...): =="
od -A x -t x1z -N 96 "$demo/kept/$kept"

echo
echo "== over HTTPS (port 8843), mm7-submit presenting the VASP's client certificate: =="
"${submit[@]}" --url https://localhost:8843/mm7 --cacert "$demo/pki/ca.pem" \
    --cert "$demo/pki/client.pem" --key "$demo/pki/client.key" \
    --to +4917012345678 --transaction-id demo-tls-1 "$demo/media/hello.txt"
echo "== the daemon's log of that connection: =="
grep -E 'TLSv1\.[23] from|TLS client [0-9]' "$demo/mm7_server.log" | cut -c1-140

if [ "$turbo_mask" != 0 ]; then
    wait_for "$demo/mm7_server.log" "worker connected"
    echo
    echo "== turbo mode: the same submission for +07125550199 (modem port 7) =="
    "${submit[@]}" --to +07125550199 --transaction-id demo-0002 \
        "$demo/media/hello.txt" "$demo/media/logo.png"
    echo
    echo "== port 7's worker posted it to the MMSC stand-in: =="
    grep '^request' "$demo/mmsc.out"
    tr -d '\r' <"$demo/req-1.hdr"
    # The worker writes its lines out when its loop next waits, which may be after the VASP has
    # its reply: wait for the line that ends the send.
    id=$(sed -n 's/.*turbo_mode_handle_message: request sent, id=\([0-9]*\).*/\1/p' "$demo/mm7_server.log")
    wait_for "$demo/mm7_server.log" "close_session: id=$id,"
    echo "== the worker's side, from the daemon's log: =="
    grep -E "turbo_mode_handle_message: request sent, id=$id|handle_send_message_request|add_session: type=0 id=$id|close_session: id=$id," \
        "$demo/mm7_server.log" | cut -c1-120
fi

echo
echo "== a message arrives from the network: the simulator writes an m-retrieve-conf PDU with a"
echo "   SMIL, a text and an image part and announces it (MMS_MMSRCV_IND, flags 4: a file) =="
mkdir -p "$demo/parts"
printf '<smil><body><par dur="5s"><img src="logo.png"/><text src="reply.txt"/></par></body></smil>' >"$demo/parts/start.smil"
printf 'Thanks, got it!' >"$demo/parts/reply.txt"
printf '%s' 'iVBORw0KGgoAAAANSUhEUgAAAAgAAAAICAIAAABLbSncAAAAbElEQVR42g3JQQEAMAgDMaRUClIq' \
    'pVKQwvNkIGXLN1WFii5cpJhiiyuqhEQLi4gRK04/GjXduEkzzTbXP4xMG5uYMWvOP4JCB4eECRsu' \
    'PwYNPXjIMMMONz8WLb14yTLLLrc/Dh19+Mgxxx53PLzkagGPUuSAAAAAAElFTkSuQmCC' | base64 -d >"$demo/parts/logo.png"
echo "set sender +4915198765432/TYPE=PLMN" >&3
echo "set recipient +4917012345678/TYPE=PLMN" >&3
echo "pdu retrieve $demo/received.mm1 $demo/parts/start.smil $demo/parts/reply.txt $demo/parts/logo.png" >&3
wait_for "$demo/kmodsim.out" "wrote retrieve"
echo "rcv 4 $demo/received.mm1" >&3
wait_for "$demo/second.out" "request 1 "
echo "== then a delivery report for demo's submitted message arrives inline (flags 1) =="
message_id=$(sed -n 's/.*message-id=\([^ ]*\).*/\1/p' "$demo/kmodsim.out" | head -n 1)
echo "pdu delivery $demo/report.mm1 $message_id" >&3
wait_for "$demo/kmodsim.out" "wrote delivery"
echo "rcv 1 $demo/report.mm1" >&3
wait_for "$demo/vasp.out" "request 1 "
echo "== VASP second's endpoint (mm7-sink, port 8444) received the message to its number, and saved: =="
grep '^request' "$demo/second.out"
ls -l "$demo"/second/0001-DeliverReq
echo "== VASP demo's endpoint (mm7-sink, port 8443) received the report on its own submission: =="
grep '^request' "$demo/vasp.out"
echo "== the DeliverReq envelope: =="
cat "$demo"/second/0001-DeliverReq/envelope.xml
echo "== mm7_server's outcome lines, and how it reached the two endpoints: =="
grep -o -E 'mm7_client: .*|Deliveries over TLS.*|client url: .*|TLS established.*' "$demo/mm7_server.log"
echo
echo "== the daemon's metrics (GET http://127.0.0.1:9187/metrics, without the # HELP and # TYPE lines): =="
curl -s http://127.0.0.1:9187/metrics | grep -v '^#'
echo "== stopping =="
