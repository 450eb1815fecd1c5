#!/usr/bin/env bash
# Installs every Debian 12 package that scripts/run.sh and scripts/test.sh use,
# and nothing else. Safe to run again: only what is missing is installed.
set -euo pipefail

packages=(
  # build: compilers, generators, clang's fuzzer and sanitizer runtime, formatting
  g++ cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format git
  # llvm-symbolizer: sanitizer and fuzzer reports name functions and lines
  llvm
  # libraries
  libevent-dev libprotobuf-c-dev protobuf-c-compiler libjemalloc-dev libboost-dev
  libyang2-dev libsqlite3-dev libnl-3-dev libnl-route-3-dev libreadline-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev python3
  # labs: namespaces, links, captures and the FRR peer
  util-linux iproute2 tcpdump tshark frr
  # the package test: cpack's library dependencies (dpkg-shlibdeps, file) and a
  # fresh Debian 12 root to install the package into
  dpkg-dev file debootstrap
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
