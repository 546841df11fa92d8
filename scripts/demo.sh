#!/usr/bin/env bash
# Quick start: builds mm7_server and the kernel-module simulator, runs both on loopback, submits
# a real MM7 SubmitReq (a SMIL part, a text part and a small image) with curl and shows what the
# VASP sees: the 103 Early Hints interim responses it asked for, then the SubmitRsp.  A second
# submission, routed to modem port 7, goes through that port's turbo mode worker to an MMSC
# stand-in over HTTP instead.  Then the simulator injects a received multipart MMS and a
# delivery report, and a VASP stand-in (tools/vaspsim) shows the DeliverReq and
# DeliveryReportReq it decoded.  Everything is stopped and removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
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
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    [ -n "$own_settings" ] && rm -f "$settings"
    [ -n "$own_dir" ] && rmdir /tmp/qzm 2>/dev/null
    rm -rf "$demo"
}
trap cleanup EXIT

wait_for() {  # FILE TEXT
    for _ in $(seq 100); do grep -q -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
    echo "demo: timed out waiting for '$2' in $1" >&2
    return 1
}

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
    mkdir -p /tmp/qzm
    printf 'mmsc_url: http://127.0.0.1:8790/mms\nmms_proxy:\nimsi: 311480123456789\nmsisdn: +12125550100\n' >"$settings"
    own_settings=1
    turbo_mask=128
else
    echo "demo: $settings exists already; leaving it alone and turbo mode off" >&2
fi

# The VASP's own MM7 endpoint, where received messages go.
tools/vaspsim/vaspsim.py --port 8080 --save "$demo/vasp" --stay </dev/null >"$demo/vasp.out" &
pids+=($!)
wait_for "$demo/vasp.out" "vaspsim ready"

build/mm7_server --port 8887 --workdir "$demo/work" --logfile "$demo/mm7_server.log" \
    --clientip 127.0.0.1 --clienturl http://127.0.0.1:8080/mm7-client --gwserial DEMO-GW-1 \
    --turbomodemask "$turbo_mask" &
pids+=($!)
wait_for "$demo/mm7_server.log" "QZM MM7 server starting"
echo "== mm7_server is up (pid $(cat "$demo/work/mm7-server.pid")), kernel module simulator attached =="


# The VASP's request: SOAP envelope, then the content as a nested multipart/related.
body="$demo/request.body"
{
    printf -- '--mm7-outer\r\nContent-Type: text/xml; charset="utf-8"\r\nContent-ID: <mm7_env>\r\n\r\n'
    printf '<?xml version="1.0" encoding="UTF-8"?>\r\n'
    printf '<env:Envelope xmlns:env="http://schemas.xmlsoap.org/soap/envelope/">\r\n'
    printf '<env:Header><mm7:TransactionID xmlns:mm7="http://www.3gpp.org/ftp/Specs/archive/23_series/23.140/schema/REL-5-MM7-1-2" env:mustUnderstand="1">demo-0001</mm7:TransactionID></env:Header>\r\n'
    printf '<env:Body><SubmitReq xmlns="http://www.3gpp.org/ftp/Specs/archive/23_series/23.140/schema/REL-5-MM7-1-2">\r\n'
    printf '<MM7Version>5.3.0</MM7Version>\r\n'
    printf '<SenderIdentification><VASPID>demo-vasp</VASPID><VASID>demo</VASID></SenderIdentification>\r\n'
    printf '<Recipients><To><Number>+4917012345678</Number></To></Recipients>\r\n'
    printf '<MessageClass>Personal</MessageClass><Priority>Normal</Priority>\r\n'
    printf '<DeliveryReport>true</DeliveryReport><Subject>Hello from the demo</Subject>\r\n'
    printf '<Content href="cid:mms_content" allowAdaptations="true"/>\r\n'
    printf '</SubmitReq></env:Body></env:Envelope>\r\n'
    printf -- '--mm7-outer\r\nContent-Type: multipart/related; boundary="mm7-inner"; start="<presentation>"; type="application/smil"\r\nContent-ID: <mms_content>\r\n\r\n'
    printf -- '--mm7-inner\r\nContent-Type: application/smil\r\nContent-ID: <presentation>\r\nContent-Location: presentation.smil\r\n\r\n'
    printf '<smil><head><layout><region id="Image" top="0" height="70%%"/><region id="Text" top="70%%" height="30%%"/></layout></head>'
    printf '<body><par dur="5s"><img src="logo.png" region="Image"/><text src="hello.txt" region="Text"/></par></body></smil>\r\n'
    printf -- '--mm7-inner\r\nContent-Type: text/plain; charset=utf-8\r\nContent-ID: <hello.txt>\r\nContent-Location: hello.txt\r\n\r\n'
    printf 'Hello from mm7_server!\r\n'
    printf -- '--mm7-inner\r\nContent-Type: image/png\r\nContent-ID: <logo.png>\r\nContent-Location: logo.png\r\nContent-Transfer-Encoding: base64\r\n\r\n'
    # an 8x8 PNG (a colour gradient), base64 in lines of 76 characters
    printf 'iVBORw0KGgoAAAANSUhEUgAAAAgAAAAICAIAAABLbSncAAAAbElEQVR42g3JQQEAMAgDMaRUClIq\r\n'
    printf 'pVKQwvNkIGXLN1WFii5cpJhiiyuqhEQLi4gRK04/GjXduEkzzTbXP4xMG5uYMWvOP4JCB4eECRsu\r\n'
    printf 'PwYNPXjIMMMONz8WLb14yTLLLrc/Dh19+Mgxxx53PLzkagGPUuSAAAAAAElFTkSuQmCC\r\n'
    printf -- '--mm7-inner--\r\n\r\n--mm7-outer--\r\n'
} >"$body"

echo
echo "== POST /mm7 (SubmitReq with SMIL, text and image; x-expect: 103-early-hints) =="
echo "== what the VASP receives: =="
curl -sS --http1.1 -D - -H 'Expect:' -H 'x-expect: 103-early-hints' \
    -H 'Content-Type: multipart/related; boundary="mm7-outer"; type="text/xml"; start="<mm7_env>"' \
    -H 'SOAPAction: ""' --data-binary @"$body" http://127.0.0.1:8887/mm7
echo
echo
echo "== the kernel module simulator saw: =="
grep -E '^(received|sent|kept)' "$demo/kmodsim.out"
kept=$(ls "$demo/kept")
echo "== the MMS PDU handed to the kernel module: $kept, $(stat -c %s "$demo/kept/$kept") bytes; left in the work directory: $(ls "$demo/work" | grep -c '\.mm1$' || true) PDU files =="
echo "== its first bytes (m-send-req headers: type, transaction id, version, From, To, ...): =="
od -A x -t x1z -N 96 "$demo/kept/$kept"

if [ "$turbo_mask" != 0 ]; then
    wait_for "$demo/mm7_server.log" "worker connected"
    echo
    echo "== turbo mode: the same submission for +07125550199 (modem port 7) =="
    sed -e 's/+4917012345678/+07125550199/' -e 's/demo-0001/demo-0002/' "$body" >"$body.7"
    curl -sS --http1.1 -D - -H 'Expect:' \
        -H 'Content-Type: multipart/related; boundary="mm7-outer"; type="text/xml"; start="<mm7_env>"' \
        -H 'SOAPAction: ""' --data-binary @"$body.7" http://127.0.0.1:8887/mm7
    echo
    echo "== port 7's worker posted it to the MMSC stand-in: =="
    grep '^request' "$demo/mmsc.out"
    tr -d '\r' <"$demo/req-1.hdr"
    echo "== the worker's side, from the daemon's log: =="
    grep -E 'turbo_mode_handle_message: request sent|add_session|close_session' "$demo/mm7_server.log" | cut -c1-120
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
wait_for "$demo/vasp.out" "answered 1 "
echo "== then a delivery report for the submitted message arrives inline (flags 1) =="
message_id=$(sed -n 's/.*message-id=\([^ ]*\).*/\1/p' "$demo/kmodsim.out" | head -n 1)
echo "pdu delivery $demo/report.mm1 $message_id" >&3
wait_for "$demo/kmodsim.out" "wrote delivery"
echo "rcv 1 $demo/report.mm1" >&3
wait_for "$demo/vasp.out" "answered 2 "
echo "== what the VASP stand-in decoded (with Python's email package): =="
grep -E '^request [0-9]+ (path|part|content)' "$demo/vasp.out"
echo "== the DeliverReq envelope: =="
cat "$demo/vasp/request-1/envelope.xml"
echo "== mm7_server's outcome lines: =="
grep -o 'mm7_client: .*' "$demo/mm7_server.log"
echo "== stopping =="
