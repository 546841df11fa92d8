#!/usr/bin/env bash
# Quick start: builds mm7_server and runs it on loopback with a work directory under ./demo,
# shows that it is up, and stops it again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh

demo="$PWD/demo"
rm -rf "$demo"
mkdir -p "$demo/work"
log="$demo/mm7_server.log"

./build/mm7_server --workdir "$demo/work" --logfile "$log" --port 8887 \
    --clientip 127.0.0.1 --clienturl http://127.0.0.1:8080/mm7-client --gwserial DEMO-GW &
daemon=$!
cleanup() {
    kill "$daemon" 2>/dev/null || true
    wait "$daemon" 2>/dev/null || true
}
trap cleanup EXIT

for _ in $(seq 50); do
    [ -s "$demo/work/mm7-server.pid" ] && break
    sleep 0.1
done
echo "== mm7_server is up: pid $(cat "$demo/work/mm7-server.pid") =="
echo "== its log =="
cat "$log"
cleanup
trap - EXIT
echo "== stopped =="
