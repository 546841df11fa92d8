#!/usr/bin/env bash
# CPU cost of a submission, side by side with a floor program (bench/floor_server.c: only the
# file and socket work a submission needs) and nginx answering the same POST with a fixed 200.
# All three run in one network namespace on this machine; every figure is the median of several
# rounds, and the ratios are what to compare between runs.
#
#   bench/submission_cpu.sh [ROUNDS] [REQUESTS]
#
# Prints: CPU µs per 6 KB request for each server and the daemon's ratio to the floor and to
# nginx; system calls per request (strace); the extra cost per content part and per recipient;
# the daemon's CPU for one 5 MB base64 submission against `base64 -d` on the same payload; and
# the daemon's CPU per request with --loglevel info against debug (also in instructions, under
# valgrind, where it is installed).
# Needs ab (apache2-utils), nginx and strace; installs them when missing.  MM7_BENCH_DAEMON names
# another daemon binary to measure (an older build, for a before/after comparison).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds="${1:-5}"
requests="${2:-4000}"
if [ -z "${MM7_BENCH_INNER:-}" ]; then
    missing=()
    for p in apache2-utils:ab nginx:nginx strace:strace; do
        command -v "${p#*:}" >/dev/null || missing+=("${p%%:*}")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
        $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
    scripts/build.sh
    exec unshare --net sh -c 'ip link set lo up && MM7_BENCH_INNER=1 exec "$0" "$@"' "$0" "$@"
fi

dir="$(mktemp -d /tmp/mm7-cpu.XXXXXX)"
mkdir -p "$dir/work" "$dir/floorwork" "$dir/nginx"
. bench/lib.sh
cc -O2 -o "$dir/floor" bench/floor_server.c

build/tools/kmodsim/kmodsim --stay --log /dev/null </dev/null >/dev/null &
pids+=($!)
"${MM7_BENCH_DAEMON:-build/mm7_server}" --workdir "$dir/work/" --logfile "$dir/mm7.log" --clientip 127.0.0.1 \
    --clienturl http://127.0.0.1:8080/x &
daemon=$!
pids+=($daemon)
wait_for "$dir/mm7.log" "QZM MM7 server starting"
"$dir/floor" 8889 "$dir/floorwork" >"$dir/floor.out" &
floor=$!
pids+=($floor)
wait_for "$dir/floor.out" ready
cat >"$dir/nginx/nginx.conf" <<NGINX
error_log /dev/null;
pid $dir/nginx/nginx.pid;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $dir/nginx;
    client_body_buffer_size 64k;
    server { listen 127.0.0.1:8890; location / { return 200 "<ok/>"; } }
}
NGINX
nginx -p "$dir/nginx" -c "$dir/nginx/nginx.conf" -g 'daemon off; master_process off;' &
nginx_pid=$!
pids+=($nginx_pid)
sleep 0.5

content_type='multipart/related; boundary="outer"; type="text/xml"; start="<env>"'
# make_request PARTS RECIPIENTS IMAGE_BYTES ENCODED_FILE -> request body on stdout
make_request() {
    local parts=$1 recipients=$2 image=$3
    printf -- '--outer\r\nContent-Type: text/xml\r\nContent-ID: <env>\r\n\r\n'
    printf '<env:Envelope xmlns:env="http://schemas.xmlsoap.org/soap/envelope/"><env:Header><TransactionID>bench-1</TransactionID></env:Header><env:Body><SubmitReq><MM7Version>5.3.0</MM7Version><Recipients><To>'
    for i in $(seq "$recipients"); do printf '<Number>+49170%07d</Number>' "$i"; done
    printf '</To></Recipients><Subject>Benchmark</Subject><Content href="cid:c"/></SubmitReq></env:Body></env:Envelope>\r\n'
    printf -- '--outer\r\nContent-Type: multipart/related; boundary="inner"; start="<s>"; type="application/smil"\r\nContent-ID: <c>\r\n\r\n'
    printf -- '--inner\r\nContent-Type: application/smil\r\nContent-ID: <s>\r\n\r\n<smil><body><par><img src="i.png"/><text src="t.txt"/></par></body></smil>\r\n'
    for i in $(seq $((parts - 1))); do
        printf -- '--inner\r\nContent-Type: text/plain; charset=utf-8\r\nContent-ID: <t%d>\r\nContent-Location: t%d.txt\r\n\r\nHello number %d from the benchmark\r\n' "$i" "$i" "$i"
    done
    if [ "$image" -gt 0 ]; then
        printf -- '--inner\r\nContent-Type: image/png\r\nContent-ID: <i>\r\nContent-Transfer-Encoding: base64\r\n\r\n'
        head -c "$image" /dev/urandom | base64 -w 76 | sed 's/$/\r/'
    fi
    printf -- '--inner--\r\n\r\n--outer--\r\n'
}

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
tick_us=$((1000000 / $(getconf CLK_TCK)))
median() { sort -n | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

# cpu_per_request PID PORT BODY N -> CPU µs per request of PID (one round).  ab refuses a
# concurrency above the number of requests, so it is capped at N.
cpu_per_request() {
    local before after concurrency=$(($4 < 32 ? $4 : 32))
    before=$(cpu_ticks "$1")
    ab -q -n "$4" -c "$concurrency" -p "$3" -T "$content_type" "http://127.0.0.1:$2/mm7" >"$dir/ab.out" 2>&1 || true
    after=$(cpu_ticks "$1")
    if ! grep -q "^Complete requests: *$4\$" "$dir/ab.out" || grep -q "^Non-2xx responses" "$dir/ab.out"; then
        echo "warning: port $2: $(grep -E '^(Complete requests|Failed requests|Non-2xx)|^ab:|apr_' "$dir/ab.out" | tr -s ' ' | paste -sd';')" >&2
    fi
    echo $(((after - before) * tick_us / $4))
}
median_cpu() { for _ in $(seq "$rounds"); do cpu_per_request "$@"; done | median; }

# syscalls_per_request PID PORT BODY N
syscalls_per_request() {
    strace -f -c -o "$dir/strace.out" -p "$1" 2>/dev/null &
    local tracer=$!
    sleep 0.5
    ab -q -n "$4" -c 32 -p "$3" -T "$content_type" "http://127.0.0.1:$2/mm7" >/dev/null 2>&1 || true
    kill -INT "$tracer"; wait "$tracer" 2>/dev/null || true
    # Columns of the total line: % time, seconds, usecs/call, calls, [errors,] "total".
    awk -v n="$4" '/ total$/ {printf "%.1f", $4 / n}' "$dir/strace.out"
}

make_request 3 1 4000 >"$dir/body6k"
echo "request: $(stat -c %s "$dir/body6k") bytes (SMIL, text, 4000-byte image in base64), ab -c32, $rounds rounds of $requests"
# The three servers take turns within each round, so that a change in the machine's load
# touches all of them; the ratios are medians of the rounds' ratios.
for _ in $(seq "$rounds"); do
    d=$(cpu_per_request "$daemon" 8887 "$dir/body6k" "$requests")
    f=$(cpu_per_request "$floor" 8889 "$dir/body6k" "$requests")
    n=$(cpu_per_request "$nginx_pid" 8890 "$dir/body6k" "$requests")
    echo "$d $f $n $(echo "$d / $f" | bc -l) $(echo "$d / $n" | bc -l)"
done >"$dir/rounds"
column_median() { awk -v c="$1" '{print $c}' "$dir/rounds" | median; }
printf 'CPU per request: daemon %s µs, floor %s µs, nginx %s µs; daemon/floor %.2f, daemon/nginx %.2f\n' \
    "$(column_median 1)" "$(column_median 2)" "$(column_median 3)" "$(column_median 4)" "$(column_median 5)"
printf 'system calls per request: daemon %s, floor %s, nginx %s\n' \
    "$(syscalls_per_request "$daemon" 8887 "$dir/body6k" 1000)" \
    "$(syscalls_per_request "$floor" 8889 "$dir/body6k" 1000)" \
    "$(syscalls_per_request "$nginx_pid" 8890 "$dir/body6k" 1000)"

make_request 3 1 0 >"$dir/parts3"
make_request 23 1 0 >"$dir/parts23"
make_request 3 101 0 >"$dir/rcpt101"
p3=$(median_cpu "$daemon" 8887 "$dir/parts3" "$requests")
p23=$(median_cpu "$daemon" 8887 "$dir/parts23" "$requests")
r101=$(median_cpu "$daemon" 8887 "$dir/rcpt101" "$requests")
printf 'per content part: %.2f µs (3 parts %s µs, 23 parts %s µs); per recipient: %.2f µs (101 recipients %s µs)\n' \
    "$(echo "($p23 - $p3) / 20" | bc -l)" "$p3" "$p23" "$(echo "($r101 - $p3) / 100" | bc -l)" "$r101"

# One 5 MB base64 submission against base64 -d on the same payload.
head -c $((5 * 1024 * 1024)) /dev/urandom | base64 -w 76 | sed 's/$/\r/' >"$dir/payload.b64"
{
    printf -- '--outer\r\nContent-Type: text/xml\r\nContent-ID: <env>\r\n\r\n'
    printf '<env:Envelope xmlns:env="http://schemas.xmlsoap.org/soap/envelope/"><env:Header><TransactionID>big</TransactionID></env:Header><env:Body><SubmitReq><Recipients><To><Number>+4917012345</Number></To></Recipients><Content href="cid:c"/></SubmitReq></env:Body></env:Envelope>\r\n'
    printf -- '--outer\r\nContent-Type: multipart/related; boundary="inner"; start="<s>"; type="application/smil"\r\nContent-ID: <c>\r\n\r\n'
    printf -- '--inner\r\nContent-Type: application/smil\r\nContent-ID: <s>\r\n\r\n<smil/>\r\n'
    printf -- '--inner\r\nContent-Type: image/png\r\nContent-ID: <i>\r\nContent-Transfer-Encoding: base64\r\n\r\n'
    cat "$dir/payload.b64"
    printf -- '--inner--\r\n\r\n--outer--\r\n'
} >"$dir/body5m"
big=$(median_cpu "$daemon" 8887 "$dir/body5m" 3)
ref=$(for _ in $(seq "$rounds"); do
    TIMEFORMAT='%3U %3S'
    { time base64 -d -i "$dir/payload.b64" >/dev/null; } 2>&1 | awk '{printf "%d\n", ($1 + $2) * 1000000}'
done | median)
printf '5 MB base64 submission: daemon %s µs, base64 -d %s µs; ratio %.2f\n' "$big" "$ref" "$(echo "$big / $ref" | bc -l)"

# The log level's share: the daemon's CPU per 6 KB request at --loglevel info against debug.
# The daemon above stops first (two daemons cannot share the kernel link); each round starts one
# daemon per level afresh, one after the other.
kill "$daemon"
wait "$daemon" 2>/dev/null || true
level_cpu() {  # LEVEL -> CPU µs per request (one round)
    rm -rf "$dir/levelwork" "$dir/level.log" && mkdir -p "$dir/levelwork"
    "${MM7_BENCH_DAEMON:-build/mm7_server}" --workdir "$dir/levelwork/" --logfile "$dir/level.log" \
        --loglevel "$1" --clientip 127.0.0.1 --clienturl http://127.0.0.1:8080/x &
    local pid=$!
    pids+=($pid)
    wait_for "$dir/level.log" "QZM MM7 server starting"
    cpu_per_request "$pid" 8887 "$dir/body6k" "$requests"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
}
for _ in $(seq "$rounds"); do
    d=$(level_cpu debug)
    i=$(level_cpu info)
    echo "$d $i $(echo "$i / $d" | bc -l)"
done >"$dir/rounds"
printf 'CPU per request by log level: debug %s µs, info %s µs; info/debug %.2f\n' \
    "$(column_median 1)" "$(column_median 2)" "$(column_median 3)"

# The same comparison in instructions (valgrind's callgrind, user space only), which a busy
# machine does not blur: the difference between 100 and 600 requests, per request.
if command -v valgrind >/dev/null; then
    level_instructions() {  # LEVEL REQUESTS -> instructions the daemon ran
        rm -rf "$dir/levelwork" "$dir/level.log" && mkdir -p "$dir/levelwork"
        valgrind --tool=callgrind --callgrind-out-file="$dir/callgrind.out" \
            "${MM7_BENCH_DAEMON:-build/mm7_server}" --workdir "$dir/levelwork/" \
            --logfile "$dir/level.log" --loglevel "$1" --clientip 127.0.0.1 \
            --clienturl http://127.0.0.1:8080/x 2>/dev/null &
        local pid=$!
        pids+=($pid)
        wait_for "$dir/level.log" "QZM MM7 server starting"
        ab -q -n "$2" -c 4 -p "$dir/body6k" -T "$content_type" "http://127.0.0.1:8887/mm7" >/dev/null 2>&1 || true
        kill "$pid"
        wait "$pid" 2>/dev/null || true
        awk '/^(summary|totals):/ {print $2; exit}' "$dir/callgrind.out"
    }
    per_request() { echo $((($(level_instructions "$1" 600) - $(level_instructions "$1" 100)) / 500)); }
    d=$(per_request debug)
    i=$(per_request info)
    printf 'instructions per request by log level: debug %s, info %s; info/debug %.2f\n' \
        "$d" "$i" "$(echo "$i / $d" | bc -l)"
fi
