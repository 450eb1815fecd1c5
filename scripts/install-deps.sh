#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the labs need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang clang-format
  libevent-dev libprotobuf-c-dev protobuf-c-compiler libjemalloc-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev libboost-dev
  libyang2-dev libsqlite3-dev libnl-3-dev libnl-route-3-dev libreadline-dev
  iproute2 tcpdump tshark frr util-linux procps psmisc
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
