#!/usr/bin/env bash
# What many VASP accounts cost a submission: the same 6 KB submission, with Basic credentials,
# against a daemon whose account file holds one account and against one whose file holds 1,000
# (the submitting account last, so its address and credentials are looked up past all others).
#
#   bench/vasp_accounts.sh [ROUNDS] [REQUESTS]
#
# Prints the daemon's CPU µs per request for both (medians of the rounds, the two daemons taking
# turns within each round) and their ratio; and, where valgrind is installed, instructions per
# request for both (the difference between 600 and 100 requests), which a busy machine does not
# blur.  Goal: 1,000 accounts within 5% of one.  Needs ab (apache2-utils); installs it when
# missing.  MM7_BENCH_DAEMON names another daemon binary to measure.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds="${1:-5}"
requests="${2:-3000}"
if [ -z "${MM7_BENCH_INNER:-}" ]; then
    if ! command -v ab >/dev/null; then
        sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
        $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq apache2-utils >/dev/null
    fi
    scripts/build.sh
    exec unshare --net sh -c 'ip link set lo up && MM7_BENCH_INNER=1 exec "$0" "$@"' "$0" "$@"
fi

dir="$(mktemp -d /tmp/mm7-accounts.XXXXXX)"
. bench/lib.sh
daemon_binary="${MM7_BENCH_DAEMON:-build/mm7_server}"
build/tools/kmodsim/kmodsim --stay --log /dev/null </dev/null >/dev/null &
pids+=($!)

# accounts_file COUNT FILE: COUNT-1 accounts on addresses of 10/8 with credentials of their own,
# then the one that submits, on 127.0.0.1 with user "bench".
accounts_file() {
    local i
    mkdir -p "$dir/secrets"
    for i in $(seq 2 "$1"); do
        printf 'pass%d\n' "$i" >"$dir/secrets/$i"
        chmod 600 "$dir/secrets/$i"
        printf '[[vasp]]\nname = "vasp%d"\naddresses = ["10.%d.%d.0/24"]\nuser = "user%d"\npassword_file = "%s"\ndelivery_url = "http://10.0.0.1/%d"\nreceive = { recipients = ["+49%d*"] }\n\n' \
            "$i" $((i / 256)) $((i % 256)) "$i" "$dir/secrets/$i" "$i" "$i"
    done
    printf 'secret\n' >"$dir/secrets/bench"
    chmod 600 "$dir/secrets/bench"
    printf '[[vasp]]\nname = "bench"\naddresses = ["127.0.0.1"]\nuser = "bench"\npassword_file = "%s"\ndelivery_url = "http://127.0.0.1:8080/x"\nreceive = { default = true }\n' \
        "$dir/secrets/bench"
}
accounts_file 1 >"$dir/one.toml"
accounts_file 1000 >"$dir/many.toml"

# start_daemon FILE [WRAPPER...]: the daemon serves port 8887 with the accounts of FILE; its pid
# in $daemon.  Its output goes nowhere, so no command substitution waits for it.
start_daemon() {
    local file=$1
    shift
    rm -rf "$dir/work" "$dir/mm7.log" && mkdir -p "$dir/work"
    "$@" "$daemon_binary" --workdir "$dir/work/" --logfile "$dir/mm7.log" --loglevel info \
        --vaspfile "$file" >/dev/null 2>&1 &
    daemon=$!
    pids+=($daemon)
    # Under valgrind, reading a thousand accounts (and their password files) takes a while.
    local waits=$(($# > 0 ? 6 : 1))
    until wait_for "$dir/mm7.log" "QZM MM7 server starting" 2>/dev/null; do
        waits=$((waits - 1))
        [ "$waits" -gt 0 ] || { echo "the daemon did not start with $file" >&2; return 1; }
    done
}
stop_daemon() { kill "$1"; wait "$1" 2>/dev/null || true; }

content_type='multipart/related; boundary="outer"; type="text/xml"; start="<env>"'
{
    printf -- '--outer\r\nContent-Type: text/xml\r\nContent-ID: <env>\r\n\r\n'
    printf '<env:Envelope xmlns:env="http://schemas.xmlsoap.org/soap/envelope/"><env:Header><TransactionID>bench-1</TransactionID></env:Header><env:Body><SubmitReq><MM7Version>5.3.0</MM7Version><Recipients><To><Number>+4917012345</Number></To></Recipients><Subject>Benchmark</Subject><Content href="cid:c"/></SubmitReq></env:Body></env:Envelope>\r\n'
    printf -- '--outer\r\nContent-Type: multipart/related; boundary="inner"; start="<s>"; type="application/smil"\r\nContent-ID: <c>\r\n\r\n'
    printf -- '--inner\r\nContent-Type: application/smil\r\nContent-ID: <s>\r\n\r\n<smil><body><par><img src="i.png"/></par></body></smil>\r\n'
    printf -- '--inner\r\nContent-Type: image/png\r\nContent-ID: <i>\r\nContent-Transfer-Encoding: base64\r\n\r\n'
    head -c 4000 /dev/urandom | base64 -w 76 | sed 's/$/\r/'
    printf -- '--inner--\r\n\r\n--outer--\r\n'
} >"$dir/body6k"

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
tick_us=$((1000000 / $(getconf CLK_TCK)))
median() { sort -n | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }
post() {  # N: N submissions of the 6 KB body with the bench account's credentials
    ab -q -n "$1" -c "$(($1 < 16 ? $1 : 16))" -A bench:secret -p "$dir/body6k" -T "$content_type" \
        "http://127.0.0.1:8887/mm7" >"$dir/ab.out" 2>&1 || true
    if ! grep -q "^Complete requests: *$1\$" "$dir/ab.out" || grep -q "^Non-2xx responses" "$dir/ab.out"; then
        echo "warning: $(grep -E '^(Complete requests|Failed requests|Non-2xx)|^ab:' "$dir/ab.out" | tr -s ' ' | paste -sd';')" >&2
    fi
}
cpu_per_request() {  # FILE -> CPU µs per request of a daemon with the accounts of FILE
    local pid before after
    start_daemon "$1"
    pid=$daemon
    post 50
    before=$(cpu_ticks "$pid")
    post "$requests"
    after=$(cpu_ticks "$pid")
    stop_daemon "$pid"
    echo $(((after - before) * tick_us / requests))
}

echo "request: $(stat -c %s "$dir/body6k") bytes with Basic credentials, ab -c16, $rounds rounds of $requests"
for _ in $(seq "$rounds"); do
    one=$(cpu_per_request "$dir/one.toml")
    many=$(cpu_per_request "$dir/many.toml")
    echo "$one $many $(echo "$many / $one" | bc -l)"
done >"$dir/rounds"
column_median() { awk -v c="$1" '{print $c}' "$dir/rounds" | median; }
printf 'CPU per request: 1 account %s µs, 1000 accounts %s µs; 1000/1 %.3f\n' \
    "$(column_median 1)" "$(column_median 2)" "$(column_median 3)"

if command -v valgrind >/dev/null; then
    instructions() {  # FILE REQUESTS -> instructions the daemon ran
        local pid
        start_daemon "$1" valgrind --tool=callgrind --callgrind-out-file="$dir/callgrind.out"
        pid=$daemon
        post "$2"
        stop_daemon "$pid"
        awk '/^(summary|totals):/ {print $2; exit}' "$dir/callgrind.out"
    }
    per_request() { echo $((($(instructions "$1" 600) - $(instructions "$1" 100)) / 500)); }
    one=$(per_request "$dir/one.toml")
    many=$(per_request "$dir/many.toml")
    printf 'instructions per request: 1 account %s, 1000 accounts %s; 1000/1 %.3f\n' \
        "$one" "$many" "$(echo "$many / $one" | bc -l)"
fi
