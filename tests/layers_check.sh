#!/bin/bash
# Who includes whom: layers point down, and the request parser reaches no I/O.
cd "$(dirname "$0")/../src" || exit 2
status=0
project() { sed -n 's/^#include "\(.*\)".*/\1/p' "$1"; }
# Every header a file reaches through the project's own headers; system ones as <name>.
reach() {
    local inc
    sed -n 's/^#include \(<.*>\).*/\1/p' "$1"
    for inc in $(project "$1"); do
        case " $seen " in *" $inc "*) continue ;; esac
        seen="$seen $inc"
        echo "$inc"
        reach "$inc"
    done
}
complain() { echo "$1: $2:" $3; status=1; }
allow() {  # allow PATTERN WHY FILE...: every project include of the files matches PATTERN
    local pattern=$1 why=$2 f hits
    shift 2
    for f; do
        hits=$(project "$f" | grep -v -E "$pattern") && complain "$f" "$why" "$hits"
    done
}
allow '^core/' "core reaches outside core" core/*.h core/*.cpp
allow '^(core/|wsp/wsp_types\.h$)' "the message record reaches beyond core and the codec's types" \
    mm7/mms_message.h
allow '^core/' "the codec's types reach beyond core" wsp/wsp_types.h
allow '^(core/|wsp/|mm7/mms_message\.h$)' "the codec reaches into MM7 beyond the message record" wsp/*
allow '^(core/|xgate/)' "the kernel link reaches upwards" xgate/*
allow '^(core/|turbo/|xgate/|mm7/mms_message\.h$)' "turbo mode reaches into MM7" turbo/*
# The MM7 rooms: documents and accounts below the server and the delivery side, which never meet.
allow '^(core/|wsp/wsp_types\.h$|mm7/mms_message\.h$|mm7/documents/)' \
    "the MM7 documents reach into another room" mm7/documents/*.h mm7/documents/*.cpp
allow '^(core/|mm7/accounts/)' "the VASP accounts reach above core" mm7/accounts/*.h mm7/accounts/*.cpp
allow '^(core/|wsp/|xgate/|turbo/|mm7/mms_message\.h$|mm7/documents/|mm7/accounts/|mm7/server/)' \
    "the MM7 server reaches into the delivery side or the start-up" mm7/server/*.h mm7/server/*.cpp
allow '^(core/|wsp/|xgate/|turbo/|mm7/mms_message\.h$|mm7/documents/|mm7/accounts/|mm7/delivery/)' \
    "the delivery side reaches into the MM7 server or the start-up" \
    mm7/delivery/*.h mm7/delivery/*.cpp
for f in mm7/server/mm7_http.h mm7/server/mm7_http.cpp mm7/server/mm7_http_head.cpp; do
    seen=""
    hits=$(reach "$f" | grep -E '^(mm7/server/mm7_server|mm7/server/mm7_input|mm7/delivery/|xgate/|turbo/)|^<(sys/|netinet/|arpa/|unistd|fcntl|dirent|cstdio|stdio|fstream|filesystem)') &&
        complain "$f" "the request parser reaches the server, the kernel link or file and socket I/O" "$hits"
done
[ $status = 0 ] && echo "layers: every include points down"
exit $status
