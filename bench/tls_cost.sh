#!/usr/bin/env bash
# What TLS costs the daemon, beside a reference doing the same over TLS.  All servers run in one
# network namespace on this machine, with certificates of a throw-away CA (scripts/make_pki.sh,
# P-256 keys); every figure is the median of several rounds, and the ratios are what to compare
# between runs.
#
#   bench/tls_cost.sh [ROUNDS] [REQUESTS] [SECTION...]
#
# Sections (all by default):
#   submissions  CPU per 6 KB submission over HTTPS, with a full handshake per connection and
#                with resumed sessions, and in the clear: the daemon beside nginx terminating
#                TLS in front of the floor program (bench/floor_server.c: only the file and
#                socket work a submission needs), counted together.  The ratio to watch: the
#                daemon's TLS share (its HTTPS cost less its clear one) against nginx's.
#   delivery     a 50 MB message delivered to an https client URL against the same in the
#                clear (MB/s), the daemon's CPU per MB in the clear against coreutils base64
#                encoding the same bytes, and its RSS growth while it streams
#                (bench/delivery_stream.py --tls, in a namespace of its own; ROUNDS rounds).
# Load: bench/tls_load.py, C connections at once (each request on a connection of its own).
# Needs nginx, python3 and openssl; installs them when missing.  MM7_BENCH_DAEMON names another
# daemon binary to measure (an older build, for a before/after comparison).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds="${1:-5}"
requests="${2:-2000}"
shift $(($# < 2 ? $# : 2))
sections=("$@")
[ ${#sections[@]} -gt 0 ] || sections=(submissions delivery)
if [ -z "${MM7_BENCH_INNER:-}" ]; then
    missing=()
    for p in nginx:nginx python3:python3 openssl:openssl; do
        command -v "${p#*:}" >/dev/null || missing+=("${p%%:*}")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
        $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
    scripts/build.sh
    exec unshare --net sh -c 'ip link set lo up && MM7_BENCH_INNER=1 exec "$0" "$@"' "$0" "$rounds" "$requests" "${sections[@]}"
fi

dir="$(mktemp -d /tmp/mm7-tls.XXXXXX)"
. bench/lib.sh
scripts/make_pki.sh "$dir/pki"
daemon_bin="${MM7_BENCH_DAEMON:-build/mm7_server}"
concurrency=8

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
tick_us=$((1000000 / $(getconf CLK_TCK)))
median() { sort -n | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
column_median() { awk -v c="$1" '{print $c}' "$dir/rounds" | median; }

# cpu_per_request "PID..." PORT MODE BODY CONTENT_TYPE -> CPU µs per request of the processes
# together (one round).
cpu_per_request() {
    local pid before=0 after=0 out
    for pid in $1; do before=$((before + $(cpu_ticks "$pid"))); done
    out=$(python3 bench/tls_load.py "$2" "$3" "$requests" "$concurrency" "$4" "$5" "$dir/pki/ca.pem")
    for pid in $1; do after=$((after + $(cpu_ticks "$pid"))); done
    case "$3:$out" in
        full:"ok=$requests resumed=0 "* | resumed:"ok=$requests resumed="* | clear:"ok=$requests "*) ;;
        *) echo "warning: port $2 $3: $out" >&2 ;;
    esac
    echo $(((after - before) * tick_us / requests))
}

# ---- submissions over HTTPS ----
section_submissions() {
    mkdir -p "$dir/work" "$dir/floorwork" "$dir/nginx"
    cc -O2 -o "$dir/floor" bench/floor_server.c
    build/tools/kmodsim/kmodsim --stay --log /dev/null </dev/null >/dev/null &
    pids+=($!)
    "$daemon_bin" --workdir "$dir/work/" --logfile "$dir/mm7.log" --loglevel info \
        --clientip 127.0.0.1 --clienturl http://127.0.0.1:8080/x \
        --tlsport 8843 --tlscert "$dir/pki/server.pem" --tlskey "$dir/pki/server.key" &
    local daemon=$!
    pids+=($daemon)
    wait_for "$dir/mm7.log" "HTTPS on port 8843"
    "$dir/floor" 8889 "$dir/floorwork" >"$dir/floor.out" &
    local floor=$!
    pids+=($floor)
    wait_for "$dir/floor.out" ready
    # nginx as the TLS end in front of the floor program: HTTPS on 8891, clear on 8890.
    cat >"$dir/nginx/nginx.conf" <<NGINX
error_log /dev/null;
pid $dir/nginx/nginx.pid;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $dir/nginx;
    client_body_buffer_size 64k;
    proxy_temp_path $dir/nginx;
    ssl_protocols TLSv1.2 TLSv1.3;
    ssl_certificate $dir/pki/server.pem;
    ssl_certificate_key $dir/pki/server.key;
    ssl_session_cache shared:bench:10m;
    server {
        listen 127.0.0.1:8890;
        listen 127.0.0.1:8891 ssl;
        location / { proxy_pass http://127.0.0.1:8889; proxy_http_version 1.0; }
    }
}
NGINX
    nginx -p "$dir/nginx" -c "$dir/nginx/nginx.conf" -g 'daemon off; master_process off;' &
    local nginx_pid=$!
    pids+=($nginx_pid)
    sleep 0.5

    # The 6 KB request of bench/submission_cpu.sh: SMIL, text, 4000-byte image in base64.
    local type='multipart/related; boundary="outer"; type="text/xml"; start="<env>"'
    {
        printf -- '--outer\r\nContent-Type: text/xml\r\nContent-ID: <env>\r\n\r\n'
        printf '<env:Envelope xmlns:env="http://schemas.xmlsoap.org/soap/envelope/"><env:Header><TransactionID>bench-1</TransactionID></env:Header><env:Body><SubmitReq><MM7Version>5.3.0</MM7Version><Recipients><To><Number>+491700000001</Number></To></Recipients><Subject>Benchmark</Subject><Content href="cid:c"/></SubmitReq></env:Body></env:Envelope>\r\n'
        printf -- '--outer\r\nContent-Type: multipart/related; boundary="inner"; start="<s>"; type="application/smil"\r\nContent-ID: <c>\r\n\r\n'
        printf -- '--inner\r\nContent-Type: application/smil\r\nContent-ID: <s>\r\n\r\n<smil><body><par><img src="i.png"/><text src="t.txt"/></par></body></smil>\r\n'
        printf -- '--inner\r\nContent-Type: text/plain; charset=utf-8\r\nContent-ID: <t1>\r\nContent-Location: t1.txt\r\n\r\nHello number 1 from the benchmark\r\n'
        printf -- '--inner\r\nContent-Type: image/png\r\nContent-ID: <i>\r\nContent-Transfer-Encoding: base64\r\n\r\n'
        head -c 4000 /dev/urandom | base64 -w 76 | sed 's/$/\r/'
        printf -- '--inner--\r\n\r\n--outer--\r\n'
    } >"$dir/body6k"
    echo "submissions: $(stat -c %s "$dir/body6k") bytes each, $concurrency connections at once, $rounds rounds of $requests"
    # Within each round the servers take turns, so that a change in the machine's load touches
    # all of them; the ratios are medians of the rounds' ratios.
    local mode d n
    for _ in $(seq "$rounds"); do
        for mode in full resumed clear; do
            if [ "$mode" = clear ]; then
                d=$(cpu_per_request "$daemon" 8887 clear "$dir/body6k" "$type")
                n=$(cpu_per_request "$nginx_pid $floor" 8890 clear "$dir/body6k" "$type")
            else
                d=$(cpu_per_request "$daemon" 8843 "$mode" "$dir/body6k" "$type")
                n=$(cpu_per_request "$nginx_pid $floor" 8891 "$mode" "$dir/body6k" "$type")
            fi
            printf '%s %s ' "$d" "$n"
        done
        echo
    done | awk '{
        # columns: full d n, resumed d n, clear d n; then the ratios
        printf "%s %f %f %f %f %f\n", $0, $1 / $2, $3 / $4, $5 / $6,
            ($1 - $5) / ($2 - $6), ($3 - $5) / ($4 - $6)
    }' >"$dir/rounds"
    printf 'CPU µs per submission      %12s %12s %12s\n' "full TLS" "resumed TLS" "clear"
    printf '  daemon                   %12s %12s %12s\n' "$(column_median 1)" "$(column_median 3)" "$(column_median 5)"
    printf '  nginx + floor            %12s %12s %12s\n' "$(column_median 2)" "$(column_median 4)" "$(column_median 6)"
    printf '  daemon / (nginx + floor) %12.2f %12.2f %12.2f\n' "$(column_median 7)" "$(column_median 8)" "$(column_median 9)"
    printf "TLS share (cost over the clear one), daemon / nginx: full %.2f, resumed %.2f\n" \
        "$(column_median 10)" "$(column_median 11)"
    kill "$daemon" "$nginx_pid" "$floor"
    wait "$daemon" "$nginx_pid" "$floor" 2>/dev/null || true
}

# ---- deliveries to an https client URL ----
section_delivery() {
    python3 bench/delivery_stream.py --rounds "$rounds" --tls
}

for section in "${sections[@]}"; do
    "section_$section"
done
