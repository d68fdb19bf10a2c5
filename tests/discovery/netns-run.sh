#!/bin/sh
# Runs a test program inside a private network namespace holding a veth pair
# (10.99.0.1 <-> 10.99.0.2), so real multicast SSDP can be exercised without
# touching any outside network. Exits 77 (skipped) where namespaces are not allowed.
set -u
if ! unshare -rn true 2>/dev/null; then
    echo "netns-run: cannot create a network namespace; skipping" >&2
    exit 77
fi
exec unshare -rn sh -c '
    ip link set lo up &&
    ip link add corvane-a type veth peer name corvane-b &&
    ip addr add 10.99.0.1/24 dev corvane-a &&
    ip addr add 10.99.0.2/24 dev corvane-b &&
    ip link set corvane-a up &&
    ip link set corvane-b up || { echo "netns-run: cannot set up the veth pair; skipping" >&2; exit 77; }
    CORVANE_TEST_NETNS=1 exec "$@"' netns-run "$@"
