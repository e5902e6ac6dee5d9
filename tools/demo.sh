#!/usr/bin/env bash
# One log-in and log-out of OrvaneSvr against portal-sim, run from the terminal with the
# simulator's demo account. Called by `./dev.sh demo` after the build; usage: demo.sh BUILD_DIR.
#
# The service runs inside a network namespace of its own when this machine can make one, so the
# resolver rewrite and the sharing checks act on the namespace and never on the machine. Without
# namespaces it runs on loopback with a simulator that announces no name servers and an against
# list that cannot trigger. Everything started here is stopped, and everything made removed, when
# the script ends, also on failure or Ctrl-C.
set -euo pipefail

BUILD=$(cd "${1:?usage: demo.sh BUILD_DIR}" && pwd)
DEMO=$BUILD/demo
INST=$DEMO/inst
SIM_BIN=$BUILD/tools/portal-sim/portal-sim
ACCOUNT=demo
PASSWORD=demo
KEEPALIVES=3          # keep-alives to watch before answering "y"
NS=""                 # the namespace, once made
SIM_PID=""
SVC_PID=""
TAIL_PID=""

say() { printf '\n== %s\n' "$*"; }

# Root rights for the namespace work: none needed as root, else sudo without a password prompt.
ROOT_CMD=()
[ "$(id -u)" -eq 0 ] || ROOT_CMD=(sudo -n)
as_root() { "${ROOT_CMD[@]}" "$@"; }

# Stops what this script started, by process id, and removes what it made.
cleanup() {
  local pid
  for pid in "$TAIL_PID" "$SVC_PID" "$SIM_PID"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
  done
  for pid in "$TAIL_PID" "$SVC_PID" "$SIM_PID"; do
    [ -n "$pid" ] && wait "$pid" 2>/dev/null || true
  done
  exec 3>&- 2>/dev/null || true
  if [ -n "$NS" ]; then
    as_root ip netns del "$NS" 2>/dev/null || true
    as_root rm -rf "/etc/netns/$NS"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Waits up to $1 seconds for the command in the remaining words to succeed.
wait_until() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}

# A namespace like the end-to-end tests use: loopback, veth0 with 192.0.2.10/24 and the default
# route via 192.0.2.1 (a card for the adapter lookups; nothing answers there), and a resolver
# file of its own that `ip netns exec` mounts over /etc/resolv.conf.
make_namespace() {
  local name="orvane-demo-$$"
  [ -z "${ORVANE_DEMO_LOOPBACK:-}" ] || return 1   # set to try the loopback variant
  as_root true 2>/dev/null || return 1
  command -v ip >/dev/null || return 1
  as_root ip netns add "$name" 2>/dev/null || return 1
  NS=$name
  as_root ip -n "$NS" link set lo up &&
    as_root ip -n "$NS" link add veth0 type veth peer name veth1 &&
    as_root ip -n "$NS" addr add 192.0.2.10/24 dev veth0 &&
    as_root ip -n "$NS" link set veth0 up &&
    as_root ip -n "$NS" link set veth1 up &&
    as_root ip -n "$NS" route add default via 192.0.2.1 &&
    as_root mkdir -p "/etc/netns/$NS" &&
    printf 'nameserver 192.0.2.53\n' | as_root tee "/etc/netns/$NS/resolv.conf" >/dev/null
}

# Replaces the calling (sub)shell with the program, inside the namespace when there is one, so
# that $! of a background call is the program itself (or sudo, which passes signals on).
exec_in_world() {
  if [ -n "$NS" ]; then exec "${ROOT_CMD[@]}" ip netns exec "$NS" "$@"; else exec "$@"; fi
}

keepalives() { grep -c '"kind":"keep"' "$DEMO/requests.jsonl" 2>/dev/null || true; }
enough_keepalives() { [ "$(keepalives)" -ge "$KEEPALIVES" ]; }
service_gone() { ! kill -0 "$SVC_PID" 2>/dev/null; }
prompted() { grep -q "Please enter \[y\]" "$DEMO/service.out" 2>/dev/null; }

# An earlier run may have handed its installation to root (see below).
rm -rf "$DEMO" 2>/dev/null || as_root rm -rf "$DEMO"
mkdir -p "$INST"
cp -r "$BUILD/install-tree/." "$INST/"
# The service refuses an installation that anyone but its owner could change; a umask of 002
# would otherwise leave the copy group-writable.
chmod -R go-w "$INST"

if make_namespace; then
  say "network namespace $NS: veth0 192.0.2.10/24, default route via 192.0.2.1, own resolv.conf"
else
  [ -n "$NS" ] && { as_root ip netns del "$NS" 2>/dev/null || true; NS=""; }
  say "no network namespace here: running on loopback; the simulator announces no name servers"
  say "and its against list names nothing, so this machine's settings stay untouched"
fi

say "starting portal-sim (account $ACCOUNT, keep-alive every 2 s)"
(exec_in_world "$SIM_BIN" --container "$BUILD/zuvUzarod.zxm" --account "$ACCOUNT:$PASSWORD" \
  --port-file "$DEMO/port" --request-log "$DEMO/requests.jsonl" \
  --keep-interval 2 --state-interval 2 --no-update) >"$DEMO/sim.out" 2>&1 &
SIM_PID=$!
wait_until 10 test -s "$DEMO/port" || { cat "$DEMO/sim.out"; echo "portal-sim did not start" >&2; exit 1; }
PORT=$(cat "$DEMO/port")
URL="http://127.0.0.1:$PORT/forward.cgi"
sed -i "s|<redirect></redirect>|<redirect>$URL</redirect>|; s|<redirectipv6></redirectipv6>|<redirectipv6>$URL</redirectipv6>|" \
  "$INST/conf/conf.xml"
echo "probe URL: $URL"

# Inside the namespace the service runs as root, and root's service trusts only an installation
# that belongs to root.
if [ -n "$NS" ] && [ "$(id -u)" -ne 0 ]; then
  as_root chown -R root:root "$INST"
fi

say "running: ./OrvaneSvr $ACCOUNT ****** (in $INST)"
mkfifo "$DEMO/answer"
exec 3<>"$DEMO/answer"   # held open here, so the service reads the answer when it comes
: >"$DEMO/service.out"
(cd "$INST" && exec_in_world ./OrvaneSvr "$ACCOUNT" "$PASSWORD") <"$DEMO/answer" >"$DEMO/service.out" 2>&1 &
SVC_PID=$!
tail -n +1 -f --pid="$SVC_PID" "$DEMO/service.out" &
TAIL_PID=$!

status=0
if ! wait_until 40 prompted; then
  echo "the service did not log in" >&2
  status=1
elif ! wait_until 30 enough_keepalives; then
  echo "no keep-alives reached the simulator" >&2
  status=1
else
  say "$(keepalives) keep-alives seen by the simulator; answering y"
  echo y >&3
fi
if ! wait_until 20 service_gone; then
  echo "the service did not end; stopping it" >&2
  kill "$SVC_PID" 2>/dev/null || true
  status=1
fi
svc_status=0
wait "$SVC_PID" || svc_status=$?
SVC_PID=""
wait "$TAIL_PID" 2>/dev/null || true
TAIL_PID=""
say "OrvaneSvr ended with status $svc_status"
[ "$svc_status" -eq 0 ] || status=1

say "service log (detection, ticket, login, keep-alive, logout)"
# The log folder is its owner's alone, and that is root inside the namespace.
as_log_owner=()
[ -r "$INST/Log" ] || as_log_owner=("${ROOT_CMD[@]}")
"${as_log_owner[@]}" sh -c 'cat "$1"/Log/*_Info.log' sh "$INST" |
  grep -hE "check net status|reqTicket|NetStateChange|pulse|record (not )?connect|disconnect|logout|Logout" |
  cut -c -200 || true

say "requests received by portal-sim"
grep -o '"kind":"[a-z]*"' "$DEMO/requests.jsonl" 2>/dev/null | cut -d'"' -f4 | uniq -c | sed 's/^ */  /' || true
grep -o '"reason":"[^"]*"' "$DEMO/requests.jsonl" 2>/dev/null | sed 's/^/  logout /' || true
exit "$status"
