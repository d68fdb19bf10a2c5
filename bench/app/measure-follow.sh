#!/usr/bin/env bash
# Measures follow mode on the real corvane program, 3 fake speakers and a fake
# bridge, inside a private network namespace:
#   - start to the first bridge launch (the search ends once the household is in)
#   - a new speaker's announcement to the restarted bridge
#   - a link down and up to the restarted bridge
#   - a resume (logind's PrepareForSleep(false) from a mock on a private bus) to the restarted bridge
#   - a group-change event from the subscribed speaker to the restarted bridge
#   - resident memory and CPU time over IDLE seconds (default 60)
# Each bridge launch is stamped by the bridge itself, so the figures are wall
# time from the event to the new process.
#
#   bench/app/measure-follow.sh [build dir] [idle seconds]
set -euo pipefail

if [ "${1:-}" != --inside ]; then
    build=$(realpath "${1:-build}")
    idle=${2:-60}
    unshare -rn true 2>/dev/null || { echo "measure-follow: needs a network namespace" >&2; exit 77; }
    exec unshare -rn bash "$0" --inside "$build" "$idle" "$(cd "$(dirname "$0")/../.." && pwd)"
fi
build=$2 idle=$3 source=$4
case "$(uname -m)" in aarch64|arm64) bridge_name=airupnp-linux-aarch64 ;; *) bridge_name=airupnp-linux-x86_64 ;; esac

ip link set lo up
ip link add corvane-a type veth peer name corvane-b
ip addr add 10.99.0.1/24 dev corvane-a
for i in 2 3 4 5; do ip addr add "10.99.0.$i/24" dev corvane-b; done
ip link set corvane-a up
ip link set corvane-b up

work=$(mktemp -d)
trap 'pkill -KILL -f "$work/" 2>/dev/null || true; kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/prefix/bin" "$work/prefix/libexec/corvane"
cp "$build/stage/bin/corvane" "$work/prefix/bin/"
cat >"$work/prefix/libexec/corvane/$bridge_name" <<WRAP
#!/bin/sh
date +%s.%N >>"$work/launches"
exec /usr/bin/python3 "$source/tests/support/fake-bridge-ready" "\$@"
WRAP
chmod 0755 "$work/prefix/libexec/corvane/$bridge_name"
touch "$work/launches"

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_STATE_HOME=$work/home/.local/state
export XDG_CACHE_HOME=$work/home/.cache XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_CONFIG_HOME/corvane" && mkdir -m 0700 "$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM DBUS_SESSION_BUS_ADDRESS
# A private bus stands in for the system bus, with a mock logind on it.
mapfile -t daemon < <(dbus-daemon --config-file="$source/tests/dbus/session.conf" --fork \
    --print-address=1 --print-pid=1)
trap 'pkill -KILL -f "$work/" 2>/dev/null || true; kill $(jobs -p) ${daemon[1]} 2>/dev/null || true; rm -rf "$work"' EXIT
export DBUS_SYSTEM_BUS_ADDRESS=${daemon[0]}
/usr/bin/python3 -m dbusmock --system --template logind >/dev/null 2>&1 &
until /usr/bin/python3 -c 'import dbus; dbus.SystemBus().get_name_owner("org.freedesktop.login1")' 2>/dev/null; do sleep 0.1; done
export FAKE_BRIDGE_DELAY=0.1

now() { date +%s.%N; }
launches() { wc -l <"$work/launches"; }
# Waits for launch number $1 and prints its time.
launch_time() {
    local deadline=$((SECONDS + 30))
    until [ "$(launches)" -ge "$1" ]; do
        [ $SECONDS -lt $deadline ] || { tail -20 "$work/corvane.log" >&2; exit 1; }
        sleep 0.02
    done
    sed -n "${1}p" "$work/launches"
}

"$build/lab/fake-speaker" --address 10.99.0.2 --count 3 --multicast \
    --regroup-when "$work/regroup" >"$work/speakers.log" 2>&1 &
until grep -q ready "$work/speakers.log"; do sleep 0.1; done

# A first run writes the settings document; follow mode is then switched on in it.
timeout 3 "$work/prefix/bin/corvane" 2>/dev/null || true
pkill -KILL -f "$work/prefix/libexec" 2>/dev/null || true
: >"$work/launches"
python3 - "$XDG_CONFIG_HOME/corvane/settings.json" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1]))
doc["followChanges"] = True
json.dump(doc, open(sys.argv[1], "w"))
PY

started=$(now)
"$work/prefix/bin/corvane" 2>"$work/corvane.log" &
corvane=$!
first=$(launch_time 1)
sleep 3

announced=$(now)
"$build/lab/fake-speaker" --address 10.99.0.5 --room Pantry --udn RINCON_PANTRY01400 \
    --multicast --announce >"$work/pantry.log" 2>&1 &
after_announce=$(launch_time 2)
sleep 3

bounced=$(now)
ip link set corvane-a down
ip link set corvane-a up
after_bounce=$(launch_time 3)
sleep 3

resumed=$(now)
/usr/bin/python3 - <<'PY'
import dbus
logind = dbus.SystemBus().get_object("org.freedesktop.login1", "/org/freedesktop/login1")
logind.EmitSignal("org.freedesktop.login1.Manager", "PrepareForSleep", "b", [False],
                  dbus_interface="org.freedesktop.DBus.Mock")
PY
after_resume=$(launch_time 4)
sleep 3

# The subscribed speaker tells that it joined another group.
touch "$work/regroup"
after_regroup=$(launch_time 5)
regrouped=$(awk '/^regrouped/ {print $2; exit}' "$work/speakers.log")
sleep 3

rss_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$corvane/status")
cpu_ticks() { awk '{print $14 + $15}' "/proc/$corvane/stat"; }
before=$(cpu_ticks)
sleep "$idle"
after=$(cpu_ticks)
hz=$(getconf CLK_TCK)
kill -TERM $corvane
wait $corvane || true
cp "$work/corvane.log" "${TMPDIR:-/tmp}/measure-follow.log"

python3 - "$started" "$first" "$announced" "$after_announce" "$bounced" "$after_bounce" \
    "$resumed" "$after_resume" "$regrouped" "$after_regroup" "$rss_kb" "$before" "$after" "$hz" "$idle" <<'PY'
import sys
t = list(map(float, sys.argv[1:11]))
rss_kb, before, after, hz, idle = map(int, sys.argv[11:16])
print(f"start to first bridge launch:     {1000 * (t[1] - t[0]):.0f} ms")
print(f"announcement to restarted bridge: {1000 * (t[3] - t[2]):.0f} ms")
print(f"link down/up to restarted bridge: {1000 * (t[5] - t[4]):.0f} ms")
print(f"resume to restarted bridge:       {1000 * (t[7] - t[6]):.0f} ms")
print(f"group event to restarted bridge:  {1000 * (t[9] - t[8]):.0f} ms")
print(f"resident memory, follow mode:     {rss_kb / 1024:.1f} MiB")
print(f"CPU over {idle} idle seconds:        {1000 * (after - before) / hz:.0f} ms")
PY
