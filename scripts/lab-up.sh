#!/usr/bin/env bash
# The demo lab: two kemd routers (r1, r2) and one FRR router (frr1) on one LAN
# in VPN 1. Builds (Release), brings the lab up, configures each kemd router
# through kemcli, waits until every router has the other two as neighbors,
# prints the PIM tables of r1 and r2 and leaves the lab running; exits non-zero
# when the adjacencies do not form. scripts/lab-down.sh takes it down. Needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
TOP=$PWD
# KEMD_BUILD_DIR: an existing build to use instead of build-rel.
BUILD=${KEMD_BUILD_DIR:-build-rel}
LAB=demo

if [ "$(id -u)" != 0 ]; then
    echo "lab-up.sh must run as root" >&2
    exit 1
fi

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKEMD_TESTS=OFF -DKEMD_BENCH=OFF
fi
ninja -C "$BUILD" kemd cdbd rtmd kemcli igmpd
BUILD=$(cd "$BUILD" && pwd)

python3 lab/lab.py up lab/demo.json --build-dir "$BUILD"

kemcli() {
    local router=$1
    shift
    python3 "$TOP/lab/lab.py" exec "$LAB" "$router" -- "$BUILD/tools/kemcli/kemcli" -y "$TOP/yang" "$@"
}

# router, system address, LAN address, DR priority
configure() {
    kemcli "$1" -c configure \
        -c "set system host-name $1" \
        -c "set system system-ip $2" \
        -c "set vpn vpn-instance 1 interface eth1 ip address $3" \
        -c "set vpn vpn-instance 1 router pim interface eth1 hello-interval 5" \
        -c "set vpn vpn-instance 1 router pim interface eth1 dr-priority $4" \
        -c "commit comment demo" -c exit
}
configure r1 10.255.0.1 10.1.1.1/24 1
configure r2 10.255.0.2 10.1.1.2/24 5

neighbors() {
    kemcli "$1" --json -c "show pim-neighbor" 2>/dev/null | grep -c '"neighbor-address"' || true
}

formed=1
deadline=$((SECONDS + 60))
until [ "$(neighbors r1)" -ge 2 ] && [ "$(neighbors r2)" -ge 2 ]; do
    if [ $SECONDS -ge $deadline ]; then
        formed=0
        break
    fi
    sleep 1
done

for r in r1 r2; do
    echo "== $r: show pim-neighbor"
    kemcli "$r" -c "show pim-neighbor"
    echo "== $r: show pim-interface"
    kemcli "$r" -c "show pim-interface"
done
if [ "$formed" = 0 ]; then
    echo "FAILED: the adjacencies did not form within 60 s; the lab stays up for" \
        "inspection (logs in /var/tmp/kemd-lab/$LAB); stop it with scripts/lab-down.sh" >&2
    exit 1
fi
echo "The demo lab is running; stop it with scripts/lab-down.sh"
