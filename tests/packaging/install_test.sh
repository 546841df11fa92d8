#!/usr/bin/env bash
# Installs the build into a staging folder and builds the Debian package; checks the file list,
# the systemd unit (where systemd-analyze exists) and the package's control data and contents.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

expected="etc/default/mm7-server
etc/logrotate.d/mm7-server
etc/mm7-server/vasps.toml
usr/bin/mm7-sink
usr/bin/mm7-submit
usr/lib/systemd/system/mm7-server.service
usr/sbin/mm7_server
usr/share/man/man8/mm7_server.8"

DESTDIR="$work/stage" cmake --install "$build" --prefix /usr >/dev/null
staged=$(cd "$work/stage" && find . -type f | sed 's|^\./||' | sort)
[ "$staged" = "$expected" ] || fail "staged files differ:"$'\n'"$staged"
unit="$work/stage/usr/lib/systemd/system/mm7-server.service"
grep -qx 'ExecStart=/usr/sbin/mm7_server $MM7_SERVER_OPTS' "$unit" || fail "ExecStart"
grep -qx 'EnvironmentFile=-/etc/default/mm7-server' "$unit" || fail "EnvironmentFile"
for line in Type=notify WatchdogSec=30s; do grep -qx "$line" "$unit" || fail "$line"; done
grep -qx 'MM7_SERVER_OPTS="--loglevel info"' "$work/stage/etc/default/mm7-server" || fail "log level"
[ "$(stat -c %a "$work/stage/etc/default/mm7-server")" = 640 ] || fail "options file mode"
[ "$(stat -c %a "$work/stage/etc/mm7-server/vasps.toml")" = 640 ] || fail "account file mode"

if command -v systemd-analyze >/dev/null; then
    # Checked where the daemon really is: the staged binary stands in for /usr/sbin.
    mkdir "$work/unit"
    sed "s|/usr/sbin/mm7_server|$work/stage/usr/sbin/mm7_server|" "$unit" >"$work/unit/mm7-server.service"
    systemd-analyze verify --man=no "$work/unit/mm7-server.service" || fail "systemd-analyze verify"
else
    echo "systemd-analyze not found: unit not verified"
fi

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >/dev/null
deb=$(ls "$work"/deb/mm7-server_*.deb)
info=$(dpkg-deb --info "$deb")
for dep in libmxml1 libcurl4 python3; do
    grep -q "^ Depends:.*\b$dep\b" <<<"$info" || fail "Depends lacks $dep"$'\n'"$info"
done
for member in postinst conffiles; do
    grep -q " $member" <<<"$info" || fail "control lacks $member"
done
listing=$(dpkg-deb --contents "$deb")
grep -q '^-rw-r----- .*/etc/default/mm7-server$' <<<"$listing" || fail "packaged options file mode"
grep -q '^-rw-r----- .*/etc/mm7-server/vasps.toml$' <<<"$listing" || fail "packaged account file mode"
contents=$(awk '$1 !~ /^d/ {print $6}' <<<"$listing" | sed 's|^\./||' | sort)
[ "$contents" = "$expected" ] || fail "package contents differ:"$'\n'"$contents"
echo "install and package: ok"
