#!/usr/bin/env bash
# Measures the real corvane program against 20 fake speakers and a fake bridge,
# inside a private network namespace (root, or unprivileged user namespaces):
#   - start to the first M-SEARCH on the wire
#   - end of the 8-second search to the bridge's launch
#   - resident memory once the bridge runs
#   - CPU time over IDLE seconds afterwards (default 60)
#
#   bench/app/measure-corvane.sh [build dir] [idle seconds]
set -euo pipefail

if [ "${1:-}" != --inside ]; then
    build=$(realpath "${1:-build}")
    idle=${2:-60}
    unshare -rn true 2>/dev/null || { echo "measure-corvane: needs a network namespace" >&2; exit 77; }
    exec unshare -rn bash "$0" --inside "$build" "$idle" "$(cd "$(dirname "$0")/../.." && pwd)"
fi
build=$2 idle=$3 source=$4
case "$(uname -m)" in aarch64|arm64) bridge_name=airupnp-linux-aarch64 ;; *) bridge_name=airupnp-linux-x86_64 ;; esac
speakers=20

ip link set lo up
ip link add corvane-a type veth peer name corvane-b
ip addr add 10.99.0.1/24 dev corvane-a
for i in $(seq 2 $((speakers + 1))); do ip addr add "10.99.0.$i/24" dev corvane-b; done
ip link set corvane-a up
ip link set corvane-b up

work=$(mktemp -d)
trap 'pkill -KILL -f "$work/" 2>/dev/null || true; kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/prefix/bin" "$work/prefix/libexec/corvane"
cp "$build/stage/bin/corvane" "$work/prefix/bin/"
# The bridge notes when it was launched, then behaves like the fake bridge.
cat >"$work/prefix/libexec/corvane/$bridge_name" <<WRAP
#!/bin/sh
date +%s.%N >"$work/bridge-started"
exec /usr/bin/python3 "$source/tests/support/fake-bridge-ready" "\$@"
WRAP
chmod 0755 "$work/prefix/libexec/corvane/$bridge_name"

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_STATE_HOME=$work/home/.local/state
export XDG_CACHE_HOME=$work/home/.cache XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" && mkdir -m 0700 "$XDG_RUNTIME_DIR"
# No system bus: nothing here may reach Avahi or logind of the machine.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS

"$build/lab/fake-speaker" --address 10.99.0.2 --count $speakers --multicast \
    >"$work/speakers.log" 2>&1 &
until grep -q ready "$work/speakers.log"; do sleep 0.1; done

# Notes when the first M-SEARCH reaches the multicast group.
python3 - "$work/first-msearch" <<'PY' &
import socket, struct, sys, time
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
s.bind(("", 1900))
s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
             struct.pack("4s4s", socket.inet_aton("239.255.255.250"), socket.inet_aton("10.99.0.2")))
while True:
    data, _ = s.recvfrom(65536)
    if data.startswith(b"M-SEARCH"):
        open(sys.argv[1], "w").write(repr(time.time()))
        break
PY
sleep 0.5

started=$(python3 -c 'import time; print(repr(time.time()))')
"$work/prefix/bin/corvane" 2>"$work/corvane.log" &
corvane=$!
deadline=$((SECONDS + 40))
until grep -q "Corvane: Running" "$work/corvane.log"; do
    [ $SECONDS -lt $deadline ] || { tail -20 "$work/corvane.log" >&2; exit 1; }
    sleep 0.1
done
sleep 1
rss_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$corvane/status")
cpu_ticks() { awk '{print $14 + $15}' "/proc/$corvane/stat"; }
before=$(cpu_ticks)
sleep "$idle"
after=$(cpu_ticks)
hz=$(getconf CLK_TCK)
announced=$(grep -c "Adding menu item" "$work/corvane.log" || true)
kill -TERM $corvane
wait $corvane || true
cp "$work/corvane.log" "${TMPDIR:-/tmp}/measure-corvane.log"

python3 - "$started" "$(cat "$work/first-msearch")" "$(cat "$work/bridge-started")" \
    "$rss_kb" "$before" "$after" "$hz" "$idle" "$announced" <<'PY'
import sys
started, msearch, bridge = map(float, sys.argv[1:4])
rss_kb, before, after, hz, idle, announced = map(int, sys.argv[4:10])
search_end = msearch + 8.0  # the session's 8-second time-out starts as its first M-SEARCH goes out
print(f"speakers announced:               {announced}")
print(f"start to first M-SEARCH:          {1000 * (msearch - started):.0f} ms")
print(f"search end to bridge launch:      {1000 * (bridge - search_end):.0f} ms")
print(f"resident memory with bridge:      {rss_kb / 1024:.1f} MiB")
print(f"CPU over {idle} idle seconds:        {1000 * (after - before) / hz:.0f} ms")
PY
