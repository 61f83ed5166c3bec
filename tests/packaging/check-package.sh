#!/usr/bin/env bash
# Installs the Debian package on this machine, checks what it put in place,
# runs the installed server as the service user would, then removes and
# purges it and checks that nothing is left. Needs root and changes the
# machine (a system user, /usr/bin, /var/lib/quorvex) for its duration, so it
# is run by hand, not by scripts/run-tests.sh:
#
#   sudo tests/packaging/check-package.sh [build-pkg/quorvex_*.deb]
#
# systemctl is only called by the package when systemd is running; on a
# machine where it is, the service is started by the install and checked too.
set -euo pipefail
cd "$(dirname "$0")/../.."

deb=${1:-$(ls -1 build-pkg/quorvex_*_amd64.deb 2>/dev/null | tail -n 1)}
[ -n "$deb" ] && [ -f "$deb" ] || { echo "no package: run scripts/package.sh first" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "run it as root: it installs the package" >&2; exit 2; }
# It must not take over an install or a user that someone else relies on.
if dpkg-query -W -f='${Status}' quorvex 2>/dev/null | grep -q "installed\|config-files"; then
  echo "the quorvex package is already on this machine; remove it first" >&2; exit 2
fi
if getent passwd quorvex >/dev/null || [ -e /var/lib/quorvex ]; then
  echo "a user quorvex or /var/lib/quorvex already exists; not touching them" >&2; exit 2
fi

failures=0
check() {  # check TEXT COMMAND...: runs the command, says PASS or FAIL
  local text=$1; shift
  if "$@" >/dev/null 2>&1; then echo "PASS $text"; else echo "FAIL $text"; failures=$((failures + 1)); fi
}
absent() { ! "$@"; }
systemd_running() { [ -d /run/systemd/system ]; }

unit=/usr/lib/systemd/system/quorvex.service
programs=(/usr/bin/quorvex-server /usr/bin/quorvex-admin /usr/bin/quorvex-console /usr/bin/quorvex-gwsim)
workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT

echo "== install: dpkg -i $deb"
dpkg -i "$deb"
check "package installed" sh -c "dpkg-query -W -f='\${Status}' quorvex | grep -q 'install ok installed'"
for p in "${programs[@]}"; do check "$p is installed" test -x "$p"; done
check "quorvex-server --help runs from /usr/bin" /usr/bin/quorvex-server --help
check "the unit file is installed" test -f "$unit"
if command -v systemd-analyze >/dev/null; then
  check "systemd-analyze verify accepts the installed unit" systemd-analyze verify "$unit"
fi
check "a system user quorvex exists" sh -c '[ "$(id -u quorvex)" -lt 1000 ]'
check "its group quorvex exists" getent group quorvex
check "it cannot log in" sh -c 'case "$(getent passwd quorvex | cut -d: -f7)" in */nologin|*/false) ;; *) exit 1;; esac'
check "/var/lib/quorvex belongs to it, mode 750" \
  sh -c '[ "$(stat -c %U:%G:%a /var/lib/quorvex)" = quorvex:quorvex:750 ]'

echo "== the installed server, run as the service user with the unit's options"
port=$((41000 + RANDOM % 2000))  # not 1700: another server on the machine may hold it
metrics=$((43000 + RANDOM % 2000))
(cd /var/lib/quorvex && umask 0027 && exec setpriv --reuid quorvex --regid quorvex --init-groups \
   /usr/bin/quorvex-server --data-dir /var/lib/quorvex --port "$port" --metrics "$metrics") \
   >"$workdir/server.out" 2>"$workdir/server.err" &
server=$!
for _ in $(seq 50); do grep -q "running on UDP port" "$workdir/server.err" && break; sleep 0.1; done
check "the server says it is running" grep -q "running on UDP port $port" "$workdir/server.err"
check "a gateway's PULL_DATA is acknowledged" sh -c \
  "/usr/bin/quorvex-gwsim --port $port pull --listen 1 2>&1 | grep -qi 'PULL_ACK'"
check "its /health answers ok on loopback" bash -c \
  "exec 3<>/dev/tcp/127.0.0.1/$metrics && printf 'GET /health HTTP/1.0\r\n\r\n' >&3 && grep -q '^ok' <&3"
check "quorvex-admin adds an application to the running server's file" \
  setpriv --reuid quorvex --regid quorvex --init-groups /usr/bin/quorvex-admin --data-dir /var/lib/quorvex \
  app add --eui 70B3D57ED0000001 --activation abp --class A
check "quorvex-admin lists it" sh -c \
  "setpriv --reuid quorvex --regid quorvex --init-groups /usr/bin/quorvex-admin --data-dir /var/lib/quorvex app list | grep -q '70 B3 D5 7E D0 00 00 01'"
kill -TERM "$server"
status=0; wait "$server" || status=$?
check "SIGTERM stops it with status 0 (was $status)" test "$status" -eq 0
check "its database belongs to the service user" \
  sh -c '[ "$(stat -c %U /var/lib/quorvex/LoRaDB_V001.db)" = quorvex ]'
check "the database is not readable by others (UMask)" \
  sh -c '[ $(( 0$(stat -c %a /var/lib/quorvex/LoRaDB_V001.db) & 7 )) -eq 0 ]'

if systemd_running; then
  echo "== the service (systemd is running)"
  check "quorvex.service is enabled" systemctl is-enabled --quiet quorvex.service
  systemctl restart quorvex.service
  sleep 2
  check "quorvex.service is active" systemctl is-active --quiet quorvex.service
  check "a gateway on port 1700 is acknowledged" sh -c \
    "/usr/bin/quorvex-gwsim --port 1700 pull --listen 1 2>&1 | grep -qi 'PULL_ACK'"
else
  echo "== systemd is not running here: the service itself is not started"
fi

echo "== reinstall over itself (the upgrade path of the scripts)"
dpkg -i "$deb"
check "still installed after a reinstall" sh -c "dpkg-query -W -f='\${Status}' quorvex | grep -q 'install ok installed'"

echo "== remove: dpkg -r quorvex"
dpkg -r quorvex
for p in "${programs[@]}"; do check "$p is gone" absent test -e "$p"; done
check "the unit file is gone" absent test -e "$unit"
check "no enable link is left" absent test -e /etc/systemd/system/multi-user.target.wants/quorvex.service
check "the data stays after a removal" test -f /var/lib/quorvex/LoRaDB_V001.db
check "the user stays after a removal" getent passwd quorvex
if systemd_running; then check "the service is stopped" absent systemctl is-active --quiet quorvex.service; fi

echo "== purge: dpkg -P quorvex"
dpkg -P quorvex
check "the package is unknown to dpkg" absent sh -c "dpkg-query -W -f='\${Status}' quorvex 2>/dev/null | grep -q ."
check "/var/lib/quorvex is gone" absent test -e /var/lib/quorvex
check "the user is gone" absent getent passwd quorvex
check "the group is gone" absent getent group quorvex
check "/usr/share/doc/quorvex is gone" absent test -e /usr/share/doc/quorvex

if [ "$failures" -eq 0 ]; then echo "ALL PASSED"; else echo "$failures FAILED"; exit 1; fi
