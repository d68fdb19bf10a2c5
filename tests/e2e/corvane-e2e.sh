#!/usr/bin/env bash
# End-to-end: the real corvane program, run as a user would run it (headless,
# private HOME and XDG folders, a private session bus), against fake Sonos
# speakers and a fake bridge, inside a private network namespace so that real
# multicast SSDP never leaves this machine. Exits 77 (skipped) where no
# network namespace can be made.
#
#   corvane-e2e.sh <stage dir> <fake-speaker> <fake bridge> <bridge name> <bus config>
set -euo pipefail

if [ "${1:-}" != --inside ]; then
    if ! unshare -rn true 2>/dev/null; then
        echo "corvane-e2e: cannot create a network namespace; skipping" >&2
        exit 77
    fi
    exec unshare -rn bash "$0" --inside "$@"
fi
shift
stage=$1 fake_speaker=$2 fake_bridge=$3 bridge_name=$4 bus_config=$5

ip link set lo up
ip link add corvane-a type veth peer name corvane-b
ip addr add 10.99.0.1/24 dev corvane-a
for host in 2 3 4; do ip addr add "10.99.0.$host/24" dev corvane-b; done
ip link set corvane-a up
ip link set corvane-b up

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    pkill -KILL -f "$work/" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The program in a tree laid out like an installation, with the fake bridge
# where the real one would go.
mkdir -p "$work/prefix/bin" "$work/prefix/libexec/corvane"
cp "$stage/bin/corvane" "$work/prefix/bin/"
cp "$fake_bridge" "$work/prefix/libexec/corvane/$bridge_name"
chmod 0755 "$work/prefix/libexec/corvane/$bridge_name"

export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_STATE_HOME=$work/home/.local/state
export XDG_CACHE_HOME=$work/home/.cache XDG_DATA_HOME=$work/home/.local/share
export XDG_RUNTIME_DIR=$work/run
# No system bus: nothing here may reach Avahi or logind of the machine.
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent
mkdir -p "$HOME" && mkdir -m 0700 "$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
export FAKE_BRIDGE_DELAY=0.3

fail() { echo "corvane-e2e: FAIL: $*" >&2; exit 1; }
# wait_for <file> <text> <seconds>
wait_for() {
    local deadline=$((SECONDS + $3))
    until grep -qF -- "$2" "$1" 2>/dev/null; do
        [ $SECONDS -lt $deadline ] || { cat "$1" >&2; fail "no \"$2\" in $1 within $3 s"; }
        sleep 0.1
    done
}
bridges() { pgrep -f "$work/prefix/libexec/corvane/$bridge_name" | wc -l; }
status_lines() { grep -o 'Corvane: [A-Za-z .]*' "$1" | sed 's/ *$//' | uniq; }

scenario() {
    # Two zone coordinators and one group member (current firmware: the group
    # comes from GetZoneGroupState).
    "$fake_speaker" --address 10.99.0.2 --count 2 --multicast >"$work/speakers.log" 2>&1 &
    pids+=($!)
    "$fake_speaker" --address 10.99.0.4 --multicast --room Bedroom --udn RINCON_BEDROOM01400 --group RINCON_FAKE02:7 \
        --not-coordinator >"$work/member.log" 2>&1 &
    pids+=($!)
    wait_for "$work/speakers.log" ready 10
    wait_for "$work/member.log" ready 10

    # Launch with speakers: the three status lines, in order, and the bridge.
    "$work/prefix/bin/corvane" 2>"$work/run1.log" &
    local corvane=$!
    wait_for "$work/run1.log" "Corvane: Running" 40
    [ "$(status_lines "$work/run1.log" | paste -sd '|')" = \
      "Corvane: Looking For Speakers...|Corvane: Starting...|Corvane: Running" ] ||
        fail "status lines: $(status_lines "$work/run1.log" | paste -sd '|')"
    [ "$(bridges)" -eq 1 ] || fail "expected one bridge, found $(bridges)"

    local config=$XDG_RUNTIME_DIR/corvane/airupnp.xml
    [ -f "$config" ] || fail "no configuration at $config"
    [ "$(stat -c %a "$config")" = 600 ] || fail "configuration mode $(stat -c %a "$config")"
    [ "$(grep -c '<device>' "$config")" -eq 3 ] || { cat "$config" >&2; fail "expected 3 speakers"; }
    [ "$(grep -c '<enabled>1</enabled>' "$config")" -eq 3 ] || { cat "$config" >&2; fail "expected 2 bridged speakers"; }
    grep -qF '<name>Bedroom - One</name>' "$config" || { cat "$config" >&2; fail "no Bedroom"; }
    grep -A3 'Bedroom' "$config" | grep -qF '<enabled>0</enabled>' || { cat "$config" >&2; fail "group member is bridged"; }

    # A second start hands over to the running one and leaves the bridge alone.
    timeout 20 "$work/prefix/bin/corvane" 2>"$work/run2.log" || fail "second start exited $?"
    grep -qF "already running" "$work/run2.log" || { cat "$work/run2.log" >&2; fail "second start did not say so"; }
    [ "$(bridges)" -eq 1 ] || fail "second start touched the bridge"
    wait_for "$work/run1.log" "ShowPreferences requested" 5

    # SIGTERM ends Corvane and its bridge.
    kill -TERM "$corvane"
    timeout 15 tail --pid="$corvane" -f /dev/null || fail "corvane did not quit on SIGTERM"
    grep -qF applicationWillTerminate "$work/run1.log" || fail "no applicationWillTerminate"
    [ "$(bridges)" -eq 0 ] || fail "bridge left running after quit"
    [ -s "$XDG_CONFIG_HOME/corvane/settings.json" ] || fail "no settings saved"

    # No speakers: the search ends with "No Speakers Found" and no bridge.
    for pid in "${pids[@]}"; do kill "$pid"; done
    pids=()
    "$work/prefix/bin/corvane" 2>"$work/run3.log" &
    corvane=$!
    wait_for "$work/run3.log" "Corvane: No Speakers Found" 30
    [ "$(bridges)" -eq 0 ] || fail "a bridge started without speakers"
    kill -TERM "$corvane"
    timeout 15 tail --pid="$corvane" -f /dev/null || fail "corvane did not quit on SIGTERM"

    follow_mode
    echo "corvane-e2e: all scenarios passed"
}

# Follow mode, switched on in the saved settings.
follow_mode() {
    python3 - "$XDG_CONFIG_HOME/corvane/settings.json" <<'PY'
import json, sys
with open(sys.argv[1]) as f:
    doc = json.load(f)
doc["followChanges"] = True
with open(sys.argv[1], "w") as f:
    json.dump(doc, f)
PY
    # A speaker that appears 3 s after Corvane announces itself and is bridged.
    "$work/prefix/bin/corvane" 2>"$work/run4.log" &
    local corvane=$!
    wait_for "$work/run4.log" "Follow mode on" 10
    sleep 3
    "$fake_speaker" --address 10.99.0.2 --count 2 --multicast --announce >"$work/speakers.log" 2>&1 &
    pids+=($!)
    wait_for "$work/run4.log" "Fetching announced speaker at http://10.99.0.2:" 10
    wait_for "$work/run4.log" "Corvane: Running" 30
    local config=$XDG_RUNTIME_DIR/corvane/airupnp.xml
    grep -qF '<udn>uuid:RINCON_48A6B800000001400</udn>' "$config" || { cat "$config" >&2; fail "announced speaker not in the configuration"; }

    # A bridge that crashes is started again.
    pkill -KILL -f "$work/prefix/libexec/corvane/$bridge_name"
    wait_for "$work/run4.log" "Restarting AirConnect: ended unexpectedly" 10
    local deadline=$((SECONDS + 10))
    until [ "$(bridges)" -eq 1 ]; do [ $SECONDS -lt $deadline ] || fail "no bridge after the crash"; sleep 0.1; done

    # The link goes down and up: a new search and a restart.
    ip link set corvane-a down
    ip link set corvane-a up
    wait_for "$work/run4.log" "The network changed: searching again" 10
    wait_for "$work/run4.log" "Restarting AirConnect: the computer's addresses changed" 10
    kill -TERM "$corvane"
    timeout 15 tail --pid="$corvane" -f /dev/null || fail "corvane did not quit on SIGTERM"
    [ "$(bridges)" -eq 0 ] || fail "bridge left running after quit"

    # With the household up, the first bridge comes before the 8 s search would end.
    local started=$SECONDS
    "$work/prefix/bin/corvane" 2>"$work/run5.log" &
    corvane=$!
    wait_for "$work/run5.log" "Corvane: Running" 30
    [ $((SECONDS - started)) -lt 8 ] || fail "first bridge only after $((SECONDS - started)) s"
    grep -qF "Every speaker of the household has answered" "$work/run5.log" || fail "the search was not ended early"
    kill -TERM "$corvane"
    timeout 15 tail --pid="$corvane" -f /dev/null || fail "corvane did not quit on SIGTERM"
}

export -f scenario follow_mode wait_for bridges status_lines fail
export work fake_speaker bridge_name
dbus-run-session --config-file="$bus_config" -- bash -c 'set -euo pipefail; pids=(); trap "for p in \${pids[@]:-}; do kill \$p 2>/dev/null; done" EXIT; scenario'
